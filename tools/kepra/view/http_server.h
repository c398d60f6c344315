// A small HTTP/1.1 and WebSocket server over plain sockets: one thread per connection, one
// writer thread per WebSocket. It serves few clients on a local machine, needs no library
// (the tool also builds with mingw, where no embeddable server is packaged), and lets the
// viewer keep at most one unsent frame per client.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "websocket.h"

namespace kepra_view {

// Kernel send buffer of a WebSocket: room for two or three JPEG frames of 1280 x 1024.
constexpr int kSendBufferBytes = 512 * 1024;

struct HttpResponse {
  int status = 200;
  std::string content_type = "text/plain; charset=utf-8";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
};

// One WebSocket client. Text messages queue in order; binary frames replace each other, so
// a client that reads slowly gets the newest frame and builds no backlog.
class WsClient {
 public:
  WsClient(std::intptr_t socket, std::uint64_t id);
  ~WsClient();
  std::uint64_t id() const { return id_; }
  void SendText(std::string text);
  void OfferFrame(std::shared_ptr<const std::string> binary);
  std::uint64_t replaced() const { return replaced_.load(); }
  // CPU time the writer spent sending binary frames, in microseconds.
  std::uint64_t frame_send_cpu_us() const { return frame_send_cpu_us_.load(); }
  void Close();  // ends both directions; the connection thread then ends
  bool closed() const { return closed_.load(); }

 private:
  friend class HttpServer;
  void Send(std::uint8_t opcode, std::string payload);
  void WriterLoop();

  std::intptr_t socket_;
  std::uint64_t id_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::pair<std::uint8_t, std::string>> queue_;
  std::shared_ptr<const std::string> frame_;
  std::atomic<std::uint64_t> replaced_{0};
  std::atomic<std::uint64_t> frame_send_cpu_us_{0};
  std::atomic<bool> closed_{false};
  std::thread writer_;
};

class HttpHandler {
 public:
  virtual ~HttpHandler() = default;
  virtual HttpResponse OnHttp(const HttpRequest& request) = 0;
  virtual void OnOpen(const std::shared_ptr<WsClient>& client) = 0;
  virtual void OnText(const std::shared_ptr<WsClient>& client, const std::string& text) = 0;
  virtual void OnClose(const std::shared_ptr<WsClient>& client) = 0;
};

class HttpServer {
 public:
  HttpServer(HttpHandler& handler, std::string websocket_path);
  ~HttpServer();
  // Binds host:port (port 0: any free port). Empty on success, else why not.
  std::string Listen(const std::string& host, std::uint16_t port);
  std::uint16_t port() const { return port_; }
  const HostPolicy& policy() const { return policy_; }
  // Serves until Stop (from any thread or a signal handler's flag watcher).
  void Run();
  void Stop() { stop_.store(true); }

 private:
  void Serve(std::intptr_t socket);
  void ServeWebSocket(std::intptr_t socket, const HttpRequest& request, std::string rest);

  HttpHandler& handler_;
  std::string websocket_path_;
  std::intptr_t listener_ = -1;
  std::uint16_t port_ = 0;
  HostPolicy policy_;
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> next_id_{1};
  std::mutex connections_mutex_;
  struct Connection {
    std::thread thread;
    std::intptr_t socket;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::list<Connection> connections_;
};

// Whether a dotted IPv4 address or "localhost" names the loopback.
bool IsLoopbackHost(const std::string& host);

}  // namespace kepra_view
