// What a browser sends and gets: the page's messages (understood, or refused with a reason),
// request heads, the WebSocket handshake and client frames.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <tuple>
#include <vector>

#include "protocol.h"
#include "websocket.h"

namespace kv = kepra_view;

namespace {

kv::Request Ok(const std::string& text) {
  const auto d = kv::DecodeRequest(text);
  EXPECT_TRUE(d.request.has_value() && d.error.empty()) << text << ": " << d.error;
  return d.request.value_or(kv::Request{});
}

std::string Refused(const std::string& text) {
  const auto d = kv::DecodeRequest(text);
  EXPECT_FALSE(d.request.has_value() || d.error.empty()) << text;
  return d.error;
}

}  // namespace

TEST(ViewMessages, UnderstandsEachOperation) {
  EXPECT_EQ(Ok(R"({"op":"state"})").op, kv::Op::kState);
  EXPECT_EQ(Ok(R"( { "op" : "cameras" , "id" : 7 } )").id, 7u);
  const auto pixel = Ok(R"({"op":"pixel","x":1279,"y":5})");
  EXPECT_EQ(std::tie(pixel.op, pixel.x, pixel.y), std::make_tuple(kv::Op::kPixel, 1279u, 5u));
  EXPECT_EQ(Ok(R"({"op":"select","index":34})").index, 34u);
  const auto exposure = Ok(R"({"op":"set","name":"exposure_ms","value":12.5e0})");
  EXPECT_EQ(exposure.setting, kv::Setting::kExposureMs);
  EXPECT_EQ(exposure.values, std::vector<double>{12.5});
  // Booleans count as 0 and 1, also inside arrays; escapes in names are decoded.
  EXPECT_EQ(Ok(R"({"op":"set","name":"strobe","value":[3,255,0,false]})").values,
            (std::vector<double>{3, 255, 0, 0}));
  EXPECT_EQ(Ok(R"({"op":"set","name":"hd\u0072","value":true})").setting, kv::Setting::kHdr);
  EXPECT_EQ(Ok(R"({"op":"set","name":"snapshot","value":[2147483647,1]})").values[0], 2147483647.0);
  EXPECT_EQ(Ok(R"({"op":"set","name":"frame_rate","value":-0.5})").values[0], -0.5);
  EXPECT_TRUE(Ok(R"({"op":"hold","on":true,"id":3})").on);
  EXPECT_FALSE(Ok(R"({"op":"hold","on":false})").on);
  EXPECT_EQ(Ok(R"({"op":"trigger"})").op, kv::Op::kTrigger);
  EXPECT_EQ(Ok(R"({"op":"record","frames":100000})").frames, 100000u);
  EXPECT_EQ(Ok(R"({"op":"record","frames":0})").frames, 0u);
}

TEST(ViewMessages, RefusesWhatIsNotOneFlatJsonObjectOfJsonNumbers) {
  // Not one object; then nested values, strings and literals JSON does not have.
  for (const std::string text : {"", " ", "[]", "null", "{", "}", R"({"op":"state")",
                                 R"({"op" "state"})", R"({"op":"state",})", R"({op:"state"})",
                                 "{'op':'state'}", R"({"op":"state"} {})", R"({"op":"state"}x)"}) {
    Refused(text);
  }
  for (const std::string text :
       {R"({"op":{"a":1}})", "{\"op\":\"st\tate\"}", R"({"op":"state\q"})", R"({"op":"\u12"})",
        R"({"op":null})", R"({"op":"set","name":"hdr","value":[[1]]})",
        R"({"op":"set","name":"hdr","value":tru})"}) {
    Refused(text);
  }
  for (const char* number : {"01", "1.", ".5", "+1", "1e", "1e+", "-", "0x10", "NaN", "Infinity",
                             "1e400", "-1e400", "1_0"}) {
    Refused(std::string(R"({"op":"set","name":"exposure_ms","value":)") + number + "}");
  }
}

