// One process of the stress run: several threads on one camera for a fixed time, then a
// watch for the camera's unplugging.
//
//   kepra-stress-worker INDEX ID DURATION-MS FRAME-TIMES...
//
// FRAME-TIMES are the frame times (register 4 line length x register 12 frame length) that the
// setter gives when run alone; a read-back outside them is a torn register pair. Writes its
// operation count to $KEPRA_DEVICE_DIR/ops-ID, prints "phase1" when the timed part is over,
// then keeps grabbing until $KEPRA_DEVICE_DIR/unplugged exists and checks that every later
// call fails cleanly. Exit status 0: no invariant broken.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kepra/kepra.h"
#include "stress_common.h"

namespace {

std::atomic<bool> g_failed{false};
std::atomic<std::uint64_t> g_ops{0};

void Fail(const char* what, std::uint32_t detail) {
  std::fprintf(stderr, "stress worker: %s (%u, last error %u)\n", what, detail,
               kepra_GetLastError());
  g_failed = true;
}

double Ms(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) return 2;
  const auto index = static_cast<std::uint32_t>(std::atoi(argv[1]));
  const int id = std::atoi(argv[2]);
  const int duration_ms = std::atoi(argv[3]);
  std::set<std::uint32_t> achieved;
  for (int i = 4; i < argc; ++i) achieved.insert(static_cast<std::uint32_t>(std::atol(argv[i])));
  const std::filesystem::path dir = std::getenv("KEPRA_DEVICE_DIR");

  // Handles are opened here, serially; only this thread opens and closes later on.
  KEPRA_HANDLE settings = kepra_OpenDevice(index);
  KEPRA_HANDLE frames = kepra_OpenDevice(index);
  KEPRA_HANDLE flash = kepra_OpenDevice(index);
  if (settings == KEPRA_INVALID_HANDLE || frames == KEPRA_INVALID_HANDLE ||
      flash == KEPRA_INVALID_HANDLE)
    return 3;
  const auto start = std::chrono::steady_clock::now();
  std::atomic<bool> phase1{true}, watching{true};

  std::thread settings_thread([&] {
    std::mt19937 rng(static_cast<unsigned>(id) * 7919u);
    const double gains[] = {0.5, 1.0, 1.5, 2.0, 3.0};
    while (phase1) {
      const double g = gains[rng() % 5];
      if (!kepra_SetGainC(settings, g, g, g, g)) Fail("SetGainC failed", 0);
      double gb, gr, b, r;
      if (!kepra_GetGainC(settings, &gb, &gr, &b, &r)) Fail("GetGainC failed", 0);
      // All four are written equal by every writer: unequal pairs were torn.
      if (gb != gr || b != r || gb != b) Fail("torn colour gains 54/55", 0);
      const std::uint32_t t = kStressFrameTimes[rng() % kStressFrameTimeCount];
      if (!kepra_SetFrameTime(settings, t)) Fail("SetFrameTime failed", t);
      std::uint32_t got = 0;
      if (!kepra_GetFrameTime(settings, &got)) Fail("GetFrameTime failed", 0);
      if (!achieved.count(got)) Fail("torn frame time (registers 4 and 12)", got);
      g_ops += 4;
    }
  });
  std::thread frames_thread([&] {
    std::vector<std::uint16_t> buffer(64 * 64);
    while (watching) {
      const bool ok = kepra_GetFrame16(frames, buffer.data(),
                                       static_cast<std::uint32_t>(buffer.size() * 2)) != 0;
      if (phase1 && !ok) Fail("GetFrame16 failed", 0);
      if (!ok && !phase1) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      ++g_ops;
    }
  });
  std::thread flash_thread([&] {
    std::vector<std::uint8_t> mine = StressPattern(id), back(kStressPatternSize);
    for (int round = 0; phase1; ++round) {
      const std::uint32_t at = StressSector((id + round) % kStressSectors);
      if (!kepra_WriteFlash(flash, at, mine.data(), kStressPatternSize))
        Fail("WriteFlash failed", at);
      if (!kepra_ReadFlash(flash, at, back.data(), kStressPatternSize))
        Fail("ReadFlash failed", at);
      if (StressPatternOwner(back) < 0) Fail("flash range holds a mixed pattern", at);
      g_ops += 2;
    }
  });

  // Opens and closes, serial within this process.
  while (Ms(start) < duration_ms) {
    KEPRA_HANDLE h = kepra_OpenDevice(index);
    if (h == KEPRA_INVALID_HANDLE) {
      Fail("OpenDevice failed", index);
    } else {
      kepra_CameraInfo info;
      if (!kepra_GetCameraInfo(h, &info)) Fail("GetCameraInfo failed", 0);
      if (!kepra_CloseDevice(h)) Fail("CloseDevice failed", 0);
    }
    g_ops += 3;
  }
  phase1 = false;
  settings_thread.join();
  flash_thread.join();
  std::ofstream(dir / ("ops-" + std::to_string(id))) << g_ops.load() << "\n";
  std::printf("phase1\n");
  std::fflush(stdout);

  // The camera goes away while frames are being grabbed; wait for the word that it has.
  const auto watch_start = std::chrono::steady_clock::now();
  while (!std::filesystem::exists(dir / "unplugged")) {
    if (Ms(watch_start) > 60000) {
      Fail("never unplugged", 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  watching = false;
  frames_thread.join();

  // Every later call fails at once with the device's error.
  std::uint16_t sample[16];
  for (KEPRA_HANDLE h : {settings, frames, flash}) {
    const auto t0 = std::chrono::steady_clock::now();
    kepra_SetLastError(0);
    if (kepra_GetFrame16(h, sample, sizeof sample) != 0) Fail("frame after unplug", 0);
    if (kepra_GetLastError() != 1167) Fail("frame after unplug: wrong error", kepra_GetLastError());
    std::uint32_t t = 0;
    if (kepra_GetFrameTime(h, &t) != 0) Fail("locked call after unplug", 0);
    if (kepra_GetLastError() != 0xC000000D)
      Fail("locked call after unplug: wrong error", kepra_GetLastError());
    if (Ms(t0) > 1000) Fail("calls after unplug are slow", static_cast<std::uint32_t>(Ms(t0)));
  }
  if (kepra_OpenDevice(index) != KEPRA_INVALID_HANDLE) Fail("opened an unplugged camera", 0);
  for (KEPRA_HANDLE h : {settings, frames, flash}) kepra_CloseDevice(h);
  return g_failed ? 1 : 0;
}
