// Streams through the public API against the rig's virtual cameras: argument checks, pool
// strategies, counters, callbacks, and stops that must come back while a grab is blocked.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "fixture.h"

namespace kt {
namespace {

using namespace std::chrono_literals;

constexpr auto kWatchdog = 10s;  // a call that must not block is given this long

kepra_StreamConfig Config(std::uint32_t depth = 16, std::uint32_t count = 0,
                          std::uint32_t strategy = KEPRA_STREAM_OLDEST_FIRST,
                          std::uint32_t with_info = 1) {
  kepra_StreamConfig c{};
  c.Size = sizeof c;
  c.Depth = depth;
  c.BufferCount = count;
  c.Strategy = strategy;
  c.WithInfo = with_info;
  return c;
}

kepra_Frame EmptyFrame() {
  kepra_Frame f{};
  f.Size = sizeof f;
  return f;
}

kepra_StreamStats Stats(KEPRA_STREAM s) {
  kepra_StreamStats st{};
  st.Size = sizeof st;
  EXPECT_EQ(kepra_GetStreamStats(s, &st), 1u);
  return st;
}

// Unwraps a counter of a run that starts at 0xFFFFFF00 (the camera's first) and stays within
// 2^31 frames of it.
std::uint64_t Unwrapped(std::uint32_t counter) {
  return counter >= 0x80000000u ? counter : (std::uint64_t{1} << 32) + counter;
}

// Runs `call` on a thread of its own; true when it returned within the watchdog. Otherwise
// `unblock` releases it (so that a failing test ends) and the result is false.
bool ReturnsPromptly(const std::function<void()>& call, const std::function<void()>& unblock) {
  auto done = std::async(std::launch::async, call);
  if (done.wait_for(kWatchdog) == std::future_status::ready) return true;
  unblock();
  return false;
}

class Stream : public CameraTest {
 protected:
  void SetUp() override {
    CameraTest::SetUp();
    UseSmallFrames(10);
  }
  void TearDown() override {
    if (stream_) {
      EXPECT_EQ(kepra_CloseStream(stream_), 1u);
    }
    CameraTest::TearDown();
  }

  // Caller buffers live in the fixture: the stream writes into them until TearDown closes it.
  std::vector<std::vector<std::uint64_t>> caller_buffers_;

  KEPRA_STREAM Open(const kepra_StreamConfig& c) {
    stream_ = kepra_OpenStream(h(), &c);
    EXPECT_NE(stream_, nullptr) << kepra_GetLastError();
    return stream_;
  }

  // Waits (up to the watchdog) until the stream's statistics satisfy `done`.
  template <typename Done>
  kepra_StreamStats WaitForStats(Done done) {
    const auto until = std::chrono::steady_clock::now() + kWatchdog;
    kepra_StreamStats st = Stats(stream_);
    while (!done(st) && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(2ms);
      st = Stats(stream_);
    }
    EXPECT_TRUE(done(st)) << "statistics never got there";
    return st;
  }

  // Frame requests the camera answered with `error` so far.
  std::size_t FrameRequestsFailedWith(std::uint32_t error) const {
    std::size_t n = 0;
    for (const auto& e : camera_->Log()) {
      if (e.code == io::IOCTL_GET_FRAME_EX16 && !e.ok && e.error == error) ++n;
    }
    return n;
  }

  // A paced camera at its fastest (above 50 frames a second) whose `nth` frame request is held
  // up for about five frame periods.
  void PacedWithAStall(std::uint64_t nth) {
    ASSERT_EQ(kepra_SetFrequency(h(), 114), 1u);
    double rate = 0;
    ASSERT_EQ(kepra_SetFrameRate(h(), 300.0, &rate), 1u);
    ASSERT_GT(rate, 50.0);
    camera_->SetPaced(true);
    vcam::Fault stall;
    stall.action = vcam::Fault::Action::kStall;
    stall.code = io::IOCTL_GET_FRAME_EX16;
    stall.nth = nth;
    stall.stall_ms = static_cast<std::uint32_t>(5000 / rate) + 1;
    camera_->AddFault(stall);
  }

