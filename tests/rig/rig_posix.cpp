#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>

#include "rig.h"
#include "server.h"

extern char** environ;

namespace rig {

struct Rig::Impl {
  std::string dir;
  std::optional<std::string> saved_env;
  std::unique_ptr<vcam::Server> server;
  std::unique_ptr<vcam::DebugListener> debug;
};

Rig::Rig() : impl_(std::make_unique<Impl>()) {
  signal(SIGPIPE, SIG_DFL);  // the library must never raise it; a test would die if it did
  // Every camera allocates, fills and copies a 2 MiB flash, and suites plug thousands: keep
  // freed memory in the heap, so that the next camera's flash costs no page faults.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  char dir[] = "/tmp/kepra-test-XXXXXX";
  if (!mkdtemp(dir)) throw std::runtime_error("mkdtemp failed");
  impl_->dir = dir;
  if (const char* old = std::getenv("KEPRA_DEVICE_DIR")) impl_->saved_env = old;
  setenv("KEPRA_DEVICE_DIR", dir, 1);
  impl_->server = std::make_unique<vcam::Server>(impl_->dir);
  impl_->debug = std::make_unique<vcam::DebugListener>(impl_->dir);
  if (!impl_->debug->ok()) throw std::runtime_error("debug listener failed");
}

Rig::~Rig() {
  impl_->server.reset();
  impl_->debug.reset();
  std::error_code ignored;
  std::filesystem::remove_all(impl_->dir, ignored);
  if (impl_->saved_env) setenv("KEPRA_DEVICE_DIR", impl_->saved_env->c_str(), 1);
  if (!impl_->saved_env) unsetenv("KEPRA_DEVICE_DIR");
}

std::shared_ptr<vcam::Camera> Rig::Plug(std::uint32_t index, vcam::CameraConfig config) {
  auto camera = std::make_shared<vcam::Camera>(index, config);
  camera->EnableLog(true);
  if (!impl_->server->Plug(camera)) throw std::runtime_error("cannot plug camera");
  return camera;
}

void Rig::Unplug(std::uint32_t index) { impl_->server->Unplug(index); }

std::vector<std::string> Rig::DebugLines() { return impl_->debug->Take(); }

struct Child::Impl {
  pid_t pid = -1;
  int out = -1;
  std::string buffer;
  bool reaped = false;
  int status = -1;
};

Child::Child(const std::vector<std::string>& args) : impl_(std::make_unique<Impl>()) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
  std::vector<char*> argv;
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
    impl_->pid = pid;
  }
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fds[1]);
  impl_->out = pipe_fds[0];
}

Child::~Child() {
  if (impl_->pid > 0 && !impl_->reaped) {
    Kill();
    Wait();
  }
  if (impl_->out >= 0) close(impl_->out);
}

bool Child::started() const { return impl_->pid > 0; }
long Child::pid() const { return impl_->pid; }

bool Child::WaitForLine(const std::string& line, int timeout_ms) {
  const double deadline = NowMs() + timeout_ms;
  for (;;) {
    if (const auto pos = impl_->buffer.find(line + "\n"); pos != std::string::npos) {
      impl_->buffer.erase(0, pos + line.size() + 1);
      return true;
    }
    const double left = deadline - NowMs();
    if (left <= 0) return false;
    pollfd fd{impl_->out, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(left) + 1) <= 0) continue;
    char chunk[256];
    const ssize_t got = read(impl_->out, chunk, sizeof chunk);
    if (got <= 0) return false;
    impl_->buffer.append(chunk, static_cast<std::size_t>(got));
  }
}

void Child::Kill() {
  if (impl_->pid > 0 && !impl_->reaped) kill(impl_->pid, SIGKILL);
}

int Child::Wait() {
  if (impl_->pid <= 0) return -1;
  if (!impl_->reaped) {
    int status = 0;
    while (waitpid(impl_->pid, &status, 0) < 0 && errno == EINTR) {
    }
    impl_->reaped = true;
    impl_->status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  return impl_->status;
}

std::string HelperPath(const std::string& name) {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return name;
  self[n] = '\0';
  return (std::filesystem::path(self).parent_path() / name).string();
}

}  // namespace rig
