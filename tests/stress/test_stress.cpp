// Several processes x several threads on one virtual camera for a fixed time, then the camera
// unplugged while they are still grabbing. The worker processes are this program again:
//
//   kepra_stress_tests --worker ID FRAME-TIMES...   (the camera at $KEPRA_TEST_INDEX)
//
// FRAME-TIMES are the frame times (register 4 line length x register 12 frame length) that the
// setter gives when run alone; a read-back outside them is a torn register pair. A worker prints
// "phase1" when the timed part is over (its operation count to stderr), then keeps grabbing until
// the camera goes away and checks that every later call fails cleanly. Exit status 0: no
// invariant broken.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "kepra/kepra.h"
#include "rig.h"

namespace {

constexpr int kProcesses = 3;
constexpr int kDurationMs = 8000;
constexpr std::uint32_t kFrameTimes[] = {100000, 150000, 220000, 300000, 450000, 700000};
constexpr int kSectors = 4;
constexpr std::uint32_t kPatternSize = 256;

// The first bytes of user-area sector s (64 KiB sectors).
std::uint32_t Sector(int s) { return static_cast<std::uint32_t>(s) * 0x10000u; }

// Writer id's pattern: distinct for every id, never all 0xFF (erased).
std::vector<std::uint8_t> Pattern(int id) {
  std::vector<std::uint8_t> p(kPatternSize);
  for (std::uint32_t i = 0; i < kPatternSize; ++i)
    p[i] = static_cast<std::uint8_t>(id * 37 + i * 11 + 1);
  return p;
}

// Whose pattern a range holds; -1 for none (mixed, erased or foreign).
int PatternOwner(const std::vector<std::uint8_t>& bytes) {
  for (int id = 0; id < kProcesses; ++id) {
    if (bytes == Pattern(id)) return id;
  }
  return -1;
}

std::atomic<bool> g_failed{false};

void Fail(const char* what, std::uint32_t detail) {
  std::fprintf(stderr, "stress worker: %s (%u, last error %u)\n", what, detail,
               kepra_GetLastError());
  g_failed = true;
}

int Worker(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::uint32_t index = rig::TestIndex();
  const int id = std::atoi(argv[0]);
  std::set<std::uint32_t> achieved;
  for (int i = 1; i < argc; ++i) achieved.insert(static_cast<std::uint32_t>(std::atol(argv[i])));
  std::atomic<std::uint64_t> ops{0};

  // Handles are opened here, serially; only this thread opens and closes later on.
  const KEPRA_HANDLE settings = kepra_OpenDevice(index), frames = kepra_OpenDevice(index),
                     flash = kepra_OpenDevice(index);
  for (KEPRA_HANDLE h : {settings, frames, flash}) {
    if (h == KEPRA_INVALID_HANDLE) return 3;
  }
  const double start = rig::NowMs();
  std::atomic<bool> phase1{true};

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
      const std::uint32_t t = kFrameTimes[rng() % std::size(kFrameTimes)];
      if (!kepra_SetFrameTime(settings, t)) Fail("SetFrameTime failed", t);
      std::uint32_t got = 0;
      if (!kepra_GetFrameTime(settings, &got)) Fail("GetFrameTime failed", 0);
      if (!achieved.count(got)) Fail("torn frame time (registers 4 and 12)", got);
      ops += 4;
    }
  });
  // Grabs until the camera goes away, which it does once every worker's timed part is over.
  std::thread frames_thread([&] {
    std::vector<std::uint16_t> buffer(64 * 64);
    while (kepra_GetFrame16(frames, buffer.data(), static_cast<std::uint32_t>(buffer.size() * 2))) {
      ++ops;
    }
    if (phase1) Fail("GetFrame16 failed", 0);
  });
  std::thread flash_thread([&] {
    std::vector<std::uint8_t> mine = Pattern(id), back(kPatternSize);
    for (int round = 0; phase1; ++round) {
      const std::uint32_t at = Sector((id + round) % kSectors);
      if (!kepra_WriteFlash(flash, at, mine.data(), kPatternSize)) Fail("WriteFlash failed", at);
      if (!kepra_ReadFlash(flash, at, back.data(), kPatternSize)) Fail("ReadFlash failed", at);
      if (PatternOwner(back) < 0) Fail("flash range holds a mixed pattern", at);
      ops += 2;
    }
  });

  // Opens and closes, serial within this process.
  while (rig::NowMs() - start < kDurationMs) {
    const KEPRA_HANDLE h = kepra_OpenDevice(index);
    ops += 3;
    if (h == KEPRA_INVALID_HANDLE) {
      Fail("OpenDevice failed", index);
      continue;
    }
    kepra_CameraInfo info;
    if (!kepra_GetCameraInfo(h, &info)) Fail("GetCameraInfo failed", 0);
    if (!kepra_CloseDevice(h)) Fail("CloseDevice failed", 0);
  }
  phase1 = false;
  settings_thread.join();
  flash_thread.join();
  std::fprintf(stderr, "stress worker %d: %llu operations in %d ms\n", id,
               static_cast<unsigned long long>(ops.load()), kDurationMs);
  if (ops == 0) Fail("did nothing", 0);
  std::printf("phase1\n");
  std::fflush(stdout);
  frames_thread.join();  // the camera is gone

  // Every later call fails at once with the device's error.
  std::uint16_t sample[16];
  for (KEPRA_HANDLE h : {settings, frames, flash}) {
    const double t0 = rig::NowMs();
    kepra_SetLastError(0);
    if (kepra_GetFrame16(h, sample, sizeof sample) != 0) Fail("frame after unplug", 0);
    if (kepra_GetLastError() != 1167) Fail("frame after unplug: wrong error", kepra_GetLastError());
    std::uint32_t t = 0;
    if (kepra_GetFrameTime(h, &t) != 0) Fail("locked call after unplug", 0);
    if (kepra_GetLastError() != 0xC000000D)
      Fail("locked call after unplug: wrong error", kepra_GetLastError());
    const double took = rig::NowMs() - t0;
    if (took > 1000) Fail("calls after unplug are slow", static_cast<std::uint32_t>(took));
  }
  if (kepra_OpenDevice(index) != KEPRA_INVALID_HANDLE) Fail("opened an unplugged camera", 0);
  for (KEPRA_HANDLE h : {settings, frames, flash}) kepra_CloseDevice(h);
  return g_failed ? 1 : 0;
}

