#include "stream/stream.h"

#include <chrono>
#include <new>
#include <system_error>

#include "device/device.h"
#include "driver/request.h"
#include "driver/transport.h"
#include "protocol/protocol.h"
#include "stream/stream_math.h"

namespace kepra::stream {
namespace {

constexpr std::uint32_t kDefaultBuffers = 8;
constexpr std::uint32_t kMaxBuffers = 1024;
constexpr std::uint32_t kInfoBytes = sizeof(kepra_FrameInfo);
constexpr auto kCancelRepeat = std::chrono::milliseconds(10);

std::uint64_t NowUs() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

bool Refuse(DWORD error) {
  SetLastError(error);
  return false;
}

// A device handle of the stream's own for the camera of `camera`, so that cancelling its
// requests touches no request of the application's.
HANDLE OpenGrabHandle(HANDLE camera) {
  std::uint32_t index = 0;
  if (!driver::QueryDeviceIndex(camera, &index)) return INVALID_HANDLE_VALUE;
  char path[device::kDevicePathSize];
  if (index >= device::kMaxDevices ||
      !device::CxGetDevicePath(device::InterfaceClass(index), path)) {
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return INVALID_HANDLE_VALUE;
  }
  return driver::Current().open(path);
}

}  // namespace

Stream::Stream(HANDLE camera) : camera_(camera) {}

Stream::~Stream() {
  Stop();
  JoinThreads();
}

std::shared_ptr<Stream> Stream::Open(HANDLE camera, const kepra_StreamConfig& config) {
  const std::uint32_t count = config.BufferCount ? config.BufferCount : kDefaultBuffers;
  if ((config.Depth != 8 && config.Depth != 16) || config.Strategy > KEPRA_STREAM_NEWEST_ONLY ||
      count > kMaxBuffers || (config.Buffers && config.BufferCount == 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (config.Buffers) {
    for (std::uint32_t i = 0; i < count; ++i) {
      if (!config.Buffers[i]) {
        SetLastError(ERROR_INVALID_ADDRESS);
        return nullptr;
      }
    }
  }
  kepra_FrameFormat format{};
  format.Size = sizeof format;
  if (!kepra_GetFrameFormat(camera, &format)) return nullptr;

  std::shared_ptr<Stream> s(new Stream(camera));
  const bool info = config.WithInfo != 0;
  const bool sixteen = config.Depth == 16;
  s->code_ = sixteen ? (info ? protocol::IOCTL_GET_FRAME_EX16 : protocol::IOCTL_GET_FRAME16)
                     : (info ? protocol::IOCTL_GET_FRAME_EX8 : protocol::IOCTL_GET_FRAME8);
  s->header_bytes_ = info ? kInfoBytes : 0;
  s->request_bytes_ = sixteen ? (info ? format.BytesEx16 : format.Bytes16)
                              : (info ? format.BytesEx8 : format.Bytes8);
  if (config.Buffers && config.BufferBytes < s->request_bytes_) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nullptr;
  }
  s->width_ = format.Width;
  s->height_ = format.Height;
  s->bit_depth_ = format.BitDepth;
  s->depth_ = config.Depth;
  s->strategy_ = config.Strategy;
  try {
    s->owned_.resize(config.Buffers ? 1 : count + 1);
    for (auto& buffer : s->owned_) buffer.resize(s->request_bytes_);
    s->slots_.resize(count);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  s->spare_ = s->owned_.back().data();
  for (std::uint32_t i = 0; i < count; ++i) {
    s->slots_[i].data =
        config.Buffers ? static_cast<std::uint8_t*>(config.Buffers[i]) : s->owned_[i].data();
  }
  return s;
}

bool Stream::SetCallback(kepra_FrameCallback callback, void* context) {
  std::lock_guard control(control_);
  std::lock_guard lock(mutex_);
  if (running_) return Refuse(ERROR_INVALID_STATE);
  callback_ = callback;
  context_ = context;
  return true;
}

bool Stream::Start() {
  std::lock_guard control(control_);
  {
    std::lock_guard lock(mutex_);
    if (running_) return Refuse(ERROR_INVALID_STATE);
  }
  // Not from the callback: its thread belongs to the run that is ending.
  if (deliverer_.joinable() && deliverer_.get_id() == std::this_thread::get_id()) {
    return Refuse(ERROR_INVALID_STATE);
  }
  JoinThreads();  // of a stop made from the callback
  HANDLE device = OpenGrabHandle(camera_);
  if (device == INVALID_HANDLE_VALUE) return false;
  {
    std::lock_guard lock(mutex_);
    for (const std::uint32_t i : queue_) slots_[i].state = State::kFree;
    queue_.clear();
    stats_ = kepra_StreamStats{};
    sequence_ = 0;
    have_counter_ = false;
    running_ = true;
    grabbing_ = true;
    end_error_ = ERROR_OPERATION_ABORTED;
  }
  device_ = device;
  try {
    grabber_ = std::thread([this, device] { GrabLoop(device); });
    if (callback_) deliverer_ = std::thread([this] { CallbackLoop(); });
  } catch (const std::exception&) {  // no thread (system_error) or no memory for one
    StopLocked();                    // ends the grab thread if that one started
    if (device_ != INVALID_HANDLE_VALUE) CloseHandle(device_);
    device_ = INVALID_HANDLE_VALUE;
    std::lock_guard lock(mutex_);
    grabbing_ = false;
    return Refuse(ERROR_NOT_ENOUGH_MEMORY);
  }
  return true;
}

void Stream::GrabLoop(HANDLE device) {
#ifdef _WIN32
  HANDLE self = nullptr;
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0, FALSE,
                  DUPLICATE_SAME_ACCESS);
  {
    std::lock_guard lock(mutex_);
    grab_thread_ = self;
  }
#endif
  for (;;) {
    std::uint32_t slot = kNoSlot;
    {
      std::lock_guard lock(mutex_);
      if (!running_) break;
      for (std::uint32_t i = 0; i < slots_.size() && slot == kNoSlot; ++i) {
        if (slots_[i].state == State::kFree) slot = i;
      }
      if (slot == kNoSlot && strategy_ == KEPRA_STREAM_NEWEST_ONLY && !queue_.empty()) {
        slot = queue_.front();  // the waiting frame is replaced by the one to come
        queue_.pop_front();
        ++stats_.Dropped;
      }
      if (slot != kNoSlot) slots_[slot].state = State::kFilling;
    }
    std::uint8_t* buffer = slot == kNoSlot ? spare_ : slots_[slot].data;
    std::uint32_t returned = 0;
    const bool ok =
        driver::Current().request(device, code_, nullptr, 0, buffer, request_bytes_, &returned);
    const DWORD error = ok ? 0 : GetLastError();
    const std::uint64_t arrival = NowUs();

    std::lock_guard lock(mutex_);
    if (!ok) {
      if (slot != kNoSlot) slots_[slot].state = State::kFree;
      if (!running_) break;  // cancelled by a stop
      ++stats_.Failures;
      stats_.LastError = error;
      if (error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_INVALID_HANDLE) {
        running_ = false;  // nothing more will come
        end_error_ = error;
        ready_.notify_all();
        break;
      }
      continue;
    }
    ++stats_.Received;
    const std::uint64_t sequence = sequence_++;
    std::uint32_t counter = 0;
    std::uint64_t timestamp = 0;
    if (header_bytes_) {
      counter = protocol::GetU32(buffer);
      timestamp = protocol::GetU32(buffer + 8) |
                  static_cast<std::uint64_t>(protocol::GetU32(buffer + 12)) << 32;
      if (have_counter_) stats_.Skipped += SkippedBetween(last_counter_, counter);
      have_counter_ = true;
      last_counter_ = counter;
    }
    if (slot == kNoSlot) {
      ++stats_.Dropped;  // no buffer was free
      continue;
    }
    if (strategy_ == KEPRA_STREAM_NEWEST_ONLY) {
      for (const std::uint32_t i : queue_) slots_[i].state = State::kFree;
      stats_.Dropped += queue_.size();
      queue_.clear();
    }
    Slot& s = slots_[slot];
    s.frame = kepra_Frame{};
    s.frame.Size = sizeof(kepra_Frame);
    s.frame.Buffer = slot;
    s.frame.Samples = buffer + header_bytes_;
    s.frame.Info = header_bytes_ ? reinterpret_cast<const kepra_FrameInfo*>(buffer) : nullptr;
    s.frame.Sequence = sequence;
    s.frame.FrameCounter = counter;
    s.frame.TimestampUs = timestamp;
    s.frame.ArrivalUs = arrival;
    s.frame.Width = width_;
    s.frame.Height = height_;
    s.frame.BitDepth = depth_ == 8 ? 8 : bit_depth_;
    s.frame.Depth = depth_;
    s.frame.Bytes = request_bytes_ - header_bytes_;
    s.state = State::kQueued;
    queue_.push_back(slot);
    ready_.notify_all();
  }
  std::lock_guard lock(mutex_);
  grabbing_ = false;
#ifdef _WIN32
  if (grab_thread_) CloseHandle(grab_thread_);
  grab_thread_ = nullptr;
#endif
  ready_.notify_all();
}

kepra_Frame Stream::TakeLocked() {
  const std::uint32_t slot = queue_.front();
  queue_.pop_front();
  slots_[slot].state = State::kHeld;
  ++stats_.Delivered;
  return slots_[slot].frame;
}

void Stream::CallbackLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    ready_.wait(lock, [&] { return !queue_.empty() || !running_; });
    if (!running_) break;  // frames not yet delivered stay queued until the next start
    const kepra_Frame frame = TakeLocked();
    const kepra_FrameCallback callback = callback_;
    void* const context = context_;
    lock.unlock();
    callback(&frame, context);
    lock.lock();
    slots_[frame.Buffer].state = State::kFree;
  }
}

