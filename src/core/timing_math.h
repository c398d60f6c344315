// Pure arithmetic of the sensor's frame timing: minimum frame and line lengths, the split of a
// frame time into line and frame length, and the frame-rate conversions.
//
// Everything here is a function of values only (no device access), so it can be tested
// exhaustively without a camera.
// Callers rely on bit-identical results, so the order of the double operations below is
// deliberate and must not be "simplified".

#ifndef KEPRA_CORE_TIMING_MATH_H_
#define KEPRA_CORE_TIMING_MATH_H_

#include <array>
#include <bit>
#include <cstdint>

// Marks definitions whose double arithmetic must be plain binary64, one rounding per
// operation. GCC's 32-bit x86 default is the x87 unit, whose extended intermediates are
// rounded twice and change last bits; such functions are compiled for SSE2 instead.
#if defined(__GNUC__) && !defined(__clang__) && (defined(__i386__) || defined(__x86_64__)) && \
    !defined(__SSE2_MATH__)
#define KEPRA_BINARY64_MATH __attribute__((target("sse2,fpmath=sse")))
#else
#define KEPRA_BINARY64_MATH
#endif

namespace kepra::core {

// The 17 timing registers read in one go, in snapshot order.
struct TimingRegs {
  uint16_t r4, r6, r7, r8, r10, r11, r12, r13, r14, r16, r19, r21, r23, r25, r26, r57, r73;
};

// The block read covers registers 4..26 in one request; 57 and 73 are read singly.
inline constexpr uint16_t kBlockFirstRegister = 4;
inline constexpr uint16_t kBlockRegisterCount = 23;

// Picks the snapshot registers out of the 23 words of the block read (word k holds register
// 4 + k) and adds the two singly read registers.
TimingRegs TimingRegsFromBlock(const std::array<uint16_t, kBlockRegisterCount>& words, uint16_t r57,
                               uint16_t r73);

// 65534 lines × 2047 units: the largest frame length and line length ever written.
inline constexpr uint32_t kMaxFrameTime = 134148098;
inline constexpr uint16_t kMaxFrameLength = 65534;
inline constexpr uint16_t kMaxLineLength = 2047;
static_assert(uint32_t{kMaxFrameLength} * kMaxLineLength == kMaxFrameTime);

// Sensor-clock periods per line-length unit. Built from its bit pattern so that no decimal
// literal parsing can shift it by an ulp.
inline constexpr double kTickFactor = std::bit_cast<double>(uint64_t{0x402FFFC59C9BA1D0});
static_assert(kTickFactor == 15.999554533002907);

// Frames per second per MHz for a frame time of one unit: one million over the tick factor.
inline constexpr double kRateConstant = 62501.74015390621;
static_assert(1000000.0 / kTickFactor == kRateConstant);

// Window term shared by both minimum lengths. p and q are masked to 11 bits, the divisor is
// (high byte of r26) + 8, and bit 0 of r10 / bit 10 of r7 select the scaling. When both
// scaling bits are set no division is done and `both_bits_value` is returned instead.
uint16_t WindowTerm(uint16_t p, uint16_t q, uint16_t r7, uint16_t r10, uint16_t r26,
                    uint16_t both_bits_value);
// Frame window term: p = r23, q = r19; bit 8 of r7 when both scaling bits are set.
uint16_t FrameWindowTerm(uint16_t r7, uint16_t r10, uint16_t r19, uint16_t r23, uint16_t r26);
// Line window term before its lower clamp: p = r25, q = r21; readout mode (bits 4-5 of r11)
// when both scaling bits are set.
uint16_t LineWindowTerm(uint16_t r7, uint16_t r10, uint16_t r11, uint16_t r21, uint16_t r25,
                        uint16_t r26);

// Minimum frame length in lines.
uint16_t CxCalcMinFrameLength(uint16_t r7, uint16_t r10, uint16_t r11, uint16_t r13, uint16_t r14,
                              uint16_t r16, uint16_t r19, uint16_t r23, uint16_t r26, uint16_t r57);
uint16_t CxCalcMinFrameLength(const TimingRegs& regs);

// True when the clock can be used by CxCalcMinLineLength (its low 16 bits are the divisor).
bool FrequencyUsable(uint32_t frequency_mhz);

// Minimum line length in line-length units (at most 8191) at clock `frequency_mhz`.
// Precondition: FrequencyUsable(frequency_mhz). Otherwise the result is 0 rather than a
// division by zero; 0 is never a usable line length, so callers can reject it.
uint16_t CxCalcMinLineLength(uint16_t r6, uint16_t r7, uint16_t r10, uint16_t r11, uint16_t r21,
                             uint16_t r25, uint16_t r26, uint16_t r73, uint32_t frequency_mhz);
uint16_t CxCalcMinLineLength(const TimingRegs& regs, uint32_t frequency_mhz);

// Frame time as the sensor currently runs: (line length bits of r4) × frame length (r12).
uint32_t FrameTime(uint16_t r4, uint16_t r12);
// Shortest frame time allowed: minimum frame length × minimum line length.
uint32_t MinFrameTime(uint16_t fl_min, uint16_t ll_min);
// Value of register 4 with a new line length, keeping bits 11-15 of the old value.
uint16_t LineLengthRegister(uint16_t r4, uint16_t line_length);

// Double to integer as the register writes need it: rounded half away from zero, then the low
// bits of the 64-bit integer. NaN and values outside the int64 range give the x86 "integer
// indefinite" value 0x8000000000000000 (so 0 in the low 16 or 32 bits) instead of undefined
// behaviour.
uint64_t RoundToInt64Bits(double x);
// As RoundToInt64Bits, but truncating toward zero.
uint64_t TruncToInt64Bits(double x);
// Rounded half away from zero, low 16 bits (no saturation: 65536.0 gives 0).
uint16_t RoundToReg16(double x);

// Result of splitting a requested frame time into line and frame length.
struct FrameTimeSplit {
  uint16_t line_length;
  uint16_t frame_length;
  uint32_t clamped_time;  // the request after the lower and upper clamps
};

// Clamps `requested` to [fl_min × ll_min, kMaxFrameTime] (the upper limit wins) and derives
// line and frame length from it. Each quotient is rounded and wraps to 16 bits before its clamp
// (no saturation). Zero minimums give defined, if useless, results; callers reject them.
FrameTimeSplit SplitFrameTime(uint32_t requested, uint16_t fl_min, uint16_t ll_min);

// F × kRateConstant / frame_time in double. A frame time of 0 gives +infinity (NaN when F is
// also 0), as the IEEE division would, without dividing by zero.
double FrameRateFromTime(uint32_t f_mhz, uint32_t frame_time);

// F × kRateConstant / rate, rounded half away from zero, low 32 bits (setting a rate).
uint32_t FrameTimeFromRateRounded(uint32_t f_mhz, double rate);
// F × kRateConstant / rate, truncated toward zero, low 32 bits (moving to a rate limit).
uint32_t FrameTimeFromRateTruncated(uint32_t f_mhz, double rate);

// Whether a requested rate gives a meaningful frame time. Zero, negative, NaN and infinite
// rates are refused, and so are rates so small that F × kRateConstant / rate, once rounded,
// reaches 2^32: their frame time would otherwise wrap to an arbitrary short value instead of
// the slow rate the caller asked for.
bool FrameRateRequestValid(uint32_t f_mhz, double rate);

}  // namespace kepra::core

#endif  // KEPRA_CORE_TIMING_MATH_H_