TEST(Stress, ProcessesAndThreadsThenUnplug) {
  const std::uint32_t index = rig::TestIndex();
  rig::Rig rig;
  auto camera = rig.Plug(index);
  camera->EnableLog(false);  // a long run; the log would only grow

  // The frame time each requested value gives when set alone: the only values a reader may
  // see, whatever the interleaving, unless registers 4 and 12 are torn apart.
  KEPRA_HANDLE h = kepra_OpenDevice(index);
  ASSERT_NE(h, KEPRA_INVALID_HANDLE);
  std::vector<std::string> args = {rig::HelperPath("kepra_stress_tests"), "--worker", ""};
  for (std::uint32_t t : kFrameTimes) {
    std::uint32_t got = 0;
    ASSERT_TRUE(kepra_SetFrameTime(h, t) && kepra_GetFrameTime(h, &got));
    args.push_back(std::to_string(got));
  }
  std::vector<std::unique_ptr<rig::Child>> workers;
  for (int id = 0; id < kProcesses; ++id) {
    args[2] = std::to_string(id);
    workers.push_back(std::make_unique<rig::Child>(args));
    ASSERT_TRUE(workers.back()->started());
  }
  for (auto& worker : workers) {
    EXPECT_TRUE(worker->WaitForLine("phase1", kDurationMs + 60000)) << "a worker hangs";
  }

  // Every sector holds exactly one writer's pattern.
  for (int s = 0; s < kSectors; ++s) {
    std::vector<std::uint8_t> bytes(kPatternSize);
    ASSERT_TRUE(kepra_ReadFlash(h, Sector(s), bytes.data(), kPatternSize));
    EXPECT_GE(PatternOwner(bytes), 0) << "sector " << s << " holds no single pattern";
  }
  // The camera goes away while the workers grab frames.
  rig.Unplug(index);
  for (auto& worker : workers) EXPECT_EQ(worker->Wait(), 0) << "a worker saw a broken invariant";
  kepra_CloseDevice(h);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string_view(argv[1]) == "--worker") return Worker(argc - 2, argv + 2);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