  // The camera saw its client go and gave up the wait: no thread of it stays blocked.
  void ExpectOneGrabCancelled() {
    const auto until = std::chrono::steady_clock::now() + kWatchdog;
    while (FrameRequestsFailedWith(995) == 0 && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(FrameRequestsFailedWith(995), 1u);
  }

  void SnapshotWithoutTimeout() {
    ASSERT_EQ(kepra_SetStreamMode(h(), KEPRA_STREAM_SNAPSHOT), 1u);
    ASSERT_EQ(kepra_SetSnapshotParams(h(), 0, 0), 1u);
  }

  KEPRA_STREAM stream_ = nullptr;
};

TEST_F(Stream, OpenRefusesBadConfigurationsWithoutGrabbing) {
  std::vector<std::uint8_t> a(64 * 48 * 2 + 4096), b(a.size());
  void* buffers[2] = {a.data(), b.data()};
  void* with_null[2] = {a.data(), nullptr};
  struct Case {
    const char* what;
    kepra_StreamConfig config;
    std::uint32_t error;
  };
  std::vector<Case> cases;
  auto c = Config();
  c.Size = sizeof c - 1;
  cases.push_back({"short Size", c, KEPRA_ERROR_INVALID_PARAMETER});
  cases.push_back({"depth 12", Config(12), KEPRA_ERROR_INVALID_PARAMETER});
  cases.push_back({"strategy 2", Config(16, 0, 2), KEPRA_ERROR_INVALID_PARAMETER});
  cases.push_back({"1025 buffers", Config(16, 1025), KEPRA_ERROR_INVALID_PARAMETER});
  c = Config(16, 0);
  c.Buffers = buffers;
  c.BufferBytes = static_cast<std::uint32_t>(a.size());
  cases.push_back({"caller buffers without a count", c, KEPRA_ERROR_INVALID_PARAMETER});
  c = Config(16, 2);
  c.Buffers = with_null;
  c.BufferBytes = static_cast<std::uint32_t>(a.size());
  cases.push_back({"a null caller buffer", c, KEPRA_ERROR_INVALID_ADDRESS});
  // One byte short of a frame with its record; then room for the samples but not the record.
  c = Config(16, 2);
  c.Buffers = buffers;
  c.BufferBytes = static_cast<std::uint32_t>(a.size()) - 1;
  cases.push_back({"buffers a byte short", c, KEPRA_ERROR_INSUFFICIENT_BUFFER});
  c.BufferBytes = 64 * 48 * 2;
  cases.push_back({"buffers without room for the record", c, KEPRA_ERROR_INSUFFICIENT_BUFFER});
  c = Config(8, 2, KEPRA_STREAM_OLDEST_FIRST, 0);
  c.Buffers = buffers;
  c.BufferBytes = 64 * 48 - 1;
  cases.push_back({"8-bit buffers a byte short", c, KEPRA_ERROR_INSUFFICIENT_BUFFER});
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    kepra_SetLastError(kSentinel);
    EXPECT_EQ(kepra_OpenStream(h(), &k.config), nullptr);
    EXPECT_EQ(kepra_GetLastError(), k.error);
  }
  const auto ok = Config();
  kepra_SetLastError(kSentinel);
  EXPECT_EQ(kepra_OpenStream(KEPRA_INVALID_HANDLE, &ok), nullptr);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_HANDLE);
  EXPECT_EQ(kepra_OpenStream(h(), nullptr), nullptr);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_ADDRESS);
  for (const auto& e : camera_->Log()) {
    EXPECT_NE(e.code, io::IOCTL_GET_FRAME_EX16) << "a refused stream grabbed a frame";
    EXPECT_NE(e.code, io::IOCTL_GET_FRAME8);
  }
}

