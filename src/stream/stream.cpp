#include "stream/stream.h"

#include <algorithm>
#include <array>
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
  if (info) {
    s->after_code_ =
        sixteen ? protocol::IOCTL_GET_FRAME_AFTER_EX16 : protocol::IOCTL_GET_FRAME_AFTER_EX8;
    // Each waiting request needs a buffer of its own (library buffers: one beside the pool;
    // caller buffers: one of the pool): fewer than half the pool's.
    s->max_requests_ = std::clamp((count - 1) / 2, 1u, kMaxRequests);
  }
  s->swap_ = !config.Buffers;
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
  const std::uint32_t spares = s->max_requests_;
  try {
    s->owned_.resize(config.Buffers ? spares : count + spares);
    for (auto& buffer : s->owned_) buffer.resize(s->request_bytes_);
    s->slots_.resize(count);
    s->grabbers_.reserve(spares);
    s->waiting_.resize(spares);
    s->arrived_.reserve(2 * spares);
    for (std::uint32_t i = 0; i < spares; ++i) {
      s->spares_.push_back(s->owned_[s->owned_.size() - spares + i].data());
    }
#ifdef _WIN32
    s->grab_threads_.resize(spares, nullptr);
#endif
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
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
  JoinThreads();                         // of a stop made from the callback
  if (!grabbers_.empty()) StopLocked();  // of a run that ended with its camera gone
  HANDLE device = OpenGrabHandle(camera_);
  if (device == INVALID_HANDLE_VALUE) return false;
  const std::uint32_t requests = RequestsFor(device);
  {
    std::lock_guard lock(mutex_);
    for (const std::uint32_t i : queue_) slots_[i].state = State::kFree;
    queue_.clear();
    stats_ = kepra_StreamStats{};
    sequence_ = 0;
    window_ = CounterWindow{};
    arrived_.clear();
    have_value_ = false;
    may_pipeline_ = requests > 1;
    pipelined_ = false;
    running_ = true;
    grabbing_ = requests;
    end_error_ = ERROR_OPERATION_ABORTED;
  }
  device_ = device;
  try {
    for (std::uint32_t i = 0; i < requests; ++i) {
      grabbers_.emplace_back([this, device, i] { GrabLoop(device, i); });
    }
    if (callback_) deliverer_ = std::thread([this] { CallbackLoop(); });
  } catch (const std::exception&) {  // no thread (system_error) or no memory for one
    {
      std::lock_guard lock(mutex_);
      grabbing_ -= requests - static_cast<std::uint32_t>(grabbers_.size());
    }
    StopLocked();  // ends the grab threads that started and closes the handle
    if (device_ != INVALID_HANDLE_VALUE) driver::Current().close(device_);
    device_ = INVALID_HANDLE_VALUE;
    return Refuse(ERROR_NOT_ENOUGH_MEMORY);
  }
  return true;
}

std::uint32_t Stream::RequestsFor(HANDLE device) const {
  if (max_requests_ <= 1) return 1;
  // A snapshot-mode camera holds each trigger's frame for the next request anyway, and
  // waiting AfterEx requests would race for the triggers.
  std::uint8_t mode[4] = {};
  std::uint32_t returned = 0;
  const bool ok = driver::Current().request(device, protocol::IOCTL_STREAM_MODE, nullptr, 0, mode,
                                            sizeof mode, &returned);
  return ok && returned == sizeof mode && protocol::GetU32(mode) == KEPRA_STREAM_FREE_RUNNING
             ? max_requests_
             : 1;
}

// Takes a free buffer for a frame, or on newest-only the one of the frame still waiting;
// kNoSlot when every buffer is held (mutex_ held).
std::uint32_t Stream::ClaimLocked() {
  for (std::uint32_t i = 0; i < slots_.size(); ++i) {
    if (slots_[i].state == State::kFree) return i;
  }
  if (strategy_ == KEPRA_STREAM_NEWEST_ONLY && !queue_.empty()) {
    const std::uint32_t slot = queue_.front();  // replaced by the one to come
    queue_.pop_front();
    ++stats_.Dropped;
    return slot;
  }
  return kNoSlot;
}

void Stream::GrabLoop(HANDLE device, std::uint32_t worker) {
#ifdef _WIN32
  HANDLE self = nullptr;
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0, FALSE,
                  DUPLICATE_SAME_ACCESS);
  {
    std::lock_guard lock(mutex_);
    grab_threads_[worker] = self;
  }
