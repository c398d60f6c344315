// Frames: kepra_GetFrame16 of whole frames against a raw receive of the same request on the
// same channel, and against the USB 3 payload ceiling. The virtual camera generates every
// frame it serves, on both sides alike, so the floor carries the same generation cost.
#include <vector>

#include "harness.h"
#include "protocol/protocol.h"

namespace kb {
namespace {

constexpr double kUsb3PayloadMBps = 400.0;  // what a USB 3 bulk stream carries in practice

void BM_Frames_GetFrame16(benchmark::State& state) {
  const auto width = static_cast<std::uint32_t>(state.range(0));
  const auto height = static_cast<std::uint32_t>(state.range(1));
  const std::uint32_t length = width * height * 2;
  LibHandle h;
  Raw raw;
  // One buffer for both sides, so that both write the same memory.
  std::vector<std::uint8_t> buffer(length);
  const Pair pair = Paired(
      state, [&] { return Lib().GetFrame16(h.get(), buffer.data(), length) == 1; },
      [&] {
        DWORD returned = 0;
        return DeviceIoControl(raw.device(), kepra::protocol::IOCTL_GET_FRAME16, nullptr, 0,
                               buffer.data(), length, &returned, nullptr) != FALSE &&
               returned == length;
      },
      length);
  state.counters["usb3_ratio"] = pair.lib / kUsb3PayloadMBps;
  if (pair.floor > 0) {
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    Report({"frames", "kepra_GetFrame16 " + size + " vs raw receive", pair.lib, pair.floor, "MB/s",
            ">= 0.9", "", pair.ratio});
    Report({"frames", "kepra_GetFrame16 " + size + " vs USB 3 payload", pair.lib, kUsb3PayloadMBps,
            "MB/s", ">= 1", "ceiling of a real link"});
  }
}

}  // namespace

BENCHMARK(BM_Frames_GetFrame16)
    ->Args({1280, 1024})
    ->Args({1600, 1200})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace kb
