#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "tool.h"

namespace kepra_tool {

std::string DescribeError(std::uint32_t code) {
  char number[16];
  if (code >= 0x80000000u) {
    std::snprintf(number, sizeof number, "0x%08X", code);
  } else {
    std::snprintf(number, sizeof number, "%u", code);
  }
  // The library's text starts with the code's name: "ERROR_GEN_FAILURE: the camera ...".
  return std::string(number) + " " + kepra_ErrorText(code);
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

Camera::Camera(std::uint32_t index) : camera_(Open(index)) {}

kepra::Camera Camera::Open(std::uint32_t index) {
  if (index >= KEPRA_MAX_DEVICES) Usage("device index " + std::to_string(index) + " is not 0..34");
  kepra_SetLastError(0);
  try {
    return kepra::Camera(index);
  } catch (const kepra::Error& e) {
    throw ToolError(kExitNoCamera, "no camera at device index " + std::to_string(index) + " (" +
                                       FailureMessage("kepra_OpenDevice", e.code()) + ")");
  }
}

}  // namespace kepra_tool
