// Flash: the sector rewrite's request count and time, and a firmware write with the NOR chip's
// typical timing against the chip's own floor.
#include <algorithm>
#include <vector>

#include "harness.h"
#include "nor_flash.h"
#include "protocol/protocol.h"

namespace kb {
namespace {

namespace io = kepra::protocol;
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
            pair.floor / 1000, "ms", "<= 1.05", "floor: same 513 requests raw", pair.ratio});
  }
}

void BM_Flash_FirmwareTimed(benchmark::State& state) {
  LibHandle h;
  Raw raw;
  NorFlash& flash = Cam().Flash();
  flash.SetTiming(true);
  double seconds = 0, raw_seconds = 0;
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
    std::vector<Request> sent;
    for (const auto& entry : Cam().Log()) sent.push_back({entry.code, entry.in, entry.out_size});
    requests = sent.size();
    Cam().ClearLog();
    counters = flash.GetCounters();
    // The same requests raw, with the chip timed alike: what the transport and the virtual
    // chip's sleeps cost without the library.
    const auto t1 = Clock::now();
    const bool raw_ok = raw.Replay(sent, false);
    raw_seconds = std::chrono::duration<double>(Clock::now() - t1).count();
    if (!ok || !raw_ok) {
      state.SkipWithError(ok ? "raw replay failed" : "kepra_UpdateFW failed");
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
  state.counters["raw_ms"] = raw_seconds * 1e3;
  state.counters["ratio"] = seconds / floor_s;
  const std::string what =
      "kepra_UpdateFW, " + std::to_string(counters.sectors_erased) + " sectors, NOR timing";
  const std::string sent_note = std::to_string(requests) + " requests; floor: ";
  Report({"flash", what + ", vs chip", seconds * 1e3, floor_s * 1e3, "ms", "",
          sent_note + "256 x 0.7 ms + 150 ms per sector"});
  Report({"flash", what + ", vs raw", seconds * 1e3, raw_seconds * 1e3, "ms", "<= 1.05",
          sent_note + "same requests raw, chip timed"});
}

}  // namespace

BENCHMARK(BM_Flash_SectorRewrite)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Flash_FirmwareTimed)
    ->Iterations(1)
    ->Repetitions(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace kb