TEST_F(Stream, CallsOnNullClosedOrUnstartedStreamsFailCleanly) {
  kepra_Frame f = EmptyFrame();
  kepra_StreamStats st{};
  st.Size = sizeof st;
  const kepra_StreamConfig config = Config();
  KEPRA_STREAM closed = kepra_OpenStream(h(), &config);
  ASSERT_NE(closed, nullptr);
  ASSERT_EQ(kepra_CloseStream(closed), 1u);
  for (KEPRA_STREAM s : {static_cast<KEPRA_STREAM>(nullptr), closed}) {
    kepra_SetLastError(kSentinel);
    EXPECT_EQ(kepra_StartStream(s), 0u);
    EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_HANDLE);
    EXPECT_EQ(kepra_NextFrame(s, &f, 0), 0u);
    EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_HANDLE);
    EXPECT_EQ(kepra_ReleaseFrame(s, &f), 0u);
    EXPECT_EQ(kepra_StopStream(s), 0u);
    EXPECT_EQ(kepra_GetStreamStats(s, &st), 0u);
    EXPECT_EQ(kepra_SetFrameCallback(s, nullptr, nullptr), 0u);
    EXPECT_EQ(kepra_CloseStream(s), 0u);
    EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_HANDLE);
  }
  KEPRA_STREAM s = Open(Config());
  // Not started: nothing comes, at once.
  EXPECT_EQ(kepra_NextFrame(s, &f, KEPRA_INFINITE), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_OPERATION_ABORTED);
  EXPECT_EQ(kepra_NextFrame(s, nullptr, 0), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_ADDRESS);
  kepra_Frame short_frame{};
  short_frame.Size = sizeof short_frame - 8;
  EXPECT_EQ(kepra_NextFrame(s, &short_frame, 0), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_PARAMETER);
  EXPECT_EQ(kepra_ReleaseFrame(s, &f), 0u);  // never taken
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_PARAMETER);
  EXPECT_EQ(kepra_StopStream(s), 1u);  // stopping a stopped stream is fine
  ASSERT_EQ(kepra_StartStream(s), 1u);
  EXPECT_EQ(kepra_StartStream(s), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_STATE);
  EXPECT_EQ(kepra_SetFrameCallback(s, nullptr, nullptr), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_STATE);
}

// A second camera with the same seed renders the same frame for the same counter, so the
// stream's frames can be held against plain grabs without a renderer of the test's own.
TEST_F(Stream, FramesHoldWhatAPlainGrabOfTheSameCameraStateGives) {
  const std::uint32_t twin_index = kIndex + 1;
  auto twin = rig_.Plug(twin_index);
  Handle twin_handle(twin_index);
  ASSERT_TRUE(twin_handle.ok());
  kepra_FrameParams p{};
  ASSERT_EQ(kepra_GetFrameParams(h(), &p), 1u);
  ASSERT_EQ(kepra_SetFrameParams(twin_handle.get(), &p), 1u);
  ASSERT_EQ(kepra_SetGain(h(), 2.0, 1.5), 1u);
  ASSERT_EQ(kepra_SetGain(twin_handle.get(), 2.0, 1.5), 1u);

  for (const std::uint32_t depth : {16u, 8u}) {
    SCOPED_TRACE(testing::Message() << depth << " bits");
    KEPRA_STREAM s = Open(Config(depth, 4));
    ASSERT_EQ(kepra_StartStream(s), 1u);
    std::vector<kepra_Frame> frames;
    std::vector<std::vector<std::uint8_t>> copies;
    for (int i = 0; i < 3; ++i) {
      kepra_Frame f = EmptyFrame();
      ASSERT_EQ(kepra_NextFrame(s, &f, 5000), 1u) << kepra_GetLastError();
      const auto* samples = static_cast<const std::uint8_t*>(f.Samples);
      copies.emplace_back(samples, samples + f.Bytes);
      frames.push_back(f);
      ASSERT_EQ(kepra_ReleaseFrame(s, &f), 1u);
    }
    ASSERT_EQ(kepra_CloseStream(s), 1u);
    stream_ = nullptr;

    // The twin produces counters one by one; grab up to each of the stream's.
    const std::uint32_t bytes = 64 * 48 * depth / 8;
    std::vector<std::uint8_t> plain(4096 + bytes);
    for (std::size_t i = 0; i < frames.size(); ++i) {
      const kepra_Frame& f = frames[i];
      EXPECT_EQ(f.Sequence, i);
      EXPECT_EQ(f.Width, 64u);
      EXPECT_EQ(f.Height, 48u);
      EXPECT_EQ(f.Depth, depth);
      EXPECT_EQ(f.BitDepth, depth == 16 ? 10u : 8u);
      EXPECT_EQ(f.Bytes, bytes);
      ASSERT_NE(f.Info, nullptr);
      EXPECT_EQ(static_cast<const void*>(reinterpret_cast<const std::uint8_t*>(f.Info) + 4096),
                f.Samples);
      const auto grab = depth == 16 ? kepra_GetFrameAfterEx16 : kepra_GetFrameAfterEx8;
      ASSERT_EQ(grab(twin_handle.get(), plain.data(), static_cast<std::uint32_t>(plain.size()),
                     f.FrameCounter - 1),
                1u);
      kepra_FrameInfo info;
      std::memcpy(&info, plain.data(), sizeof info);
      ASSERT_EQ(info.FrameCounter, f.FrameCounter);
      EXPECT_TRUE(std::equal(copies[i].begin(), copies[i].end(), plain.begin() + 4096))
          << "frame " << i;
    }
  }
}

