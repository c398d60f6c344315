// Streams: what the library's grab thread delivers against a synchronous loop, whether
// oldest-first loses frames to a consumer that stalls now and then, and how soon newest-only
// hands a frame over after it arrived.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace kb {
namespace {

kepra_Frame EmptyFrame() {
  kepra_Frame f{};
  f.Size = sizeof f;
  return f;
}

std::uint64_t NowUs() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
          .count());
}

// A stream that closes itself.
class LibStream {
 public:
  LibStream(KEPRA_HANDLE h, std::uint32_t buffers, std::uint32_t strategy, bool info) {
    kepra_StreamConfig c{};
    c.Size = sizeof c;
    c.Depth = 16;
    c.BufferCount = buffers;
    c.Strategy = strategy;
    c.WithInfo = info ? 1 : 0;
    s_ = Lib().OpenStream(h, &c);
    if (!s_) Die("kepra_OpenStream failed");
  }
  ~LibStream() { Lib().CloseStream(s_); }
  LibStream(const LibStream&) = delete;
  LibStream& operator=(const LibStream&) = delete;
  KEPRA_STREAM get() const { return s_; }
  kepra_StreamStats Stats() const {
    kepra_StreamStats st{};
    st.Size = sizeof st;
    Lib().GetStreamStats(s_, &st);
    return st;
  }

 private:
  KEPRA_STREAM s_;
};

// The camera paces (or not) and keeps the window of one benchmark; clock, frame time and
// window are put back afterwards.
class Setup {
 public:
  Setup(KEPRA_HANDLE h, bool paced, std::uint16_t width, std::uint16_t height) : h_(h) {
    if (Lib().GetFrequency(h_, &mhz_) != 1 || Lib().GetFrameTime(h_, &frame_time_) != 1 ||
        Lib().GetFrameParams(h_, &params_) != 1) {
      Die("reading the camera's settings failed");
    }
    kepra_FrameParams p = params_;
    p.X = p.Y = 0;
    p.Width = width;
    p.Height = height;
    p.BinX = p.BinY = 1;
    if (Lib().SetFrameParams(h_, &p) != 1) Die("kepra_SetFrameParams failed");
    Cam().SetPaced(paced);
  }
  ~Setup() {
    Cam().SetPaced(false);
    Lib().SetFrameParams(h_, &params_);
    Lib().SetFrequency(h_, mhz_);
    Lib().SetFrameTime(h_, frame_time_);
  }
  Setup(const Setup&) = delete;
  Setup& operator=(const Setup&) = delete;

 private:
  KEPRA_HANDLE h_;
  std::uint32_t mhz_ = 0, frame_time_ = 0;
  kepra_FrameParams params_{};
};

// The machine's 1-minute load average, printed beside the figures that depend on it.
std::string LoadNote() {
  double load = -1;
  if (std::FILE* f = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(f, "%lf", &load) != 1) load = -1;
    std::fclose(f);
  }
  char note[32];
  std::snprintf(note, sizeof note, "load %.1f", load);
  return note;
}

// Frame counts of a measurement; the ctest smoke run (KEPRA_BENCH_SMOKE set) only checks that
// each benchmark runs, so it takes a twentieth of them.
int Frames(int measured) {
  static const bool smoke = std::getenv("KEPRA_BENCH_SMOKE") != nullptr;
  return smoke ? std::max(measured / 20, 5) : measured;
}

// Unpaced camera, 1280 x 1024 at 16 bits: frames per second handed to the application by a
// stream (8 buffers, oldest-first, consumer that only releases) against a loop of
// kepra_GetFrame16 into one buffer. The two alternate, each over kBurst frames.
void BM_Stream_VsSyncLoop(benchmark::State& state) {
  const int kBurst = Frames(200);  // about 1.6 s: the start (a device handle, a thread) is small
  LibHandle h;
  Setup setup(h.get(), false, 1280, 1024);
  const std::uint32_t length = 1280u * 1024u * 2u;
  std::vector<std::uint8_t> frame(length);
  LibStream stream(h.get(), 8, KEPRA_STREAM_OLDEST_FIRST, false);
  std::vector<double> sync_fps, stream_fps, ratios;
  for (auto _ : state) {
    auto t0 = Clock::now();
    for (int i = 0; i < kBurst; ++i) {
      if (Lib().GetFrame16(h.get(), frame.data(), length) != 1) Die("kepra_GetFrame16 failed");
    }
    const double sync_s = std::chrono::duration<double>(Clock::now() - t0).count();
    t0 = Clock::now();
    if (Lib().StartStream(stream.get()) != 1) Die("kepra_StartStream failed");
    for (int i = 0; i < kBurst; ++i) {
      kepra_Frame f = EmptyFrame();
      if (Lib().NextFrame(stream.get(), &f, 10000) != 1) Die("kepra_NextFrame failed");
      Lib().ReleaseFrame(stream.get(), &f);
    }
    const double stream_s = std::chrono::duration<double>(Clock::now() - t0).count();
    Lib().StopStream(stream.get());
    state.SetIterationTime(stream_s);
    sync_fps.push_back(kBurst / sync_s);
    stream_fps.push_back(kBurst / stream_s);
    ratios.push_back(sync_s / stream_s);
  }
  const double lib = Median(stream_fps), floor = Median(sync_fps), ratio = Median(ratios);
  state.counters["stream_fps"] = lib;
  state.counters["sync_fps"] = floor;
  state.counters["ratio"] = ratio;
  Report({"stream", "stream (8 buffers) vs kepra_GetFrame16 loop, 1280x1024, unpaced", lib, floor,
          "fps", ">= 0.95", "floor: synchronous loop; " + LoadNote(), ratio});
}
BENCHMARK(BM_Stream_VsSyncLoop)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

