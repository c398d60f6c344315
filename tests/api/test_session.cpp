// Opening and closing cameras, from many threads too, and the device lock, through the
// public API; descriptors that run out are no unplug.
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "fixture.h"

namespace kt {
namespace {

TEST(Open, RefusesIndicesAbove34WithoutTouchingTheLastError) {
  rig::Rig rig;
  rig.Plug(34);
  for (std::uint32_t index : {35u, 36u, 0x80000000u, 0xFFFFFFFFu}) {
    kepra_SetLastError(kSentinel);
    EXPECT_EQ(kepra_OpenDevice(index), KEPRA_INVALID_HANDLE) << index;
    EXPECT_EQ(kepra_GetLastError(), kSentinel) << index;
  }
  Handle last(34);  // the highest index is served
  EXPECT_TRUE(last.ok());
}

// Each camera under its own index; the same index twice gives two handles sharing its lock,
// which keeps working through one when the other is closed, and opens afresh after the last.
TEST(Open, FindsEachCameraUnderItsIndexAndSharesTheLockOfAnIndexOpenedTwice) {
  rig::Rig rig;
  auto a = rig.Plug(0);
  auto b = rig.Plug(kIndex);
  Handle ha(0), first(kIndex), second(kIndex);
  ASSERT_TRUE(ha.ok() && first.ok() && second.ok());
  EXPECT_NE(first.get(), second.get());
  ASSERT_TRUE(kepra_WriteSensorReg(ha.get(), 0x100, 0xA));
  ASSERT_TRUE(kepra_WriteSensorReg(first.get(), 0x100, 0xB));
  EXPECT_EQ(a->Register(0x100), 0xA);
  EXPECT_EQ(b->Register(0x100), 0xB);

  ASSERT_EQ(kepra_CloseDevice(first.release()), 1u);
  std::uint16_t value = 0;
  ASSERT_TRUE(kepra_ReadSensorReg(second.get(), 0x100, &value));
  EXPECT_EQ(value, 0xB);
  ASSERT_EQ(kepra_CloseDevice(second.release()), 1u);
  Handle again(kIndex);
  ASSERT_TRUE(again.ok());
  EXPECT_TRUE(kepra_ReadSensorReg(again.get(), 0x0E, &value));
}

// An invalid handle is refused with 6 and nothing sent; any other value is closed and the close
// succeeds: one the system never gave out, or one whose release the driver refuses.
TEST_F(CameraTest, CloseRefusesOnlyTheInvalidHandle) {
  camera_->ClearLog();
  kepra_SetLastError(kSentinel);
  EXPECT_EQ(kepra_CloseDevice(KEPRA_INVALID_HANDLE), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_HANDLE);
  EXPECT_TRUE(camera_->Log().empty());
  EXPECT_EQ(kepra_CloseDevice(reinterpret_cast<KEPRA_HANDLE>(std::uintptr_t{0x7FFFFFF0})), 1u);

  FailCode(io::IOCTL_DEVICE_INDEX, 31);
  KEPRA_HANDLE raw = handle_->release();
  EXPECT_EQ(kepra_CloseDevice(raw), 1u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_STATUS_INVALID_PARAMETER);
  // The handle is closed: the system refuses it now.
  std::uint8_t frame[16];
  EXPECT_EQ(kepra_GetFrame8(raw, frame, sizeof frame), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_HANDLE);
}

// ---- The lock across processes -----------------------------------------------------------

class LockTest : public CameraTest {
 protected:
  // The lock holder's command line: a mode, the hold time for "hold-ms", the index.
  static std::vector<std::string> Holder(const char* mode, const char* ms = nullptr,
                                         std::uint32_t index = kIndex) {
    std::vector<std::string> args = {rig::HelperPath("kepra-test-lockholder"),
                                     std::to_string(index), mode};
    if (ms) args.push_back(ms);
    return args;
  }
};

TEST_F(LockTest, HeldInAnotherProcessMakesACallWaitThenFailAfter5000Ms) {
  rig::Child holder(Holder("hold"));
  ASSERT_TRUE(holder.WaitForLine("locked"));
  kepra_SetLastError(kSentinel);
  std::uint16_t value = 0x1111;
  const double start = rig::NowMs();
  EXPECT_EQ(kepra_ReadSensorReg(h(), 0x0E, &value), 0u);
  const double waited = rig::NowMs() - start;
  EXPECT_GE(waited, 4900.0);
  EXPECT_LT(waited, 9000.0);
  EXPECT_EQ(kepra_GetLastError(), kSentinel);  // a time-out sets no code of its own
  EXPECT_EQ(value, 0x1111);
  EXPECT_TRUE(WorkRequests().empty());
}

TEST_F(LockTest, IsHandedOverWhenTheOtherProcessReleasesIt) {
  rig::Child releaser(Holder("hold-ms", "400"));
  ASSERT_TRUE(releaser.WaitForLine("locked"));
  std::uint16_t value;
  const double start = rig::NowMs();
  EXPECT_EQ(kepra_ReadSensorReg(h(), 0x0E, &value), 1u);
  EXPECT_LT(rig::NowMs() - start, 4000.0);
  EXPECT_EQ(releaser.Wait(), 0);
}

// A lock whose owner was killed, exited or lost its thread while holding it is abandoned: the
// next owner takes it at once and owns it normally from then on. Another index's lock holds
// nothing up.
TEST_F(LockTest, AnAbandonedLockOrAnotherIndexsHoldsUpNothing) {
  const struct {
    const char* mode;
    std::uint32_t index;
    bool kill;
  } holders[] = {{"hold", kIndex, true},
                 {"exit", kIndex, false},
                 {"thread", kIndex, false},  // the process lives on, its thread has ended
                 {"hold", kIndex + 1, false}};
  for (const auto& c : holders) {
    SCOPED_TRACE(testing::Message() << c.mode << " " << c.index << (c.kill ? " killed" : ""));
    rig::Child holder(Holder(c.mode, nullptr, c.index));
    ASSERT_TRUE(holder.WaitForLine("locked"));
    if (c.kill) {
      holder.Kill();
      holder.Wait();
    } else if (c.mode == std::string("exit")) {
      EXPECT_EQ(holder.Wait(), 0);
    }
    std::uint16_t value;
    const double start = rig::NowMs();
    EXPECT_EQ(kepra_ReadSensorReg(h(), 0x0E, &value), 1u);
    EXPECT_LT(rig::NowMs() - start, 2000.0);
    EXPECT_EQ(kepra_WriteSensorReg(h(), 0x0E, 5), 1u);
  }
}

TEST_F(LockTest, AThreadOfThisProcessThatEndedOwningItLeavesTheCameraUsable) {
  // The thread's release fails (the driver refuses its index request), so the thread ends
  // still owning the lock.
  camera_->AddFault({.nth = 3});  // index, register write, index of the release
  std::uint32_t result = 0;
  std::thread([&] { result = kepra_WriteSensorReg(h(), 0x0E, 0x0123); }).join();
  EXPECT_EQ(result, 1u);
  ASSERT_EQ(camera_->Log().size(), 3u);
  EXPECT_FALSE(camera_->Log()[2].ok);

  // The next owner gets it at once and finds the camera as the thread left it.
  std::uint16_t value = 0;
  const double start = rig::NowMs();
  EXPECT_EQ(kepra_ReadSensorReg(h(), 0x0E, &value), 1u);
  EXPECT_LT(rig::NowMs() - start, 2000.0);
  EXPECT_EQ(value, 0x0123);
  // And releases it properly: another process takes it without waiting.
  rig::Child holder(Holder("hold-ms", "0"));
  const double asked = rig::NowMs();
  EXPECT_TRUE(holder.WaitForLine("released", 4000));
  EXPECT_LT(rig::NowMs() - asked, 3000.0);
}

#ifndef _WIN32
// Whether process `pid` maps the file `path` under that name (not as a deleted file).
bool MapsShow(long pid, const std::string& path) {
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  std::string line;
  while (std::getline(maps, line)) {
    if (line.ends_with(path)) return true;
  }
  return false;
}

// The lock object of our index in a device directory.
std::string LockPath(const std::string& dir) {
  return dir + "/vexol_" + static_cast<char>('0' + kIndex / 10) +
         static_cast<char>('0' + kIndex % 10);
}

// A cleaner that judges "in use" by /proc/PID/maps must see the lock object in every process
// that uses it; and when it is removed or replaced all the same, the lock keeps excluding.
TEST_F(LockTest, ShowsUnderItsNameAndKeepsExcludingWhenItsObjectIsRemoved) {
  const std::string path = LockPath(std::getenv("KEPRA_DEVICE_DIR"));
  std::uint16_t value;
  ASSERT_EQ(kepra_ReadSensorReg(h(), 0x0E, &value), 1u);
  EXPECT_TRUE(MapsShow(getpid(), path));

  // Removed while another process holds it: we still wait for that process.
  rig::Child first(Holder("hold-ms", "500"));
  ASSERT_TRUE(first.WaitForLine("locked"));
  EXPECT_TRUE(MapsShow(first.pid(), path));
  ASSERT_EQ(unlink(path.c_str()), 0);
  double start = rig::NowMs();
  EXPECT_EQ(kepra_ReadSensorReg(h(), 0x0E, &value), 1u);
  EXPECT_GE(rig::NowMs() - start, 300.0);
  EXPECT_EQ(first.Wait(), 0);
  EXPECT_TRUE(MapsShow(getpid(), path));  // the name leads to an object again, ours

  // Removed, then a new process publishes another one and holds it: we move to that one.
  ASSERT_EQ(unlink(path.c_str()), 0);
  rig::Child second(Holder("hold-ms", "500"));
  ASSERT_TRUE(second.WaitForLine("locked"));
  start = rig::NowMs();
  EXPECT_EQ(kepra_ReadSensorReg(h(), 0x0E, &value), 1u);
  EXPECT_GE(rig::NowMs() - start, 300.0);
  EXPECT_EQ(second.Wait(), 0);
  // And a process that comes later waits for us in turn: a register write that stalls
  // 800 ms holds the lock meanwhile.
  camera_->AddFault(
      {.action = vcam::Fault::Action::kStall, .code = io::IOCTL_SENSOR_REG, .stall_ms = 800});
  std::thread writer([&] { EXPECT_EQ(kepra_WriteSensorReg(h(), 0x0E, 7), 1u); });
  ASSERT_TRUE(Eventually([&] { return camera_->WaitingRequests() == 1; }));
  rig::Child third(Holder("hold-ms", "0"));
  EXPECT_FALSE(third.WaitForLine("locked", 300));
  writer.join();
  EXPECT_TRUE(third.WaitForLine("locked"));
  EXPECT_EQ(third.Wait(), 0);
}
#endif

#ifndef _WIN32
// The same index in another device directory (another user's cameras, another test run) is
// another camera with a lock of its own, kept beside its socket; its lock never holds ours up.
TEST_F(LockTest, IsPerDeviceDirectory) {
  char other[] = "/tmp/kepra-other-XXXXXX";
  ASSERT_NE(mkdtemp(other), nullptr);
  const std::string ours = std::getenv("KEPRA_DEVICE_DIR");
  setenv("KEPRA_DEVICE_DIR", other, 1);
  rig::Child holder(Holder("hold"));
  setenv("KEPRA_DEVICE_DIR", ours.c_str(), 1);
  ASSERT_TRUE(holder.WaitForLine("locked"));
  EXPECT_TRUE(MapsShow(holder.pid(), LockPath(other)));

  std::uint16_t value;
  const double start = rig::NowMs();
  EXPECT_EQ(kepra_ReadSensorReg(h(), 0x0E, &value), 1u);
  EXPECT_LT(rig::NowMs() - start, 2000.0);
  EXPECT_TRUE(MapsShow(getpid(), LockPath(ours)));
  holder.Kill();
  holder.Wait();
  std::error_code ignored;
  std::filesystem::remove_all(other, ignored);
}
#endif

// ---- Many threads, and a process without descriptors --------------------------------------

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
  camera_->AddFault(
      {.action = vcam::Fault::Action::kStall, .code = io::IOCTL_SENSOR_REG, .stall_ms = 2000});
  std::atomic<std::uint32_t> slow_result{2};
  std::thread slow([&] { slow_result = kepra_WriteSensorReg(h(), 0x20, 7); });
  ASSERT_TRUE(Eventually([&] { return camera_->WaitingRequests() == 1; }));  // the stalled write

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
