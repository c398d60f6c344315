#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "tool.h"

namespace kepra_tool {

namespace {

struct KnownError {
  std::uint32_t code;
  const char* name;
  const char* text;
};

// The last-error values the library, its platform layer and the driver leave, with what they
// mean for someone at a camera.
constexpr KnownError kKnownErrors[] = {
    {0, "ERROR_SUCCESS", "no error code was set"},
    {1, "ERROR_INVALID_FUNCTION", "the driver does not know this request"},
    {2, "ERROR_FILE_NOT_FOUND", "the file or device was not found"},
    {5, "ERROR_ACCESS_DENIED", "access denied"},
    {6, "ERROR_INVALID_HANDLE", "the camera handle is not valid"},
    {8, "ERROR_NOT_ENOUGH_MEMORY", "not enough memory"},
    {13, "ERROR_INVALID_DATA", "the data is not valid"},
    {21, "ERROR_NOT_READY", "the device is not ready"},
    {30, "ERROR_READ_FAULT", "the file could not be read"},
    {31, "ERROR_GEN_FAILURE", "the camera did not carry out the request"},
    {87, "ERROR_INVALID_PARAMETER", "a value was refused as invalid"},
    {121, "ERROR_SEM_TIMEOUT", "no trigger came within the snapshot timeout"},
    {122, "ERROR_INSUFFICIENT_BUFFER", "the buffer is too small"},
    {183, "ERROR_ALREADY_EXISTS", "the object already exists"},
    {259, "ERROR_NO_MORE_ITEMS", "no more items"},
    {487, "ERROR_INVALID_ADDRESS", "a required pointer was null"},
    {995, "ERROR_OPERATION_ABORTED", "the operation was aborted"},
    {998, "ERROR_NOACCESS", "invalid access to memory"},
    {1117, "ERROR_IO_DEVICE", "the camera reported an I/O error"},
    {1167, "ERROR_DEVICE_NOT_CONNECTED", "the camera is not connected"},
    {1460, "ERROR_TIMEOUT", "the operation timed out"},
    {1638, "ERROR_PRODUCT_VERSION", "the camera's firmware or driver version is not supported"},
    {1784, "ERROR_INVALID_USER_BUFFER", "the buffer is not valid for this request"},
    {0xC0000008u, "STATUS_INVALID_HANDLE", "the camera handle is not valid (device lock)"},
    {0xC000000Du, "STATUS_INVALID_PARAMETER", "the driver refused the device index"},
};

const KnownError* FindError(std::uint32_t code) {
  for (const KnownError& known : kKnownErrors) {
    if (known.code == code) return &known;
  }
  return nullptr;
}

}  // namespace

const char* ErrorName(std::uint32_t code) {
  const KnownError* known = FindError(code);
  return known ? known->name : "";
}

const char* ErrorText(std::uint32_t code) {
  const KnownError* known = FindError(code);
  return known ? known->text : "unknown error code";
}

std::string DescribeError(std::uint32_t code) {
  char number[16];
  if (code >= 0x80000000u) {
    std::snprintf(number, sizeof number, "0x%08X", code);
  } else {
    std::snprintf(number, sizeof number, "%u", code);
  }
  const KnownError* known = FindError(code);
  if (!known) return std::string(number) + " (unknown error code)";
  return std::string(number) + " " + known->name + " (" + known->text + ")";
}

// What to do about an error, where the error alone says it.
const char* DefaultHint(std::uint32_t code) {
  switch (code) {
    case 121:
      return "in snapshot mode (stream-mode 1) a frame waits for a trigger: trigger the camera, "
             "set a snapshot timeout, or set stream-mode 0";
    case 1167:
      return "the camera went away: check its cable; 'kepra list' shows the cameras present";
    case 1638:
      return "the camera's driver or firmware version is not the one this library supports "
             "('kepra info' shows both)";
    default:
      return "";
  }
}

std::string FailureMessage(const std::string& operation, std::uint32_t error,
                           const std::string& hint) {
  std::string message = operation + (error == 0 ? " failed without an error code"
                                                : " failed: last error " + DescribeError(error));
  const std::string advice = hint.empty() ? DefaultHint(error) : hint;
  if (!advice.empty()) message += ": " + advice;
  return message;
}

void Usage(const std::string& message) { throw ToolError(kExitUsage, message); }

void Failed(const std::string& operation, const std::string& hint) {
  throw ToolError(kExitFailed, FailureMessage(operation, kepra_GetLastError(), hint));
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
  kepra_SetLastError(0);
  h_ = kepra_OpenDevice(index);
  if (h_ == KEPRA_INVALID_HANDLE) {
    throw ToolError(kExitNoCamera, "no camera at device index " + std::to_string(index) + " (" +
                                       FailureMessage("kepra_OpenDevice", kepra_GetLastError()) +
                                       ")");
  }
}

Camera::~Camera() { kepra_CloseDevice(h_); }

}  // namespace kepra_tool
