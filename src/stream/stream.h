// The stream engine: grab threads fill a pool of buffers from a device handle of their own,
// the application takes frames from a queue or a callback thread hands them over.
//
// A camera hands a frame only to a request that waits for it, so a single grab thread loses a
// frame whenever the trip from one frame's completion to the next request takes longer than a
// frame period (a loaded host). With records, in free-running mode, once the first frame went
// missing that way (the camera keeps its own pace), up to three grab threads each keep a
// request waiting at the camera, each for a different frame to come (AfterEx with the counter
// before it): the trip may then take up to that many periods. A camera that makes frames on
// demand never shows a gap and keeps one request, so nothing changes for it.
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
#include "stream/stream_math.h"

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
  void GrabLoop(HANDLE device, std::uint32_t worker);
  // Grab threads for this run: several only where AfterEx asks for distinct frames.
  std::uint32_t RequestsFor(HANDLE device) const;
  void CallbackLoop();
  // Takes the oldest queued frame (mutex_ held) and marks it held.
  // Queues the frames that arrived, oldest first, as far as no waiting request can still
  // bring an older one, or two per grab thread wait here (mutex_ held).
  void HandOutLocked();
  kepra_Frame TakeLocked();
  std::uint32_t ClaimLocked();
  void JoinThreads();
  void StopLocked();  // Stop with control_ held

  static constexpr std::uint32_t kNoSlot = 0xFFFFFFFFu;
  static constexpr std::uint32_t kMaxRequests = 3;

  const HANDLE camera_;
  // Fixed at open.
  std::uint32_t code_ = 0;           // frame request
  std::uint32_t after_code_ = 0;     // its AfterEx form; 0: none (no records)
  std::uint32_t request_bytes_ = 0;  // bytes a grab asks for
  std::uint32_t header_bytes_ = 0;   // record in front of the samples
  std::uint32_t width_ = 0, height_ = 0, bit_depth_ = 0, depth_ = 0;
  std::uint32_t strategy_ = 0;
  std::uint32_t max_requests_ = 1;  // grab threads at most
  bool swap_ = false;  // library buffers: grabs go to a thread's own buffer, swapped in after
  std::vector<std::vector<std::uint8_t>> owned_;  // library buffers (and the spares)
  std::vector<std::uint8_t*> spares_;             // per grab thread, for grabs without a buffer

  std::mutex control_;  // serialises start, stop and callback changes
  kepra_FrameCallback callback_ = nullptr;
  void* context_ = nullptr;
  std::vector<std::thread> grabbers_;
  std::thread deliverer_;
  HANDLE device_ = INVALID_HANDLE_VALUE;  // the grab thread's own handle

  std::mutex mutex_;  // guards what follows
  std::condition_variable ready_;
  std::vector<Slot> slots_;
  std::deque<std::uint32_t> queue_;
  bool running_ = false;            // between start and stop
  std::uint32_t grabbing_ = 0;      // grab threads not finished
  std::condition_variable engage_;  // several requests are to wait from now on
  bool may_pipeline_ = false;       // several grab threads this run
  bool pipelined_ = false;          // ... and they take part
  bool have_value_ = false;         // next_value_ is known
  std::uint32_t next_value_ = 0;    // AfterEx value of the next request: the counter before
  DWORD end_error_ = ERROR_OPERATION_ABORTED;
  std::uint64_t sequence_ = 0;
  CounterWindow window_;
  struct Waiting {
    bool busy = false;
    bool after = false;  // an AfterEx request: its frame is target or newer
    std::uint32_t target = 0;
  };
  std::vector<Waiting> waiting_;  // per grab thread
  struct Arrived {
    std::uint32_t slot;  // kNoSlot: no buffer was free
    std::uint32_t counter;
    std::uint64_t timestamp, arrival;
  };
  std::vector<Arrived> arrived_;  // in, not yet handed out
  kepra_StreamStats stats_{};
#ifdef _WIN32
  std::vector<HANDLE> grab_threads_;  // for cancelling their synchronous requests
#endif
};

}  // namespace kepra::stream
