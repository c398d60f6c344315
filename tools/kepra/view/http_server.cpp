#include "http_server.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
using socklen_t = int;
#define KV_CLOSE closesocket
#define KV_SHUT_BOTH SD_BOTH
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#define KV_CLOSE close
#define KV_SHUT_BOTH SHUT_RDWR
#endif

#include <cstring>

#include "cpu_time.h"

namespace kepra_view {

namespace {

#if defined(_WIN32)
using Sock = SOCKET;
#else
using Sock = int;
#endif

Sock S(std::intptr_t s) { return static_cast<Sock>(s); }

// A client that takes nothing sent to it for this long is gone or stuck.
constexpr int kStalledClientSeconds = 10;

// How long a connection may take to send its request head (none once it is a WebSocket: a page
// may stay silent for hours), and how long a client may take nothing that is sent to it.
void SetTimeout(std::intptr_t socket, int option, int seconds) {
#if defined(_WIN32)
  const DWORD value = static_cast<DWORD>(seconds) * 1000;
#else
  const timeval value{seconds, 0};
#endif
  setsockopt(S(socket), SOL_SOCKET, option, reinterpret_cast<const char*>(&value), sizeof value);
}

bool SendAll(std::intptr_t socket, const char* data, std::size_t size) {
  while (size > 0) {
#if defined(_WIN32)
    const int n = send(S(socket), data, static_cast<int>(std::min<std::size_t>(size, 1 << 20)), 0);
#else
    const ssize_t n = send(S(socket), data, size, MSG_NOSIGNAL);
#endif
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

long Receive(std::intptr_t socket, char* buffer, std::size_t size) {
  return static_cast<long>(recv(S(socket), buffer, static_cast<int>(size), 0));
}

const char* StatusText(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 503:
      return "Service Unavailable";
    default:
      return "Error";
  }
}

void SendResponse(std::intptr_t socket, const HttpResponse& r) {
  std::string head = "HTTP/1.1 " + std::to_string(r.status) + " " + StatusText(r.status) +
                     "\r\nContent-Type: " + r.content_type +
                     "\r\nContent-Length: " + std::to_string(r.body.size()) +
                     "\r\nConnection: close\r\nCache-Control: no-store\r\n"
                     "X-Content-Type-Options: nosniff\r\n";
  for (const auto& [name, value] : r.headers) head += name + ": " + value + "\r\n";
  head += "\r\n";
  if (SendAll(socket, head.data(), head.size())) SendAll(socket, r.body.data(), r.body.size());
}

}  // namespace

bool IsLoopbackHost(const std::string& host) {
  if (host == "localhost") return true;
  in_addr address{};
  return inet_pton(AF_INET, host.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

WsClient::WsClient(std::intptr_t socket, std::uint64_t id)
    : socket_(socket), id_(id), writer_([this] { WriterLoop(); }) {}

WsClient::~WsClient() {
  Close();
  if (writer_.joinable()) writer_.join();
}

void WsClient::Send(std::uint8_t opcode, std::string payload) {
  std::lock_guard lock(mutex_);
  // A client that leaves hundreds of replies unread is not reading at all.
  if (queue_.size() >= 256) {
    closed_.store(true);
    shutdown(S(socket_), KV_SHUT_BOTH);
  } else {
    queue_.emplace_back(opcode, std::move(payload));
  }
  wake_.notify_one();
}

void WsClient::SendText(std::string text) { Send(kOpText, std::move(text)); }

void WsClient::OfferFrame(std::shared_ptr<const std::string> binary) {
  std::lock_guard lock(mutex_);
  if (frame_) replaced_.fetch_add(1);
  frame_ = std::move(binary);
  wake_.notify_one();
}

void WsClient::Close() {
  std::lock_guard lock(mutex_);
  if (!closed_.exchange(true)) shutdown(S(socket_), KV_SHUT_BOTH);
  wake_.notify_one();
}

void WsClient::WriterLoop() {
  for (;;) {
    std::pair<std::uint8_t, std::string> message;
    std::shared_ptr<const std::string> frame;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return closed_.load() || !queue_.empty() || frame_; });
      if (closed_.load()) return;
      if (!queue_.empty()) {
        message = std::move(queue_.front());
        queue_.pop_front();
      } else {
        frame = std::move(frame_);
        frame_.reset();
      }
    }
    const std::string& payload = frame ? *frame : message.second;
    const std::string head =
        ServerFrameHead(frame ? std::uint8_t{kOpBinary} : message.first, payload.size());
    const double cpu = frame ? ThreadCpuMs() : 0;
    if (!SendAll(socket_, head.data(), head.size()) ||
        !SendAll(socket_, payload.data(), payload.size())) {
      Close();
      return;
    }
    if (frame) {
      frame_send_cpu_us_.fetch_add(static_cast<std::uint64_t>((ThreadCpuMs() - cpu) * 1000));
    }
  }
}

HttpServer::HttpServer(HttpHandler& handler, std::string websocket_path)
    : handler_(handler), websocket_path_(std::move(websocket_path)) {
#if defined(_WIN32)
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
#endif
}

HttpServer::~HttpServer() {
  stop_.store(true);
  {
    std::lock_guard lock(connections_mutex_);
    for (auto& c : connections_) shutdown(S(c.socket), KV_SHUT_BOTH);
  }
  for (auto& c : connections_) {
    if (c.thread.joinable()) c.thread.join();
  }
  if (listener_ != -1) KV_CLOSE(S(listener_));
}

std::string HttpServer::Listen(const std::string& host, std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  const std::string numeric = host == "localhost" ? "127.0.0.1" : host;
  if (inet_pton(AF_INET, numeric.c_str(), &address.sin_addr) != 1) {
    return "not an IPv4 address: " + host;
  }
  const Sock s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == static_cast<Sock>(-1)) return "socket failed: " + std::string(std::strerror(errno));
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one);
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(s, 16) != 0) {
    const std::string why = std::strerror(errno);
    KV_CLOSE(s);
    return "cannot listen on " + host + ":" + std::to_string(port) + ": " + why;
  }
  socklen_t length = sizeof address;
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  listener_ = static_cast<std::intptr_t>(s);
  port_ = ntohs(address.sin_port);
  policy_.loopback_only = IsLoopbackHost(host);
  policy_.port = port_;
  return {};
}

