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
#include <future>
#include <string>
#include <thread>

#include "../server_frames.h"
#include "rig.h"
#include "view/view.h"

namespace {

#if defined(_WIN32)
void CloseSocket(SOCKET s) { closesocket(s); }
#else
using SOCKET = int;
void CloseSocket(SOCKET s) { close(s); }
#endif

// A loopback client that sends a request head and keeps what comes back. A receive timeout
// makes a silent server fail the test instead of hanging it.
class Client {
 public:
  Client(std::uint16_t port, const std::string& request) {
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
    if (connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      ::send(socket_, request.data(), static_cast<int>(request.size()), 0);
    }
  }
  ~Client() { CloseSocket(socket_); }
  // At least `size` bytes received; false when the peer closed or went silent.
  bool Fill(std::size_t size) {
    char chunk[65536];
    while (data.size() < size) {
      const auto n = ::recv(socket_, chunk, static_cast<int>(sizeof chunk), 0);
      if (n <= 0) return false;
      data.append(chunk, static_cast<std::size_t>(n));
    }
    return true;
  }
  // The response head (up to the blank line), taken off the data.
  std::string Head() {
    std::size_t end;
    while ((end = data.find("\r\n\r\n")) == std::string::npos && Fill(data.size() + 1)) {
    }
    const std::string head = data.substr(0, end == std::string::npos ? 0 : end + 4);
    data.erase(0, head.size());
    return head;
  }
  // The next server frame: opcode and payload; -1 when the peer closed or went silent.
  std::pair<int, std::string> Message() {
    for (;;) {
      if (auto frame = TakeServerFrame(data)) return *frame;
      if (!Fill(data.size() + 1)) return {-1, ""};
    }
  }

  std::string data;

 private:
  SOCKET socket_;
};

// `n` bytes at `at` as a big-endian number.
long Be(const std::string& s, std::size_t at, int n) {
  long value = 0;
  for (int i = 0; i < n; ++i) value = value << 8 | static_cast<unsigned char>(s[at + i]);
  return value;
}

// A number member of a flat JSON header, e.g. "width":1280.
long JsonNumber(const std::string& json, const std::string& key) {
  const auto at = json.find("\"" + key + "\":");
  return at == std::string::npos ? -1 : std::atol(json.c_str() + at + key.size() + 3);
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
    auto url = listening_.get_future();
    thread_ = std::thread([this, options] {
      bool told = false;
      status_ = kepra_view::ServeView(options, stop_, [&](const std::string& u) {
        told = true;
        listening_.set_value(u);
      });
      if (!told) listening_.set_value("ServeView returned " + std::to_string(status_));
    });
    ASSERT_EQ(url.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const std::string page = url.get();
    ASSERT_EQ(page.rfind("http://127.0.0.1:", 0), 0u) << page;
    port_ = static_cast<std::uint16_t>(std::stoul(page.substr(17)));
    host_ = "127.0.0.1:" + std::to_string(port_);
  }
  void TearDown() override {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    EXPECT_EQ(status_, 0);
#if defined(_WIN32)
    WSACleanup();
#endif
  }
  // The handshake of RFC 6455 section 1.3, whose accept value the RFC gives.
  std::string Upgrade(const std::string& origin) const {
    return "GET /ws HTTP/1.1\r\nHost: " + host_ +
           "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nOrigin: " +
           origin + "\r\n\r\n";
  }

  const std::uint32_t index_ = rig::TestIndex();
  rig::Rig rig_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  int status_ = -1;
  std::promise<std::string> listening_;  // the page's address, or why there is none
  std::string host_;
  std::uint16_t port_ = 0;
};

TEST_F(ViewServer, ServesThePageAFrameAndASnapshotToItsOwnOriginOnly) {
  Client page(port_, "GET / HTTP/1.1\r\nHost: " + host_ + "\r\n\r\n");
  const std::string head = page.Head();
  EXPECT_EQ(head.rfind("HTTP/1.1 200 ", 0), 0u) << head;
  EXPECT_NE(head.find("Content-Security-Policy: default-src 'self'"), std::string::npos);
  page.Fill(~std::size_t{0});  // the response ends with the connection
  EXPECT_NE(page.data.find("<canvas"), std::string::npos);

  EXPECT_EQ(Client(port_, Upgrade("http://evil.example")).Head().rfind("HTTP/1.1 403 ", 0), 0u);
  Client ws(port_, Upgrade("http://" + host_));
  const std::string upgrade = ws.Head();
  ASSERT_EQ(upgrade.rfind("HTTP/1.1 101 ", 0), 0u) << upgrade;
  EXPECT_NE(upgrade.find("Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo="), std::string::npos);
  // Text messages (state, statistics) until the first frame: a little-endian header length,
  // the JSON header, then a baseline JPEG of the size the header gives.
  std::pair<int, std::string> message;
  for (int i = 0; i < 200 && message.first != 2; ++i) {
    message = ws.Message();
    ASSERT_NE(message.first, -1) << "the server stopped sending after " << i << " messages";
  }
  const std::string& frame = message.second;
  ASSERT_GE(frame.size(), 4u);
  const std::size_t header_length = Be({frame[3], frame[2], frame[1], frame[0]}, 0, 4);
  const std::string header = frame.substr(4, header_length);
  const long width = JsonNumber(header, "width"), height = JsonNumber(header, "height");
  const std::string jpeg = frame.substr(4 + header_length);
  ASSERT_EQ(JsonNumber(header, "jpeg_bytes"), static_cast<long>(jpeg.size())) << header;
  EXPECT_EQ(jpeg.substr(0, 2), "\xFF\xD8");
  EXPECT_EQ(jpeg.substr(jpeg.size() - 2), "\xFF\xD9");
  std::size_t at = 2;  // walk the marker segments to the frame header (SOF0)
  while (at + 9 < jpeg.size() && static_cast<unsigned char>(jpeg[at + 1]) != 0xC0) {
    at += 2 + Be(jpeg, at + 2, 2);
  }
  ASSERT_LT(at + 9, jpeg.size());
  EXPECT_EQ(Be(jpeg, at + 7, 2), width);
  EXPECT_EQ(Be(jpeg, at + 5, 2), height);

  // The snapshot: a 16-bit grey PNG of the frame on the page.
  Client snapshot(port_, "GET /snapshot.png HTTP/1.1\r\nHost: " + host_ + "\r\n\r\n");
  EXPECT_EQ(snapshot.Head().rfind("HTTP/1.1 200 ", 0), 0u);
  ASSERT_TRUE(snapshot.Fill(26));
  const std::string& png = snapshot.data;
  EXPECT_EQ(png.substr(0, 16), std::string("\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR", 16));
  EXPECT_EQ(Be(png, 16, 4), width);
  EXPECT_EQ(Be(png, 20, 4), height);
  EXPECT_EQ(png.substr(24, 2), std::string("\x10\0", 2));  // 16 bits, grey
}

}  // namespace
