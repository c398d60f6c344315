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
#include <tuple>
#include <vector>

#include "fixture.h"

namespace kt {
namespace {

using namespace std::chrono_literals;
using Frames = std::vector<kepra_Frame>;
using Stall = vcam::Fault::Action;

constexpr auto kWatchdog = 10s;  // a call that must not block is given this long

kepra_StreamConfig Config(std::uint32_t depth = 16, std::uint32_t count = 0,
                          std::uint32_t strategy = KEPRA_STREAM_OLDEST_FIRST,
                          std::uint32_t with_info = 1, void* const* buffers = nullptr,
                          std::uint32_t buffer_bytes = 0) {
  return {sizeof(kepra_StreamConfig), depth, count, strategy, with_info, buffer_bytes, buffers};
}

// A record whose Size the caller sets, zero otherwise.
template <typename Record>
Record Sized() {
  Record r{};
  r.Size = sizeof r;
  return r;
}

kepra_StreamStats Stats(KEPRA_STREAM s) {
  auto st = Sized<kepra_StreamStats>();
  EXPECT_EQ(kepra_GetStreamStats(s, &st), 1u);
  return st;
}

// Takes up to `n` frames in turn, each given to `check` while held and then released; stops at
// the first that does not come within `timeout_ms` (its last error stays).
Frames Take(KEPRA_STREAM s, std::size_t n, std::uint32_t timeout_ms = 5000,
            const std::function<void(const kepra_Frame&)>& check = nullptr) {
  Frames frames;
  for (kepra_Frame f = Sized<kepra_Frame>();
       frames.size() < n && kepra_NextFrame(s, &f, timeout_ms);) {
    if (check) check(f);
    frames.push_back(f);
    EXPECT_EQ(kepra_ReleaseFrame(s, &f), 1u);
  }
  return frames;
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
    if (stream_) Close();
    CameraTest::TearDown();
  }

  KEPRA_STREAM Open(const kepra_StreamConfig& c) {
    stream_ = kepra_OpenStream(h(), &c);
    EXPECT_NE(stream_, nullptr) << kepra_GetLastError();
    return stream_;
  }
  KEPRA_STREAM OpenAndStart(const kepra_StreamConfig& c) {
    KEPRA_STREAM s = Open(c);
    EXPECT_EQ(kepra_StartStream(s), 1u);
    return s;
  }
  void Close() {
    EXPECT_EQ(kepra_CloseStream(stream_), 1u);
    stream_ = nullptr;
  }

  // Waits (up to the watchdog) until the stream's statistics satisfy `done`.
  template <typename Done>
  kepra_StreamStats WaitForStats(Done done) {
    kepra_StreamStats st{};
    EXPECT_TRUE(Eventually([&] { return done(st = Stats(stream_)); })) << "never got there";
    return st;
  }

  // Requests of `code` the camera received so far; with an `error`, those that failed with it.
  std::ptrdiff_t Requests(std::uint32_t code, std::uint32_t error = 0) const {
    const auto log = camera_->Log();
    return std::count_if(log.begin(), log.end(), [&](const vcam::LogEntry& e) {
      return e.code == code && (!error || (!e.ok && e.error == error));
    });
  }

  // A paced camera at its fastest (above 50 frames a second) whose `nth` frame request is held
  // up for about five frame periods.
  void PacedWithAStall(std::uint64_t nth) {
    ASSERT_EQ(kepra_SetFrequency(h(), 114), 1u);
    double rate = 0;
    ASSERT_EQ(kepra_SetFrameRate(h(), 300.0, &rate), 1u);
    ASSERT_GT(rate, 50.0);
    camera_->SetPaced(true);
    const auto stall_ms = static_cast<std::uint32_t>(5000 / rate) + 1;
    camera_->AddFault({.action = Stall::kStall,
                       .nth = nth,
                       .code = io::IOCTL_GET_FRAME_EX16,
                       .stall_ms = stall_ms});
  }

