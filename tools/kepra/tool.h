// Shared ground of the kepra tool's commands: exit statuses, failures, the open camera.
#pragma once

#include <kepra/kepra.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "report.h"

namespace kepra_tool {

// Exit statuses, documented in the tool's help and the README.
enum Exit : int {
  kExitOk = 0,
  kExitFailed = 1,    // an operation on the camera (or a file) failed
  kExitUsage = 2,     // bad command line or value; nothing was sent to the camera
  kExitNoCamera = 3,  // no camera at the device index
};

// Name of a last-error value the library or its platform sets ("" when unknown).
const char* ErrorName(std::uint32_t code);
// "87 ERROR_INVALID_PARAMETER", "0xC0000008 STATUS_INVALID_HANDLE", "4711".
std::string DescribeError(std::uint32_t code);

// Ends a command with an exit status and a message for stderr.
struct ToolError : std::runtime_error {
  ToolError(int status_in, const std::string& message)
      : std::runtime_error(message), status(status_in) {}
  int status;
};

[[noreturn]] void Usage(const std::string& message);
// Throws the failure of `operation` with the current last error (exit 1).
[[noreturn]] void Failed(const std::string& operation);
// Checks an export's flag; on 0 reports the operation with the last error.
inline void Check(std::uint32_t ok, const char* operation) {
  if (!ok) Failed(operation);
}

// Strict parsers for command-line values (throw a usage error naming `what`).
std::uint32_t ParseU32(const std::string& text, const std::string& what,
                       std::uint64_t max = 0xFFFFFFFFu);
double ParseDouble(const std::string& text, const std::string& what);
bool ParseSwitch(const std::string& text, const std::string& what);  // on/off/1/0/true/false
// "a,b,c" into exactly `count` fields.
std::vector<std::string> SplitFields(const std::string& text, std::size_t count,
                                     const std::string& what);

// The camera at a device index, closed at the end of the command.
class Camera {
 public:
  explicit Camera(std::uint32_t index);  // throws kExitNoCamera when there is none
  ~Camera();
  Camera(const Camera&) = delete;
  Camera& operator=(const Camera&) = delete;
  KEPRA_HANDLE h() const { return h_; }

 private:
  KEPRA_HANDLE h_;
};

struct Options {
  std::uint32_t device = 0;
  bool json = false;
};

// Commands. Each returns the exit status or throws ToolError.
int ListCameras(const Options& options);
int ShowInfo(const Options& options);
int GetSetting(const Options& options, const std::string& name);
int SetSetting(const Options& options, const std::string& name, const std::string& value);
// "name (what its value is)" for every setting, for the help text.
const std::vector<std::string>& SettingNames();
int RegsRead(const Options& options, const std::string& address);
int RegsWrite(const Options& options, const std::string& address, const std::string& value);
int RegsDump(const Options& options, const std::string& first, const std::string& count);

struct GrabOptions {
  std::uint32_t count = 1;
  unsigned depth = 16;
  std::string pattern = "frame_%04d.png";
  bool ex = false;
};
int Grab(const Options& options, const GrabOptions& grab);

struct FlashOptions {
  bool whole = false;  // flash addresses (CxReadSPIFlash / CxWriteSPIFlash), not the user area
  std::string address = "0";
  std::string length;  // empty: to the end of the area (read), 256 bytes (dump)
  std::string file;
};
int FlashRead(const Options& options, const FlashOptions& flash);
int FlashWrite(const Options& options, const FlashOptions& flash);
int FlashDump(const Options& options, const FlashOptions& flash);
int FirmwareUpdate(const Options& options, const std::string& file);

}  // namespace kepra_tool
