// grab: frames into image files. The grab loop only grabs; a writer thread converts and saves,
// fed through a small queue of reusable buffers, so that a slow disk or encoder holds the loop
// back only when the queue is full. (The loop is the part that moves onto the stream engine.)
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

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

// A grabbed frame on its way to the writer.
struct Job {
  std::uint32_t number = 0;
  std::vector<std::uint8_t> raw;  // the Ex record (if any), then the samples as grabbed
};

// Buffers cycle between the grab loop and the writer: `free` ones to grab into, `ready` ones
// to save. Closing ends the writer once it has saved what is ready.
class JobQueue {
 public:
  JobQueue(std::size_t buffers, std::size_t bytes) {
    for (std::size_t i = 0; i < buffers; ++i) free_.emplace_back().raw.resize(bytes);
  }
  Job TakeFree() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !free_.empty(); });
    Job job = std::move(free_.front());
    free_.pop_front();
    return job;
  }
  void PutReady(Job job) {
    {
      std::lock_guard lock(mutex_);
      ready_.push_back(std::move(job));
    }
    changed_.notify_all();
  }
  std::optional<Job> TakeReady() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !ready_.empty() || closed_; });
    if (ready_.empty()) return std::nullopt;
    Job job = std::move(ready_.front());
    ready_.pop_front();
    return job;
  }
  void PutFree(Job job) {
    {
      std::lock_guard lock(mutex_);
      free_.push_back(std::move(job));
    }
    changed_.notify_all();
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
  std::deque<Job> free_, ready_;
  bool closed_ = false;
};

