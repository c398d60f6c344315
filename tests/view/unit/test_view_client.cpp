// A WebSocket client of kepra view that reads slowly: it gets the newest frame, never a queue.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "http_server.h"

namespace kv = kepra_view;

namespace {

// Reads server frames from fd until a binary frame whose first byte is `last` arrives; returns
// the first byte of every binary frame, and the text payloads in `texts`.
std::vector<int> ReadUntil(int fd, int last, std::vector<std::string>& texts) {
  std::vector<int> seen;
  std::string data;
  char buffer[65536];
  for (;;) {
    while (data.size() >= 2) {
      std::size_t length = static_cast<unsigned char>(data[1]) & 0x7F, pos = 2;
      if (length == 126) {
        if (data.size() < 4) break;
        length = (std::size_t{static_cast<unsigned char>(data[2])} << 8) |
                 static_cast<unsigned char>(data[3]);
        pos = 4;
      } else if (length == 127) {
        if (data.size() < 10) break;
        length = 0;
        for (int i = 0; i < 8; ++i)
          length = (length << 8) | static_cast<unsigned char>(data[2 + i]);
        pos = 10;
      }
      if (data.size() < pos + length) break;
      const int opcode = data[0] & 0x0F;
      if (opcode == kv::kOpBinary) {
        seen.push_back(static_cast<unsigned char>(data[pos]));
        if (seen.back() == last) return seen;
      } else {
        texts.push_back(data.substr(pos, length));
      }
      data.erase(0, pos + length);
    }
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return seen;
    data.append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace

TEST(ViewClient, AReaderThatFallsBehindGetsTheNewestFrameNotABacklog) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  const int small = 4096;
  setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  std::vector<int> seen;
  std::vector<std::string> texts;
  {
    kv::WsClient client(fds[0], 1);
    // Nobody reads: the writer blocks in the first frame while a hundred more are offered.
    for (int i = 0; i < 100; ++i) {
      auto frame = std::make_shared<std::string>(70000, static_cast<char>(i));
      client.OfferFrame(frame);
      if (i == 50) client.SendText("halfway");
    }
    seen = ReadUntil(fds[1], 99, texts);
    EXPECT_EQ(client.replaced() + seen.size(), 100u);
    client.Close();
  }
  close(fds[0]);
  close(fds[1]);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), 99) << "the newest frame arrives";
  EXPECT_LE(seen.size(), 3u) << "at most the frame in flight, one waiting and the newest";
  // Replies are never dropped for frames.
  EXPECT_EQ(texts, std::vector<std::string>{"halfway"});
}