TEST_F(Stream, WithoutRecordsFramesCarryNoCounterAndSkipNothing) {
  KEPRA_STREAM s = Open(Config(8, 2, KEPRA_STREAM_OLDEST_FIRST, 0));
  ASSERT_EQ(kepra_StartStream(s), 1u);
  for (int i = 0; i < 5; ++i) {
    kepra_Frame f = EmptyFrame();
    ASSERT_EQ(kepra_NextFrame(s, &f, 5000), 1u);
    EXPECT_EQ(f.Info, nullptr);
    EXPECT_EQ(f.FrameCounter, 0u);
    EXPECT_EQ(f.Bytes, 64u * 48u);
    ASSERT_EQ(kepra_ReleaseFrame(s, &f), 1u);
  }
  // Another client takes frames of its own: gaps the stream cannot see without records.
  std::vector<std::uint8_t> other(64 * 48);
  ASSERT_EQ(kepra_GetFrame8(h(), other.data(), 64 * 48), 1u);
  kepra_StopStream(s);
  EXPECT_EQ(Stats(s).Skipped, 0u);
}

// Without a count the pool has the documented eight buffers.
TEST_F(Stream, OldestFirstKeepsTheFirstFramesAndDropsNewOnesWhenThePoolIsFull) {
  for (const auto& [count, pool] : {std::pair{4u, 4u}, std::pair{0u, 8u}}) {
    SCOPED_TRACE(count);
    KEPRA_STREAM s = Open(Config(16, count, KEPRA_STREAM_OLDEST_FIRST));
    ASSERT_EQ(kepra_StartStream(s), 1u);
    WaitForStats([](const kepra_StreamStats& st) { return st.Received >= 30; });
    ASSERT_EQ(kepra_StopStream(s), 1u);
    const kepra_StreamStats st = Stats(s);
    EXPECT_EQ(st.Running, 0u);
    EXPECT_EQ(st.Queued, pool);
    EXPECT_EQ(st.Dropped, st.Received - pool);
    EXPECT_EQ(st.Skipped, 0u);  // nobody else asked the unpaced camera for frames
    // Queued before the stop, still handed out: the first ones, in order (on the first stream
    // from the camera's first frame).
    std::uint32_t first = count ? vcam::Camera::kFirstFrameCounter : 0;
    for (std::uint32_t i = 0; i < pool; ++i) {
      kepra_Frame f = EmptyFrame();
      ASSERT_EQ(kepra_NextFrame(s, &f, 0), 1u);
      EXPECT_EQ(f.Sequence, i);
      if (i == 0 && !count) first = f.FrameCounter;
      EXPECT_EQ(f.FrameCounter, first + i);
    }
    kepra_Frame f = EmptyFrame();
    EXPECT_EQ(kepra_NextFrame(s, &f, 1000), 0u);
    EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_OPERATION_ABORTED);
    EXPECT_EQ(Stats(s).Held, pool);
    EXPECT_EQ(Stats(s).Delivered, pool);
    ASSERT_EQ(kepra_CloseStream(s), 1u);
    stream_ = nullptr;
  }
}

