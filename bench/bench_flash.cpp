// Flash: the sector rewrite's request count and time, and a firmware write with the NOR chip's
// typical timing against the chip's own floor.
#include <algorithm>

#include "driver/ioctl.h"
#include "harness.h"
#include "nor_flash.h"

namespace kb {
namespace {

namespace io = kepra::driver;
using vcam::NorFlash;

constexpr std::uint32_t kLastSector = 0x1F0000;  // user area, away from the firmware

void BM_Flash_SectorRewrite(benchmark::State& state) {
  LibHandle h;
  Raw raw;
  std::uint8_t byte = 0x5A;
  const auto write_one = [&] {
    return Lib().WriteSPIFlash(h.get(), kLastSector + 7, &byte, 1) == 1;
  };
  Cam().Flash().ResetCounters();
  const auto requests = Record(write_one);
  const auto counters = Cam().Flash().GetCounters();
  const auto count = [&](std::uint32_t code) {
    return std::count_if(requests.begin(), requests.end(),
                         [code](const Request& r) { return r.code == code; });
  };
  // The log and the chip must tell the same story: 256 reads, one erase, 256 programs.
  if (count(io::IOCTL_SPI_READ_PAGE) != static_cast<long>(counters.pages_read) ||
      count(io::IOCTL_SPI_WRITE_PAGE) != static_cast<long>(counters.pages_programmed) ||
      count(io::IOCTL_SPI_ERASE_SECTOR) != static_cast<long>(counters.sectors_erased) ||
      counters.sectors_erased != 1) {
    Die("flash request log and chip counters disagree");
  }
  state.counters["requests_per_sector"] = static_cast<double>(requests.size());
  const Pair pair = Paired(state, write_one, [&] { return raw.Replay(requests, false); });
  if (pair.floor > 0) {
    Report({"flash", "requests per rewritten sector", static_cast<double>(requests.size()), 513,
            "req", "= 1", "256 reads + 1 erase + 256 programs"});
    Report({"flash", "CxWriteSPIFlash 1 byte (1 sector), no NOR timing", pair.lib / 1000,
            pair.floor / 1000, "ms", "<= 1.05", "floor: same 513 requests raw"});
  }
}

void BM_Flash_FirmwareTimed(benchmark::State& state) {
  LibHandle h;
  NorFlash& flash = Cam().Flash();
  flash.SetTiming(true);
  double seconds = 0;
  NorFlash::Counters counters{};
  std::size_t requests = 0;
  for (auto _ : state) {
    flash.ResetCounters();
    Cam().ClearLog();
    Cam().EnableLog(true);
    const auto t0 = Clock::now();
    const bool ok = Lib().UpdateFW(h.get()) == 1;
    seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    Cam().EnableLog(false);
    requests = Cam().Log().size();
    Cam().ClearLog();
    counters = flash.GetCounters();
    if (!ok) {
      state.SkipWithError("kepra_UpdateFW failed");
      MarkFailed();
      break;
    }
    state.SetIterationTime(seconds);
  }
  flash.SetTiming(false);
  if (seconds == 0) return;
  const double sectors = static_cast<double>(counters.sectors_erased);
  const double floor_s =
      static_cast<double>(counters.pages_programmed) *
          std::chrono::duration<double>(NorFlash::kPageProgramTime).count() +
      sectors * std::chrono::duration<double>(NorFlash::kSectorEraseTime).count();
  state.counters["sectors"] = sectors;
  state.counters["requests"] = static_cast<double>(requests);
  state.counters["floor_ms"] = floor_s * 1e3;
  state.counters["ratio"] = seconds / floor_s;
  Report({"flash",
          "kepra_UpdateFW, NOR timing (" + std::to_string(counters.sectors_erased) + " sectors, " +
              std::to_string(requests) + " requests)",
          seconds * 1e3, floor_s * 1e3, "ms", "", "floor: 256 x 0.7 ms + 150 ms per sector"});
}

}  // namespace

BENCHMARK(BM_Flash_SectorRewrite)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Flash_FirmwareTimed)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace kb