  // The camera saw its client go and gave up the wait: no thread of it stays blocked.
  bool OneGrabCancelled() const {
    return Eventually([&] { return Requests(io::IOCTL_GET_FRAME_EX16, 995) == 1; });
  }

  // Caller buffers live in the fixture: the stream writes into them until TearDown closes it.
  std::vector<std::vector<std::uint64_t>> caller_buffers_;
  KEPRA_STREAM stream_ = nullptr;
};

TEST_F(Stream, OpenRefusesBadConfigurationsWithoutGrabbing) {
  constexpr std::uint32_t kBytes = 4096 + 64 * 48 * 2;  // a 16-bit frame with its record
  std::vector<std::uint8_t> a(kBytes), b(kBytes);
  void* buffers[2] = {a.data(), b.data()};
  void* with_null[2] = {a.data(), nullptr};
  auto short_size = Config();
  --short_size.Size;
  const auto bad = KEPRA_ERROR_INVALID_PARAMETER, small = KEPRA_ERROR_INSUFFICIENT_BUFFER;
  const struct {
    const char* what;
    kepra_StreamConfig config;
    std::uint32_t error;
  } cases[] = {
      {"short Size", short_size, bad},
      {"depth 12", Config(12), bad},
      {"strategy 2", Config(16, 0, 2), bad},
      {"1025 buffers", Config(16, 1025), bad},
      {"caller buffers without a count", Config(16, 0, 0, 1, buffers, kBytes), bad},
      {"a null caller buffer", Config(16, 2, 0, 1, with_null, kBytes), KEPRA_ERROR_INVALID_ADDRESS},
      {"buffers a byte short", Config(16, 2, 0, 1, buffers, kBytes - 1), small},
      {"no room for the record", Config(16, 2, 0, 1, buffers, 64 * 48 * 2), small},
      {"8-bit buffers a byte short", Config(8, 2, 0, 0, buffers, 64 * 48 - 1), small},
  };
  for (const auto& c : cases) {
    kepra_SetLastError(kSentinel);
    EXPECT_EQ(kepra_OpenStream(h(), &c.config), nullptr) << c.what;
    EXPECT_EQ(kepra_GetLastError(), c.error) << c.what;
  }
  const auto ok = Config();
  EXPECT_TRUE(Failed(kepra_OpenStream(KEPRA_INVALID_HANDLE, &ok), KEPRA_ERROR_INVALID_HANDLE));
  EXPECT_TRUE(Failed(kepra_OpenStream(h(), nullptr), KEPRA_ERROR_INVALID_ADDRESS));
  EXPECT_EQ(Requests(io::IOCTL_GET_FRAME_EX16) + Requests(io::IOCTL_GET_FRAME8), 0)
      << "a refused stream grabbed a frame";
}

TEST_F(Stream, CallsOnNullClosedOrUnstartedStreamsFailCleanly) {
  kepra_Frame f = Sized<kepra_Frame>();
  auto st = Sized<kepra_StreamStats>();
  const kepra_StreamConfig config = Config();
  KEPRA_STREAM closed = kepra_OpenStream(h(), &config);
  ASSERT_EQ(kepra_CloseStream(closed), 1u);
  for (KEPRA_STREAM s : {KEPRA_STREAM{}, closed}) {
    for (const Call& call : {Call{[&] { return kepra_StartStream(s); }},
                             Call{[&] { return kepra_NextFrame(s, &f, 0); }},
                             Call{[&] { return kepra_ReleaseFrame(s, &f); }},
                             Call{[&] { return kepra_StopStream(s); }},
                             Call{[&] { return kepra_GetStreamStats(s, &st); }},
                             Call{[&] { return kepra_SetFrameCallback(s, nullptr, nullptr); }},
                             Call{[&] { return kepra_CloseStream(s); }}}) {
      kepra_SetLastError(kSentinel);
      EXPECT_TRUE(Failed(call(), KEPRA_ERROR_INVALID_HANDLE));
    }
  }
  KEPRA_STREAM s = Open(Config());
  // Not started: nothing comes, at once.
  EXPECT_TRUE(Failed(kepra_NextFrame(s, &f, KEPRA_INFINITE), KEPRA_ERROR_OPERATION_ABORTED));
  EXPECT_TRUE(Failed(kepra_NextFrame(s, nullptr, 0), KEPRA_ERROR_INVALID_ADDRESS));
  auto short_frame = Sized<kepra_Frame>();
  short_frame.Size -= 8;
  EXPECT_TRUE(Failed(kepra_NextFrame(s, &short_frame, 0), KEPRA_ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(Failed(kepra_ReleaseFrame(s, &f), KEPRA_ERROR_INVALID_PARAMETER));  // never taken
  EXPECT_EQ(kepra_StopStream(s), 1u);  // stopping a stopped stream is fine
  ASSERT_EQ(kepra_StartStream(s), 1u);
  EXPECT_TRUE(Failed(kepra_StartStream(s), KEPRA_ERROR_INVALID_STATE));
  EXPECT_TRUE(Failed(kepra_SetFrameCallback(s, nullptr, nullptr), KEPRA_ERROR_INVALID_STATE));
}

// A second camera with the same seed renders the same frame for the same counter, so the
// stream's frames can be held against plain grabs without a renderer of the test's own.
TEST_F(Stream, FramesHoldWhatAPlainGrabOfTheSameCameraStateGives) {
  const std::uint32_t twin_index = kIndex + 1;
  auto twin = rig_.Plug(twin_index);
  Handle twin_handle(twin_index);
  const kepra_FrameParams p = Value(kepra_GetFrameParams);
  ASSERT_EQ(kepra_SetFrameParams(twin_handle.get(), &p), 1u);
  for (KEPRA_HANDLE handle : {h(), twin_handle.get()}) {
    ASSERT_EQ(kepra_SetGain(handle, 2.0, 1.5), 1u);
  }
  // Library buffers at both depths, then caller buffers of exactly a frame with its record.
  constexpr std::uint32_t kBytes = 4096 + 64 * 48 * 2;
  caller_buffers_.assign(3, std::vector<std::uint64_t>(kBytes / 8));
  void* buffers[3] = {caller_buffers_[0].data(), caller_buffers_[1].data(),
                      caller_buffers_[2].data()};
  for (const auto& config : {Config(16, 4), Config(8, 4),
                             Config(16, 3, KEPRA_STREAM_OLDEST_FIRST, 1, buffers, kBytes)}) {
    const std::uint32_t depth = config.Depth;
    SCOPED_TRACE(testing::Message() << depth << " bits, caller buffers " << !!config.Buffers);
    const std::uint32_t bytes = 64 * 48 * depth / 8;
    std::vector<std::vector<std::uint8_t>> copies;
    const Frames frames = Take(OpenAndStart(config), 3, 5000, [&](const kepra_Frame& f) {
      const auto* samples = static_cast<const std::uint8_t*>(f.Samples);
      copies.emplace_back(samples, samples + f.Bytes);
      EXPECT_EQ(reinterpret_cast<const std::uint8_t*>(f.Info) + 4096, samples);
      EXPECT_EQ(f.Info->Width, 64u);
      EXPECT_EQ(f.Info->FrameCounter, f.FrameCounter);
      EXPECT_TRUE(!config.Buffers || (f.Buffer < 3 && f.Info == buffers[f.Buffer])) << f.Buffer;
    });
    ASSERT_EQ(frames.size(), 3u);
    Close();
    // The twin produces counters one by one; grab up to each of the stream's.
    std::vector<std::uint8_t> plain(4096 + bytes);
    const auto grab = depth == 16 ? kepra_GetFrameAfterEx16 : kepra_GetFrameAfterEx8;
    for (std::size_t i = 0; i < frames.size(); ++i) {
      const kepra_Frame& f = frames[i];
      EXPECT_EQ(std::make_tuple(f.Sequence, f.Width, f.Height, f.Depth, f.BitDepth, f.Bytes),
                std::make_tuple(std::uint64_t{i}, 64u, 48u, depth, depth == 16 ? 10u : 8u, bytes));
      ASSERT_EQ(grab(twin_handle.get(), plain.data(), static_cast<std::uint32_t>(plain.size()),
                     f.FrameCounter - 1),
                1u);
      kepra_FrameInfo info;
      std::memcpy(&info, plain.data(), sizeof info);
      ASSERT_EQ(info.FrameCounter, f.FrameCounter);
      EXPECT_TRUE(std::equal(copies[i].begin(), copies[i].end(), plain.begin() + 4096)) << i;
    }
  }
}

TEST_F(Stream, WithoutRecordsFramesCarryNoCounterAndSkipNothing) {
  KEPRA_STREAM s = OpenAndStart(Config(8, 2, KEPRA_STREAM_OLDEST_FIRST, 0));
  const Frames frames = Take(s, 5);
  ASSERT_EQ(frames.size(), 5u);
  for (const kepra_Frame& f : frames) {
    EXPECT_EQ(std::make_tuple(f.Info, f.FrameCounter, f.Bytes),
              std::make_tuple(static_cast<const kepra_FrameInfo*>(nullptr), 0u, 64u * 48u));
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
    KEPRA_STREAM s = OpenAndStart(Config(16, count));
    WaitForStats([](const kepra_StreamStats& st) { return st.Received >= 30; });
    ASSERT_EQ(kepra_StopStream(s), 1u);
    const kepra_StreamStats st = Stats(s);
    // Nobody else asked the unpaced camera for frames: nothing skipped.
    EXPECT_EQ(std::tie(st.Running, st.Queued, st.Dropped, st.Skipped),
              std::make_tuple(0u, pool, st.Received - pool, 0u));
    // Queued before the stop, still handed out: the first ones, in order (on the first stream
    // from the camera's first frame); then "stopped".
    const Frames frames = Take(s, pool + 1, 1000);
    EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_OPERATION_ABORTED);
    ASSERT_EQ(frames.size(), pool);
    if (count) {
      EXPECT_EQ(frames[0].FrameCounter, vcam::Camera::kFirstFrameCounter);
    }
    for (std::uint32_t i = 0; i < pool; ++i) {
      EXPECT_EQ(frames[i].Sequence, i);
      EXPECT_EQ(frames[i].FrameCounter, frames[0].FrameCounter + i);
    }
    EXPECT_EQ(Stats(s).Delivered, pool);
    Close();
  }
}

TEST_F(Stream, NewestOnlyKeepsOneWaitingFrameTheLatest) {
  KEPRA_STREAM s = OpenAndStart(Config(16, 4, KEPRA_STREAM_NEWEST_ONLY));
  WaitForStats([](const kepra_StreamStats& st) { return st.Received >= 30; });
  ASSERT_EQ(kepra_StopStream(s), 1u);
  kepra_StreamStats st = Stats(s);
  EXPECT_EQ(std::tie(st.Queued, st.Dropped), std::make_tuple(1u, st.Received - 1));
  const Frames last = Take(s, 2, 0);
  ASSERT_EQ(last.size(), 1u);
  EXPECT_EQ(last[0].Sequence, st.Received - 1);
  EXPECT_EQ(last[0].FrameCounter,
            static_cast<std::uint32_t>(vcam::Camera::kFirstFrameCounter + st.Received - 1));

  // With every buffer held, new frames have nowhere to go: all dropped, none queued; a
  // released buffer takes the next one.
  ASSERT_EQ(kepra_StartStream(s), 1u);
  Frames held(4, Sized<kepra_Frame>());
  for (kepra_Frame& f : held) ASSERT_EQ(kepra_NextFrame(s, &f, 5000), 1u);
  const std::uint64_t received = Stats(s).Received;
  st = WaitForStats([&](const kepra_StreamStats& x) { return x.Received >= received + 20; });
  EXPECT_EQ(std::tie(st.Held, st.Queued), std::make_tuple(4u, 0u));
  ASSERT_EQ(kepra_ReleaseFrame(s, &held.back()), 1u);
  const Frames next = Take(s, 1);
  ASSERT_EQ(next.size(), 1u);
  EXPECT_GT(next[0].Sequence, received + 19);
  EXPECT_EQ(next[0].Buffer, held.back().Buffer);  // the only free buffer
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
  KEPRA_STREAM s = OpenAndStart(Config(16, 512));
  std::vector<std::uint64_t> counters;
  while (counters.empty() || counters.back() < Unwrapped(0x20)) {
    const Frames f = Take(s, 1);
    ASSERT_EQ(f.size(), 1u) << kepra_GetLastError();
    counters.push_back(Unwrapped(f[0].FrameCounter));
  }
  ASSERT_EQ(kepra_StopStream(s), 1u);
  for (const auto& f : Take(s, 512, 0)) counters.push_back(Unwrapped(f.FrameCounter));
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
  EXPECT_EQ(std::tie(st.Failures, st.LastError), std::make_tuple(1u, 31u));
}

// Once a frame went missing (a request stalled for five periods), several requests wait at the
// camera; one of them held up for good then holds up nothing else: the others keep frames
// coming, in order. (With one request at a time the stream would stand still.) Five buffers:
// the fewest for which two requests wait.
TEST_F(Stream, ARequestHeldUpAtTheCameraDoesNotStopTheFrames) {
  ASSERT_NO_FATAL_FAILURE(PacedWithAStall(3));
  camera_->AddFault({.action = Stall::kStall,
                     .nth = 3,
                     .code = io::IOCTL_GET_FRAME_AFTER_EX16,
                     .stall_ms = 3600 * 1000});  // until the camera goes away
  KEPRA_STREAM s = OpenAndStart(Config(16, 5));
  const Frames frames = Take(s, 60);
  ASSERT_EQ(frames.size(), 60u) << kepra_GetLastError();
  EXPECT_TRUE(std::is_sorted(frames.begin(), frames.end(), [](const auto& a, const auto& b) {
    return Unwrapped(a.FrameCounter) < Unwrapped(b.FrameCounter);
  }));
  EXPECT_GE(Stats(s).Skipped, 1u) << "the held-up request's frame";
  EXPECT_GE(Requests(io::IOCTL_GET_FRAME_AFTER_EX16), 2)
      << "the frames came through requests waiting at the camera";
  rig_.Unplug(kIndex);  // ends the hold
  ASSERT_TRUE(ReturnsPromptly([&] { EXPECT_EQ(kepra_StopStream(s), 1u); }, [] {}));
}

TEST_F(Stream, StopReturnsWhileAPacedGrabWaitsForItsFrame) {
  ASSERT_EQ(kepra_SetFrequency(h(), 40), 1u);
  ASSERT_EQ(kepra_SetMinFrameRate(h()), 1u);  // a frame every 53 s
  camera_->SetPaced(true);
  KEPRA_STREAM s = OpenAndStart(Config(16, 2));
  ASSERT_TRUE(Eventually([&] { return camera_->WaitingRequests() == 1; }));  // its first grab
  ASSERT_TRUE(
      ReturnsPromptly([&] { EXPECT_EQ(kepra_StopStream(s), 1u); }, [&] { rig_.Unplug(kIndex); }));
  EXPECT_EQ(Stats(s).Running, 0u);
  EXPECT_EQ(Stats(s).Failures, 0u) << "a cancelled grab is no failure";
  EXPECT_TRUE(OneGrabCancelled());
  // The camera handle of the application was not touched by the cancel.
  Value(kepra_GetExposure);
}

// A stop from another thread ends a trigger wait without timeout: the grab at the camera and
// the consumer waiting in NextFrame.
TEST_F(Stream, StopReturnsDuringATriggerWaitWithoutTimeoutAndTriggersDeliver) {
  ASSERT_EQ(kepra_SetStreamMode(h(), KEPRA_STREAM_SNAPSHOT), 1u);
  ASSERT_EQ(kepra_SetSnapshotParams(h(), 0, 0), 1u);
  KEPRA_STREAM s = OpenAndStart(Config(16, 2));
  camera_->Trigger();
  EXPECT_EQ(Take(s, 2, 100).size(), 1u);  // no second trigger, no second frame
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_TIMEOUT);
  auto waiter = std::async(std::launch::async, [&] {
    kepra_Frame g = Sized<kepra_Frame>();
    return Failed(kepra_NextFrame(s, &g, KEPRA_INFINITE), KEPRA_ERROR_OPERATION_ABORTED);
  });
  ASSERT_TRUE(Eventually([&] { return camera_->WaitingRequests() == 1; }));
  std::this_thread::sleep_for(50ms);  // and the waiter in NextFrame
  const auto trigger = [&] { camera_->Trigger(); };
  EXPECT_TRUE(ReturnsPromptly([&] { EXPECT_EQ(kepra_StopStream(s), 1u); }, trigger));
  EXPECT_TRUE(ReturnsPromptly([&] { EXPECT_TRUE(waiter.get()); }, [&] { kepra_StopStream(s); }));
  EXPECT_TRUE(OneGrabCancelled());
  // Started again, the stream takes the next trigger.
  ASSERT_EQ(kepra_StartStream(s), 1u);
  camera_->Trigger();
  const Frames again = Take(s, 1);
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].Sequence, 0u);
}

