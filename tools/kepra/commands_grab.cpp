// grab: frames into image files. A stream of the library grabs into a pool of buffers; this
// thread takes the frames and hands them to a writer thread that converts and saves them. A
// slow disk or encoder holds buffers; when the pool runs dry the stream drops frames and the
// summary says how many.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "debayer.h"
#include "frame_math.h"
#include "image_files.h"
#include "tool.h"

namespace kepra_tool {

namespace {

std::atomic<bool> g_interrupted{false};

extern "C" void OnInterrupt(int) {
  g_interrupted.store(true);
  // A second Ctrl-C ends the tool at once.
  std::signal(SIGINT, SIG_DFL);
}

// Enough buffers to ride out a slow file or two at full rate.
constexpr std::uint32_t kStreamBuffers = 16;

struct Job {
  std::uint32_t number = 0;
  kepra::StreamFrame frame;  // its buffer goes back to the stream when the job is done
};

// Frames on their way to the writer. Closing ends the writer once it has saved what is queued.
class JobQueue {
 public:
  void Put(Job job) {
    {
      std::lock_guard lock(mutex_);
      jobs_.push_back(std::move(job));
    }
    changed_.notify_all();
  }
  std::optional<Job> Take() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !jobs_.empty() || closed_; });
    if (jobs_.empty()) return std::nullopt;
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    return job;
  }
  void Close() {
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
    }
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Job> jobs_;
  bool closed_ = false;
};

// What the writers saved; they stop saving at the first failure.
class Saved {
 public:
  void Add(std::uint32_t number, const std::string& path) {
    std::lock_guard lock(mutex_);
    if (files_++ == 0 || number < first_number_) {
      first_number_ = number;
      first_ = path;
    }
    if (number >= last_number_) {
      last_number_ = number;
      last_ = path;
    }
  }
  void Fail(const std::string& error) {
    std::lock_guard lock(mutex_);
    if (error_.empty()) error_ = error;
    failed_.store(true);
  }
  bool failed() const { return failed_.load(); }
  // Read once the writers have ended.
  std::uint64_t files() const { return files_; }
  const std::string& first() const { return first_; }
  const std::string& last() const { return last_; }
  const std::string& error() const { return error_; }

 private:
  std::mutex mutex_;
  std::uint64_t files_ = 0;
  std::uint32_t first_number_ = 0, last_number_ = 0;
  std::string first_, last_, error_;
  std::atomic<bool> failed_{false};
};

// Converts and saves frames of `queue` until it is closed. Several run side by side: a 16-bit
// PNG of a full frame takes one of them longer than a frame time.
class Writer {
 public:
  Writer(const GrabOptions& grab, ImageFormat format, const kepra::FrameFormat& frame, Saved& saved)
      : grab_(grab), format_(format), frame_(frame), saved_(saved) {}

  void Run(JobQueue& queue) {
    while (std::optional<Job> job = queue.Take()) {
      if (!saved_.failed()) Save(*job);
      job->frame.Release();
    }
  }

 private:
  void Save(const Job& job) {
    const std::size_t samples = static_cast<std::size_t>(frame_.width) * frame_.height;
    ImageShape shape{frame_.width, frame_.height, grab_.debayer ? 3u : 1u, grab_.depth};
    const void* image = nullptr;
    if (grab_.depth == 16) {
      // Samples of BitDepth bits become full-range 16-bit values.
      const kepra::View<std::uint16_t> in = job.frame.Samples16();
      scaled_.resize(samples);
      for (std::size_t i = 0; i < samples; ++i) scaled_[i] = ScaleTo16(in[i], frame_.bit_depth);
      image = scaled_.data();
      if (grab_.debayer) {
        rgb16_.resize(samples * 3);
        Debayer(scaled_.data(), frame_.width, frame_.height,
                static_cast<std::uint32_t>(frame_.color_filter), rgb16_.data());
        image = rgb16_.data();
      }
    } else {
      image = job.frame.Samples8().data();
      if (grab_.debayer) {
        rgb8_.resize(samples * 3);
        Debayer(job.frame.Samples8().data(), frame_.width, frame_.height,
                static_cast<std::uint32_t>(frame_.color_filter), rgb8_.data());
        image = rgb8_.data();
      }
    }
    const std::string path = *FramePath(grab_.pattern, job.number);
    const std::string error = WriteImage(path, format_, shape, image);
    if (error.empty()) {
      saved_.Add(job.number, path);
    } else {
      saved_.Fail("writing frame " + std::to_string(job.number) + " failed: " + error);
    }
  }

  const GrabOptions& grab_;
  ImageFormat format_;
  kepra::FrameFormat frame_;
  std::vector<std::uint16_t> scaled_, rgb16_;
  std::vector<std::uint8_t> rgb8_;
  Saved& saved_;
};

const char* MosaicName(kepra::ColorFilter filter) {
  switch (filter) {
    case kepra::ColorFilter::kRggb:
      return "RGGB";
    case kepra::ColorFilter::kGrbg:
      return "GRBG";
    case kepra::ColorFilter::kGbrg:
      return "GBRG";
    case kepra::ColorFilter::kBggr:
      return "BGGR";
    default:
      return "none";
  }
}

}  // namespace

