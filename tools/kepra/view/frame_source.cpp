#include "frame_source.h"

#include <cstring>

namespace kepra_view {

namespace {

constexpr std::uint32_t kInfoSize = sizeof(kepra_FrameInfo);
constexpr std::uint32_t kErrorSemTimeout = 121;  // snapshot mode: no trigger in time

double WallMs() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Bytes of an Ex16 frame of the current frame parameters; 0 when they cannot be read.
std::uint32_t FrameBytes(KEPRA_HANDLE h) {
  kepra_FrameParams p{};
  if (!kepra_GetFrameParams(h, &p) || p.BinX == 0 || p.BinY == 0) return 0;
  const std::uint64_t samples = static_cast<std::uint64_t>(p.Width / p.BinX) * (p.Height / p.BinY);
  return samples == 0 ? 0 : static_cast<std::uint32_t>(kInfoSize + samples * 2);
}

}  // namespace

FrameSource::FrameSource(std::uint32_t index) : index_(index), shared_(std::make_shared<Shared>()) {
  shared_->index = index;
  std::thread(Run, shared_).detach();
}

FrameSource::~FrameSource() {
  shared_->stop.store(true);
  std::unique_lock lock(shared_->mutex);
  // A grab waiting for a snapshot trigger cannot be interrupted without the stream engine's
  // cancel: after a while the thread is left to finish on its own (it owns its state).
  shared_->finished_cv.wait_for(lock, std::chrono::seconds(2), [&] { return shared_->finished; });
}

void FrameSource::Run(std::shared_ptr<Shared> s) {
  std::vector<std::uint8_t> buffer;
  std::uint32_t frame_bytes = 0;
  bool have_counter = false;
  std::uint32_t last_counter = 0;
  std::uint64_t sequence = 0;
  while (!s->stop.load()) {
    KEPRA_HANDLE h = s->handle;
    if (h == KEPRA_INVALID_HANDLE) {
      // A camera counts as back only when it answers: an unplugged one may still open.
      h = kepra_OpenDevice(s->index);
      const std::uint32_t bytes = h == KEPRA_INVALID_HANDLE ? 0 : FrameBytes(h);
      if (bytes == 0) {
        if (h != KEPRA_INVALID_HANDLE) kepra_CloseDevice(h);
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        continue;
      }
      frame_bytes = bytes;
      if (frame_bytes > buffer.size()) buffer.resize(frame_bytes);
      s->reconfigure.store(false);
      {
        std::lock_guard handle_lock(s->handle_mutex);
        s->handle = h;
      }
      std::lock_guard lock(s->mutex);
      if (s->stats.received > 0 || s->stats.failures > 0) ++s->stats.reconnects;
      s->stats.connected = true;
      have_counter = false;
      s->changed.notify_all();
    }
    if (s->reconfigure.exchange(false)) {
      frame_bytes = FrameBytes(h);
      if (frame_bytes > buffer.size()) buffer.resize(frame_bytes);
    }
    bool ok = frame_bytes != 0 && kepra_GetFrameEx16(h, buffer.data(), frame_bytes) != 0;
    const std::uint32_t error = ok ? 0 : kepra_GetLastError();
    if (ok) {
      kepra_FrameInfo info;
      std::memcpy(&info, buffer.data(), kInfoSize);
      const std::uint64_t samples = std::uint64_t{info.Width} * info.Height;
      if (samples == 0 || kInfoSize + samples * 2 > frame_bytes) {
        // The frame parameters changed under us (another program): read them again.
        s->reconfigure.store(true);
        continue;
      }
      auto frame = std::make_shared<Frame>();
      frame->grabbed_ms = WallMs();
      frame->sequence = ++sequence;
      frame->counter = info.FrameCounter;
      frame->timestamp_us = info.TimestampUs;
      frame->width = info.Width;
      frame->height = info.Height;
      frame->bit_depth = info.BitDepth;
      frame->samples.resize(samples);
      std::memcpy(frame->samples.data(), buffer.data() + kInfoSize, samples * 2);
      std::lock_guard lock(s->mutex);
      ++s->stats.received;
      if (have_counter) {
        const auto step = static_cast<std::int32_t>(info.FrameCounter - last_counter);
        if (step > 1) s->stats.skipped += static_cast<std::uint32_t>(step - 1);
      }
      have_counter = true;
      last_counter = info.FrameCounter;
      if (!s->taken) ++s->stats.dropped;
      s->latest = std::move(frame);
      s->taken = false;
      s->changed.notify_all();
      continue;
    }
    if (error == kErrorSemTimeout) continue;  // snapshot mode, no trigger yet
    const bool gone = frame_bytes == 0 || error == KEPRA_ERROR_DEVICE_NOT_CONNECTED;
    if (gone) {
      // Closed under the handle lock so that no settings call is using it.
      std::lock_guard handle_lock(s->handle_mutex);
      kepra_CloseDevice(s->handle);
      s->handle = KEPRA_INVALID_HANDLE;
    }
    {
      std::lock_guard lock(s->mutex);
      if (gone) {
        s->stats.connected = false;
        s->changed.notify_all();
      } else {
        ++s->stats.failures;
        s->stats.last_error = error;
      }
    }
    // Neither a lost camera nor a failing one is asked again at once.
    std::this_thread::sleep_for(std::chrono::milliseconds(gone ? 100 : 10));
  }
  {
    std::lock_guard handle_lock(s->handle_mutex);
    if (s->handle != KEPRA_INVALID_HANDLE) kepra_CloseDevice(s->handle);
    s->handle = KEPRA_INVALID_HANDLE;
  }
  std::lock_guard lock(s->mutex);
  s->finished = true;
  s->finished_cv.notify_all();
}

std::shared_ptr<const Frame> FrameSource::Next(std::uint64_t after,
                                               std::chrono::milliseconds timeout) {
  std::unique_lock lock(shared_->mutex);
  shared_->changed.wait_for(lock, timeout,
                            [&] { return shared_->latest && shared_->latest->sequence > after; });
  if (!shared_->latest || shared_->latest->sequence <= after) return nullptr;
  shared_->taken = true;
  return shared_->latest;
}

std::shared_ptr<const Frame> FrameSource::Latest() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->latest;
}

SourceStats FrameSource::Stats() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->stats;
}

bool FrameSource::WithCamera(const std::function<void(KEPRA_HANDLE)>& use) {
  std::lock_guard lock(shared_->handle_mutex);
  if (shared_->handle == KEPRA_INVALID_HANDLE) return false;
  use(shared_->handle);
  return true;
}

}  // namespace kepra_view
