// Frames of one camera for the viewer: a grab thread keeps only the newest frame, reopens the
// camera when it comes back after an unplug, and counts what it saw.
//
// The grab thread stands in for the library's stream engine (newest-only strategy); when the
// engine is available this class keeps its interface and uses it instead.
#pragma once

#include <kepra/kepra.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kepra_view {

struct Frame {
  std::uint64_t sequence = 0;  // 1, 2, ... in the order the source grabbed frames
  std::uint32_t counter = 0;   // the camera's frame counter
  std::uint64_t timestamp_us = 0;
  std::uint32_t width = 0, height = 0, bit_depth = 0;
  double grabbed_ms = 0;  // wall clock (ms since the epoch) when the grab completed
  std::vector<std::uint16_t> samples;
};

struct SourceStats {
  bool connected = false;
  std::uint64_t received = 0;  // frames grabbed
  std::uint64_t skipped = 0;   // frames the camera produced that were never grabbed (counter gaps)
  std::uint64_t dropped = 0;   // grabbed, but replaced by a newer one before anyone took it
  std::uint64_t failures = 0;  // failed grabs (other than an unplug or a snapshot time-out)
  std::uint32_t last_error = 0;
  std::uint64_t reconnects = 0;
};

class FrameSource {
 public:
  explicit FrameSource(std::uint32_t index);
  ~FrameSource();  // stops the grab thread (a grab blocked in snapshot mode is abandoned)
  FrameSource(const FrameSource&) = delete;
  FrameSource& operator=(const FrameSource&) = delete;

  std::uint32_t index() const { return index_; }
  // The newest frame with a sequence above `after`, waiting up to `timeout`; null if none.
  std::shared_ptr<const Frame> Next(std::uint64_t after, std::chrono::milliseconds timeout);
  std::shared_ptr<const Frame> Latest() const;
  SourceStats Stats() const;
  // Runs `use` with the open camera; false (and `use` not run) while it is unplugged. The
  // handle stays valid during the call.
  bool WithCamera(const std::function<void(KEPRA_HANDLE)>& use);
  // The frame size may have changed: read the frame parameters before the next grab.
  void Reconfigure() { shared_->reconfigure.store(true); }

 private:
  struct Shared {
    std::uint32_t index = 0;
    std::atomic<bool> stop{false};
    std::atomic<bool> reconfigure{true};
    // The handle: written only by the grab thread, under handle_mutex, which settings calls
    // hold while they use it (so a slow setter never holds up frames).
    std::mutex handle_mutex;
    KEPRA_HANDLE handle = KEPRA_INVALID_HANDLE;
    mutable std::mutex mutex;  // everything below
    std::condition_variable changed;
    std::shared_ptr<const Frame> latest;
    bool taken = true;  // latest was handed out by Next
    SourceStats stats;
    bool finished = false;
    std::condition_variable finished_cv;
  };
  static void Run(std::shared_ptr<Shared> shared);

  std::uint32_t index_;
  std::shared_ptr<Shared> shared_;
};

}  // namespace kepra_view