bool Stream::Next(kepra_Frame* frame, DWORD timeout_ms) {
  std::unique_lock lock(mutex_);
  if (callback_) return Refuse(ERROR_INVALID_STATE);
  const auto ready = [&] { return !queue_.empty() || !running_; };
  if (timeout_ms == INFINITE) {
    ready_.wait(lock, ready);
  } else if (!ready_.wait_for(lock, std::chrono::milliseconds(timeout_ms), ready)) {
    return Refuse(ERROR_TIMEOUT);
  }
  if (queue_.empty()) return Refuse(end_error_);
  *frame = TakeLocked();
  return true;
}

bool Stream::Release(const kepra_Frame& frame) {
  std::lock_guard lock(mutex_);
  // The sequence number tells a stale copy of a frame whose buffer went to a newer one.
  if (callback_ || frame.Buffer >= slots_.size() || slots_[frame.Buffer].state != State::kHeld ||
      slots_[frame.Buffer].frame.Sequence != frame.Sequence) {
    return Refuse(ERROR_INVALID_PARAMETER);
  }
  slots_[frame.Buffer].state = State::kFree;
  return true;
}

void Stream::Stop() {
  std::lock_guard control(control_);
  StopLocked();
}

void Stream::StopLocked() {
  {
    std::lock_guard lock(mutex_);
    running_ = false;
    ready_.notify_all();
  }
  if (!grabber_.joinable()) return;
  // Cancel until the grab thread is out: a cancel that comes between two requests finds
  // nothing to cancel, and the next request must not be left to wait.
  {
    std::unique_lock lock(mutex_);
    while (grabbing_) {
#ifdef _WIN32
      HANDLE thread = grab_thread_;
#else
      HANDLE thread = nullptr;
#endif
      lock.unlock();
      driver::Current().cancel(device_, thread);
      lock.lock();
      ready_.wait_for(lock, kCancelRepeat, [&] { return !grabbing_; });
    }
  }
  grabber_.join();
  driver::Current().close(device_);
  device_ = INVALID_HANDLE_VALUE;
  // A callback that stops its own stream cannot wait for itself: the next start or the close
  // joins it.
  if (deliverer_.joinable() && deliverer_.get_id() != std::this_thread::get_id()) {
    deliverer_.join();
  }
}

void Stream::JoinThreads() {
  if (deliverer_.joinable() && deliverer_.get_id() != std::this_thread::get_id()) {
    deliverer_.join();
  }
}

void Stream::Stats(kepra_StreamStats* stats) {
  std::lock_guard lock(mutex_);
  const std::uint32_t size = stats->Size;
  *stats = stats_;
  stats->Size = size;
  stats->Running = running_ ? 1 : 0;
  stats->Queued = static_cast<std::uint32_t>(queue_.size());
  stats->Held = 0;
  for (const Slot& s : slots_) stats->Held += s.state == State::kHeld ? 1 : 0;
}

}  // namespace kepra::stream