TEST_F(Stream, SeveralConsumersShareTheFramesEachOnce) {
  KEPRA_STREAM s = OpenAndStart(Config(16, 6));
  std::mutex mutex;
  std::multiset<std::uint64_t> seen;
  auto consume = [&] {
    for (const kepra_Frame& f : Take(s, 40)) {
      std::lock_guard lock(mutex);
      seen.insert(f.Sequence);
    }
  };
  std::thread a(consume), b(consume);
  a.join();
  b.join();
  kepra_StopStream(s);
  EXPECT_EQ(seen.size(), 80u);
  EXPECT_EQ(std::set<std::uint64_t>(seen.begin(), seen.end()).size(), 80u) << "a frame twice";
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
  std::this_thread::sleep_for(std::chrono::milliseconds(log->stall_ms));
  if (++log->calls == 5 && log->stop_from_inside) kepra_StopStream(log->stop_from_inside);
}

TEST_F(Stream, CallbackGetsFramesInOrderOnItsOwnThreadAndMayStopTheStream) {
  KEPRA_STREAM s = Open(Config(16, 4));
  CallbackLog log;
  log.stop_from_inside = s;
  ASSERT_EQ(kepra_SetFrameCallback(s, OnFrame, &log), 1u);
  ASSERT_EQ(kepra_StartStream(s), 1u);
  EXPECT_TRUE(Take(s, 1, 0).empty());
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_STATE);
  // Stopped from the fifth call, whose buffer goes back once it has returned.
  WaitForStats([](const kepra_StreamStats& st) { return st.Running == 0 && st.Held == 0; });
  std::lock_guard lock(log.mutex);
  ASSERT_EQ(log.calls.load(), 5);
  EXPECT_EQ(log.threads.size(), 1u);
  EXPECT_EQ(log.threads.count(std::this_thread::get_id()), 0u);
  EXPECT_TRUE(std::is_sorted(log.sequences.begin(), log.sequences.end()));
  EXPECT_EQ(std::set(log.sequences.begin(), log.sequences.end()).size(), 5u);
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

TEST_F(Stream, ACameraThatGoesAwayEndsTheStream) {
  KEPRA_STREAM s = OpenAndStart(Config(16, 2));
  ASSERT_EQ(Take(s, 1).size(), 1u);
  rig_.Unplug(kIndex);
  EXPECT_LT(Take(s, 11).size(), 11u);  // frames queued before the unplug come first
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_DEVICE_NOT_CONNECTED);
  const kepra_StreamStats st = Stats(s);
  EXPECT_EQ(std::tie(st.Running, st.LastError),
            std::make_tuple(0u, KEPRA_ERROR_DEVICE_NOT_CONNECTED));
}

}  // namespace
}  // namespace kt
