// The stream engine: a grab thread fills a pool of buffers from a device handle of its own,
// the application takes frames from a queue or a callback thread hands them over.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "kepra/kepra.h"
#include "platform/win32.h"

namespace kepra::stream {

class Stream {
 public:
  // Checks the configuration and allocates the pool; null with the last error set on failure.
  static std::shared_ptr<Stream> Open(HANDLE camera, const kepra_StreamConfig& config);
  ~Stream();
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  // Each returns false with the last error set.
  bool SetCallback(kepra_FrameCallback callback, void* context);
  bool Start();
  bool Next(kepra_Frame* frame, DWORD timeout_ms);
  bool Release(const kepra_Frame& frame);
  void Stop();
  void Stats(kepra_StreamStats* stats);

 private:
  enum class State { kFree, kFilling, kQueued, kHeld };
  struct Slot {
    std::uint8_t* data = nullptr;
    State state = State::kFree;
    kepra_Frame frame{};
  };

  explicit Stream(HANDLE camera);
  void GrabLoop(HANDLE device);
  void CallbackLoop();
  // Takes the oldest queued frame (mutex_ held) and marks it held.
  kepra_Frame TakeLocked();
  void JoinThreads();
  void StopLocked();  // Stop with control_ held

  static constexpr std::uint32_t kNoSlot = 0xFFFFFFFFu;

  const HANDLE camera_;
  // Fixed at open.
  std::uint32_t code_ = 0;           // frame request
  std::uint32_t request_bytes_ = 0;  // bytes a grab asks for
  std::uint32_t header_bytes_ = 0;   // record in front of the samples
  std::uint32_t width_ = 0, height_ = 0, bit_depth_ = 0, depth_ = 0;
  std::uint32_t strategy_ = 0;
  std::vector<std::vector<std::uint8_t>> owned_;  // library buffers (and the spare)
  std::uint8_t* spare_ = nullptr;                 // grabs that have no free buffer

  std::mutex control_;  // serialises start, stop and callback changes
  kepra_FrameCallback callback_ = nullptr;
  void* context_ = nullptr;
  std::thread grabber_, deliverer_;
  HANDLE device_ = INVALID_HANDLE_VALUE;  // the grab thread's own handle

  std::mutex mutex_;  // guards what follows
  std::condition_variable ready_;
  std::vector<Slot> slots_;
  std::deque<std::uint32_t> queue_;
  bool running_ = false;   // between start and stop
  bool grabbing_ = false;  // the grab thread has not finished
  DWORD end_error_ = ERROR_OPERATION_ABORTED;
  std::uint64_t sequence_ = 0;
  bool have_counter_ = false;
  std::uint32_t last_counter_ = 0;
  kepra_StreamStats stats_{};
#ifdef _WIN32
  HANDLE grab_thread_ = nullptr;  // for cancelling its synchronous request
#endif
};

}  // namespace kepra::stream