struct Saved {
  std::uint64_t files = 0;
  std::string first, last;
  std::string error;  // the first failure; the writer stops at it
};

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
  const KEPRA_HANDLE h = camera.h();

  kepra_FrameParams params{};
  Check("kepra_GetFrameParams", [&] { return kepra_GetFrameParams(h, &params); });
  const auto geometry = FrameGeometry(params.Width, params.Height, params.BinX, params.BinY);
  if (!geometry) {
    throw ToolError(kExitFailed, "the camera's frame parameters describe no image (" +
                                     std::to_string(params.Width) + "x" +
                                     std::to_string(params.Height) + " binned " +
                                     std::to_string(params.BinX) + "x" +
                                     std::to_string(params.BinY) + ")");
  }
  double configured_rate = 0;
  Check("kepra_GetFrameRate", [&] { return kepra_GetFrameRate(h, &configured_rate); });
  const std::uint32_t width = geometry->width, height = geometry->height;
  const std::size_t samples = static_cast<std::size_t>(width) * height;
  const std::size_t sample_bytes = grab.depth == 16 ? 2 : 1;
  const std::size_t header = grab.ex ? kFrameInfoSize : 0;
  const std::size_t length = header + samples * sample_bytes;

  JobQueue queue(4, length);
  Saved saved;
  std::atomic<bool> writer_failed{false};
  std::thread writer([&] {
    std::vector<std::uint16_t> scaled(grab.depth == 16 ? samples : 0);
    while (std::optional<Job> job = queue.TakeReady()) {
      if (saved.error.empty() && !grab.no_save) {
        const std::uint8_t* pixels = job->raw.data() + header;
        const void* image = pixels;
        if (grab.depth == 16) {
          // Little-endian samples of BitDepth bits become full-range 16-bit values.
          for (std::size_t i = 0; i < samples; ++i) {
            const auto value = static_cast<std::uint16_t>(pixels[2 * i] | pixels[2 * i + 1] << 8);
            scaled[i] = ScaleTo16(value, params.BitDepth);
          }
          image = scaled.data();
        }
        const std::string path = *FramePath(grab.pattern, job->number);
        const std::string error = WriteGrayImage(path, format, width, height, grab.depth, image);
        if (error.empty()) {
          if (saved.files++ == 0) saved.first = path;
          saved.last = path;
        } else {
          saved.error = "writing frame " + std::to_string(job->number) + " failed: " + error;
          writer_failed.store(true);
        }
      }
      queue.PutFree(std::move(*job));
    }
  });

  g_interrupted.store(false);
  const auto previous_handler = std::signal(SIGINT, OnInterrupt);
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  Clock::time_point first = start, last = start;
  std::uint64_t frames = 0, dropped = 0, out_of_order = 0;
  std::uint32_t previous_counter = 0;
  std::string failure;
  const char* operation = grab.ex ? (grab.depth == 16 ? "kepra_GetFrameEx16" : "kepra_GetFrameEx8")
                                  : (grab.depth == 16 ? "kepra_GetFrame16" : "kepra_GetFrame8");
  while ((grab.count == 0 || frames < grab.count) && !g_interrupted.load() &&
         !writer_failed.load()) {
    Job job = queue.TakeFree();
    job.number = static_cast<std::uint32_t>(frames);
    void* buffer = job.raw.data();
    const auto size = static_cast<std::uint32_t>(length);
    kepra_SetLastError(0);
    std::uint32_t ok = 0;
    if (grab.ex) {
      ok = grab.depth == 16 ? kepra_GetFrameEx16(h, buffer, size)
                            : kepra_GetFrameEx8(h, buffer, size);
    } else {
      ok = grab.depth == 16 ? kepra_GetFrame16(h, buffer, size) : kepra_GetFrame8(h, buffer, size);
    }
    if (!ok) {
      failure = FailureMessage(std::string(operation) + " (frame " + std::to_string(frames) + ")",
                               kepra_GetLastError());
      queue.PutFree(std::move(job));
      break;
    }
    last = Clock::now();
    if (frames == 0) first = last;
    if (grab.ex) {
      const std::uint8_t* r = job.raw.data();
      const std::uint32_t counter =
          static_cast<std::uint32_t>(r[0]) | static_cast<std::uint32_t>(r[1]) << 8 |
          static_cast<std::uint32_t>(r[2]) << 16 | static_cast<std::uint32_t>(r[3]) << 24;
      if (frames > 0) {
        dropped += DroppedBetween(previous_counter, counter);
        if (static_cast<std::int32_t>(counter - previous_counter) <= 0) ++out_of_order;
      }
      previous_counter = counter;
    }
    ++frames;
    queue.PutReady(std::move(job));
  }
  // The writer finishes every frame already grabbed, then the summary follows.
  queue.Close();
  writer.join();
  std::signal(SIGINT, previous_handler);
  const bool interrupted = g_interrupted.load();

  if (!saved.error.empty()) throw ToolError(kExitFailed, saved.error);
  // Between the first and the last arrival; a single frame is timed from its request (for a
  // paced camera up to one frame time too long, so then the rate is a lower bound).
  const double seconds = std::chrono::duration<double>(last - start).count();
  const double span = std::chrono::duration<double>(last - first).count();
  double rate = 0;
  if (frames > 1 && span > 0) {
    rate = static_cast<double>(frames - 1) / span;
  } else if (frames == 1 && seconds > 0) {
    rate = 1 / seconds;
  }
  {
    Report report(options.json);
    report.UInt("frames", frames);
    report.UInt("width", width);
    report.UInt("height", height);
    report.UInt("depth", grab.depth);
    report.UInt("sensor_bits", params.BitDepth);
    report.Real("seconds", seconds);
    report.Real("frame_rate", rate);
    report.Real("configured_frame_rate", configured_rate);
    if (grab.ex) {
      report.UInt("dropped", dropped);
      report.UInt("out_of_order", out_of_order);
    }
    report.UInt("files", saved.files);
    if (saved.files > 0) {
      report.Str("first_file", saved.first);
      report.Str("last_file", saved.last);
    }
    report.Bool("interrupted", interrupted);
  }
  if (!failure.empty()) throw ToolError(kExitFailed, failure);
  // Ctrl-C is how an open-ended grab ends; it cuts a counted one short.
  return interrupted && grab.count != 0 ? 130 : kExitOk;
}

}  // namespace kepra_tool
