#include "core/timing_math.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kepra::core {
namespace {

constexpr double kTwoPow63 = 9223372036854775808.0;
constexpr uint64_t kIntegerIndefinite = 0x8000000000000000u;

// Converts an already integral double to int64 bits; out-of-range and NaN inputs would be
// undefined behaviour in C++, so they get the value the x86 conversion instructions produce.
KEPRA_BINARY64_MATH uint64_t IntegralToInt64Bits(double integral) {
  if (!(integral >= -kTwoPow63 && integral < kTwoPow63)) return kIntegerIndefinite;
  return static_cast<uint64_t>(static_cast<int64_t>(integral));
}

uint16_t Low16(uint64_t v) { return static_cast<uint16_t>(v & 0xFFFFu); }

// The quotient F × kRateConstant / rate, without ever dividing by zero: a zero rate yields
// NaN, which every conversion below maps to the integer-indefinite value.
KEPRA_BINARY64_MATH double RateQuotient(uint32_t f_mhz, double rate) {
  if (rate == 0.0) return std::numeric_limits<double>::quiet_NaN();
  return static_cast<double>(f_mhz) * kRateConstant / rate;
}

// t / den rounded and reduced to 16 bits. A zero divisor would give ±inf or NaN, which the
// conversion maps to 0 anyway; returning that directly avoids the division.
KEPRA_BINARY64_MATH uint16_t RoundedQuotient16(double t, uint16_t den) {
  if (den == 0) return 0;
  return RoundToReg16(t / static_cast<double>(den));
}

}  // namespace

TimingRegs TimingRegsFromBlock(const std::array<uint16_t, kBlockRegisterCount>& words, uint16_t r57,
                               uint16_t r73) {
  auto reg = [&words](int number) {
    return words[static_cast<size_t>(number - kBlockFirstRegister)];
  };
  return TimingRegs{reg(4),  reg(6),  reg(7),  reg(8),  reg(10), reg(11), reg(12), reg(13), reg(14),
                    reg(16), reg(19), reg(21), reg(23), reg(25), reg(26), r57,     r73};
}

uint16_t WindowTerm(uint16_t p, uint16_t q, uint16_t r7, uint16_t r10, uint16_t r26,
                    uint16_t both_bits_value) {
  const bool scale_r10 = (r10 & 0x0001u) != 0;
  const bool scale_r7 = (r7 & 0x0400u) != 0;
  if (scale_r10 && scale_r7) return both_bits_value;

  const uint32_t pm = p & 0x07FFu;
  const uint32_t qm = q & 0x07FFu;
  const uint32_t d = (static_cast<uint32_t>(r26) >> 8) + 8;  // never 0
  uint32_t term;
  if (!scale_r10 && !scale_r7) {
    term = (8 * pm) / d + (8 * qm) / d;
  } else {
    // Halving before the division and doubling after keeps the term even.
    term = 2 * ((4 * pm) / d + (4 * qm) / d);
  }
  return Low16(term);
}

uint16_t FrameWindowTerm(uint16_t r7, uint16_t r10, uint16_t r19, uint16_t r23, uint16_t r26) {
  return WindowTerm(r23, r19, r7, r10, r26, static_cast<uint16_t>((r7 >> 8) & 1u));
}

uint16_t LineWindowTerm(uint16_t r7, uint16_t r10, uint16_t r11, uint16_t r21, uint16_t r25,
                        uint16_t r26) {
  return WindowTerm(r25, r21, r7, r10, r26, static_cast<uint16_t>((r11 >> 4) & 3u));
}

uint16_t CxCalcMinFrameLength(uint16_t r7, uint16_t r10, uint16_t r11, uint16_t r13, uint16_t r14,
                              uint16_t r16, uint16_t r19, uint16_t r23, uint16_t r26,
                              uint16_t r57) {
  const uint32_t b0 = r10 & 1u;
  const uint32_t b6 = (r10 >> 6) & 1u;
  const uint32_t b7 = (r10 >> 7) & 1u;
  const uint32_t b8 = (r7 >> 8) & 1u;

  const uint32_t mode_overhead = (1u << b0) * (b7 + 2 * b0 + b6);
  const uint32_t window = FrameWindowTerm(r7, r10, r19, r23, r26);
  const uint32_t extra = (static_cast<uint32_t>(r57) >> 12) & 7u;
  const uint32_t overhead = Low16(11 + 6 * (1 - b8) + mode_overhead + window + extra);

  // Readout mode 1 cannot overlap exposure with readout, whatever bit 2 says.
  const bool overlapped = (r11 & 0x0004u) != 0 && (r11 & 0x0030u) != 0x0010u;
  const uint32_t lines16 = r16 & 0x07FFu;
  if (!overlapped) return Low16(uint32_t{r13} + r14 + lines16 + overhead + 2);

  const uint32_t readout = uint32_t{r13} + lines16 + overhead + 1;
  const uint32_t exposure = uint32_t{r14} + 1;
  return Low16(std::max(readout, exposure));
}