TEST_F(Stream, NewestOnlyKeepsOneWaitingFrameTheLatest) {
  KEPRA_STREAM s = Open(Config(16, 4, KEPRA_STREAM_NEWEST_ONLY));
  ASSERT_EQ(kepra_StartStream(s), 1u);
  WaitForStats([](const kepra_StreamStats& st) { return st.Received >= 30; });
  ASSERT_EQ(kepra_StopStream(s), 1u);
  kepra_StreamStats st = Stats(s);
  EXPECT_EQ(st.Queued, 1u);
  EXPECT_EQ(st.Dropped, st.Received - 1);
  kepra_Frame f = EmptyFrame();
  ASSERT_EQ(kepra_NextFrame(s, &f, 0), 1u);
  EXPECT_EQ(f.Sequence, st.Received - 1);
  EXPECT_EQ(f.FrameCounter,
            static_cast<std::uint32_t>(vcam::Camera::kFirstFrameCounter + st.Received - 1));
  ASSERT_EQ(kepra_ReleaseFrame(s, &f), 1u);

  // With every buffer held, new frames have nowhere to go: all dropped, none queued; a
  // released buffer takes the next one.
  ASSERT_EQ(kepra_StartStream(s), 1u);
  std::vector<kepra_Frame> held;
  while (held.size() < 4) {
    kepra_Frame g = EmptyFrame();
    ASSERT_EQ(kepra_NextFrame(s, &g, 5000), 1u);
    held.push_back(g);
  }
  const std::uint64_t received = Stats(s).Received;
  st = WaitForStats([&](const kepra_StreamStats& x) { return x.Received >= received + 20; });
  EXPECT_EQ(st.Held, 4u);
  EXPECT_EQ(st.Queued, 0u);
  ASSERT_EQ(kepra_ReleaseFrame(s, &held.back()), 1u);
  kepra_Frame g = EmptyFrame();
  ASSERT_EQ(kepra_NextFrame(s, &g, 5000), 1u);
  EXPECT_GT(g.Sequence, received + 19);
  EXPECT_EQ(g.Buffer, held.back().Buffer);  // the only free buffer
  EXPECT_EQ(kepra_ReleaseFrame(s, &held.back()), 0u) << "released twice";
}

// A paced camera through the wrap of its 32-bit counter (it starts at 0xFFFFFF00). One grab
// request is stalled (the camera's frames go on: skipped, and from then on several requests
// wait at the camera, AfterEx), one of those fails.
TEST_F(Stream, CountsSkippedFramesAcrossTheCounterWrapAndFailedGrabs) {
  ASSERT_NO_FATAL_FAILURE(PacedWithAStall(20));
  FailNth(io::IOCTL_GET_FRAME_AFTER_EX16, 20);

  // More buffers than the ~290 frames the test takes: a consumer slowed by a busy machine must
  // not make the stream drop frames, which would leave gaps no counter explains.
  KEPRA_STREAM s = Open(Config(16, 512));
  ASSERT_EQ(kepra_StartStream(s), 1u);
  std::vector<std::uint64_t> counters;
  while (counters.empty() || counters.back() < Unwrapped(0x20)) {
    kepra_Frame f = EmptyFrame();
    ASSERT_EQ(kepra_NextFrame(s, &f, 5000), 1u) << kepra_GetLastError();
    counters.push_back(Unwrapped(f.FrameCounter));
    ASSERT_EQ(kepra_ReleaseFrame(s, &f), 1u);
  }
  ASSERT_EQ(kepra_StopStream(s), 1u);
  for (;;) {  // what was queued at the stop
    kepra_Frame f = EmptyFrame();
    if (!kepra_NextFrame(s, &f, 0)) break;
    counters.push_back(Unwrapped(f.FrameCounter));
  }
  const kepra_StreamStats st = Stats(s);
  ASSERT_EQ(st.Dropped, 0u) << "the consumer kept up; every frame received was delivered";
  ASSERT_EQ(st.Received, counters.size());
  EXPECT_LT(counters.front(), std::uint64_t{1} << 32);
  EXPECT_GE(counters.back(), std::uint64_t{1} << 32);
  // Every counter from the first to the last was either received (once) or skipped.
  EXPECT_EQ(std::set<std::uint64_t>(counters.begin(), counters.end()).size(), counters.size());
  const auto [low, high] = std::minmax_element(counters.begin(), counters.end());
  EXPECT_EQ(st.Skipped + st.Received, *high - *low + 1);
  // The failed request's frame at least (the stall's, unless a busy machine made the stream
  // miss a frame and take up waiting requests before the stall came).
  EXPECT_GE(st.Skipped, 1u);
  EXPECT_EQ(st.Failures, 1u);
  EXPECT_EQ(st.LastError, 31u);
}

