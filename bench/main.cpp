// kepra_bench: every figure beside its floor, then a summary table of the ratios.
//
//   kepra_bench [benchmark options]   e.g. --benchmark_filter=Frames --benchmark_min_time=0.01
#include <sched.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "harness.h"

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--contender") == 0) return kb::RunContender();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  // Every thread of the run (and the contender process) on one CPU: a request is then a
  // handoff between client and camera thread on that CPU, the same for both sides. Without it,
  // on a busy machine the scheduler places one side's camera thread better than the other's
  // for seconds at a time, and the figures measure that. KEPRA_BENCH_PIN=0 turns it off.
  const char* pin = std::getenv("KEPRA_BENCH_PIN");
  if (!pin || std::strcmp(pin, "0") != 0) {
    cpu_set_t one;
    CPU_ZERO(&one);
    const int cpu = sched_getcpu();
    CPU_SET(cpu < 0 ? 0 : cpu, &one);
    if (sched_setaffinity(0, sizeof one, &one) != 0) std::perror("kepra_bench: sched_setaffinity");
  }
  kb::StartWorld();
  const auto reporter = kb::MakeReporter();
  benchmark::RunSpecifiedBenchmarks(reporter.get());
  benchmark::Shutdown();
  kb::PrintSummary();
  return kb::Failed() ? 1 : 0;
}
