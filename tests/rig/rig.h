// The test rig: virtual cameras for the library under test, inside the test process.
//
// On POSIX the cameras are served over sockets in a private device directory and the
// library's debug lines are received on its debug socket. On Windows the rig redirects the
// DLL's driver boundary (device discovery, CreateFileA, DeviceIoControl, CloseHandle of the
// camera handles, OutputDebugStringA) to the same in-process cameras. Named mutexes, Sleep
// and the last error stay the system's own on both.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "camera.h"

namespace rig {

// The device index the suites use (KEPRA_TEST_INDEX, else 7): the lock mutexes are
// machine-wide, so test runs side by side on one machine pick different ones.
inline std::uint32_t TestIndex() {
  const char* value = std::getenv("KEPRA_TEST_INDEX");
  const unsigned long index = value ? std::strtoul(value, nullptr, 10) : 7;
  return index < 33 ? static_cast<std::uint32_t>(index) : 7;
}

class Rig {
 public:
  Rig();
  ~Rig();
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  // A camera appears at a device index (with logging on).
  std::shared_ptr<vcam::Camera> Plug(std::uint32_t index, vcam::CameraConfig config = {});
  // The camera goes away: later requests on its handles fail as for an unplugged device.
  void Unplug(std::uint32_t index);

  // Debug lines written since the last call, in order.
  std::vector<std::string> DebugLines();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A helper process of the test suite (the lock holder), started with arguments and
// talked to through its standard output.
class Child {
 public:
  explicit Child(const std::vector<std::string>& args);
  ~Child();  // kills it if still running
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const;
  long pid() const;
  // Waits up to `timeout_ms` for the child to print `line`; false on timeout or exit.
  bool WaitForLine(const std::string& line, int timeout_ms = 10000);
  void Kill();  // as hard as the platform can: SIGKILL or TerminateProcess
  int Wait();   // exit status

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Path of the lock-holder helper: the executable beside the test executable.
std::string HelperPath(const std::string& name);

// Milliseconds on a monotonic clock.
inline double NowMs() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace rig
