// Serves virtual cameras over the POSIX device contract: one Unix stream socket per camera in
// a device directory, named after the camera's interface class, several connections at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camera.h"

namespace vcam {

class Server {
 public:
  explicit Server(std::string device_dir);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  const std::string& device_dir() const { return device_dir_; }

  // Starts serving a camera at a device index; replaces nothing: fails if the index is served
  // here or a live server answers on its socket (a stale socket file is taken over). `why`
  // receives the reason of a failure.
  std::shared_ptr<Camera> Plug(std::uint32_t index, CameraConfig config = {},
                               std::string* why = nullptr);
  // Starts serving an existing camera object.
  bool Plug(std::shared_ptr<Camera> camera, std::string* why = nullptr);
  // The camera goes away: its socket is removed and every connection is closed. Stopping the
  // server unplugs every camera the same way.
  void Unplug(std::uint32_t index);
  std::shared_ptr<Camera> Find(std::uint32_t index) const;

  // Socket path of a device index.
  std::string SocketPath(std::uint32_t index) const;

 private:
  struct Endpoint;
  void AcceptLoop(Endpoint* endpoint);
  void ServeConnection(Endpoint* endpoint, int fd);
  void Stop(Endpoint* endpoint);

  std::string device_dir_;
  mutable std::mutex mutex_;
  std::map<std::uint32_t, std::unique_ptr<Endpoint>> endpoints_;
};

// Serves the requests read from a connected stream socket, replying on it, until the stream
// ends or fails (false) or the camera goes away (true). The descriptor stays open.
bool ServeStream(Camera& camera, int fd);

// Receives the library's debug lines (datagrams on the socket "debug" of a device directory).
class DebugListener {
 public:
  explicit DebugListener(const std::string& device_dir, bool echo_to_stdout = false);
  ~DebugListener();
  DebugListener(const DebugListener&) = delete;
  DebugListener& operator=(const DebugListener&) = delete;

  bool ok() const { return fd_ >= 0; }
  // Every line received so far that was not yet taken, in order.
  std::vector<std::string> Take();

 private:
  void Drain();  // with mutex_ held
  void Loop();

  std::string path_;
  int fd_ = -1;
  int wake_[2] = {-1, -1};
  bool echo_;
  std::mutex mutex_;
  std::vector<std::string> lines_;
  std::thread thread_;
};

// Interface-class file name of a device index, e.g. "90bcde2c-e6de-4cf2-b43c-d0850c4d4700".
std::string InterfaceName(std::uint32_t index);

}  // namespace vcam