// Paced camera at 30 fps (640 x 480), oldest-first with 8 buffers; the consumer stalls for
// three frame periods at every tenth frame. Lost frames: dropped (no free buffer) plus skipped
// (the camera's counter moved on without the stream) over 1000 frames.
void BM_Stream_OldestFirstStallingConsumer(benchmark::State& state) {
  const int kFrames = Frames(1000);
  LibHandle h;
  Setup setup(h.get(), true, 640, 480);
  double fps = 0;
  if (Lib().SetFrequency(h.get(), 40) != 1 || Lib().SetFrameRate(h.get(), 30.0, &fps) != 1) {
    Die("setting 30 fps failed");
  }
  const auto stall = std::chrono::duration<double>(3.0 / fps);
  for (auto _ : state) {
    LibStream stream(h.get(), 8, KEPRA_STREAM_OLDEST_FIRST, true);
    if (Lib().StartStream(stream.get()) != 1) Die("kepra_StartStream failed");
    const auto t0 = Clock::now();
    for (int i = 0; i < kFrames; ++i) {
      kepra_Frame f = EmptyFrame();
      if (Lib().NextFrame(stream.get(), &f, 10000) != 1) Die("kepra_NextFrame failed");
      if (i % 10 == 9) std::this_thread::sleep_for(stall);
      Lib().ReleaseFrame(stream.get(), &f);
    }
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
    const kepra_StreamStats st = stream.Stats();
    state.counters["configured_fps"] = fps;
    state.counters["dropped"] = static_cast<double>(st.Dropped);
    state.counters["skipped"] = static_cast<double>(st.Skipped);
    // Dropped is the pool's doing; skipped frames are ones the camera produced while no request
    // of the stream waited for them (the virtual camera keeps no frame for a request to come).
    char what[96];
    std::snprintf(what, sizeof what, "oldest-first, 8 buffers, %.1f fps, stalling consumer, %d",
                  fps, kFrames);
    Report({"stream", std::string(what) + ": dropped", static_cast<double>(st.Dropped), 0, "frames",
            "= 0", "no free buffer; " + LoadNote()});
    Report({"stream", std::string(what) + ": skipped", static_cast<double>(st.Skipped), 0, "frames",
            "= 0", "counter gaps; " + LoadNote()});
  }
}
BENCHMARK(BM_Stream_OldestFirstStallingConsumer)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Paced camera at 30 fps (640 x 480), newest-only: microseconds from a frame's arrival (the
// grab thread's completion time) to kepra_NextFrame returning it to a waiting consumer.
void BM_Stream_NewestOnlyHandover(benchmark::State& state) {
  const int kFrames = Frames(100);
  LibHandle h;
  Setup setup(h.get(), true, 640, 480);
  double fps = 0;
  if (Lib().SetFrequency(h.get(), 40) != 1 || Lib().SetFrameRate(h.get(), 30.0, &fps) != 1) {
    Die("setting 30 fps failed");
  }
  for (auto _ : state) {
    LibStream stream(h.get(), 4, KEPRA_STREAM_NEWEST_ONLY, true);
    if (Lib().StartStream(stream.get()) != 1) Die("kepra_StartStream failed");
    std::vector<double> latency;
    const auto t0 = Clock::now();
    for (int i = 0; i < kFrames; ++i) {
      kepra_Frame f = EmptyFrame();
      if (Lib().NextFrame(stream.get(), &f, 10000) != 1) Die("kepra_NextFrame failed");
      const std::uint64_t now = NowUs();
      latency.push_back(static_cast<double>(now - f.ArrivalUs));
      Lib().ReleaseFrame(stream.get(), &f);
    }
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
    const double median = Median(latency);
    state.counters["median_us"] = median;
    Report({"stream", "newest-only, 30 fps: arrival to hand-over (median)", median, 1000, "us",
            "<= 1.0", "floor: 1 ms; " + LoadNote()});
  }
}
BENCHMARK(BM_Stream_NewestOnlyHandover)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kb