uint16_t CxCalcMinFrameLength(const TimingRegs& regs) {
  return CxCalcMinFrameLength(regs.r7, regs.r10, regs.r11, regs.r13, regs.r14, regs.r16, regs.r19,
                              regs.r23, regs.r26, regs.r57);
}

bool FrequencyUsable(uint32_t frequency_mhz) { return (frequency_mhz & 0xFFFFu) != 0; }

uint16_t CxCalcMinLineLength(uint16_t r6, uint16_t r7, uint16_t r10, uint16_t r11, uint16_t r21,
                             uint16_t r25, uint16_t r26, uint16_t r73, uint32_t frequency_mhz) {
  if (!FrequencyUsable(frequency_mhz)) return 0;
  const uint64_t h = (frequency_mhz >> 1) & 0xFFFFu;
  const uint64_t f = frequency_mhz & 0xFFFFu;

  uint64_t window = LineWindowTerm(r7, r10, r11, r21, r25, r26);
  if (window < 1028) window = 1028;

  const uint32_t mode = (r11 >> 4) & 3u;
  uint64_t y;
  if (mode == 0) {
    y = r73 >> 8;
  } else if (mode == 3) {
    y = 3;
  } else {
    y = r73 & 0xFFu;
  }

  // Products stay below 2^32, but 64 bits make that obvious; only the sums wrap to 16 bits.
  const uint64_t fixed = Low16(((r6 >> 8) + 1064u) * h / f + 2 * y + 72);
  const uint64_t windowed = Low16(window * h / f + 40 * h / f);
  return static_cast<uint16_t>(std::max(fixed, windowed) / 8);
}

uint16_t CxCalcMinLineLength(const TimingRegs& regs, uint32_t frequency_mhz) {
  return CxCalcMinLineLength(regs.r6, regs.r7, regs.r10, regs.r11, regs.r21, regs.r25, regs.r26,
                             regs.r73, frequency_mhz);
}

uint32_t FrameTime(uint16_t r4, uint16_t r12) { return (r4 & 0x07FFu) * uint32_t{r12}; }

uint32_t MinFrameTime(uint16_t fl_min, uint16_t ll_min) { return uint32_t{fl_min} * ll_min; }

uint16_t LineLengthRegister(uint16_t r4, uint16_t line_length) {
  return static_cast<uint16_t>((r4 & 0xF800u) | line_length);
}

KEPRA_BINARY64_MATH uint64_t RoundToInt64Bits(double x) {
  return IntegralToInt64Bits(std::round(x));
}

KEPRA_BINARY64_MATH uint64_t TruncToInt64Bits(double x) {
  return IntegralToInt64Bits(std::trunc(x));
}

KEPRA_BINARY64_MATH uint16_t RoundToReg16(double x) { return Low16(RoundToInt64Bits(x)); }

KEPRA_BINARY64_MATH FrameTimeSplit SplitFrameTime(uint32_t requested, uint16_t fl_min,
                                                  uint16_t ll_min) {
  uint32_t t = requested;
  const uint32_t t_min = MinFrameTime(fl_min, ll_min);
  if (t < t_min) t = t_min;
  if (t > kMaxFrameTime) t = kMaxFrameTime;  // applied last, so it wins over t_min
  const double td = static_cast<double>(t);

  uint16_t fl1 = RoundedQuotient16(td, ll_min);
  if (fl1 > kMaxFrameLength) {
    fl1 = kMaxFrameLength;
  } else if (fl1 < fl_min) {
    fl1 = fl_min;
  }

  uint16_t ll = RoundedQuotient16(td, fl1);
  if (ll > kMaxLineLength) ll = kMaxLineLength;
  if (ll < ll_min) ll = ll_min;

  uint16_t fl = RoundedQuotient16(td, ll);
  if (fl > kMaxFrameLength) {
    fl = kMaxFrameLength;
  } else if (fl < fl_min) {
    fl = fl_min;
  }
  return FrameTimeSplit{ll, fl, t};
}

KEPRA_BINARY64_MATH double FrameRateFromTime(uint32_t f_mhz, uint32_t frame_time) {
  const double numerator = static_cast<double>(f_mhz) * kRateConstant;
  if (frame_time == 0) {
    return numerator == 0.0 ? std::numeric_limits<double>::quiet_NaN()
                            : std::numeric_limits<double>::infinity();
  }
  return numerator / static_cast<double>(frame_time);
}

KEPRA_BINARY64_MATH uint32_t FrameTimeFromRateRounded(uint32_t f_mhz, double rate) {
  return static_cast<uint32_t>(RoundToInt64Bits(RateQuotient(f_mhz, rate)));
}

KEPRA_BINARY64_MATH uint32_t FrameTimeFromRateTruncated(uint32_t f_mhz, double rate) {
  return static_cast<uint32_t>(TruncToInt64Bits(RateQuotient(f_mhz, rate)));
}

KEPRA_BINARY64_MATH bool FrameRateRequestValid(uint32_t f_mhz, double rate) {
  if (!(rate > 0.0) || std::isinf(rate)) return false;
  // Compared after rounding: a quotient just below 2^32 would round up to it and wrap to 0.
  return std::round(RateQuotient(f_mhz, rate)) < 4294967296.0;
}

}  // namespace kepra::core