// Once a frame went missing (a request stalled for five periods), several requests wait at the
// camera; one of them held up for good then holds up nothing else: the others keep frames
// coming, in order. (With one request at a time the stream would stand still.) Five buffers:
// the fewest for which two requests wait.
TEST_F(Stream, ARequestHeldUpAtTheCameraDoesNotStopTheFrames) {
  ASSERT_NO_FATAL_FAILURE(PacedWithAStall(3));
  vcam::Fault stall;
  stall.action = vcam::Fault::Action::kStall;
  stall.nth = 3;
  stall.code = io::IOCTL_GET_FRAME_AFTER_EX16;
  stall.stall_ms = 3600 * 1000;  // until the camera goes away
  camera_->AddFault(stall);

  KEPRA_STREAM s = Open(Config(16, 5));
  ASSERT_EQ(kepra_StartStream(s), 1u);
  std::vector<std::uint64_t> counters;
  for (int i = 0; i < 60; ++i) {
    kepra_Frame f = EmptyFrame();
    ASSERT_EQ(kepra_NextFrame(s, &f, 5000), 1u) << "frame " << i << ": " << kepra_GetLastError();
    counters.push_back(Unwrapped(f.FrameCounter));
    ASSERT_EQ(kepra_ReleaseFrame(s, &f), 1u);
  }
  EXPECT_TRUE(std::is_sorted(counters.begin(), counters.end()));
  EXPECT_GE(Stats(s).Skipped, 1u) << "the held-up request's frame";
  const auto log = camera_->Log();
  EXPECT_GE(std::count_if(
                log.begin(), log.end(),
                [](const vcam::LogEntry& e) { return e.code == io::IOCTL_GET_FRAME_AFTER_EX16; }),
            2)
      << "the frames came through requests waiting at the camera";
  rig_.Unplug(kIndex);  // ends the hold
  ASSERT_TRUE(ReturnsPromptly([&] { EXPECT_EQ(kepra_StopStream(s), 1u); }, [] {}));
}

TEST_F(Stream, StopReturnsWhileAPacedGrabWaitsForItsFrame) {
  ASSERT_EQ(kepra_SetFrequency(h(), 40), 1u);
  ASSERT_EQ(kepra_SetMinFrameRate(h()), 1u);  // a frame every 53 s
  camera_->SetPaced(true);
  KEPRA_STREAM s = Open(Config(16, 2));
  ASSERT_EQ(kepra_StartStream(s), 1u);
  std::this_thread::sleep_for(50ms);  // the first grab is waiting in the camera
  ASSERT_TRUE(
      ReturnsPromptly([&] { EXPECT_EQ(kepra_StopStream(s), 1u); }, [&] { rig_.Unplug(kIndex); }));
  EXPECT_EQ(Stats(s).Running, 0u);
  EXPECT_EQ(Stats(s).Failures, 0u) << "a cancelled grab is no failure";
  ExpectOneGrabCancelled();
  // The camera handle of the application was not touched by the cancel.
  std::uint32_t exposure = 0;
  EXPECT_EQ(kepra_GetExposure(h(), &exposure), 1u);
}

