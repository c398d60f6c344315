// kepra_bench: every figure beside its floor, then a summary table of the ratios.
//
//   kepra_bench [benchmark options]   e.g. --benchmark_filter=Frames --benchmark_min_time=0.01
#include <cstdio>
#include <cstring>

#include "harness.h"

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--contender") == 0) return kb::RunContender();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  kb::StartWorld();
  const auto reporter = kb::MakeReporter();
  benchmark::RunSpecifiedBenchmarks(reporter.get());
  benchmark::Shutdown();
  kb::PrintSummary();
  std::printf(
      "pacing   | delivered vs configured frame rate over 100 frames: not measured, waits "
      "for paced frame delivery in the virtual camera\n");
  return kb::Failed() ? 1 : 0;
}
