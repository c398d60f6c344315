#include "websocket.h"

#include <array>
#include <cctype>
#include <cstring>

namespace kepra_view {

namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool HasToken(std::string_view list, std::string_view token) {
  // Comma-separated, case-insensitive ("keep-alive, Upgrade").
  const std::string lower = Lower(list);
  std::string_view rest = lower;
  while (!rest.empty()) {
    const auto comma = rest.find(',');
    if (Trim(rest.substr(0, comma)) == token) return true;
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return false;
}

std::uint32_t Rol(std::uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

}  // namespace

std::string HttpRequest::Header(const std::string& name) const {
  const auto it = headers.find(name);
  return it == headers.end() ? std::string() : it->second;
}

std::optional<HttpRequest> ParseRequestHead(std::string_view head) {
  if (head.size() > kMaxRequestHead) return std::nullopt;
  const auto end = head.find("\r\n\r\n");
  if (end == std::string_view::npos) return std::nullopt;
  head = head.substr(0, end + 2);
  HttpRequest request;
  auto line_end = head.find("\r\n");
  const std::string_view line = head.substr(0, line_end);
  const auto sp1 = line.find(' ');
  const auto sp2 = line.rfind(' ');
  if (sp1 == std::string_view::npos || sp2 == sp1) return std::nullopt;
  request.method = std::string(line.substr(0, sp1));
  request.target = std::string(line.substr(sp1 + 1, sp2 - sp1 - 1));
  const std::string_view version = line.substr(sp2 + 1);
  if (version != "HTTP/1.1" && version != "HTTP/1.0") return std::nullopt;
  if (request.method.empty() || request.target.empty() || request.target[0] != '/') {
    return std::nullopt;
  }
  for (const char c : request.target) {
    if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
      return std::nullopt;
    }
  }
  std::size_t pos = line_end + 2;
  while (pos < head.size()) {
    line_end = head.find("\r\n", pos);
    const std::string_view field = head.substr(pos, line_end - pos);
    pos = line_end + 2;
    const auto colon = field.find(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    const std::string_view name = field.substr(0, colon);
    for (const char c : name) {
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return std::nullopt;
    }
    const std::string key = Lower(name);
    const std::string value(Trim(field.substr(colon + 1)));
    // A repeated Host or Origin could make the checks read a different value than a proxy.
    if (request.headers.count(key) && (key == "host" || key == "origin")) return std::nullopt;
    auto& slot = request.headers[key];
    slot = slot.empty() ? value : slot + ", " + value;
  }
  return request;
}

std::string Sha1(std::string_view data) {
  std::uint32_t h[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
  std::string msg(data);
  const std::uint64_t bits = static_cast<std::uint64_t>(data.size()) * 8;
  msg += static_cast<char>(0x80);
  while (msg.size() % 64 != 56) msg += '\0';
  for (int i = 7; i >= 0; --i) msg += static_cast<char>((bits >> (i * 8)) & 0xFF);
  for (std::size_t block = 0; block < msg.size(); block += 64) {
    std::uint32_t w[80];
    for (int i = 0; i < 16; ++i) {
      const auto* p = reinterpret_cast<const unsigned char*>(msg.data() + block + i * 4);
      w[i] = (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
             (std::uint32_t{p[2]} << 8) | p[3];
    }
    for (int i = 16; i < 80; ++i) w[i] = Rol(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int i = 0; i < 80; ++i) {
      std::uint32_t f, k;
      if (i < 20) {
        f = (b & c) | (~b & d);
        k = 0x5A827999u;
      } else if (i < 40) {
        f = b ^ c ^ d;
        k = 0x6ED9EBA1u;
      } else if (i < 60) {
        f = (b & c) | (b & d) | (c & d);
        k = 0x8F1BBCDCu;
      } else {
        f = b ^ c ^ d;
        k = 0xCA62C1D6u;
      }
      const std::uint32_t t = Rol(a, 5) + f + e + k + w[i];
      e = d;
      d = c;
      c = Rol(b, 30);
      b = a;
      a = t;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
  }
  std::string out;
  for (const std::uint32_t v : h) {
    for (int i = 3; i >= 0; --i) out += static_cast<char>((v >> (i * 8)) & 0xFF);
  }
  return out;
}

std::string Base64(std::string_view data) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < data.size(); i += 3) {
    const std::uint32_t v = (std::uint32_t{static_cast<unsigned char>(data[i])} << 16) |
                            (std::uint32_t{static_cast<unsigned char>(data[i + 1])} << 8) |
                            static_cast<unsigned char>(data[i + 2]);
    for (int s = 18; s >= 0; s -= 6) out += kDigits[(v >> s) & 63];
  }
  if (const std::size_t rest = data.size() - i; rest > 0) {
    std::uint32_t v = std::uint32_t{static_cast<unsigned char>(data[i])} << 16;
    if (rest == 2) v |= std::uint32_t{static_cast<unsigned char>(data[i + 1])} << 8;
    out += kDigits[(v >> 18) & 63];
    out += kDigits[(v >> 12) & 63];
    out += rest == 2 ? kDigits[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string AcceptKey(std::string_view key) {
  return Base64(Sha1(std::string(key) + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"));
}

bool HostAllowed(const HostPolicy& policy, std::string_view host) {
  if (host.empty()) return false;
  if (!policy.loopback_only) return true;
  const std::string lower = Lower(host);
  const std::string_view rest(lower);
  const auto colon = rest.rfind(':');
  if (colon == std::string_view::npos || rest.substr(colon + 1) != std::to_string(policy.port)) {
    return false;
  }
  for (const std::string_view name : {"127.0.0.1", "localhost", "[::1]"}) {
    if (rest.substr(0, colon) == name) return true;
  }
  return false;
}

std::string CheckUpgrade(const HttpRequest& request, const HostPolicy& policy) {
  if (request.method != "GET") return "a WebSocket starts with GET";
  if (!HasToken(request.Header("connection"), "upgrade") ||
      Lower(request.Header("upgrade")) != "websocket") {
    return "not a WebSocket upgrade";
  }
  if (request.Header("sec-websocket-version") != "13") return "WebSocket version 13 only";
  const std::string key = request.Header("sec-websocket-key");
  if (key.size() != 24 || key.compare(22, 2, "==") != 0) {  // 16 bytes in base64
    return "bad Sec-WebSocket-Key";
  }
  const std::string host = request.Header("host");
  if (!HostAllowed(policy, host)) return "Host not served here";
  const std::string origin = request.Header("origin");
  if (origin.empty()) return "Origin header missing";
  if (Lower(origin) != "http://" + Lower(host)) return "foreign Origin";
  return {};
}

WsParse ParseClientFrame(const std::uint8_t* data, std::size_t size) {
  WsParse out;
  if (size < 2) return out;
  const std::uint8_t b0 = data[0], b1 = data[1];
  out.frame.fin = (b0 & 0x80) != 0;
  out.frame.opcode = b0 & 0x0F;
  auto error = [&out](const char* why) {
    out.status = ParseStatus::kError;
    out.error = why;
    return out;
  };
  if (b0 & 0x70) return error("reserved bits set");
  const std::uint8_t op = out.frame.opcode;
  if (op != kOpContinuation && op != kOpText && op != kOpBinary && op != kOpClose &&
      op != kOpPing && op != kOpPong) {
    return error("unknown opcode");
  }
  if (!(b1 & 0x80)) return error("client frames must be masked");
  std::uint64_t length = b1 & 0x7F;
  std::size_t pos = 2;
  if (length == 126) {
    if (size < 4) return out;
    length = (std::uint64_t{data[2]} << 8) | data[3];
    pos = 4;
  } else if (length == 127) {
    if (size < 10) return out;
    length = 0;
    for (int i = 0; i < 8; ++i) length = (length << 8) | data[2 + i];
    pos = 10;
  }
  if (op >= kOpClose && (length > 125 || !out.frame.fin)) return error("bad control frame");
  if (length > kMaxClientPayload) return error("message too long");
  if (size < pos + 4 + length) return out;
  const std::uint8_t* mask = data + pos;
  pos += 4;
  out.frame.payload.resize(static_cast<std::size_t>(length));
  for (std::size_t i = 0; i < length; ++i) {
    out.frame.payload[i] = static_cast<char>(data[pos + i] ^ mask[i % 4]);
  }
  out.consumed = pos + static_cast<std::size_t>(length);
  out.status = ParseStatus::kFrame;
  return out;
}

std::string ServerFrameHead(std::uint8_t opcode, std::uint64_t size) {
  std::string head;
  head += static_cast<char>(0x80 | opcode);
  if (size < 126) {
    head += static_cast<char>(size);
  } else if (size <= 0xFFFF) {
    head += static_cast<char>(126);
    head += static_cast<char>(size >> 8);
    head += static_cast<char>(size & 0xFF);
  } else {
    head += static_cast<char>(127);
    for (int i = 7; i >= 0; --i) head += static_cast<char>((size >> (i * 8)) & 0xFF);
  }
  return head;
}

}  // namespace kepra_view
