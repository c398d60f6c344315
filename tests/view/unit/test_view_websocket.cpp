// Request heads, the WebSocket handshake and client frames.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "websocket.h"

namespace kv = kepra_view;

namespace {

kv::HttpRequest Upgrade(const std::string& host, const std::string& origin) {
  std::string head = "GET /ws HTTP/1.1\r\nHost: " + host +
                     "\r\nConnection: keep-alive, Upgrade\r\nUpgrade: websocket\r\n"
                     "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
  if (!origin.empty()) head += "Origin: " + origin + "\r\n";
  return kv::ParseRequestHead(head + "\r\n").value();
}

std::vector<std::uint8_t> Masked(std::uint8_t first, const std::string& payload,
                                 std::array<std::uint8_t, 4> mask = {0x37, 0xfa, 0x21, 0x3d}) {
  std::vector<std::uint8_t> out{first};
  if (payload.size() < 126) {
    out.push_back(static_cast<std::uint8_t>(0x80 | payload.size()));
  } else {
    out.push_back(0x80 | 126);
    out.push_back(static_cast<std::uint8_t>(payload.size() >> 8));
    out.push_back(static_cast<std::uint8_t>(payload.size() & 0xFF));
  }
  for (const std::uint8_t m : mask) out.push_back(m);
  for (std::size_t i = 0; i < payload.size(); ++i) {
    out.push_back(static_cast<std::uint8_t>(payload[i]) ^ mask[i % 4]);
  }
  return out;
}

}  // namespace

