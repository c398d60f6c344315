// Opening and closing from many threads, and transport failures that are not an unplug.
#include <atomic>
#include <thread>

#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "fixture.h"

namespace kt {
namespace {

bool LockedCallWorks(KEPRA_HANDLE h) {
  std::uint16_t value = 0;
  return kepra_ReadSensorReg(h, 0x0E, &value) == 1;
}

// Threads open, use and close handles of two indices at once: on the first its open count
// passes through zero again and again, on the second one handle stays open and in use.
TEST(OpenClose, AreSafeFromManyThreadsAtOnce) {
  const std::uint32_t other = kIndex + 1 < 35 ? kIndex + 1 : kIndex - 1;
  rig::Rig rig;
  rig.Plug(kIndex);
  rig.Plug(other);
  Handle steady(other);
  ASSERT_TRUE(steady.ok());
  std::atomic<int> failures{0};
  std::atomic<bool> done{false};
  std::thread user([&] {
    while (!done) failures += LockedCallWorks(steady.get()) ? 0 : 1;
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, index = t % 3 ? kIndex : other] {
      for (int i = 0; i < 150; ++i) {
        Handle h(index);
        failures += h.ok() && LockedCallWorks(h.get()) ? 0 : 1;
      }
    });
  }
  for (auto& t : threads) t.join();
  done = true;
  user.join();
  EXPECT_EQ(failures.load(), 0);
  ASSERT_EQ(kepra_CloseDevice(steady.release()), 1u);
  for (std::uint32_t index : {kIndex, other}) EXPECT_TRUE(LockedCallWorks(Handle(index).get()));
}

#ifndef _WIN32
// Runs `call` while the process has no descriptor left: the limit is lowered to the
// descriptors in use and the few free ones below it are taken.
template <typename Call>
void WithoutDescriptors(Call call) {
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  const int probe = dup(0);
  ASSERT_GE(probe, 0);
  rlimit low = saved;
  low.rlim_cur = static_cast<rlim_t>(probe) + 1;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> taken{probe};
  for (int fd; (fd = dup(0)) >= 0;) taken.push_back(fd);
  call();
  for (int fd : taken) close(fd);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
}

// The process runs out of descriptors exactly when calls need a further connection (a slow
// register write holds the handle's first one): they fail with the shortage, not as an
// unplug, and the camera serves the next calls.
TEST_F(CameraTest, RunningOutOfDescriptorsFailsTheCallsButLeavesTheCameraUsable) {
  UseSmallFrames(8);
  std::vector<std::uint8_t> frame(64 * 48);
  const auto size = static_cast<std::uint32_t>(frame.size());
  vcam::Fault stall;
  stall.action = vcam::Fault::Action::kStall;
  stall.code = io::IOCTL_SENSOR_REG;
  stall.stall_ms = 2000;
  camera_->AddFault(stall);
  std::atomic<std::uint32_t> slow_result{2};
  std::thread slow([&] { slow_result = kepra_WriteSensorReg(h(), 0x20, 7); });
  // Its lock's index request is done; give it time to send the write that stalls.
  while (camera_->Log().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  std::uint16_t value = 0;
  std::uint32_t locked = 2, locked_error = 0, grab = 2, grab_error = 0;
  WithoutDescriptors([&] {
    locked = kepra_ReadSensorReg(h(), 0x0E, &value);
    locked_error = kepra_GetLastError();
    grab = kepra_GetFrame8(h(), frame.data(), size);
    grab_error = kepra_GetLastError();
  });
  slow.join();
  EXPECT_EQ(locked, 0u);
  EXPECT_EQ(locked_error, KEPRA_STATUS_INVALID_PARAMETER);  // its index request failed
  EXPECT_EQ(grab, 0u);
  EXPECT_EQ(grab_error, 8u);          // ERROR_NOT_ENOUGH_MEMORY: system resources ran out
  EXPECT_EQ(slow_result.load(), 1u);  // the request in flight was not disturbed
  EXPECT_EQ(camera_->Register(0x20), 7);

  camera_->SetRegister(0x0E, 0x1234);
  ASSERT_EQ(kepra_ReadSensorReg(h(), 0x0E, &value), 1u);
  EXPECT_EQ(value, 0x1234);
  EXPECT_EQ(kepra_GetFrame8(h(), frame.data(), size), 1u);
}
#endif

}  // namespace
}  // namespace kt