void HttpServer::Run() {
  while (!stop_.load()) {
#if defined(_WIN32)
    WSAPOLLFD p{S(listener_), POLLIN, 0};
    const int ready = WSAPoll(&p, 1, 200);
#else
    pollfd p{S(listener_), POLLIN, 0};
    const int ready = poll(&p, 1, 200);
#endif
    {
      // Reap finished connection threads.
      std::lock_guard lock(connections_mutex_);
      for (auto it = connections_.begin(); it != connections_.end();) {
        if (it->done->load()) {
          it->thread.join();
          it = connections_.erase(it);
        } else {
          ++it;
        }
      }
    }
    if (ready <= 0) continue;
    const Sock s = accept(S(listener_), nullptr, nullptr);
    if (s == static_cast<Sock>(-1)) continue;
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    auto done = std::make_shared<std::atomic<bool>>(false);
    const auto socket = static_cast<std::intptr_t>(s);
    std::lock_guard lock(connections_mutex_);
    if (connections_.size() >= 64) {  // a local viewer has a handful of tabs
      KV_CLOSE(s);
      continue;
    }
    connections_.push_back({std::thread([this, socket, done] {
                              Serve(socket);
                              KV_CLOSE(S(socket));
                              done->store(true);
                            }),
                            socket, done});
  }
}

