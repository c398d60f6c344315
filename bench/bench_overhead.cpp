// What the library adds on top of its requests: each export against the same requests sent
// raw through the same channel (with the lock mutex wait and release for locked exports).
#include <functional>

#include "harness.h"
#include "protocol/protocol.h"

namespace kb {
namespace {

void Overhead(benchmark::State& state, const std::string& figure, bool locked,
              const std::function<bool()>& call) {
  Raw raw;
  const auto requests = Record(call);
  if (locked && !LockedShape(requests)) Die(figure + ": unexpected request shape");
  state.counters["requests"] = static_cast<double>(requests.size());
  const Pair pair = Paired(state, call, [&] { return raw.Replay(requests, locked); });
  if (pair.floor > 0) {
    Report({"overhead", figure + " (" + std::to_string(requests.size()) + " requests)", pair.lib,
            pair.floor, "us", "<= 1.05", "", pair.ratio});
  }
}

void BM_Overhead_GetExposure(benchmark::State& state) {
  LibHandle h;
  std::uint32_t exposure = 0;
  Overhead(state, "kepra_GetExposure, locked", true,
           [&] { return Lib().GetExposure(h.get(), &exposure) == 1; });
}

void BM_Overhead_SetFrameTime(benchmark::State& state) {
  LibHandle h;
  std::uint32_t frame_time = 0;
  if (!Lib().GetFrameTime(h.get(), &frame_time)) Die("kepra_GetFrameTime failed");
  Overhead(state, "kepra_SetFrameTime, locked", true,
           [&] { return Lib().SetFrameTime(h.get(), frame_time) == 1; });
}

void BM_Overhead_GetFrame8Small(benchmark::State& state) {
  LibHandle h;
  std::uint8_t buffer[64];
  Overhead(state, "kepra_GetFrame8 64 B, unlocked", false,
           [&] { return Lib().GetFrame8(h.get(), buffer, sizeof buffer) == 1; });
}

// The two halves of a lock and unlock on the raw side, for reading the figures above: the
// named mutex alone, and one device-index request.
void BM_Lock_MutexAlone(benchmark::State& state) {
  Raw raw;
  for (auto _ : state) {
    if (WaitForSingleObject(raw.mutex(), 5000) != WAIT_OBJECT_0 || !ReleaseMutex(raw.mutex())) {
      state.SkipWithError("mutex failed");
      MarkFailed();
      return;
    }
  }
}

void BM_Lock_IndexRequestAlone(benchmark::State& state) {
  Raw raw;
  const Request request{kepra::protocol::IOCTL_DEVICE_INDEX, {}, 4};
  for (auto _ : state) {
    if (!raw.Send(request)) {
      state.SkipWithError("index request failed");
      MarkFailed();
      return;
    }
  }
}

}  // namespace

BENCHMARK(BM_Overhead_GetExposure)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Overhead_SetFrameTime)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Overhead_GetFrame8Small)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Lock_MutexAlone)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Lock_IndexRequestAlone)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace kb
