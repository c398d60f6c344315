// An independent re-computation of the sensor timing rules, written out plainly in wide signed
// integers with an explicit % 65536 wherever a value is kept to 16 bits. `Regs` is any record
// with the timing registers as fields r6, r7, ... (the library's or a test's own).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace timing_ref {

constexpr std::int64_t kMaxFrameTime = 65534LL * 2047LL;

template <class Regs>
std::int64_t Window(std::int64_t p, std::int64_t q, const Regs& r, std::int64_t fallback) {
  const std::int64_t d = r.r26 / 256 + 8;
  const bool s10 = r.r10 % 2 == 1, s7 = r.r7 / 1024 % 2 == 1;
  p %= 2048;
  q %= 2048;
  if (s10 && s7) return fallback;
  if (!s10 && !s7) return (8 * p / d + 8 * q / d) % 65536;
  return 2 * (4 * p / d + 4 * q / d) % 65536;
}

template <class Regs>
std::int64_t MinFrameLength(const Regs& r) {
  const std::int64_t b0 = r.r10 % 2, b6 = r.r10 / 64 % 2, b7 = r.r10 / 128 % 2;
  const std::int64_t b8 = r.r7 / 256 % 2;
  const std::int64_t mode_overhead = (b0 ? 2 : 1) * (b7 + 2 * b0 + b6);
  const std::int64_t o =
      (11 + 6 * (1 - b8) + mode_overhead + Window(r.r23, r.r19, r, b8) + r.r57 / 4096 % 8) % 65536;
  const bool overlapped = r.r11 / 4 % 2 == 1 && r.r11 / 16 % 4 != 1;
  if (!overlapped) return (r.r13 + r.r14 + r.r16 % 2048 + o + 2) % 65536;
  return std::max<std::int64_t>(r.r13 + r.r16 % 2048 + o + 1, r.r14 + 1) % 65536;
}

template <class Regs>
std::int64_t MinLineLength(const Regs& r, std::int64_t mhz) {
  const std::int64_t mode = r.r11 / 16 % 4;
  const std::int64_t wl = std::max<std::int64_t>(Window(r.r25, r.r21, r, mode), 1028);
  const std::int64_t y = mode == 0 ? r.r73 / 256 : mode == 3 ? 3 : r.r73 % 256;
  const std::int64_t h = mhz / 2 % 65536, f = mhz % 65536;
  const std::int64_t a = ((r.r6 / 256 + 1064) * h / f + 2 * y + 72) % 65536;
  const std::int64_t b = (wl * h / f + 40 * h / f) % 65536;
  return std::max(a, b) / 8;
}

// Nearest integer (halves away from zero) of num / den, low 16 bits; a zero divisor gives
// the integer-indefinite value, whose low bits are 0.
inline std::int64_t Quotient16(std::int64_t num, std::int64_t den) {
  if (den == 0) return 0;
  return std::llround(static_cast<double>(num) / static_cast<double>(den)) % 65536;
}

struct Split {
  std::int64_t ll, fl, t;
};

inline Split SplitTime(std::int64_t t, std::int64_t fl_min, std::int64_t ll_min) {
  t = std::min(std::max(t, fl_min * ll_min), kMaxFrameTime);
  auto clamp_fl = [&](std::int64_t fl) { return fl > 65534 ? 65534 : std::max(fl, fl_min); };
  const std::int64_t fl1 = clamp_fl(Quotient16(t, ll_min));
  const std::int64_t ll =
      std::max<std::int64_t>(std::min<std::int64_t>(Quotient16(t, fl1), 2047), ll_min);
  return {ll, clamp_fl(Quotient16(t, ll)), t};
}

}  // namespace timing_ref
