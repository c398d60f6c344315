// Pacing: with the camera producing frames at its own rate, 100 kepra_GetFrameEx16 calls in a
// row against the frame rate the library reports (kepra_GetFrameRate). The delivered rate is
// taken between the arrival of the first and the last frame (the first call waits for the next
// frame produced, up to one period, which says nothing about the rate); gaps in the records'
// FrameCounter are frames the caller did not get.
#include <cstdio>
#include <vector>

#include "harness.h"

namespace kb {
namespace {

constexpr int kFrames = 100;

std::uint32_t CounterOf(const std::vector<std::uint8_t>& frame) {
  return static_cast<std::uint32_t>(frame[0]) | static_cast<std::uint32_t>(frame[1]) << 8 |
         static_cast<std::uint32_t>(frame[2]) << 16 | static_cast<std::uint32_t>(frame[3]) << 24;
}

// The camera paces only for this benchmark, and its clock and frame time are put back
// afterwards, so that the other figures see the camera as they always do.
class PacedCamera {
 public:
  explicit PacedCamera(KEPRA_HANDLE h) : h_(h) {
    if (Lib().GetFrequency(h_, &frequency_mhz_) != 1 || Lib().GetFrameTime(h_, &frame_time_) != 1) {
      Die("reading the camera's clock or frame time failed");
    }
    Cam().SetPaced(true);
  }
  ~PacedCamera() {
    Cam().SetPaced(false);
    Lib().SetFrequency(h_, frequency_mhz_);
    Lib().SetFrameTime(h_, frame_time_);
  }
  PacedCamera(const PacedCamera&) = delete;
  PacedCamera& operator=(const PacedCamera&) = delete;

 private:
  KEPRA_HANDLE h_;
  std::uint32_t frequency_mhz_ = 0;
  std::uint32_t frame_time_ = 0;
};

void BM_Pacing_GetFrameEx16(benchmark::State& state) {
  const double requested = static_cast<double>(state.range(0)) / 10.0;
  const auto clock_mhz = static_cast<std::uint32_t>(state.range(1));
  LibHandle h;
  PacedCamera paced(h.get());
  kepra_FrameParams params{};
  if (Lib().GetFrameParams(h.get(), &params) != 1 || params.BinX == 0 || params.BinY == 0) {
    state.SkipWithError("kepra_GetFrameParams failed");
    MarkFailed();
    return;
  }
  double configured = 0;
  if (Lib().SetFrequency(h.get(), clock_mhz) != 1 ||
      Lib().SetFrameRate(h.get(), requested, nullptr) != 1 ||
      Lib().GetFrameRate(h.get(), &configured) != 1 || !(configured > 0)) {
    state.SkipWithError("setting the frame rate failed");
    MarkFailed();
    return;
  }
  const std::size_t samples =
      static_cast<std::size_t>(params.Width / params.BinX) * (params.Height / params.BinY);
  const auto length = static_cast<std::uint32_t>(sizeof(kepra_FrameInfo) + 2 * samples);
  std::vector<std::uint8_t> frame(length);

  // One frame first, untimed: the buffers' first touch and the first wait for the camera's
  // schedule would otherwise fall on the first interval.
  if (Lib().GetFrameEx16(h.get(), frame.data(), length) != 1) {
    state.SkipWithError("kepra_GetFrameEx16 failed");
    MarkFailed();
    return;
  }
  std::vector<double> rates, dropped_counts;
  for (auto _ : state) {
    std::uint32_t first_counter = 0, previous = 0;
    std::uint64_t dropped = 0;
    Clock::time_point first{}, last{};
    for (int n = 0; n < kFrames; ++n) {
      if (Lib().GetFrameEx16(h.get(), frame.data(), length) != 1) {
        state.SkipWithError("kepra_GetFrameEx16 failed");
        MarkFailed();
        return;
      }
      last = Clock::now();
      const std::uint32_t counter = CounterOf(frame);
      if (n == 0) {
        first = last;
        first_counter = counter;
      } else {
        const auto step = static_cast<std::int32_t>(counter - previous);
        if (step <= 0) {
          state.SkipWithError("a frame came twice or out of order");
          MarkFailed();
          return;
        }
        dropped += static_cast<std::uint64_t>(step - 1);
      }
      previous = counter;
    }
    const double seconds = std::chrono::duration<double>(last - first).count();
    state.SetIterationTime(seconds);
    rates.push_back((kFrames - 1) / seconds);
    dropped_counts.push_back(static_cast<double>(dropped));
    state.counters["counter_span"] = static_cast<double>(previous - first_counter);
  }
  const double delivered = Median(rates), dropped = Median(dropped_counts);
  state.counters["configured_fps"] = configured;
  state.counters["delivered_fps"] = delivered;
  state.counters["ratio"] = delivered / configured;
  state.counters["dropped"] = dropped;

  // The configured rate may be below the one asked for: the setter clamps to what the
  // sensor's window, exposure and clock allow.
  char what[64];
  std::snprintf(what, sizeof what, "GetFrameEx16 x%d, %.1f fps at %u MHz", kFrames, requested,
                clock_mhz);
  Report({"pacing", std::string(what) + ": delivered", delivered, configured, "fps", ">= 0.99",
          "floor: configured rate"});
  Report({"pacing", std::string(what) + ": dropped", dropped, 0, "count", "= 0",
          "gaps in FrameCounter"});
}

}  // namespace

// Frame rate asked for (tenths of a frame per second) and sensor clock (MHz): 27.7 fps at the
// default clock, and 200 fps at the fastest clock, which the default window clamps to the
// sensor's maximum. One iteration is 100 frames, 3.6 s at 27.7 fps, so the iteration count is
// fixed rather than searched for.
BENCHMARK(BM_Pacing_GetFrameEx16)
    ->Args({277, 40})
    ->Args({2000, 114})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace kb
