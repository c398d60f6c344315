// Frames of one camera for the viewer, through a newest-only stream of the library: a slow
// consumer only ever gets the newest frame. Opens the camera on demand, and again after an
// unplug, and keeps the stream's statistics across the streams it opens.
#pragma once

#include <kepra/kepra.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace kepra_view {

struct Frame {
  // 1, 2, ... in the order frames were handed out, across sources: a page that switches
  // cameras sees the numbers go on rising.
  std::uint64_t sequence = 0;
  std::uint32_t counter = 0;  // the camera's frame counter
  std::uint64_t timestamp_us = 0;
  std::uint32_t width = 0, height = 0, bit_depth = 0;
  double grabbed_ms = 0;  // wall clock (ms since the epoch) when the grab completed
  std::vector<std::uint16_t> samples;
};

// The sums of the stream statistics of every stream this source opened.
struct SourceStats {
  bool connected = false;
  std::uint64_t received = 0;   // frames grabbed
  std::uint64_t delivered = 0;  // frames handed to the viewer
  std::uint64_t skipped = 0;    // produced by the camera, never grabbed (counter gaps)
  std::uint64_t dropped = 0;    // grabbed, but replaced by a newer one before the viewer took it
  std::uint64_t failures = 0;   // failed grabs (snapshot-mode time-outs included)
  std::uint32_t last_error = 0;
  std::uint64_t reconnects = 0;
  std::uint64_t streams = 0;  // streams opened (a restart opens a new one)
};

class FrameSource {
 public:
  explicit FrameSource(std::uint32_t index) : index_(index) {}
  ~FrameSource();
  FrameSource(const FrameSource&) = delete;
  FrameSource& operator=(const FrameSource&) = delete;

  std::uint32_t index() const { return index_; }
  // The newest frame, waiting up to `timeout`; null if none came (or the camera is away). Only
  // one thread may call Next.
  std::shared_ptr<const Frame> Next(std::chrono::milliseconds timeout);
  SourceStats Stats() const;
  // Runs `use` with the open camera; false (and `use` not run) while it is unplugged. The
  // handle stays valid during the call.
  bool WithCamera(const std::function<void(KEPRA_HANDLE)>& use);
  // The frame size or the stream mode changed: open a new stream before the next frame (this
  // also ends a grab that waits for a trigger).
  void Restart();

 private:
  bool Connect();
  bool OpenStream();
  void CloseStream();
  void Disconnect();
  void Note(const kepra_StreamStats& now, bool final);
  void FailedAttempt(std::uint32_t error);

  const std::uint32_t index_;
  // The handle: changed only by Next's thread, under handle_mutex_, which settings calls hold
  // while they use it.
  std::mutex handle_mutex_;
  KEPRA_HANDLE handle_ = KEPRA_INVALID_HANDLE;
  // Next's thread only.
  KEPRA_STREAM stream_ = nullptr;
  std::chrono::steady_clock::time_point next_attempt_{};
  mutable std::mutex mutex_;  // below
  bool restart_ = false;
  SourceStats base_;   // closed streams
  SourceStats stats_;  // base_ plus the open stream
};

}  // namespace kepra_view