TEST(ViewMessages, NamesWhatIsWrongWithAnOperationOrItsValues) {
  const std::pair<std::string, std::string> cases[] = {
      {"{\"op\":\"state\",\"op\":\"cameras\"}", "member \"op\" given twice"},
      {std::string(4097, ' '), "message longer than 4096 bytes"},
      {R"({"id":1})", "\"op\" (a string) is missing"},
      {R"({"op":"firmware_update"})", "unknown op"},
      {R"({"op":"state","x":1})", "unexpected member for this op"},
      {R"({"op":"state","id":-1})", "\"id\" must be a whole number from 0 to 4294967295"},
      {R"({"op":"select","index":35})", "\"index\" must be a whole number from 0 to 34"},
      {R"({"op":"select"})", "\"index\" is missing"},
      {R"({"op":"pixel","x":1.5,"y":0})", "\"x\" must be a whole number from 0 to 65535"},
      {R"({"op":"pixel","x":"1","y":0})", "\"x\" must be a whole number from 0 to 65535"},
      {R"({"op":"set","name":"exposure","value":1})", "unknown setting \"exposure\""},
      {R"({"op":"set","value":1})", "\"name\" (a string) is missing"},
      {R"({"op":"set","name":"hdr","value":"on"})",
       "\"value\" (a number, boolean or array) is missing"},
      {R"({"op":"set","name":"gain","value":2})", "gain takes 2 values"},
      {R"({"op":"set","name":"gain","value":[1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17]})",
       "array longer than 16 elements"},
      {R"({"op":"set","name":"exposure_ms","value":[1,2]})", "exposure_ms takes 1 value"},
      {R"({"op":"set","name":"colour_gain","value":[]})", "colour_gain takes 4 values"},
      {R"({"op":"set","name":"readout_mode","value":4})",
       "readout_mode value 1 must be a whole number from 0 to 3"},
      {R"({"op":"set","name":"strobe","value":[0,256,0,0]})",
       "strobe value 2 must be a whole number from 0 to 255"},
      {R"({"op":"set","name":"strobe","value":[0,0,0,2]})",
       "strobe value 4 must be a whole number from 0 to 1"},
      {R"({"op":"set","name":"frame_params","value":[0,0,1280,1024,10,1,1,0.5]})",
       "frame_params value 8 must be a whole number from 0 to 65535"},
      {R"({"op":"set","name":"snapshot","value":[2147483648,0]})",
       "snapshot value 1 must be a whole number from 0 to 2147483647"},
      {R"({"op":"set","name":"stream_mode","value":-1})",
       "stream_mode value 1 must be a whole number from 0 to 1"},
      // "on" is a boolean, not a number that looks like one.
      {R"({"op":"hold","on":1})", "\"on\" (true or false) is missing"},
      {R"({"op":"trigger","frames":1})", "unexpected member for this op"},
      {R"({"op":"record","frames":100001})", "\"frames\" must be a whole number from 0 to 100000"},
      {R"({"op":"record","frames":2.5})", "\"frames\" must be a whole number from 0 to 100000"},
      // Where the files go is the command line's choice, never the page's.
      {R"({"op":"record","frames":1,"folder":"/etc"})", "unexpected member for this op"},
  };
  for (const auto& [text, error] : cases) EXPECT_EQ(Refused(text), error) << text;
}

TEST(ViewMessages, RepliesAreValidJson) {
  EXPECT_EQ(kv::JsonString("a\"b\\c\n\x01\xff"), R"("a\"b\\c\u000a\u0001\u00ff")");
  EXPECT_EQ(kv::JsonNumber(0.1), "0.1");
  // A wall-clock time in ms keeps its fraction (frame headers carry such times).
  EXPECT_EQ(kv::JsonNumber(1796559439447.625), "1796559439447.625");
  EXPECT_EQ(kv::JsonNumber(-2.5e-7), "-2.5e-07");
  EXPECT_EQ(kv::JsonNumber(1.0 / 0.0), "null");
  EXPECT_EQ(kv::JsonObject().Str("a", "x").Num("b", 2).Bool("c", false).Build(),
            R"({"a":"x","b":2,"c":false})");
}

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
  // RFC 4648 section 10: each length of the last group.
  EXPECT_EQ(kv::Base64("f") + kv::Base64("fo") + kv::Base64("foo"), "Zg==Zm8=Zm9v");
}

TEST(ViewWebSocket, ParsesRequestHeadsStrictly) {
  const auto r = kv::ParseRequestHead("GET /a?b HTTP/1.1\r\nHOST: x:1\r\nX-A:  v \r\n\r\n");
  ASSERT_TRUE(r);
  EXPECT_EQ((std::vector<std::string>{r->method, r->target, r->Header("host"), r->Header("x-a")}),
            (std::vector<std::string>{"GET", "/a?b", "x:1", "v"}));
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
  EXPECT_EQ(std::tie(whole.frame.payload, whole.frame.fin, whole.frame.opcode, whole.consumed),
            std::make_tuple("Hello", true, kv::kOpText, hello.size()));

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
