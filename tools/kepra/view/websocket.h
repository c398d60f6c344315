// HTTP/1.1 request heads and WebSocket (RFC 6455) framing, as pure functions over bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace kepra_view {

// Largest request head and largest client message the server accepts.
constexpr std::size_t kMaxRequestHead = 8192;
constexpr std::size_t kMaxClientPayload = 65536;

struct HttpRequest {
  std::string method;
  std::string target;
  std::map<std::string, std::string> headers;  // names in lower case, values trimmed
  std::string Header(const std::string& name) const;
};

// Parses a request head (up to and including the blank line); empty on malformed input.
std::optional<HttpRequest> ParseRequestHead(std::string_view head);

// The value for Sec-WebSocket-Accept: base64(SHA-1(key + RFC 6455 GUID)).
std::string AcceptKey(std::string_view key);
std::string Sha1(std::string_view data);  // 20 raw bytes
std::string Base64(std::string_view data);

// Which Host headers the server answers. Bound to the loopback, only names of the loopback with
// the server's port, so that a foreign name resolving to 127.0.0.1 (DNS rebinding) gets no page.
struct HostPolicy {
  bool loopback_only = true;
  std::uint16_t port = 0;
};
bool HostAllowed(const HostPolicy& policy, std::string_view host);

// Empty when the request may become a WebSocket, else why not: it must be a GET upgrade of
// version 13 with a key, from a page of this server (Origin http://<Host>).
std::string CheckUpgrade(const HttpRequest& request, const HostPolicy& policy);

// One frame from a client.
struct WsFrame {
  bool fin = false;
  std::uint8_t opcode = 0;
  std::string payload;  // unmasked
};
enum class ParseStatus { kNeedMore, kFrame, kError };
struct WsParse {
  ParseStatus status = ParseStatus::kNeedMore;
  WsFrame frame;
  std::size_t consumed = 0;
  std::string error;
};
// Reads one frame from the start of data. Clients must mask; payloads above
// kMaxClientPayload, reserved bits, unknown opcodes and long or fragmented control frames are
// errors.
WsParse ParseClientFrame(const std::uint8_t* data, std::size_t size);

enum : std::uint8_t {
  kOpContinuation = 0,
  kOpText = 1,
  kOpBinary = 2,
  kOpClose = 8,
  kOpPing = 9,
  kOpPong = 10,
};
// A server frame's head (unmasked, final) for a payload of `size` bytes.
std::string ServerFrameHead(std::uint8_t opcode, std::uint64_t size);

}  // namespace kepra_view
