// A WebSocket client of kepra view that reads slowly: it gets the newest frame, never a queue.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "../server_frames.h"
#include "http_server.h"

namespace kv = kepra_view;

TEST(ViewClient, AReaderThatFallsBehindGetsTheNewestFrameNotABacklog) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  const int small = 4096;
  setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  std::vector<int> seen;  // the first byte of each binary frame, until frame 99's
  std::vector<std::string> texts;
  {
    kv::WsClient client(fds[0], 1);
    // Nobody reads: the writer blocks in the first frame while a hundred more are offered.
    for (int i = 0; i < 100; ++i) {
      client.OfferFrame(std::make_shared<std::string>(70000, static_cast<char>(i)));
      if (i == 50) client.SendText("halfway");
    }
    std::string data;
    char buffer[65536];
    for (ssize_t n;
         (seen.empty() || seen.back() != 99) && (n = read(fds[1], buffer, sizeof buffer)) > 0;) {
      data.append(buffer, static_cast<std::size_t>(n));
      while (const auto frame = TakeServerFrame(data)) {
        if (frame->first == kv::kOpBinary) {
          seen.push_back(static_cast<unsigned char>(frame->second[0]));
        } else {
          texts.push_back(frame->second);
        }
      }
    }
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
