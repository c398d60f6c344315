// Several processes x several threads on one virtual camera for a fixed time, then the camera
// unplugged while they are still grabbing (see worker.cpp for what each process does).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "kepra/kepra.h"
#include "rig.h"
#include "stress_common.h"

namespace {

constexpr int kProcesses = 3;
constexpr int kDurationMs = 8000;

TEST(Stress, ProcessesAndThreadsThenUnplug) {
  const std::uint32_t index = rig::TestIndex();
  rig::Rig rig;
  auto camera = rig.Plug(index);
  camera->EnableLog(false);  // a long run; the log would only grow
  const std::filesystem::path dir = std::getenv("KEPRA_DEVICE_DIR");

  // The frame time each requested value gives when set alone: the only values a reader may
  // see, whatever the interleaving, unless registers 4 and 12 are torn apart.
  KEPRA_HANDLE h = kepra_OpenDevice(index);
  ASSERT_NE(h, KEPRA_INVALID_HANDLE);
  std::vector<std::string> args = {rig::HelperPath("kepra-stress-worker"), std::to_string(index),
                                   "", std::to_string(kDurationMs)};
  for (std::uint32_t t : kStressFrameTimes) {
    std::uint32_t got = 0;
    ASSERT_TRUE(kepra_SetFrameTime(h, t));
    ASSERT_TRUE(kepra_GetFrameTime(h, &got));
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
  for (int s = 0; s < kStressSectors; ++s) {
    std::vector<std::uint8_t> bytes(kStressPatternSize);
    ASSERT_TRUE(kepra_ReadFlash(h, StressSector(s), bytes.data(), kStressPatternSize));
    const int owner = StressPatternOwner(bytes);
    EXPECT_GE(owner, 0) << "sector " << s << " holds no single pattern";
    EXPECT_LT(owner, kProcesses) << "sector " << s;
  }
  std::uint64_t ops = 0;
  for (int id = 0; id < kProcesses; ++id) {
    std::uint64_t n = 0;
    std::ifstream(dir / ("ops-" + std::to_string(id))) >> n;
    EXPECT_GT(n, 0u) << "worker " << id << " did nothing";
    ops += n;
  }
  std::printf("stress: %d processes x 4 threads, %llu operations in %d ms: %.0f per second\n",
              kProcesses, static_cast<unsigned long long>(ops), kDurationMs,
              ops * 1000.0 / kDurationMs);

  // The camera goes away while the workers grab frames.
  rig.Unplug(index);
  std::ofstream(dir / "unplugged") << "\n";
  for (auto& worker : workers) EXPECT_EQ(worker->Wait(), 0) << "a worker saw a broken invariant";
  kepra_CloseDevice(h);
}

}  // namespace
