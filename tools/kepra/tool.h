// Shared ground of the kepra tool's commands: exit statuses, failures, the open camera.
#pragma once

#include <kepra/kepra.h>

#include <cstdint>
#include <functional>
#include <kepra/kepra.hpp>
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

// The code and the library's text for it: "87 ERROR_INVALID_PARAMETER: a value is out of
// range or a required pointer is missing".
std::string DescribeError(std::uint32_t code);
// "OP failed: last error ...: HINT", or "OP failed without an error code" for 0.
std::string FailureMessage(const std::string& operation, std::uint32_t error,
                           const std::string& hint = {});

// Ends a command with an exit status and a message for stderr.
struct ToolError : std::runtime_error {
  ToolError(int status_in, const std::string& message)
      : std::runtime_error(message), status(status_in) {}
  int status;
};

[[noreturn]] void Usage(const std::string& message);
// Throws the failure of `operation` with the current last error (exit 1) and, when known,
// what to do about it.
[[noreturn]] void Failed(const std::string& operation, const std::string& hint = {});
// Runs an export and checks its flag. The last error is cleared first: some failure paths set
// none, and a value left by an earlier successful call must not be reported as the cause.
template <typename Call>
void Check(const char* operation, Call&& call) {
  kepra_SetLastError(0);
  if (!call()) Failed(operation);
}

// Runs a call on the C++ wrapper and gives its result; its failure ends the command (exit 1)
// with the same message Check gives, naming the C function that failed. The last error is
// cleared first for the same reason as in Check.
template <typename Call>
decltype(auto) Run(Call&& call, const std::string& hint = {}) {
  kepra_SetLastError(0);
  try {
    return call();
  } catch (const kepra::Error& e) {
    throw ToolError(kExitFailed, FailureMessage(e.function(), e.code(), hint));
  }
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
  KEPRA_HANDLE h() const { return camera_.handle(); }
  kepra::Camera& cpp() { return camera_; }

 private:
  static kepra::Camera Open(std::uint32_t index);
  kepra::Camera camera_;
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
// Sets one setting on an open camera.
using SettingFn = std::function<void(kepra::Camera&)>;
// "name (what its value is)" for every setting, for the help text.
const std::vector<std::string>& SettingNames();
// The action that sets `name` to the text `value` as `set` takes it: parsed and checked now
// (a usage error names what is wrong), limits checked against the camera when it runs.
SettingFn SettingAction(const std::string& name, const std::string& value);
// Every setting into a JSON file, and back into a camera of the same model.
int ProfileSave(const Options& options, const std::string& path);
int ProfileLoad(const Options& options, const std::string& path);
// Everything the camera reports, for kepra-virtcam --clone.
int CloneSave(const Options& options, const std::string& path);
int RegsRead(const Options& options, const std::string& address);
int RegsWrite(const Options& options, const std::string& address, const std::string& value);
int RegsDump(const Options& options, const std::string& first, const std::string& count);

struct GrabOptions {
  std::uint32_t count = 1;  // 0: until Ctrl-C
  unsigned depth = 16;
  std::string pattern = "frame_%04d.png";
  bool no_save = false;
  bool debayer = false;  // colour mosaics as RGB images
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
// Checks an image file as an FX3 boot image unless `force`.
int FirmwareUpdate(const Options& options, const std::string& file, bool force);
int DeviceReset(const Options& options);

}  // namespace kepra_tool
