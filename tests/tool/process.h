// Child processes of the tool suite: the tool, the daemon, an example, run as users run them.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace kt {

inline std::string ReadText(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// Runs in `cwd` with standard output and error in files `log` and `log`.err; KEPRA_DEVICE_DIR
// is set to `device_dir` unless that is empty (then the environment is passed on as it is):
// env(1) sets it and execs the program, which keeps env's process id.
class Process {
 public:
  using Clock = std::chrono::steady_clock;
  Process(std::vector<std::string> args, const std::filesystem::path& cwd,
          const std::filesystem::path& log, const std::filesystem::path& device_dir = {})
      : out_(log.string()), err_(log.string() + ".err") {
    if (!device_dir.empty())
      args.insert(args.begin(), {"/usr/bin/env", "KEPRA_DEVICE_DIR=" + device_dir.string()});
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Process() {
    if (pid_ > 0 && status_ < 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  std::string out() const { return ReadText(out_); }
  std::string err() const { return ReadText(err_); }
  // Waits up to `ms` for `text` in the standard output.
  bool WaitFor(const std::string& text, int ms = 10000) const {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (out().find(text) == std::string::npos) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }
  void Signal(int sig) const {
    if (pid_ > 0) kill(pid_, sig);
  }
  // The exit status (128 + signal when killed), or -1 when it has not ended within `ms`.
  int Exit(int ms = 60000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (status_ < 0 && pid_ > 0) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      } else if (Clock::now() > deadline) {
        return -1;
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    }
    return status_;
  }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  std::string out_, err_;
};

}  // namespace kt
