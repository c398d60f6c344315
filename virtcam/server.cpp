#include "server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

#include "protocol/protocol.h"

namespace vcam {
namespace {

namespace wire = kepra::protocol;

// Lengths from a client are never trusted beyond what a camera could need: the largest
// output is a frame, the largest input a full bad-pixel list.
constexpr std::uint32_t kMaxInput = 1u << 20;
constexpr std::uint32_t kMaxOutput = 64u << 20;
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorNotEnoughMemory = 8;

bool ReadAll(int fd, void* buffer, std::size_t size) {
  auto* p = static_cast<std::uint8_t*>(buffer);
  while (size > 0) {
    const ssize_t got = recv(fd, p, size, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

bool WriteAll(int fd, const void* buffer, std::size_t size) {
  auto* p = static_cast<const std::uint8_t*>(buffer);
  while (size > 0) {
    const ssize_t sent = send(fd, p, size, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    p += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

bool SendReply(int fd, const Camera::Result& result, const std::uint8_t* data) {
  std::uint8_t header[wire::kReplyHeaderSize];
  wire::PutU32(header, result.ok ? 1 : 0);
  wire::PutU32(header + 4, result.ok ? 0 : result.error);
  wire::PutU32(header + 8, result.ok ? result.bytes : 0);
  return WriteAll(fd, header, sizeof header) &&
         (!result.ok || result.bytes == 0 || WriteAll(fd, data, result.bytes));
}

// A socket file that accepts a connection belongs to a live server.
bool Answers(const sockaddr_un& address) {
  const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  const bool live =
      connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  close(probe);
  return live;
}

int Listen(const std::string& path, std::string* why) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    *why = "socket path too long: " + path;
    return -1;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  if (Answers(address)) {
    *why = "another live server answers at " + path;
    return -1;
  }
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *why = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  unlink(path.c_str());  // a socket file left by a camera that died
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, 64) != 0) {
    *why = "cannot listen at " + path + ": " + std::strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

std::string InterfaceName(std::uint32_t index) {
  char name[40];
  std::snprintf(name, sizeof name, "90bcde2c-e6de-4cf2-b43c-d0850c4d47%02x", index & 0xFF);
  return name;
}

struct Server::Endpoint {
  std::shared_ptr<Camera> camera;
  std::string path;
  int listen_fd = -1;
  int wake[2] = {-1, -1};
  std::thread acceptor;
  std::mutex mutex;
  std::set<int> connections;
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::vector<Worker> workers;
  bool stopping = false;
};

Server::Server(std::string device_dir) : device_dir_(std::move(device_dir)) {
  mkdir(device_dir_.c_str(), 0700);
}

Server::~Server() {
  std::map<std::uint32_t, std::unique_ptr<Endpoint>> endpoints;
  {
    std::lock_guard lock(mutex_);
    endpoints.swap(endpoints_);
  }
  for (auto& [index, endpoint] : endpoints) Stop(endpoint.get());
}

std::string Server::SocketPath(std::uint32_t index) const {
  return device_dir_ + "/" + InterfaceName(index);
}

std::shared_ptr<Camera> Server::Plug(std::uint32_t index, CameraConfig config, std::string* why) {
  auto camera = std::make_shared<Camera>(index, config);
  return Plug(camera, why) ? camera : nullptr;
}

bool Server::Plug(std::shared_ptr<Camera> camera, std::string* why) {
  std::string ignored;
  if (!why) why = &ignored;
  const std::uint32_t index = camera->index();
  auto endpoint = std::make_unique<Endpoint>();
  endpoint->camera = std::move(camera);
  endpoint->path = SocketPath(index);
  std::lock_guard lock(mutex_);
  if (endpoints_.count(index)) {
    *why = "index " + std::to_string(index) + " is served already";
    return false;
  }
  endpoint->listen_fd = Listen(endpoint->path, why);
  if (endpoint->listen_fd < 0) return false;
  if (pipe2(endpoint->wake, O_CLOEXEC) != 0) {
    *why = std::string("pipe: ") + std::strerror(errno);
    close(endpoint->listen_fd);
    return false;
  }
  Endpoint* raw = endpoint.get();
  endpoint->acceptor = std::thread([this, raw] { AcceptLoop(raw); });
  endpoints_.emplace(index, std::move(endpoint));
  return true;
}

void Server::Unplug(std::uint32_t index) {
  std::unique_ptr<Endpoint> endpoint;
  {
    std::lock_guard lock(mutex_);
    auto it = endpoints_.find(index);
    if (it == endpoints_.end()) return;
    endpoint = std::move(it->second);
    endpoints_.erase(it);
  }
  Stop(endpoint.get());
}

std::shared_ptr<Camera> Server::Find(std::uint32_t index) const {
  std::lock_guard lock(mutex_);
  auto it = endpoints_.find(index);
  return it == endpoints_.end() ? nullptr : it->second->camera;
}

void Server::Stop(Endpoint* endpoint) {
  unlink(endpoint->path.c_str());
  // Requests that wait in the camera (a trigger, a paced frame, a stall) end now; a worker
  // blocked there would otherwise keep the join below waiting.
  endpoint->camera->Unplug();
  {
    std::lock_guard lock(endpoint->mutex);
    endpoint->stopping = true;
    // Wakes the workers blocked in recv; they close their own descriptors.
    for (int fd : endpoint->connections) shutdown(fd, SHUT_RDWR);
  }
  const char byte = 1;
  (void)!write(endpoint->wake[1], &byte, 1);
  endpoint->acceptor.join();
  std::vector<Endpoint::Worker> workers;
  {
    std::lock_guard lock(endpoint->mutex);
    workers.swap(endpoint->workers);
  }
  for (auto& worker : workers) worker.thread.join();
  close(endpoint->listen_fd);
  close(endpoint->wake[0]);
  close(endpoint->wake[1]);
}

void Server::AcceptLoop(Endpoint* endpoint) {
  for (;;) {
    pollfd fds[2] = {{endpoint->listen_fd, POLLIN, 0}, {endpoint->wake[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    if (!(fds[0].revents & POLLIN)) continue;
    const int fd = accept4(endpoint->listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard lock(endpoint->mutex);
    if (endpoint->stopping) {
      close(fd);
      return;
    }
    // Reap the workers of connections that have ended, so a long-lived daemon does not
    // collect finished threads.
    for (auto it = endpoint->workers.begin(); it != endpoint->workers.end();) {
      if (it->done->load()) {
        it->thread.join();
        it = endpoint->workers.erase(it);
      } else {
        ++it;
      }
    }
    endpoint->connections.insert(fd);
    auto done = std::make_shared<std::atomic<bool>>(false);
    endpoint->workers.push_back({std::thread([this, endpoint, fd, done] {
                                   ServeConnection(endpoint, fd);
                                   done->store(true);
                                 }),
                                 done});
  }
}

void Server::ServeConnection(Endpoint* endpoint, int fd) {
  if (ServeStream(*endpoint->camera, fd)) {
    unlink(endpoint->path.c_str());  // a camera that went away is no longer present
  }
  std::lock_guard lock(endpoint->mutex);
  endpoint->connections.erase(fd);
  close(fd);
}

bool ServeStream(Camera& camera, int fd) {
  std::vector<std::uint8_t> in, out;
  for (;;) {
    std::uint8_t header[wire::kRequestHeaderSize];
    if (!ReadAll(fd, header, sizeof header)) return false;
    const std::uint32_t code = wire::GetU32(header);
    const std::uint32_t in_size = wire::GetU32(header + 4);
    const std::uint32_t out_size = wire::GetU32(header + 8);
    if (in_size > kMaxInput) {
      // Consume the input in bounded pieces so the connection stays in step, then refuse.
      std::uint8_t sink[4096];
      std::uint32_t left = in_size;
      bool ok = true;
      while (ok && left > 0) {
        const std::uint32_t piece = left < sizeof sink ? left : sizeof sink;
        ok = ReadAll(fd, sink, piece);
        left -= piece;
      }
      if (!ok || !SendReply(fd, {false, kErrorInvalidParameter, 0, false}, nullptr)) return false;
      continue;
    }
    in.resize(in_size);
    if (in_size && !ReadAll(fd, in.data(), in_size)) return false;
    if (out_size > kMaxOutput) {
      if (!SendReply(fd, {false, kErrorNotEnoughMemory, 0, false}, nullptr)) return false;
      continue;
    }
    out.resize(out_size);
    // A client that shut its connection down (a cancelled request) ends a frame wait.
    const Camera::Result result = camera.Serve(code, in, out, [fd] {
      pollfd p{fd, POLLRDHUP, 0};
      return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
    });
    if (result.disconnect) return true;
    if (!SendReply(fd, result, out.data())) return false;
  }
}

DebugListener::DebugListener(const std::string& device_dir, bool echo_to_stdout)
    : path_(device_dir + "/debug"), echo_(echo_to_stdout) {
  mkdir(device_dir.c_str(), 0700);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path_.size() >= sizeof address.sun_path) return;
  std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0) return;
  unlink(path_.c_str());
  if (bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      pipe2(wake_, O_CLOEXEC) != 0) {
    close(fd_);
    fd_ = -1;
    return;
  }
  thread_ = std::thread([this] { Loop(); });
}

DebugListener::~DebugListener() {
  if (fd_ < 0) return;
  const char byte = 1;
  (void)!write(wake_[1], &byte, 1);
  thread_.join();
  close(wake_[0]);
  close(wake_[1]);
  close(fd_);
  unlink(path_.c_str());
}

void DebugListener::Drain() {
  char line[4096];
  for (;;) {
    const ssize_t got = recv(fd_, line, sizeof line, MSG_DONTWAIT);
    if (got < 0) return;
    lines_.emplace_back(line, static_cast<std::size_t>(got));
    if (echo_) {
      std::fwrite(line, 1, static_cast<std::size_t>(got), stdout);
      if (got == 0 || line[got - 1] != '\n') std::fputc('\n', stdout);
      std::fflush(stdout);
    }
  }
}

void DebugListener::Loop() {
  // Lines are only taken off the socket with the mutex held, so Take() sees every line that
  // was sent before it was called, in order.
  for (;;) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
    if (fds[1].revents) return;
    std::lock_guard lock(mutex_);
    Drain();
  }
}

std::vector<std::string> DebugListener::Take() {
  std::lock_guard lock(mutex_);
  Drain();
  std::vector<std::string> taken;
  taken.swap(lines_);
  return taken;
}

}  // namespace vcam
