// kepra view inside the test process against the rig's camera: the page, a frame over the
// WebSocket and a snapshot, fetched over a real socket. The same source runs on Linux and, with
// Winsock and kepra.dll, under Wine.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "rig.h"
#include "view/view.h"

namespace {

#if defined(_WIN32)
using Sock = SOCKET;
void CloseSock(Sock s) { closesocket(s); }
#else
using Sock = int;
void CloseSock(Sock s) { close(s); }
#endif

// A blocking loopback client with a receive timeout, so that a silent server fails the test
// instead of hanging it.
class Client {
 public:
  explicit Client(std::uint16_t port) {
    socket_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
#if defined(_WIN32)
    const DWORD timeout = 10000;
#else
    const timeval timeout{10, 0};
#endif
    setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof timeout);
    connected_ = connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~Client() { CloseSock(socket_); }
  bool connected() const { return connected_; }
  bool Send(const std::string& data) {
    return ::send(socket_, data.data(), static_cast<int>(data.size()), 0) ==
           static_cast<int>(data.size());
  }
  // At least `size` bytes in the buffer; false when the peer closed or went silent.
  bool Fill(std::size_t size) {
    char chunk[65536];
    while (buffer_.size() < size) {
      const auto n = ::recv(socket_, chunk, static_cast<int>(sizeof chunk), 0);
      if (n <= 0) return false;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
    return true;
  }
  std::string Take(std::size_t size) {
    std::string out = buffer_.substr(0, size);
    buffer_.erase(0, size);
    return out;
  }
  // The response head up to the blank line.
  std::optional<std::string> Head() {
    std::size_t end;
    while ((end = buffer_.find("\r\n\r\n")) == std::string::npos) {
      if (!Fill(buffer_.size() + 1)) return std::nullopt;
    }
    return Take(end + 4);
  }
  // Everything until the server closes (HTTP responses here end with the connection).
  std::string Rest() {
    while (Fill(buffer_.size() + 1)) {
    }
    return Take(buffer_.size());
  }
  // One unfragmented server frame: opcode and payload (RFC 6455 5.2; servers do not mask).
  std::optional<std::pair<int, std::string>> Message() {
    if (!Fill(2)) return std::nullopt;
    const auto b = [this](std::size_t i) { return static_cast<unsigned char>(buffer_[i]); };
    std::size_t length = b(1) & 0x7F, head = 2;
    if (length == 126) {
      if (!Fill(4)) return std::nullopt;
      length = std::size_t{b(2)} << 8 | b(3);
      head = 4;
    } else if (length == 127) {
      if (!Fill(10)) return std::nullopt;
      length = 0;
      for (int i = 0; i < 8; ++i) length = length << 8 | b(2 + i);
      head = 10;
    }
    if (!Fill(head + length)) return std::nullopt;
    const int opcode = b(0) & 0x0F;
    Take(head);
    return std::make_pair(opcode, Take(length));
  }

 private:
  Sock socket_;
  bool connected_ = false;
  std::string buffer_;
};

std::uint32_t Be16(const std::string& s, std::size_t at) {
  return std::uint32_t{static_cast<unsigned char>(s[at])} << 8 |
         static_cast<unsigned char>(s[at + 1]);
}
std::uint32_t Be32(const std::string& s, std::size_t at) {
  return Be16(s, at) << 16 | Be16(s, at + 2);
}
std::uint32_t Le32(const std::string& s, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(s[at + i]);
  return v;
}

// A number member of a flat JSON header, e.g. "width":1280.
long JsonNumber(const std::string& json, const std::string& key) {
  const auto at = json.find("\"" + key + "\":");
  return at == std::string::npos ? -1 : std::atol(json.c_str() + at + key.size() + 3);
}

// Width and height from a JPEG's baseline frame header (SOF0), walking the marker segments.
std::pair<std::uint32_t, std::uint32_t> JpegSize(const std::string& jpeg) {
  std::size_t at = 2;
  while (at + 4 <= jpeg.size() && static_cast<unsigned char>(jpeg[at]) == 0xFF) {
    if (static_cast<unsigned char>(jpeg[at + 1]) == 0xC0 && at + 9 <= jpeg.size()) {
      return {Be16(jpeg, at + 7), Be16(jpeg, at + 5)};
    }
    at += 2 + Be16(jpeg, at + 2);
  }
  return {0, 0};
}

class ViewServer : public ::testing::Test {
 protected:
  void SetUp() override {
#if defined(_WIN32)
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
#endif
    rig_.Plug(index_);
    kepra_view::ViewOptions options;
    options.device = index_;
    options.listen = "127.0.0.1:0";
    thread_ = std::thread([this, options] {
      status_ = kepra_view::ServeView(options, stop_, [this](const std::string& url) {
        std::lock_guard lock(mutex_);
        url_ = url;
        ready_.notify_all();
      });
      std::lock_guard lock(mutex_);
      ready_.notify_all();
    });
    std::unique_lock lock(mutex_);
    ready_.wait_for(lock, std::chrono::seconds(10), [this] { return !url_.empty(); });
    ASSERT_EQ(url_.rfind("http://127.0.0.1:", 0), 0u) << url_;
    port_ = static_cast<std::uint16_t>(std::stoul(url_.substr(17)));
  }
  void TearDown() override {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    EXPECT_EQ(status_, 0);
#if defined(_WIN32)
    WSACleanup();
#endif
  }
  std::string Get(const std::string& target, std::string* head) {
    Client c(port_);
    EXPECT_TRUE(c.connected());
    c.Send("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) + "\r\n\r\n");
    *head = c.Head().value_or("");
    return c.Rest();
  }

  const std::uint32_t index_ = rig::TestIndex();
  rig::Rig rig_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  int status_ = -1;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::string url_;
  std::uint16_t port_ = 0;
};

TEST_F(ViewServer, ServesThePageAFrameAndASnapshot) {
  std::string head;
  const std::string page = Get("/", &head);
  EXPECT_EQ(head.rfind("HTTP/1.1 200 ", 0), 0u) << head;
  EXPECT_NE(head.find("Content-Security-Policy: default-src 'self'"), std::string::npos);
  EXPECT_NE(page.find("<canvas"), std::string::npos);
  EXPECT_NE(page.find("view.js"), std::string::npos);
  Get("/view.js", &head);
  EXPECT_EQ(head.rfind("HTTP/1.1 200 ", 0), 0u) << head;

  // The handshake of RFC 6455 section 1.3, whose accept value the RFC gives.
  Client ws(port_);
  ASSERT_TRUE(ws.connected());
  const std::string host = "127.0.0.1:" + std::to_string(port_);
  ws.Send("GET /ws HTTP/1.1\r\nHost: " + host +
          "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
          "Origin: http://" +
          host + "\r\n\r\n");
  const std::string upgrade = ws.Head().value_or("");
  ASSERT_EQ(upgrade.rfind("HTTP/1.1 101 ", 0), 0u) << upgrade;
  EXPECT_NE(upgrade.find("Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo="), std::string::npos)
      << upgrade;

  // Text messages (state, statistics) until the first frame.
  std::string frame;
  bool saw_state = false;
  for (int i = 0; i < 200 && frame.empty(); ++i) {
    const auto message = ws.Message();
    ASSERT_TRUE(message) << "the server stopped sending after " << i << " messages";
    if (message->first == 2) frame = message->second;
    if (message->first == 1 && message->second.find("\"type\":\"state\"") != std::string::npos) {
      saw_state = true;
    }
  }
  EXPECT_TRUE(saw_state);
  ASSERT_GE(frame.size(), 4u);
  const std::uint32_t header_length = Le32(frame, 0);
  ASSERT_LE(4 + header_length, frame.size());
  const std::string header = frame.substr(4, header_length);
  const long width = JsonNumber(header, "width"), height = JsonNumber(header, "height");
  const long jpeg_bytes = JsonNumber(header, "jpeg_bytes");
  EXPECT_GT(width, 0) << header;
  EXPECT_GT(height, 0) << header;
  ASSERT_GT(jpeg_bytes, 4) << header;
  ASSERT_LE(4 + header_length + static_cast<std::size_t>(jpeg_bytes), frame.size());
  const std::string jpeg = frame.substr(4 + header_length, static_cast<std::size_t>(jpeg_bytes));
  EXPECT_EQ(jpeg.substr(0, 2), "\xFF\xD8");
  EXPECT_EQ(jpeg.substr(jpeg.size() - 2), "\xFF\xD9");
  const auto [jpeg_width, jpeg_height] = JpegSize(jpeg);
  EXPECT_EQ(jpeg_width, static_cast<std::uint32_t>(width));
  EXPECT_EQ(jpeg_height, static_cast<std::uint32_t>(height));

  // The snapshot: a 16-bit grey PNG of the frame on the page.
  const std::string png = Get("/snapshot.png", &head);
  EXPECT_EQ(head.rfind("HTTP/1.1 200 ", 0), 0u) << head;
  ASSERT_GE(png.size(), 33u);
  EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1A\n", 8));
  EXPECT_EQ(png.substr(12, 4), "IHDR");
  EXPECT_EQ(Be32(png, 16), static_cast<std::uint32_t>(width));
  EXPECT_EQ(Be32(png, 20), static_cast<std::uint32_t>(height));
  EXPECT_EQ(png[24], 16);  // bits
  EXPECT_EQ(png[25], 0);   // grey
}

TEST_F(ViewServer, RefusesAForeignOrigin) {
  Client ws(port_);
  ASSERT_TRUE(ws.connected());
  ws.Send("GET /ws HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
          "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
          "Origin: http://evil.example\r\n\r\n");
  const std::string head = ws.Head().value_or("");
  EXPECT_EQ(head.rfind("HTTP/1.1 403 ", 0), 0u) << head;
}

}  // namespace