int Grab(const Options& options, const GrabOptions& grab) {
  if (grab.depth != 8 && grab.depth != 16) Usage("--depth is 8 or 16");
  const std::optional<std::string> first_name = FramePath(grab.pattern, 0);
  if (!first_name) {
    Usage("output pattern '" + grab.pattern + "' may hold one %d or %0Nd and %% only");
  }
  ImageFormat format = ImageFormat::kPng;
  if (!grab.no_save && !ImageFormatOf(*first_name, &format)) {
    Usage("output pattern '" + grab.pattern + "' does not end in .png, .tif or .tiff");
  }
  if (!grab.no_save && grab.count != 1 && *first_name == *FramePath(grab.pattern, 1)) {
    Usage("output pattern '" + grab.pattern +
          "' has no %d: every frame would overwrite the same file (add a counter, or use -n 1)");
  }
  Camera camera(options.device);
  const kepra::FrameFormat frame = camera.cpp().Format();
  if (grab.debayer &&
      (frame.color_filter == kepra::ColorFilter::kNone || frame.width < 2 || frame.height < 2)) {
    Usage("--debayer: the camera's frames are no colour mosaic (a monochrome sensor, or binned)");
  }
  const double configured_rate = camera.cpp().FrameRate().value;

  kepra::StreamOptions stream_options;
  stream_options.depth = grab.depth;
  stream_options.buffers = kStreamBuffers;
  stream_options.with_info = true;  // the frame counters show frames the camera lost
  kepra::Stream stream(camera.cpp(), stream_options, false);

  Saved saved;
  JobQueue queue;
  const unsigned writer_count =
      grab.no_save ? 0 : std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
  std::vector<std::unique_ptr<Writer>> writers;
  std::vector<std::thread> writer_threads;
  for (unsigned i = 0; i < writer_count; ++i) {
    writers.push_back(std::make_unique<Writer>(grab, format, frame, saved));
    writer_threads.emplace_back([&queue, w = writers.back().get()] { w->Run(queue); });
  }

  g_interrupted.store(false);
  const auto previous_handler = std::signal(SIGINT, OnInterrupt);
  using Clock = std::chrono::steady_clock;
  std::uint64_t frames = 0, first_arrival = 0, last_arrival = 0;
  std::string failure;
  kepra::StreamStats stats{};
  const Clock::time_point start = Clock::now();
  Clock::time_point first_taken = start;
  try {
    stream.Start();
    while ((grab.count == 0 || frames < grab.count) && !g_interrupted.load() && !saved.failed()) {
      std::optional<kepra::StreamFrame> taken = stream.Next(std::chrono::milliseconds(100));
      if (!taken) {
        // A failed grab request (a trigger that did not come, a transfer error) ends the grab.
        stats = stream.Stats();
        if (stats.failures > 0) {
          failure = FailureMessage("grabbing frame " + std::to_string(frames), stats.last_error);
          break;
        }
        continue;
      }
      if (frames == 0) {
        first_taken = Clock::now();
        first_arrival = taken->raw().ArrivalUs;
      }
      last_arrival = taken->raw().ArrivalUs;
      if (!grab.no_save) queue.Put({static_cast<std::uint32_t>(frames), std::move(*taken)});
      ++frames;
    }
    stats = stream.Stats();
    stream.Stop();
  } catch (const kepra::Error& e) {
    failure = FailureMessage(std::string(e.function()) + " (frame " + std::to_string(frames) + ")",
                             e.code());
  }
  // The writers finish every frame already taken (their buffers go back before the stream
  // closes), then the summary follows.
  queue.Close();
  for (std::thread& t : writer_threads) t.join();
  std::signal(SIGINT, previous_handler);
  const bool interrupted = g_interrupted.load();
  if (saved.failed()) throw ToolError(kExitFailed, saved.error());

  // The delivered rate: frames between the first and the last arrival. A single frame is timed
  // from the start (up to one frame time too long for a paced camera: a lower bound).
  const double span = static_cast<double>(last_arrival - first_arrival) / 1e6;
  const double seconds = std::chrono::duration<double>(first_taken - start).count();
  double rate = 0;
  if (frames > 1 && span > 0) {
    rate = static_cast<double>(frames - 1) / span;
  } else if (frames == 1 && seconds > 0) {
    rate = 1 / seconds;
  }
  {
    Report report(options.json);
    report.UInt("frames", frames);
    report.UInt("width", frame.width);
    report.UInt("height", frame.height);
    report.UInt("depth", grab.depth);
    report.UInt("sensor_bits", frame.bit_depth);
    report.Str("mosaic", MosaicName(frame.color_filter));
    report.Real("seconds", frames > 1 ? span : seconds);
    report.Real("frame_rate", rate);
    report.Real("configured_frame_rate", configured_rate);
    report.UInt("received", stats.received);
    report.UInt("skipped", stats.skipped);
    report.UInt("dropped", stats.dropped);
    report.UInt("files", saved.files());
    if (saved.files() > 0) {
      report.Str("first_file", saved.first());
      report.Str("last_file", saved.last());
    }
    report.Bool("interrupted", interrupted);
  }
  if (!failure.empty()) throw ToolError(kExitFailed, failure);
  // Ctrl-C is how an open-ended grab ends; it cuts a counted one short.
  return interrupted && grab.count != 0 ? 130 : kExitOk;
}

}  // namespace kepra_tool
