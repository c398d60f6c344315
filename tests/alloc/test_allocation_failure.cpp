// Allocation failure inside an export. This test program replaces operator new: during one
// export call the calling thread's n-th allocation throws std::bad_alloc, and n is swept over
// every allocation the call makes. Whichever fails, the export returns its failure value
// with last error 8, leaves no descriptor open and no lock held, and the camera works
// afterwards. (The virtual cameras serve on threads of their own, whose allocations never
// fail.)
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <iterator>
#include <new>
#include <thread>

#include "fixture.h"

namespace {

thread_local long t_fail_in = -1;  // allocations before the one that fails; -1: none fails
thread_local bool t_failed = false;

void* Allocate(std::size_t size) {
  if (t_fail_in == 0) {
    t_fail_in = -1;
    t_failed = true;
    throw std::bad_alloc();
  }
  if (t_fail_in > 0) --t_fail_in;
  if (void* memory = std::malloc(size ? size : 1)) return memory;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
// The library's nothrow allocations count too (and pair with the deletes above).
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }

namespace kt {
namespace {

std::ptrdiff_t OpenDescriptors() {
  return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

// The descriptors of this process once the cameras' server threads, which close their ends
// of finished connections in their own time, have settled (no change for 50 ms).
std::ptrdiff_t SettledDescriptors() {
  auto count = OpenDescriptors();
  for (int quiet = 0, round = 0; quiet < 10 && round < 400; ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const auto now = OpenDescriptors();
    quiet = now == count ? quiet + 1 : 0;
    count = now;
  }
  return count;
}

class AllocationFailure : public CameraTest {
 protected:
  // Calls `call` with its n-th allocation failing, for n = 0, 1, ... until a call gets
  // through all of its allocations; `undo` takes back a call that succeeded all the same.
  template <class Result>
  void Sweep(const char* name, const std::function<Result()>& call, Result failure,
             const std::function<void(Result)>& undo = nullptr) {
    int positions = 0;
    for (long n = 0; n < 100000; ++n) {
      SCOPED_TRACE(testing::Message() << name << ", allocation " << n);
      const auto descriptors = SettledDescriptors();
      t_failed = false;
      t_fail_in = n;
      const Result result = call();
      const std::uint32_t error = kepra_GetLastError();
      t_fail_in = -1;
      if (!t_failed) {
        if (undo) undo(result);
        break;
      }
      ++positions;
      EXPECT_EQ(result, failure);
      EXPECT_EQ(error, 8u);
      if (result != failure && undo) undo(result);
      EXPECT_EQ(SettledDescriptors(), descriptors);
      ExpectCameraWorks();
      if (HasFailure()) break;
    }
    std::printf("[ alloc    ] %s: %d allocation(s), each failed once\n", name, positions);
    EXPECT_GT(positions, 0) << name << " allocates nothing: the sweep tested nothing";
  }

  // Another thread opens the camera and reads a register under the lock: a lock left held by
  // this thread would keep it waiting for 5 s.
  void ExpectCameraWorks() {
    auto other = std::async(std::launch::async, [] {
      Handle second(kIndex);
      std::uint16_t value = 0;
      return second.ok() && kepra_ReadSensorReg(second.get(), 0x0E, &value) == 1;
    });
    ASSERT_EQ(other.wait_for(std::chrono::seconds(3)), std::future_status::ready) << "lock held";
    EXPECT_TRUE(other.get());
  }
};

TEST_F(AllocationFailure, OpenDevice) {
  handle_.reset();  // each attempt is the index's first open in the process
  Sweep<KEPRA_HANDLE>(
      "kepra_OpenDevice", [] { return kepra_OpenDevice(kIndex); }, KEPRA_INVALID_HANDLE,
      [](KEPRA_HANDLE h) { kepra_CloseDevice(h); });
  handle_ = std::make_unique<Handle>(kIndex);
  ASSERT_TRUE(handle_->ok());
}

TEST_F(AllocationFailure, WriteFlash) {
  constexpr std::uint32_t kSize = 300;
  std::vector<std::uint8_t> data(kSize), back(kSize);
  for (std::size_t i = 0; i < kSize; ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  Sweep<std::uint32_t>(
      "kepra_WriteFlash", [&] { return kepra_WriteFlash(h(), 4000, data.data(), kSize); }, 0u);
  // The call that got through wrote what it was given.
  ASSERT_EQ(kepra_ReadFlash(h(), 4000, back.data(), kSize), 1u);
  EXPECT_EQ(back, data);
}

TEST_F(AllocationFailure, OpenAndStartStream) {
  UseSmallFrames(8);
  kepra_StreamConfig config{sizeof config, 8, 4, KEPRA_STREAM_OLDEST_FIRST, 1, 0, nullptr};
  Sweep<KEPRA_STREAM>(
      "kepra_OpenStream", [&] { return kepra_OpenStream(h(), &config); }, nullptr,
      [](KEPRA_STREAM s) { kepra_CloseStream(s); });
  KEPRA_STREAM stream = kepra_OpenStream(h(), &config);
  ASSERT_NE(stream, nullptr);
  Sweep<std::uint32_t>(
      "kepra_StartStream", [&] { return kepra_StartStream(stream); }, 0u,
      [&](std::uint32_t) { kepra_StopStream(stream); });
  // The stream still runs after all those failures.
  ASSERT_EQ(kepra_StartStream(stream), 1u);
  kepra_Frame frame{};
  frame.Size = sizeof frame;
  EXPECT_EQ(kepra_NextFrame(stream, &frame, 5000), 1u);
  EXPECT_EQ(kepra_ReleaseFrame(stream, &frame), 1u);
  EXPECT_EQ(kepra_CloseStream(stream), 1u);
}

// The release of the lock asks the driver for the index once more; were that to allocate, a
// failure would leave the lock held. On an open camera a locked call allocates nothing.
TEST_F(AllocationFailure, ALockedCallOnAnOpenCameraAllocatesNothing) {
  t_failed = false;
  t_fail_in = 0;
  const std::uint32_t result = kepra_SetGain(h(), 2.0, 1.0);
  t_fail_in = -1;
  EXPECT_FALSE(t_failed);
  EXPECT_EQ(result, 1u);
}

}  // namespace
}  // namespace kt