// A stop from another thread ends a trigger wait without timeout: the grab at the camera and
// the consumer waiting in NextFrame.
TEST_F(Stream, StopReturnsDuringATriggerWaitWithoutTimeoutAndTriggersDeliver) {
  SnapshotWithoutTimeout();
  KEPRA_STREAM s = Open(Config(16, 2));
  ASSERT_EQ(kepra_StartStream(s), 1u);
  camera_->Trigger();
  kepra_Frame f = EmptyFrame();
  ASSERT_EQ(kepra_NextFrame(s, &f, 5000), 1u);
  ASSERT_EQ(kepra_ReleaseFrame(s, &f), 1u);
  EXPECT_EQ(kepra_NextFrame(s, &f, 100), 0u);  // no trigger, no frame
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_TIMEOUT);
  std::atomic<std::uint32_t> result{7}, error{0};
  std::thread waiter([&] {
    kepra_Frame g = EmptyFrame();
    result = kepra_NextFrame(s, &g, KEPRA_INFINITE);
    error = kepra_GetLastError();
  });
  std::this_thread::sleep_for(50ms);
  const auto trigger = [&] { camera_->Trigger(); };
  EXPECT_TRUE(ReturnsPromptly([&] { EXPECT_EQ(kepra_StopStream(s), 1u); }, trigger));
  EXPECT_TRUE(ReturnsPromptly([&] { waiter.join(); }, [&] { kepra_StopStream(s); }));
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(error, KEPRA_ERROR_OPERATION_ABORTED);
  ExpectOneGrabCancelled();
  // Started again, the stream takes the next trigger.
  ASSERT_EQ(kepra_StartStream(s), 1u);
  camera_->Trigger();
  ASSERT_EQ(kepra_NextFrame(s, &f, 5000), 1u);
  EXPECT_EQ(f.Sequence, 0u);
  ASSERT_EQ(kepra_ReleaseFrame(s, &f), 1u);
}

TEST_F(Stream, SeveralConsumersShareTheFramesEachOnce) {
  KEPRA_STREAM s = Open(Config(16, 6));
  ASSERT_EQ(kepra_StartStream(s), 1u);
  std::mutex mutex;
  std::set<std::uint64_t> seen;
  std::atomic<bool> duplicate{false};
  auto consume = [&] {
    for (int i = 0; i < 40; ++i) {
      kepra_Frame f = EmptyFrame();
      if (!kepra_NextFrame(s, &f, 5000)) return;
      {
        std::lock_guard lock(mutex);
        if (!seen.insert(f.Sequence).second) duplicate = true;
      }
      kepra_ReleaseFrame(s, &f);
    }
  };
  std::thread a(consume), b(consume);
  a.join();
  b.join();
  kepra_StopStream(s);
  EXPECT_FALSE(duplicate);
  EXPECT_EQ(seen.size(), 80u);
  EXPECT_EQ(Stats(s).Delivered, 80u);
  EXPECT_EQ(Stats(s).Held, 0u);
}

struct CallbackLog {
  std::mutex mutex;
  std::vector<std::uint64_t> sequences;
  std::set<std::thread::id> threads;
  std::atomic<int> calls{0};
  KEPRA_STREAM stop_from_inside = nullptr;
  int stall_ms = 0;
};

void KEPRA_CALL OnFrame(const kepra_Frame* frame, void* context) {
  auto* log = static_cast<CallbackLog*>(context);
  {
    std::lock_guard lock(log->mutex);
    log->sequences.push_back(frame->Sequence);
    log->threads.insert(std::this_thread::get_id());
  }
  if (log->stall_ms) std::this_thread::sleep_for(std::chrono::milliseconds(log->stall_ms));
  if (++log->calls == 5 && log->stop_from_inside) kepra_StopStream(log->stop_from_inside);
}