void HttpServer::Serve(std::intptr_t socket) {
  SetTimeout(socket, SO_RCVTIMEO, 10);
  // A stalled client's connection ends. This also bounds stopping: shutdown() does not wake a
  // send blocked in another thread on every system (seen under Wine).
  SetTimeout(socket, SO_SNDTIMEO, kStalledClientSeconds);
  std::string data;
  char buffer[4096];
  std::size_t end;
  while ((end = data.find("\r\n\r\n")) == std::string::npos) {
    if (data.size() > kMaxRequestHead) {
      SendResponse(socket, {400, "text/plain; charset=utf-8", "request head too long\n", {}});
      return;
    }
    const long n = Receive(socket, buffer, sizeof buffer);
    if (n <= 0) return;
    data.append(buffer, static_cast<std::size_t>(n));
  }
  const auto request = ParseRequestHead(std::string_view(data).substr(0, end + 4));
  if (!request) {
    SendResponse(socket, {400, "text/plain; charset=utf-8", "malformed request\n", {}});
    return;
  }
  if (!HostAllowed(policy_, request->Header("host"))) {
    SendResponse(socket, {403, "text/plain; charset=utf-8", "Host not served here\n", {}});
    return;
  }
  if (request->target == websocket_path_) {
    ServeWebSocket(socket, *request, data.substr(end + 4));
    return;
  }
  SendResponse(socket, handler_.OnHttp(*request));
}

void HttpServer::ServeWebSocket(std::intptr_t socket, const HttpRequest& request,
                                std::string rest) {
  if (const std::string why = CheckUpgrade(request, policy_); !why.empty()) {
    SendResponse(socket, {403, "text/plain; charset=utf-8", why + "\n", {}});
    return;
  }
  const std::string reply =
      "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
      "Connection: Upgrade\r\nSec-WebSocket-Accept: " +
      AcceptKey(request.Header("sec-websocket-key")) + "\r\n\r\n";
  if (!SendAll(socket, reply.data(), reply.size())) return;
  SetTimeout(socket, SO_RCVTIMEO, 0);
  // Frames waiting in a large kernel buffer would be a backlog of their own: keep it to a few.
  const int send_buffer = kSendBufferBytes;
  setsockopt(S(socket), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&send_buffer),
             sizeof send_buffer);
  auto client = std::make_shared<WsClient>(socket, next_id_.fetch_add(1));
  handler_.OnOpen(client);
  std::string data = std::move(rest);
  std::string message;
  bool in_message = false;
  char buffer[4096];
  for (;;) {
    const auto parsed =
        ParseClientFrame(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
    if (parsed.status == ParseStatus::kError) {
      client->Send(kOpClose, std::string("\x03\xEA", 2) + parsed.error);  // 1002
      break;
    }
    if (parsed.status == ParseStatus::kNeedMore) {
      const long n = Receive(socket, buffer, sizeof buffer);
      if (n <= 0) break;
      data.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    data.erase(0, parsed.consumed);
    const WsFrame& frame = parsed.frame;
    if (frame.opcode == kOpClose) {
      client->Send(kOpClose, frame.payload.substr(0, 2));
      break;
    }
    if (frame.opcode == kOpPing) {
      client->Send(kOpPong, frame.payload);
      continue;
    }
    if (frame.opcode == kOpPong) continue;
    if (frame.opcode == kOpBinary || (frame.opcode == kOpContinuation && !in_message)) {
      client->SendText(R"({"type":"error","message":"only text messages are understood"})");
      if (!frame.fin) in_message = false;
      continue;
    }
    if (frame.opcode == kOpText) message.clear();
    if (message.size() + frame.payload.size() > kMaxClientPayload) {
      client->Send(kOpClose, std::string("\x03\xF1", 2) + "message too long");  // 1009
      break;
    }
    message += frame.payload;
    in_message = !frame.fin;
    if (frame.fin) handler_.OnText(client, message);
  }
  handler_.OnClose(client);
  // Give the writer a moment to send a close reply, then end the connection.
  for (int i = 0; i < 20; ++i) {
    {
      std::lock_guard lock(client->mutex_);
      if (client->queue_.empty()) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  client->Close();
  client->writer_.join();  // before the caller closes the socket the writer uses
}

}  // namespace kepra_view
