// Recording: the next N frames the viewer takes, each to a 16-bit grey PNG (as the snapshot)
// in a new folder, written on a thread of its own so that live view goes on meanwhile.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "frame_source.h"

namespace kepra_view {

struct RecordingStatus {
  bool active = false;
  std::uint32_t wanted = 0;   // frames asked for
  std::uint32_t written = 0;  // files written
  std::uint32_t missed = 0;   // frames that came while the writer was behind: not recorded
  std::uint64_t gaps = 0;     // frames missing between the recorded ones, by the frame counter
  std::string folder;         // where the files go
  std::string error;          // why the recording ended early
};

class Recorder {
 public:
  explicit Recorder(std::string base_dir);
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Starts recording `frames` frames of camera `index` into a new folder under the base
  // directory (a running recording ends first). Empty on success, else why not.
  std::string Start(std::uint32_t index, std::uint32_t frames);
  void Stop();
  // Every frame the viewer takes; kept only while a recording wants more.
  void Offer(const std::shared_ptr<const Frame>& frame);
  RecordingStatus Status() const;

 private:
  void Write();

  const std::string base_dir_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::shared_ptr<const Frame>> queue_;
  RecordingStatus status_;
  std::uint32_t taken_ = 0;  // frames queued for this recording
  bool have_counter_ = false;
  std::uint32_t last_counter_ = 0;
  bool quit_ = false;
  std::thread writer_;
};

}  // namespace kepra_view
