#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "tool.h"

namespace kepra_tool {

const char* ErrorName(std::uint32_t code) {
  switch (code) {
    case 0:
      return "ERROR_SUCCESS";
    case 1:
      return "ERROR_INVALID_FUNCTION";
    case 2:
      return "ERROR_FILE_NOT_FOUND";
    case 5:
      return "ERROR_ACCESS_DENIED";
    case 6:
      return "ERROR_INVALID_HANDLE";
    case 8:
      return "ERROR_NOT_ENOUGH_MEMORY";
    case 13:
      return "ERROR_INVALID_DATA";
    case 21:
      return "ERROR_NOT_READY";
    case 30:
      return "ERROR_READ_FAULT";
    case 31:
      return "ERROR_GEN_FAILURE";
    case 87:
      return "ERROR_INVALID_PARAMETER";
    case 121:
      return "ERROR_SEM_TIMEOUT";
    case 122:
      return "ERROR_INSUFFICIENT_BUFFER";
    case 259:
      return "ERROR_NO_MORE_ITEMS";
    case 487:
      return "ERROR_INVALID_ADDRESS";
    case 998:
      return "ERROR_NOACCESS";
    case 1117:
      return "ERROR_IO_DEVICE";
    case 1167:
      return "ERROR_DEVICE_NOT_CONNECTED";
    case 1460:
      return "ERROR_TIMEOUT";
    case 1638:
      return "ERROR_PRODUCT_VERSION";
    case 1784:
      return "ERROR_INVALID_USER_BUFFER";
    case 0xC0000008u:
      return "STATUS_INVALID_HANDLE";
    case 0xC000000Du:
      return "STATUS_INVALID_PARAMETER";
    default:
      return "";
  }
}

std::string DescribeError(std::uint32_t code) {
  char number[16];
  if (code >= 0x80000000u) {
    std::snprintf(number, sizeof number, "0x%08X", code);
  } else {
    std::snprintf(number, sizeof number, "%u", code);
  }
  const std::string name = ErrorName(code);
  return name.empty() ? std::string(number) : std::string(number) + " " + name;
}

void Usage(const std::string& message) { throw ToolError(kExitUsage, message); }

void Failed(const std::string& operation) {
  const std::uint32_t error = kepra_GetLastError();
  throw ToolError(kExitFailed, operation + " failed: last error " + DescribeError(error));
}

std::uint32_t ParseU32(const std::string& text, const std::string& what, std::uint64_t max) {
  // Decimal, or hexadecimal with 0x; no sign, no trailing characters.
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') {
    Usage(what + ": '" + text + "' is not a number");
  }
  errno = 0;
  char* end = nullptr;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const unsigned long long value = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
  if (errno != 0 || end == text.c_str() || *end != '\0') {
    Usage(what + ": '" + text + "' is not a number");
  }
  if (value > max) Usage(what + ": " + text + " is above " + std::to_string(max));
  return static_cast<std::uint32_t>(value);
}

double ParseDouble(const std::string& text, const std::string& what) {
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || errno != 0 || end == text.c_str() || *end != '\0' || !std::isfinite(value)) {
    Usage(what + ": '" + text + "' is not a finite number");
  }
  return value;
}

bool ParseSwitch(const std::string& text, const std::string& what) {
  if (text == "on" || text == "1" || text == "true" || text == "yes") return true;
  if (text == "off" || text == "0" || text == "false" || text == "no") return false;
  Usage(what + ": '" + text + "' is not on or off");
}

std::vector<std::string> SplitFields(const std::string& text, std::size_t count,
                                     const std::string& what) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    fields.push_back(text.substr(start, comma == std::string::npos ? comma : comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (fields.size() != count) {
    Usage(what + ": expected " + std::to_string(count) + " comma-separated values, got '" + text +
          "'");
  }
  return fields;
}

Camera::Camera(std::uint32_t index) : h_(KEPRA_INVALID_HANDLE) {
  if (index >= KEPRA_MAX_DEVICES) Usage("device index " + std::to_string(index) + " is not 0..34");
  h_ = kepra_OpenDevice(index);
  if (h_ == KEPRA_INVALID_HANDLE) {
    throw ToolError(kExitNoCamera, "no camera at device index " + std::to_string(index) +
                                       " (kepra_OpenDevice: last error " +
                                       DescribeError(kepra_GetLastError()) + ")");
  }
}

Camera::~Camera() { kepra_CloseDevice(h_); }

}  // namespace kepra_tool