TEST_F(Stream, CallbackGetsFramesInOrderOnItsOwnThreadAndMayStopTheStream) {
  KEPRA_STREAM s = Open(Config(16, 4));
  CallbackLog log;
  log.stop_from_inside = s;
  ASSERT_EQ(kepra_SetFrameCallback(s, OnFrame, &log), 1u);
  ASSERT_EQ(kepra_StartStream(s), 1u);
  kepra_Frame f = EmptyFrame();
  EXPECT_EQ(kepra_NextFrame(s, &f, 0), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_STATE);
  // Stopped from the fifth call, whose buffer goes back once it has returned.
  WaitForStats([](const kepra_StreamStats& st) { return st.Running == 0 && st.Held == 0; });
  std::lock_guard lock(log.mutex);
  ASSERT_EQ(log.calls.load(), 5);
  EXPECT_EQ(log.threads.size(), 1u);
  EXPECT_EQ(log.threads.count(std::this_thread::get_id()), 0u);
  for (std::size_t i = 1; i < log.sequences.size(); ++i) {
    EXPECT_GT(log.sequences[i], log.sequences[i - 1]);
  }
}

TEST_F(Stream, ASlowCallbackHoldsOneBufferWhileGrabbingGoesOn) {
  KEPRA_STREAM s = Open(Config(16, 3));
  CallbackLog log;
  log.stall_ms = 30;
  ASSERT_EQ(kepra_SetFrameCallback(s, OnFrame, &log), 1u);
  ASSERT_EQ(kepra_StartStream(s), 1u);
  const kepra_StreamStats st =
      WaitForStats([](const kepra_StreamStats& x) { return x.Received >= 50 && x.Delivered >= 2; });
  EXPECT_LE(st.Held, 1u);
  EXPECT_GT(st.Dropped, 0u);
  ASSERT_TRUE(ReturnsPromptly([&] { EXPECT_EQ(kepra_StopStream(s), 1u); }, [] {}));
  const kepra_StreamStats end = Stats(s);
  EXPECT_EQ(end.Received, end.Delivered + end.Dropped + end.Queued);
}

TEST_F(Stream, CallerBuffersOfExactlyAFrameReceiveTheFrames) {
  const std::uint32_t bytes = 4096 + 64 * 48 * 2;
  caller_buffers_.assign(3, std::vector<std::uint64_t>(bytes / 8));
  void* buffers[3] = {caller_buffers_[0].data(), caller_buffers_[1].data(),
                      caller_buffers_[2].data()};
  auto c = Config(16, 3);
  c.Buffers = buffers;
  c.BufferBytes = bytes;
  KEPRA_STREAM s = Open(c);
  ASSERT_EQ(kepra_StartStream(s), 1u);
  for (int i = 0; i < 6; ++i) {
    kepra_Frame f = EmptyFrame();
    ASSERT_EQ(kepra_NextFrame(s, &f, 5000), 1u);
    ASSERT_LT(f.Buffer, 3u);
    EXPECT_EQ(static_cast<const void*>(f.Info), buffers[f.Buffer]);
    EXPECT_EQ(f.Info->Width, 64u);
    EXPECT_EQ(f.Info->FrameCounter, f.FrameCounter);
    ASSERT_EQ(kepra_ReleaseFrame(s, &f), 1u);
  }
}

TEST_F(Stream, ACameraThatGoesAwayEndsTheStream) {
  KEPRA_STREAM s = Open(Config(16, 2));
  ASSERT_EQ(kepra_StartStream(s), 1u);
  kepra_Frame f = EmptyFrame();
  ASSERT_EQ(kepra_NextFrame(s, &f, 5000), 1u);
  ASSERT_EQ(kepra_ReleaseFrame(s, &f), 1u);
  rig_.Unplug(kIndex);
  for (int i = 0; i < 10; ++i) {  // frames queued before the unplug come first
    if (!kepra_NextFrame(s, &f, 5000)) break;
    kepra_ReleaseFrame(s, &f);
  }
  EXPECT_EQ(kepra_NextFrame(s, &f, 5000), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_DEVICE_NOT_CONNECTED);
  const kepra_StreamStats st = Stats(s);
  EXPECT_EQ(st.Running, 0u);
  EXPECT_EQ(st.LastError, KEPRA_ERROR_DEVICE_NOT_CONNECTED);
}

}  // namespace
}  // namespace kt
