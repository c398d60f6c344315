// Frames a WebSocket server sends (RFC 6455 section 5.2: unmasked), read by the viewer's tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

// The first whole frame in `data` as (opcode, payload), taken off it; nullopt until it is whole.
inline std::optional<std::pair<int, std::string>> TakeServerFrame(std::string& data) {
  const auto octet = [&](std::size_t at) { return std::uint64_t{std::uint8_t(data[at])}; };
  if (data.size() < 2) return std::nullopt;
  const std::size_t extended = (octet(1) & 0x7F) == 126 ? 2 : (octet(1) & 0x7F) == 127 ? 8 : 0;
  if (data.size() < 2 + extended) return std::nullopt;
  std::uint64_t length = extended > 0 ? 0 : octet(1) & 0x7F;
  for (std::size_t i = 2; i < 2 + extended; ++i) length = length << 8 | octet(i);
  if (data.size() < 2 + extended + length) return std::nullopt;
  std::pair<int, std::string> frame{int(octet(0) & 0x0F), data.substr(2 + extended, length)};
  data.erase(0, 2 + extended + length);
  return frame;
}