#endif
  std::unique_lock lock(mutex_);
  // The other threads join in once the camera showed that it does not wait for requests.
  if (worker > 0) engage_.wait(lock, [&] { return !running_ || pipelined_; });
  while (running_) {
    // Until a frame of the run came, requests take whatever frame comes; then each asks for
    // the frame after the last one asked for, so the waiting requests get different frames.
    const bool after = pipelined_ && have_value_;
    std::uint8_t value[4] = {};
    if (after) protocol::PutU32(value, next_value_);
    waiting_[worker] = Waiting{true, after, after ? ++next_value_ : 0u};
    // Library buffers: the grab goes into the thread's own buffer, which trades places with a
    // free one of the pool when the frame is in, so that waiting requests take no buffer from
    // the pool. Caller buffers must receive the frame themselves: one is taken now.
    std::uint32_t slot = kNoSlot;
    if (!swap_) {
      slot = ClaimLocked();
      if (slot != kNoSlot) slots_[slot].state = State::kFilling;
    }
    std::uint8_t* buffer = slot == kNoSlot ? spares_[worker] : slots_[slot].data;
    lock.unlock();

    std::uint32_t returned = 0;
    const bool ok = after ? driver::Current().request(device, after_code_, value, sizeof value,
                                                      buffer, request_bytes_, &returned)
                          : driver::Current().request(device, code_, nullptr, 0, buffer,
                                                      request_bytes_, &returned);
    const DWORD error = ok ? 0 : GetLastError();
    const std::uint64_t arrival = NowUs();

    lock.lock();
    waiting_[worker].busy = false;
    if (!ok) {
      if (slot != kNoSlot) slots_[slot].state = State::kFree;
      HandOutLocked();
      if (!running_) break;  // cancelled by a stop
      ++stats_.Failures;
      stats_.LastError = error;
      if (error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_INVALID_HANDLE) {
        running_ = false;  // nothing more will come
        end_error_ = error;
        ready_.notify_all();
        engage_.notify_all();
        break;
      }
      continue;
    }
    Arrived frame{kNoSlot, 0, 0, arrival};
    if (header_bytes_) {
      frame.counter = protocol::GetU32(buffer);
      frame.timestamp = protocol::GetU32(buffer + 8) |
                        static_cast<std::uint64_t>(protocol::GetU32(buffer + 12)) << 32;
      const CounterStep step = Receive(window_, frame.counter);
      if (step.repeat) {  // a request that came late was given a frame already received
        if (slot != kNoSlot) slots_[slot].state = State::kFree;
        HandOutLocked();
        continue;
      }
      stats_.Skipped += step.gap;
      if (step.gap > 0 && may_pipeline_ && !pipelined_) {
        pipelined_ = true;
        engage_.notify_all();
      }
      if (step.fills && stats_.Skipped > 0) --stats_.Skipped;
      // Ask after the newest frame: past frames are not asked for again.
      if (!have_value_ || static_cast<std::int32_t>(frame.counter - next_value_) > 0) {
        next_value_ = frame.counter;
        have_value_ = true;
      }
    }
    ++stats_.Received;
    if (swap_) {
      slot = ClaimLocked();
      if (slot != kNoSlot) {
        std::swap(slots_[slot].data, spares_[worker]);
        slots_[slot].state = State::kFilling;
      }
    }
    frame.slot = slot;
    arrived_.push_back(frame);
    HandOutLocked();
  }
  --grabbing_;
#ifdef _WIN32
  if (grab_threads_[worker]) CloseHandle(grab_threads_[worker]);
  grab_threads_[worker] = nullptr;
#endif
  ready_.notify_all();
}

void Stream::HandOutLocked() {
  while (!arrived_.empty()) {
    auto oldest = arrived_.begin();
    for (auto it = arrived_.begin(); it != arrived_.end(); ++it) {
      if (static_cast<std::int32_t>(it->counter - oldest->counter) < 0) oldest = it;
    }
    // A waiting request may still bring an older frame (a plain one any frame, an AfterEx one
    // its target or a newer one): wait for it, but for two frames per grab thread at most, so
    // that a request held up at the camera does not hold up the stream.
    bool older_may_come = false;
    for (const Waiting& w : waiting_) {
      older_may_come |=
          w.busy && (!w.after || static_cast<std::int32_t>(oldest->counter - w.target) > 0);
    }
    if (older_may_come && arrived_.size() < 2 * waiting_.size()) return;
    const Arrived a = *oldest;
    arrived_.erase(oldest);
    const std::uint64_t sequence = sequence_++;
    if (a.slot == kNoSlot) {
      ++stats_.Dropped;  // no buffer was free
      continue;
    }
    if (strategy_ == KEPRA_STREAM_NEWEST_ONLY) {
      for (const std::uint32_t i : queue_) slots_[i].state = State::kFree;
      stats_.Dropped += queue_.size();
      queue_.clear();
    }
    Slot& s = slots_[a.slot];
    s.frame = kepra_Frame{};
    s.frame.Size = sizeof(kepra_Frame);
    s.frame.Buffer = a.slot;
    s.frame.Samples = s.data + header_bytes_;
    s.frame.Info = header_bytes_ ? reinterpret_cast<const kepra_FrameInfo*>(s.data) : nullptr;
    s.frame.Sequence = sequence;
    s.frame.FrameCounter = a.counter;
    s.frame.TimestampUs = a.timestamp;
    s.frame.ArrivalUs = a.arrival;
    s.frame.Width = width_;
    s.frame.Height = height_;
    s.frame.BitDepth = depth_ == 8 ? 8 : bit_depth_;
    s.frame.Depth = depth_;
    s.frame.Bytes = request_bytes_ - header_bytes_;
    s.state = State::kQueued;
    queue_.push_back(a.slot);
    ready_.notify_all();
  }
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
    engage_.notify_all();
  }
  if (grabbers_.empty()) return;
  // Cancel until the grab threads are out: a cancel that comes between two requests finds
  // nothing to cancel, and the next request must not be left to wait.
  {
    std::unique_lock lock(mutex_);
    while (grabbing_ > 0) {
      std::array<HANDLE, kMaxRequests> threads{};  // no allocation: a stop must not fail
#ifdef _WIN32
      std::copy(grab_threads_.begin(), grab_threads_.end(), threads.begin());
#endif
      lock.unlock();
      for (const HANDLE thread : threads) driver::Current().cancel(device_, thread);
      lock.lock();
      ready_.wait_for(lock, kCancelRepeat, [&] { return grabbing_ == 0; });
    }
  }
  for (std::thread& grabber : grabbers_) grabber.join();
  grabbers_.clear();
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
