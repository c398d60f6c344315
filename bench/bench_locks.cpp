// Locks under contention: a second thread, or a second process, loops on the same camera's lock
// through the library (kepra_GetExposure) while this thread alternates batches of the export
// and of its raw equivalent (index request, mutex wait, register read, index request, mutex
// release). The contender is the same in both batches, so the difference is this side's own.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "harness.h"

extern char** environ;

namespace kb {
namespace {

constexpr int kBatch = 8;

// The two sides of one contended call; set up (and the requests recorded) before any contender
// starts, since the camera's log would otherwise hold the contender's requests too.
struct Sides {
  LibHandle h;
  Raw raw;
  std::uint32_t exposure = 0;
  std::vector<Request> requests;
  Sides() {
    requests = Record([this] { return Lib().GetExposure(h.get(), &exposure) == 1; });
    if (!LockedShape(requests)) Die("kepra_GetExposure: unexpected request shape");
  }
};

void Contended(benchmark::State& state, Sides& sides, const std::string& figure) {
  const auto batch_lib = [&] {
    for (int i = 0; i < kBatch; ++i) {
      if (Lib().GetExposure(sides.h.get(), &sides.exposure) != 1) return false;
    }
    return true;
  };
  const auto batch_raw = [&] {
    for (int i = 0; i < kBatch; ++i) {
      if (!sides.raw.Replay(sides.requests, true)) return false;
    }
    return true;
  };
  Pair pair = Paired(state, batch_lib, batch_raw);
  pair.lib /= kBatch;
  pair.floor /= kBatch;
  state.counters["lib_us"] = pair.lib;
  state.counters["floor_us"] = pair.floor;
  if (pair.floor > 0) {
    Report({"locks", figure, pair.lib, pair.floor, "us", "<= 1.05",
            "per call, contender loops kepra_GetExposure", pair.ratio});
  }
}

void BM_Lock_ContendedThreads(benchmark::State& state) {
  Sides sides;
  std::atomic<bool> stop{false};
  std::atomic<bool> ready{false};
  // Opening and closing must not overlap between threads: the contender opens while this
  // thread waits for it and closes before this thread closes its own.
  std::thread contender([&] {
    LibHandle h;
    std::uint32_t exposure = 0;
    ready = true;
    while (!stop.load(std::memory_order_relaxed)) Lib().GetExposure(h.get(), &exposure);
  });
  while (!ready) std::this_thread::yield();
  Contended(state, sides, "contended handoff, two threads");
  stop = true;
  contender.join();
}

// The other process is this executable started again in contender mode (main.cpp).
void BM_Lock_ContendedProcesses(benchmark::State& state) {
  Sides sides;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) Die("pipe failed");
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) Die("cannot find this executable");
  self[n] = '\0';
  char mode[] = "--contender";
  char* argv[] = {self, mode, nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, self, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  char line[16] = {};
  if (spawned != 0 || read(fds[0], line, sizeof line - 1) <= 0 ||
      std::strncmp(line, "ready", 5) != 0) {
    close(fds[0]);
    Die("contender process did not start");
  }
  Contended(state, sides, "contended handoff, two processes");
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  close(fds[0]);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "kepra_bench: contender process ended badly\n");
    MarkFailed();
  }
}

volatile sig_atomic_t contender_stop = 0;
void OnTerm(int) { contender_stop = 1; }

}  // namespace

int RunContender() {
  signal(SIGTERM, OnTerm);
  LibHandle h;
  std::uint32_t exposure = 0;
  std::printf("ready\n");
  std::fflush(stdout);
  while (!contender_stop) {
    if (!Lib().GetExposure(h.get(), &exposure)) return 1;
  }
  return 0;
}

BENCHMARK(BM_Lock_ContendedThreads)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Lock_ContendedProcesses)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace kb
