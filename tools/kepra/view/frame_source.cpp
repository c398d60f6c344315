#include "frame_source.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <utility>

#include "cpu_time.h"

namespace kepra_view {

namespace {

// A camera that is away (or a stream that would not open) is tried again this often.
constexpr auto kRetry = std::chrono::milliseconds(250);
// One held by the viewer, one being filled, one waiting, one spare.
constexpr std::uint32_t kBuffers = 4;

std::atomic<std::uint64_t> g_sequence{0};

// The stream's arrival times are on the steady clock.
double SteadyUs() {
  return std::chrono::duration<double, std::micro>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

FrameSource::~FrameSource() {
  CloseStream();
  std::lock_guard handle_lock(handle_mutex_);
  if (handle_ != KEPRA_INVALID_HANDLE) kepra_CloseDevice(handle_);
}

bool FrameSource::Connect() {
  // A camera counts as back only when it answers: an unplugged one may still open.
  KEPRA_HANDLE h = kepra_OpenDevice(index_);
  if (h == KEPRA_INVALID_HANDLE) return false;
  kepra_FrameFormat format{};
  format.Size = sizeof format;
  if (!kepra_GetFrameFormat(h, &format) || format.Bytes16 == 0) {
    kepra_CloseDevice(h);
    return false;
  }
  {
    std::lock_guard handle_lock(handle_mutex_);
    handle_ = h;
  }
  std::lock_guard lock(mutex_);
  if (stats_.streams > 0) ++base_.reconnects;
  base_.connected = true;
  stats_.connected = true;
  stats_.reconnects = base_.reconnects;
  return true;
}

bool FrameSource::OpenStream() {
  kepra_StreamConfig config{};
  config.Size = sizeof config;
  config.Depth = 16;
  config.BufferCount = kBuffers;
  config.Strategy = KEPRA_STREAM_NEWEST_ONLY;
  config.WithInfo = 1;
  KEPRA_STREAM s = kepra_OpenStream(handle_, &config);
  if (s == nullptr) return false;
  if (!kepra_StartStream(s)) {
    const std::uint32_t error = kepra_GetLastError();
    kepra_CloseStream(s);
    kepra_SetLastError(error);
    return false;
  }
  stream_ = s;
  std::lock_guard lock(mutex_);
  ++base_.streams;
  stats_.streams = base_.streams;
  return true;
}

// Folds the open stream's counters into the totals; `final` when the stream is about to close.
void FrameSource::Note(const kepra_StreamStats& now, bool final) {
  std::lock_guard lock(mutex_);
  SourceStats total = base_;
  total.received += now.Received;
  total.delivered += now.Delivered;
  total.skipped += now.Skipped;
  total.dropped += now.Dropped;
  total.failures += now.Failures;
  if (now.LastError != 0) total.last_error = now.LastError;
  stats_ = total;
  if (final) base_ = total;
}

void FrameSource::CloseStream() {
  if (stream_ == nullptr) return;
  kepra_StopStream(stream_);
  kepra_StreamStats now{};
  now.Size = sizeof now;
  if (kepra_GetStreamStats(stream_, &now)) Note(now, true);
  kepra_CloseStream(stream_);
  stream_ = nullptr;
}

void FrameSource::Disconnect() {
  CloseStream();
  {
    // Closed under the handle lock so that no settings call is using it.
    std::lock_guard handle_lock(handle_mutex_);
    if (handle_ != KEPRA_INVALID_HANDLE) kepra_CloseDevice(handle_);
    handle_ = KEPRA_INVALID_HANDLE;
  }
  std::lock_guard lock(mutex_);
  base_.connected = false;
  stats_.connected = false;
}

void FrameSource::FailedAttempt(std::uint32_t error) {
  next_attempt_ = std::chrono::steady_clock::now() + kRetry;
  if (error == 0) return;
  std::lock_guard lock(mutex_);
  ++base_.failures;
  base_.last_error = error;
  stats_ = base_;  // no stream is open
}

void FrameSource::Restart() {
  std::lock_guard lock(mutex_);
  restart_ = true;
}

std::shared_ptr<const Frame> FrameSource::Next(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  {
    std::unique_lock lock(mutex_);
    const bool restart = std::exchange(restart_, false);
    lock.unlock();
    if (restart) CloseStream();
  }
  if (stream_ == nullptr) {
    if (std::chrono::steady_clock::now() < next_attempt_) {
      std::this_thread::sleep_until(std::min(deadline, next_attempt_));
      return nullptr;
    }
    if (handle_ == KEPRA_INVALID_HANDLE && !Connect()) {
      FailedAttempt(0);
      return nullptr;
    }
    if (!OpenStream()) {
      const std::uint32_t error = kepra_GetLastError();
      if (error == KEPRA_ERROR_DEVICE_NOT_CONNECTED) {
        Disconnect();
        FailedAttempt(0);
      } else {
        FailedAttempt(error);
      }
      return nullptr;
    }
  }
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  kepra_Frame f{};
  f.Size = sizeof f;
  const bool ok = kepra_NextFrame(stream_, &f,
                                  static_cast<std::uint32_t>(std::max<long long>(0, left.count())));
  const std::uint32_t error = ok ? 0 : kepra_GetLastError();
  std::shared_ptr<Frame> frame;
  if (ok && f.Info &&
      (f.Info->Width != f.Width || f.Info->Height != f.Height || f.Info->BitDepth != f.BitDepth)) {
    // Another program changed the frame parameters: a new stream reads the new frame size.
    kepra_ReleaseFrame(stream_, &f);
    CloseStream();
    return nullptr;
  }
  if (ok) {
    frame = std::make_shared<Frame>();
    frame->grabbed_ms = WallMs() - (SteadyUs() - static_cast<double>(f.ArrivalUs)) / 1000.0;
    frame->sequence = ++g_sequence;
    frame->counter = f.FrameCounter;
    frame->timestamp_us = f.TimestampUs;
    frame->width = f.Width;
    frame->height = f.Height;
    frame->bit_depth = f.BitDepth;
    const std::size_t count = std::size_t{f.Width} * f.Height;
    frame->samples.resize(count);
    std::memcpy(frame->samples.data(), f.Samples, std::min<std::size_t>(count * 2, f.Bytes));
    kepra_ReleaseFrame(stream_, &f);
  }
  kepra_StreamStats now{};
  now.Size = sizeof now;
  if (kepra_GetStreamStats(stream_, &now)) Note(now, false);
  if (ok || error == KEPRA_ERROR_TIMEOUT) return frame;
  // The stream ended: the camera went away (or stopped answering); look for it again.
  Disconnect();
  FailedAttempt(0);
  return nullptr;
}

SourceStats FrameSource::Stats() const {
  std::lock_guard lock(mutex_);
  return stats_;
}

bool FrameSource::WithCamera(const std::function<void(KEPRA_HANDLE)>& use) {
  std::lock_guard lock(handle_mutex_);
  if (handle_ == KEPRA_INVALID_HANDLE) return false;
  use(handle_);
  return true;
}

}  // namespace kepra_view