TEST(ViewWebSocket, HashesAndKeysMatchPublishedValues) {
  // FIPS 180 examples and the handshake example of RFC 6455 section 1.3.
  EXPECT_EQ(kv::Base64(kv::Sha1("abc")), "qZk+NkcGgWq6PiVxeFDCbJzQ2J0=");
  EXPECT_EQ(kv::Base64(kv::Sha1("")), "2jmj7l5rSw0yVb/vlWAYkK/YBwk=");
  EXPECT_EQ(kv::Base64(kv::Sha1("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
            "hJg+RBw70m66rkqh+VEp5eVGcPE=");
  EXPECT_EQ(kv::AcceptKey("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  EXPECT_EQ(kv::Base64("f"), "Zg==");
  EXPECT_EQ(kv::Base64("fo"), "Zm8=");
  EXPECT_EQ(kv::Base64("foo"), "Zm9v");
}

TEST(ViewWebSocket, ParsesRequestHeadsStrictly) {
  const auto r = kv::ParseRequestHead("GET /a?b HTTP/1.1\r\nHOST: x:1\r\nX-A:  v \r\n\r\n");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->method, "GET");
  EXPECT_EQ(r->target, "/a?b");
  EXPECT_EQ(r->Header("host"), "x:1");
  EXPECT_EQ(r->Header("x-a"), "v");
  for (const char* bad :
       {"GET / HTTP/1.1\r\n", "GET /\r\n\r\n", "GET / HTTP/2\r\n\r\n", "GET x HTTP/1.1\r\n\r\n",
        "GET / HTTP/1.1\r\nNoColon\r\n\r\n", "GET / HTTP/1.1\r\n: v\r\n\r\n",
        "GET / HTTP/1.1\r\nA B: v\r\n\r\n", "GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n",
        "GET / HTTP/1.1\r\nOrigin: a\r\norigin: b\r\n\r\n"}) {
    EXPECT_FALSE(kv::ParseRequestHead(bad)) << bad;
  }
  EXPECT_FALSE(kv::ParseRequestHead("GET / HTTP/1.1\r\nA: " + std::string(9000, 'a') + "\r\n\r\n"));
}

TEST(ViewWebSocket, UpgradesOnlyFromThePagesOwnOrigin) {
  const kv::HostPolicy loopback{true, 8080}, anywhere{false, 8080};
  const std::tuple<const char*, const char*, kv::HostPolicy, const char*> cases[] = {
      {"127.0.0.1:8080", "http://127.0.0.1:8080", loopback, ""},
      {"localhost:8080", "http://LOCALHOST:8080", loopback, ""},
      {"127.0.0.1:8080", "http://evil.example", loopback, "foreign Origin"},
      {"127.0.0.1:8080", "http://localhost:8080", loopback, "foreign Origin"},
      {"127.0.0.1:8080", "null", loopback, "foreign Origin"},
      {"127.0.0.1:8080", "", loopback, "Origin header missing"},
      // DNS rebinding: a foreign name pointing at the loopback has a matching Origin.
      {"evil.example:8080", "http://evil.example:8080", loopback, "Host not served here"},
      {"127.0.0.1:9999", "http://127.0.0.1:9999", loopback, "Host not served here"},
      {"cam.lab:8080", "http://cam.lab:8080", anywhere, ""},
      {"cam.lab:8080", "http://evil.example", anywhere, "foreign Origin"},
  };
  for (const auto& [host, origin, policy, why] : cases) {
    EXPECT_EQ(kv::CheckUpgrade(Upgrade(host, origin), policy), why) << host << " " << origin;
  }
  for (const auto& [header, value, why] :
       {std::tuple{"sec-websocket-version", "8", "WebSocket version 13 only"},
        {"sec-websocket-key", "short", "bad Sec-WebSocket-Key"},
        {"upgrade", "h2c", "not a WebSocket upgrade"}}) {
    auto request = Upgrade("127.0.0.1:8080", "http://127.0.0.1:8080");
    request.headers[header] = value;
    EXPECT_EQ(kv::CheckUpgrade(request, loopback), why);
  }
}

TEST(ViewWebSocket, ReadsMaskedClientFrames) {
  // RFC 6455 section 5.7: a masked "Hello".
  const std::vector<std::uint8_t> hello{0x81, 0x85, 0x37, 0xfa, 0x21, 0x3d,
                                        0x7f, 0x9f, 0x4d, 0x51, 0x58};
  for (std::size_t cut = 0; cut < hello.size(); ++cut) {
    EXPECT_EQ(kv::ParseClientFrame(hello.data(), cut).status, kv::ParseStatus::kNeedMore);
  }
  const auto whole = kv::ParseClientFrame(hello.data(), hello.size());
  ASSERT_EQ(whole.status, kv::ParseStatus::kFrame);
  EXPECT_EQ(whole.frame.payload, "Hello");
  EXPECT_TRUE(whole.frame.fin);
  EXPECT_EQ(whole.frame.opcode, kv::kOpText);
  EXPECT_EQ(whole.consumed, hello.size());

  const std::string long_text(300, 'x');
  const auto frame = Masked(0x81, long_text);
  const auto parsed = kv::ParseClientFrame(frame.data(), frame.size());
  ASSERT_EQ(parsed.status, kv::ParseStatus::kFrame);
  EXPECT_EQ(parsed.frame.payload, long_text);
}

TEST(ViewWebSocket, RefusesFramesAClientMayNotSend) {
  auto error = [](std::vector<std::uint8_t> bytes) {
    const auto p = kv::ParseClientFrame(bytes.data(), bytes.size());
    EXPECT_EQ(p.status, kv::ParseStatus::kError);
    return p.error;
  };
  EXPECT_EQ(error({0x81, 0x05, 'H', 'e', 'l', 'l', 'o'}), "client frames must be masked");
  EXPECT_EQ(error(Masked(0xC1, "x")), "reserved bits set");
  EXPECT_EQ(error(Masked(0x83, "x")), "unknown opcode");
  EXPECT_EQ(error(Masked(0x09, "x")), "bad control frame");  // fragmented ping
  EXPECT_EQ(error(Masked(0x89, std::string(126, 'p'))), "bad control frame");
  // 64-bit length of 2^63: refused from the head, before any payload arrives.
  EXPECT_EQ(error({0x82, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 0}), "message too long");
  EXPECT_EQ(error({0x82, 0xFF, 0, 0, 0, 0, 0, 1, 0, 1}), "message too long");
}

TEST(ViewWebSocket, WritesServerFrameHeads) {
  EXPECT_EQ(kv::ServerFrameHead(kv::kOpText, 5), std::string("\x81\x05", 2));
  EXPECT_EQ(kv::ServerFrameHead(kv::kOpBinary, 126), std::string("\x82\x7e\x00\x7e", 4));
  EXPECT_EQ(kv::ServerFrameHead(kv::kOpBinary, 65536),
            std::string("\x82\x7f\x00\x00\x00\x00\x00\x01\x00\x00", 10));
}
