#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "core/timing_math.h"

namespace kepra::core {
namespace {

// ---------------------------------------------------------------------------------------------
// Independent reference: the timing rules written out plainly with wide signed integers and an
// explicit % 65536 wherever a value is kept to 16 bits.

int64_t RefWindow(int64_t p, int64_t q, int64_t r7, int64_t r10, int64_t r26, int64_t both) {
  p %= 2048;
  q %= 2048;
  const int64_t d = r26 / 256 + 8;
  const bool bit_r10 = r10 % 2 == 1;
  const bool bit_r7 = (r7 / 1024) % 2 == 1;
  if (bit_r10 && bit_r7) return both;
  if (!bit_r10 && !bit_r7) return (8 * p / d + 8 * q / d) % 65536;
  return (2 * (4 * p / d + 4 * q / d)) % 65536;
}

int64_t RefMinFrameLength(const TimingRegs& r) {
  const int64_t b0 = r.r10 % 2;
  const int64_t b6 = (r.r10 / 64) % 2;
  const int64_t b7 = (r.r10 / 128) % 2;
  const int64_t b8 = (r.r7 / 256) % 2;
  int64_t p = b7 + 2 * b0 + b6;
  if (b0 == 1) p *= 2;
  const int64_t wf = RefWindow(r.r23, r.r19, r.r7, r.r10, r.r26, b8);
  const int64_t e = (r.r57 / 4096) % 8;
  const int64_t o = (11 + 6 * (1 - b8) + p + wf + e) % 65536;
  const int64_t mode = (r.r11 / 16) % 4;
  const bool overlapped = (r.r11 / 4) % 2 == 1 && mode != 1;
  const int64_t r16 = r.r16 % 2048;
  if (!overlapped) return (r.r13 + r.r14 + r16 + o + 2) % 65536;
  const int64_t l1 = r.r13 + r16 + o + 1;
  const int64_t l2 = r.r14 + 1;
  return std::max(l1, l2) % 65536;
}

int64_t RefMinLineLength(const TimingRegs& r, int64_t freq) {
  const int64_t mode = (r.r11 / 16) % 4;
  int64_t wl = RefWindow(r.r25, r.r21, r.r7, r.r10, r.r26, mode);
  if (wl < 1028) wl = 1028;
  int64_t y = 3;
  if (mode == 0) y = r.r73 / 256;
  if (mode == 1 || mode == 2) y = r.r73 % 256;
  const int64_t h = (freq / 2) % 65536;
  const int64_t f = freq % 65536;
  const int64_t a = ((r.r6 / 256 + 1064) * h / f + 2 * y + 72) % 65536;
  const int64_t b = (wl * h / f + 40 * h / f) % 65536;
  return std::max(a, b) / 8;
}

// Rounded quotient of two positive integers, reduced to 16 bits.
int64_t RefRoundedQuotient16(int64_t num, int64_t den) {
  return std::llround(static_cast<double>(num) / static_cast<double>(den)) % 65536;
}

FrameTimeSplit RefSplit(int64_t t, int64_t fl_min, int64_t ll_min) {
  t = std::max(t, fl_min * ll_min);
  t = std::min<int64_t>(t, 65534LL * 2047LL);
  int64_t fl1 = RefRoundedQuotient16(t, ll_min);
  if (fl1 > 65534) {
    fl1 = 65534;
  } else if (fl1 < fl_min) {
    fl1 = fl_min;
  }
  int64_t ll = RefRoundedQuotient16(t, fl1);
  ll = std::min<int64_t>(ll, 2047);
  ll = std::max(ll, ll_min);
  int64_t fl = RefRoundedQuotient16(t, ll);
  if (fl > 65534) {
    fl = 65534;
  } else if (fl < fl_min) {
    fl = fl_min;
  }
  return FrameTimeSplit{static_cast<uint16_t>(ll), static_cast<uint16_t>(fl),
                        static_cast<uint32_t>(t)};
}

// A register state with the window, overhead and mode fields all zero.
TimingRegs QuietRegs() { return TimingRegs{}; }

// ---------------------------------------------------------------------------------------------

TEST(TimingSnapshot, BlockWordsLandInTheirRegisters) {
  std::array<uint16_t, kBlockRegisterCount> words{};
  for (size_t k = 0; k < words.size(); ++k) words[k] = static_cast<uint16_t>(0x1000 + 4 + k);
  const TimingRegs r = TimingRegsFromBlock(words, 0x1039, 0x1049);
  EXPECT_EQ(r.r4, 0x1000 + 4);
  EXPECT_EQ(r.r6, 0x1000 + 6);
  EXPECT_EQ(r.r7, 0x1000 + 7);
  EXPECT_EQ(r.r8, 0x1000 + 8);
  EXPECT_EQ(r.r10, 0x1000 + 10);
  EXPECT_EQ(r.r11, 0x1000 + 11);
  EXPECT_EQ(r.r12, 0x1000 + 12);
  EXPECT_EQ(r.r13, 0x1000 + 13);
  EXPECT_EQ(r.r14, 0x1000 + 14);
  EXPECT_EQ(r.r16, 0x1000 + 16);
  EXPECT_EQ(r.r19, 0x1000 + 19);
  EXPECT_EQ(r.r21, 0x1000 + 21);
  EXPECT_EQ(r.r23, 0x1000 + 23);
  EXPECT_EQ(r.r25, 0x1000 + 25);
  EXPECT_EQ(r.r26, 0x1000 + 26);
  EXPECT_EQ(r.r57, 0x1039);
  EXPECT_EQ(r.r73, 0x1049);
}

TEST(TimingConstants, TickFactorAndRateConstantAreReciprocal) {
  EXPECT_EQ(kTickFactor, 15.999554533002907);
  EXPECT_EQ(1000000.0 / kTickFactor, kRateConstant);
  EXPECT_EQ(kMaxFrameTime, 65534u * 2047u);
}

// ---------------------------------------------------------------------------------------------
// Window term

TEST(WindowTerm, UnscaledDividesEachInputByTheDivisor) {
  // Divisor 8 (register 26 high byte 0): 8 × 1024 / 8 + 0.
  EXPECT_EQ(FrameWindowTerm(/*r7=*/0, /*r10=*/0, /*r19=*/0, /*r23=*/1024, /*r26=*/0), 1024);
  // Odd results are possible without scaling.
  EXPECT_EQ(FrameWindowTerm(0, 0, 0, 1023, 0), 1023);
  // Divisor 16 from the high byte; the low byte of register 26 plays no part.
  EXPECT_EQ(FrameWindowTerm(0, 0, 500, 1000, 0x0800), 8000 / 16 + 4000 / 16);
  EXPECT_EQ(FrameWindowTerm(0, 0, 500, 1000, 0x08FF), 8000 / 16 + 4000 / 16);
  // The two quotients truncate separately: 24/16 + 24/16 = 1 + 1.
  EXPECT_EQ(FrameWindowTerm(0, 0, 3, 3, 0x0800), 2);
}

TEST(WindowTerm, EitherScalingBitHalvesThenDoubles) {
  // Register 7 bit 10 alone, and register 10 bit 0 alone: 2 × (4 × 1023 / 8 + 0) = 1022.
  EXPECT_EQ(FrameWindowTerm(0x0400, 0, 0, 1023, 0), 1022);
  EXPECT_EQ(FrameWindowTerm(0, 0x0001, 0, 1023, 0), 1022);
  // 2 × (12/16 + 12/16) = 0, where the unscaled form gave 2.
  EXPECT_EQ(FrameWindowTerm(0x0400, 0, 3, 3, 0x0800), 0);
  EXPECT_EQ(LineWindowTerm(0, 0x0001, 0, 0, 1023, 0), 1022);
}

TEST(WindowTerm, BothScalingBitsGiveTheFallbackValue) {
  const uint16_t r10 = 0x0001;
  // Frame window: register 7 bit 8; the window registers are ignored.
  EXPECT_EQ(FrameWindowTerm(0x0400, r10, 2000, 2000, 0), 0);
  EXPECT_EQ(FrameWindowTerm(0x0500, r10, 2000, 2000, 0), 1);
  // Line window: readout mode, bits 4-5 of register 11.
  for (uint16_t mode = 0; mode < 4; ++mode) {
    EXPECT_EQ(LineWindowTerm(0x0400, r10, static_cast<uint16_t>(mode << 4), 2000, 2000, 0), mode);
  }
  EXPECT_EQ(WindowTerm(2000, 2000, 0x0400, r10, 0, 77), 77);
}

TEST(WindowTerm, InputsAreMaskedToElevenBits) {
  EXPECT_EQ(FrameWindowTerm(0, 0, 0xF800, 0xF805, 0), 5);
  EXPECT_EQ(LineWindowTerm(0, 0, 0, 0xFFFF, 0, 0), 2047);
}

TEST(WindowTerm, ScaledTermIsAlwaysEven) {
  for (uint16_t high = 0; high < 256; high += 5) {
    const auto r26 = static_cast<uint16_t>(high << 8);
    for (uint16_t p = 0; p < 2048; p += 7) {
      for (uint16_t q = 0; q < 2048; q += 331) {
        EXPECT_EQ(WindowTerm(p, q, 0x0400, 0, r26, 0) % 2, 0) << p << ' ' << q << ' ' << high;
        EXPECT_EQ(WindowTerm(p, q, 0, 1, r26, 0) % 2, 0) << p << ' ' << q << ' ' << high;
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Minimum frame length

TEST(MinFrameLength, SequentialAddsEverythingPlusOverhead) {
  TimingRegs r = QuietRegs();
  r.r13 = 10;
  r.r14 = 100;
  r.r16 = 0xF805;  // only bits 0-10 count
  // Overhead: 11 + 6 (register 7 bit 8 clear).
  EXPECT_EQ(CxCalcMinFrameLength(r), 10 + 100 + 5 + 17 + 2);
  // Each further line of exposure adds one line.
  r.r14 = 101;
  EXPECT_EQ(CxCalcMinFrameLength(r), 10 + 101 + 5 + 17 + 2);
  // Bit 8 of register 7 drops the 6 extra lines.
  r.r7 = 0x0100;
  EXPECT_EQ(CxCalcMinFrameLength(r), 10 + 101 + 5 + 11 + 2);
}

TEST(MinFrameLength, ModeOverheadFromRegister10) {
  TimingRegs r = QuietRegs();
  r.r7 = 0x0100;  // no 6-line overhead, so the result is 11 + P + 2
  const struct {
    uint16_t r10;
    int p;
  } cases[] = {{0x0000, 0}, {0x0040, 1}, {0x0080, 1}, {0x00C0, 2},
               {0x0001, 4}, {0x0041, 6}, {0x0081, 6}, {0x00C1, 8}};
  for (const auto& c : cases) {
    r.r10 = c.r10;
    EXPECT_EQ(CxCalcMinFrameLength(r), 11 + c.p + 2) << std::hex << c.r10;
  }
}

TEST(MinFrameLength, Register57AddsBits12To14) {
  TimingRegs r = QuietRegs();
  r.r57 = 0x7000;
  EXPECT_EQ(CxCalcMinFrameLength(r), 17 + 7 + 2);
  r.r57 = 0x8FFF;  // bit 15 and the low bits are not part of the field
  EXPECT_EQ(CxCalcMinFrameLength(r), 17 + 0 + 2);
  r.r57 = 0x3000;
  EXPECT_EQ(CxCalcMinFrameLength(r), 17 + 3 + 2);
}

TEST(MinFrameLength, WindowTermEntersTheOverhead) {
  TimingRegs r = QuietRegs();
  r.r23 = 1024;
  r.r19 = 16;
  EXPECT_EQ(CxCalcMinFrameLength(r), 17 + 1024 + 16 + 2);
  // Both scaling bits: the window term is register 7 bit 8 (here 1), which also drops the six
  // lines; register 10 bit 0 makes the mode overhead 4.
  r.r7 = 0x0500;
  r.r10 = 0x0001;
  EXPECT_EQ(CxCalcMinFrameLength(r), 11 + 4 + 1 + 2);
}

TEST(MinFrameLength, Register11SelectsSequentialOrOverlapped) {
  TimingRegs r = QuietRegs();
  r.r13 = 10;
  r.r14 = 100;
  r.r16 = 5;
  const int sequential = 10 + 100 + 5 + 17 + 2;
  const int overlapped = std::max(10 + 5 + 17 + 1, 100 + 1);
  const struct {
    uint16_t r11;
    int expected;
  } cases[] = {{0x0000, sequential}, {0x0004, overlapped}, {0x0014, sequential},
               {0x0024, overlapped}, {0x0034, overlapped}, {0x0030, sequential},
               {0x0008, sequential}, {0xFFEF, overlapped}, {0xFFDF, sequential}};
  for (const auto& c : cases) {
    r.r11 = c.r11;
    EXPECT_EQ(CxCalcMinFrameLength(r), c.expected) << std::hex << c.r11;
  }
}

TEST(MinFrameLength, OverlappedLongExposureNoLongerDependsOnWindow) {
  TimingRegs r = QuietRegs();
  r.r11 = 0x0004;
  r.r13 = 20;
  r.r16 = 30;
  // Readout part: 20 + 30 + 17 + 1 = 68 lines.
  r.r14 = 10;
  EXPECT_EQ(CxCalcMinFrameLength(r), 68);
  r.r14 = 67;
  EXPECT_EQ(CxCalcMinFrameLength(r), 68);
  r.r14 = 500;
  EXPECT_EQ(CxCalcMinFrameLength(r), 501);
  // Widening the window raises the readout part to 1092, above the exposure.
  r.r23 = 1024;
  EXPECT_EQ(CxCalcMinFrameLength(r), 68 + 1024);
  // A longer exposure takes over again and the window no longer matters.
  r.r14 = 3000;
  EXPECT_EQ(CxCalcMinFrameLength(r), 3001);
  r.r23 = 0;
  EXPECT_EQ(CxCalcMinFrameLength(r), 3001);
}

TEST(MinFrameLength, SumsWrapToSixteenBits) {
  TimingRegs r = QuietRegs();
  r.r13 = 65535;
  r.r14 = 65535;
  EXPECT_EQ(CxCalcMinFrameLength(r), (65535 + 65535 + 17 + 2) % 65536);
  // Overlapped: the larger of the full sums is taken first, then reduced; an exposure of 65535
  // needs 65536 lines, which wraps to 0.
  r.r11 = 0x0004;
  r.r13 = 0;
  EXPECT_EQ(CxCalcMinFrameLength(r), 0);
  r.r13 = 65535;
  r.r16 = 0x07FF;
  EXPECT_EQ(CxCalcMinFrameLength(r), (65535 + 2047 + 17 + 1) % 65536);
}

TEST(MinFrameLength, MatchesPlainReimplementationOnRandomStates) {
  std::mt19937 rng(20240611u);
  std::uniform_int_distribution<uint32_t> any16(0, 0xFFFF);
  for (int i = 0; i < 200000; ++i) {
    TimingRegs r{};
    uint16_t* fields[] = {&r.r4,  &r.r6,  &r.r7,  &r.r8,  &r.r10, &r.r11, &r.r12, &r.r13, &r.r14,
                          &r.r16, &r.r19, &r.r21, &r.r23, &r.r25, &r.r26, &r.r57, &r.r73};
    for (uint16_t* field : fields) *field = static_cast<uint16_t>(any16(rng));
    // Keep the exposure and frame registers small half of the time so no wrap hides errors.
    if (i % 2 == 0) {
      r.r13 = static_cast<uint16_t>(r.r13 % 3000);
      r.r14 = static_cast<uint16_t>(r.r14 % 3000);
    }
    ASSERT_EQ(CxCalcMinFrameLength(r), RefMinFrameLength(r)) << "state " << i;
    ASSERT_EQ(
        CxCalcMinFrameLength(r.r7, r.r10, r.r11, r.r13, r.r14, r.r16, r.r19, r.r23, r.r26, r.r57),
        RefMinFrameLength(r))
        << "state " << i;
  }
}

// ---------------------------------------------------------------------------------------------
// Minimum line length

TimingRegs WideLineWindow() {
  TimingRegs r = QuietRegs();
  r.r25 = 1280;  // line window term 1280 at divisor 8
  return r;
}

TEST(MinLineLength, WorkedExampleAt40MHz) {
  // h = 20, f = 40: A = 1064 × 20 / 40 + 72 = 604, B = 1280 × 20 / 40 + 40 × 20 / 40 = 660.
  EXPECT_EQ(CxCalcMinLineLength(WideLineWindow(), 40), 660 / 8);
  EXPECT_EQ(CxCalcMinLineLength(WideLineWindow(), 40), 82);
  EXPECT_EQ(CxCalcMinLineLength(0, 0, 0, 0, 0, 1280, 0, 0, 40), 82);
}

TEST(MinLineLength, OtherClocks) {
  const TimingRegs r = WideLineWindow();
  // Even clocks halve exactly.
  EXPECT_EQ(CxCalcMinLineLength(r, 48), 82);
  EXPECT_EQ(CxCalcMinLineLength(r, 114), 82);
  // F = 41: h = 20, f = 41; each quotient truncates on its own.
  EXPECT_EQ(CxCalcMinLineLength(r, 41),
            std::max(1064 * 20 / 41 + 72, 1280 * 20 / 41 + 40 * 20 / 41) / 8);
  // F = 1: h = 0, so only 2 × Y + 72 remains.
  EXPECT_EQ(CxCalcMinLineLength(r, 1), 72 / 8);
  // F = 5: h = 2.
  EXPECT_EQ(CxCalcMinLineLength(r, 5), std::max(1064 * 2 / 5 + 72, 1280 * 2 / 5 + 40 * 2 / 5) / 8);
}

TEST(MinLineLength, Register6HighByteWidensTheFixedPart) {
  TimingRegs r = WideLineWindow();
  r.r6 = 0xFF00;
  // (255 + 1064) × 57 exceeds 16 bits before the division; only the final sum is reduced.
  EXPECT_EQ(CxCalcMinLineLength(r, 114), ((255 + 1064) * 57 / 114 + 72) / 8);
  r.r6 = 0x00FF;  // low byte is ignored
  EXPECT_EQ(CxCalcMinLineLength(r, 114), 82);
}

TEST(MinLineLength, Register73ByteChosenByReadoutMode) {
  TimingRegs r = QuietRegs();  // window 0, clamped to 1028: B = 514 + 20 at 40 MHz
  r.r73 = 0x40C8;              // high byte 64, low byte 200
  const struct {
    uint16_t r11;
    int y;
  } cases[] = {{0x0000, 64}, {0x0010, 200}, {0x0020, 200}, {0x0030, 3}};
  for (const auto& c : cases) {
    r.r11 = c.r11;
    EXPECT_EQ(CxCalcMinLineLength(r, 40), std::max(532 + 2 * c.y + 72, 514 + 20) / 8)
        << std::hex << c.r11;
  }
}

TEST(MinLineLength, WindowBelow1028IsRaisedTo1028) {
  // The clamp only shows where the window part wins; F = 65540 gives h = 32770, f = 4.
  TimingRegs r = QuietRegs();
  const int expected = ((1028 * 32770 / 4 + 40 * 32770 / 4) % 65536) / 8;
  EXPECT_EQ(CxCalcMinLineLength(r, 65540), expected);
  // Both scaling bits: the window term is the readout mode, raised to 1028 as well.
  r.r7 = 0x0400;
  r.r10 = 0x0001;
  r.r11 = 0x0030;
  r.r73 = 0;
  const int fixed = (1064 * 32770 / 4 + 2 * 3 + 72) % 65536;
  const int windowed = (1028 * 32770 / 4 + 40 * 32770 / 4) % 65536;
  EXPECT_EQ(CxCalcMinLineLength(r, 65540), std::max(fixed, windowed) / 8);
  // A window of exactly 1028 is the same; one of 1036 is not.
  r = QuietRegs();
  r.r25 = 1028;
  EXPECT_EQ(CxCalcMinLineLength(r, 65540), expected);
  r.r25 = 1036;
  EXPECT_EQ(CxCalcMinLineLength(r, 65540), ((1036 * 32770 / 4 + 40 * 32770 / 4) % 65536) / 8);
}

TEST(MinLineLength, UnusableFrequencyGivesZeroInsteadOfDividing) {
  EXPECT_FALSE(FrequencyUsable(0));
  EXPECT_FALSE(FrequencyUsable(0x10000));
  EXPECT_FALSE(FrequencyUsable(0xFFFF0000u));
  EXPECT_TRUE(FrequencyUsable(1));
  EXPECT_TRUE(FrequencyUsable(0x10001));
  EXPECT_TRUE(FrequencyUsable(114));
  EXPECT_EQ(CxCalcMinLineLength(WideLineWindow(), 0), 0);
  EXPECT_EQ(CxCalcMinLineLength(WideLineWindow(), 0x10000), 0);
  EXPECT_EQ(CxCalcMinLineLength(WideLineWindow(), 0x30000), 0);
}

TEST(MinLineLength, MatchesPlainReimplementationOnRandomStates) {
  std::mt19937 rng(7u);
  std::uniform_int_distribution<uint32_t> any16(0, 0xFFFF);
  std::uniform_int_distribution<uint32_t> clock(1, 200);
  std::uniform_int_distribution<uint32_t> any32(0, 0xFFFFFFFFu);
  for (int i = 0; i < 200000; ++i) {
    TimingRegs r{};
    uint16_t* fields[] = {&r.r4,  &r.r6,  &r.r7,  &r.r8,  &r.r10, &r.r11, &r.r12, &r.r13, &r.r14,
                          &r.r16, &r.r19, &r.r21, &r.r23, &r.r25, &r.r26, &r.r57, &r.r73};
    for (uint16_t* field : fields) *field = static_cast<uint16_t>(any16(rng));
    uint32_t freq = (i % 4 == 0) ? any32(rng) : clock(rng);
    if ((freq & 0xFFFF) == 0) freq |= 1;
    ASSERT_EQ(CxCalcMinLineLength(r, freq), RefMinLineLength(r, freq))
        << "state " << i << " F " << freq;
    ASSERT_EQ(CxCalcMinLineLength(r.r6, r.r7, r.r10, r.r11, r.r21, r.r25, r.r26, r.r73, freq),
              RefMinLineLength(r, freq))
        << "state " << i;
  }
}

// ---------------------------------------------------------------------------------------------
// Register helpers

TEST(FrameRegisters, FrameTimeAndLineLengthField) {
  EXPECT_EQ(FrameTime(0xF852, 1100), 82u * 1100u);  // bits 11-15 of register 4 ignored
  EXPECT_EQ(FrameTime(0x07FF, 65535), 2047u * 65535u);
  EXPECT_EQ(FrameTime(100, 0), 0u);
  EXPECT_EQ(MinFrameTime(1100, 82), 90200u);
  EXPECT_EQ(MinFrameTime(65535, 8191), 65535u * 8191u);
  EXPECT_EQ(LineLengthRegister(0xA801, 82), 0xA800 | 82);
  EXPECT_EQ(LineLengthRegister(0x07FF, 2047), 2047);
}

// ---------------------------------------------------------------------------------------------
// Double to register conversion

TEST(RoundToReg16, HalvesAwayFromZeroThenLow16Bits) {
  EXPECT_EQ(RoundToReg16(2.5), 3);
  EXPECT_EQ(RoundToReg16(2.4999999999999996), 2);
  EXPECT_EQ(RoundToReg16(0.49999999999999994), 0);  // x + 0.5 would round this up
  EXPECT_EQ(RoundToReg16(1219.5121951219512), 1220);
  EXPECT_EQ(RoundToReg16(-2.5), 65536 - 3);
  EXPECT_EQ(RoundToReg16(-1.0), 65535);
  EXPECT_EQ(RoundToReg16(65534.4), 65534);
  EXPECT_EQ(RoundToReg16(65535.5), 0);  // 65536 wraps, no saturation
  EXPECT_EQ(RoundToReg16(65537.4), 1);
  EXPECT_EQ(RoundToReg16(1635951.9), 1635952 % 65536);
}

TEST(RoundToReg16, OutsideInt64RangeIsZeroNotUndefined) {
  // Largest double below 2^63 still converts: 2^63 − 1024 ends in 0xFC00.
  EXPECT_EQ(RoundToReg16(9223372036854774784.0), 0xFC00);
  EXPECT_EQ(RoundToInt64Bits(9223372036854774784.0), 0x7FFFFFFFFFFFFC00u);
  EXPECT_EQ(RoundToInt64Bits(9223372036854775808.0), 0x8000000000000000u);
  EXPECT_EQ(RoundToInt64Bits(-9223372036854775808.0), 0x8000000000000000u);
  EXPECT_EQ(RoundToInt64Bits(-1e300), 0x8000000000000000u);
  EXPECT_EQ(RoundToInt64Bits(std::numeric_limits<double>::infinity()), 0x8000000000000000u);
  EXPECT_EQ(RoundToInt64Bits(std::numeric_limits<double>::quiet_NaN()), 0x8000000000000000u);
  EXPECT_EQ(RoundToReg16(1e300), 0);
  EXPECT_EQ(RoundToReg16(std::numeric_limits<double>::quiet_NaN()), 0);
}

TEST(TruncToInt64Bits, DropsTheFraction) {
  EXPECT_EQ(TruncToInt64Bits(2.9), 2u);
  EXPECT_EQ(TruncToInt64Bits(-2.9), static_cast<uint64_t>(-2LL));
  EXPECT_EQ(TruncToInt64Bits(4294967296.5), 4294967296u);
  EXPECT_EQ(TruncToInt64Bits(std::numeric_limits<double>::infinity()), 0x8000000000000000u);
}

// ---------------------------------------------------------------------------------------------
// Splitting a frame time

TEST(SplitFrameTime, WorkedExamplesWithMinimums1100And82) {
  FrameTimeSplit s = SplitFrameTime(50000, 1100, 82);  // below Tmin = 90200
  EXPECT_EQ(s.line_length, 82);
  EXPECT_EQ(s.frame_length, 1100);
  EXPECT_EQ(s.clamped_time, 90200u);

  s = SplitFrameTime(100000, 1100, 82);
  EXPECT_EQ(s.line_length, 82);
  EXPECT_EQ(s.frame_length, 1220);
  EXPECT_EQ(s.clamped_time, 100000u);
  EXPECT_EQ(uint32_t{s.line_length} * s.frame_length, 100040u);

  for (uint32_t t : {134148099u, 200000000u, 0xFFFFFFFFu}) {
    s = SplitFrameTime(t, 1100, 82);
    EXPECT_EQ(s.line_length, 2047) << t;
    EXPECT_EQ(s.frame_length, 65534) << t;
    EXPECT_EQ(s.clamped_time, kMaxFrameTime) << t;
  }
  for (uint32_t t : {134148098u, 134148097u}) {
    s = SplitFrameTime(t, 1100, 82);
    EXPECT_EQ(s.line_length, 2047) << t;
    EXPECT_EQ(s.frame_length, 65534) << t;
    EXPECT_EQ(s.clamped_time, t) << t;
  }
}

TEST(SplitFrameTime, UpperClampWinsOverTheMinimum) {
  // Tmin = 40000 × 4000 = 160000000 is above the maximum, which is applied last.
  const FrameTimeSplit s = SplitFrameTime(0, 40000, 4000);
  EXPECT_EQ(s.clamped_time, kMaxFrameTime);
  // FL1 = round(134148098 / 4000) = 33537, raised to 40000; LL = round(3353.7) = 3354, cut to
  // 2047 then raised to 4000; FL = 33537 again, raised to 40000.
  EXPECT_EQ(s.line_length, 4000);
  EXPECT_EQ(s.frame_length, 40000);
}

TEST(SplitFrameTime, QuotientsWrapToSixteenBitsBeforeClamping) {
  // FL1 = 70000 wraps to 4464; LL = round(70000 / 4464 = 15.68) = 16; FL = 70000 / 16 = 4375.
  FrameTimeSplit s = SplitFrameTime(70000, 1, 1);
  EXPECT_EQ(s.line_length, 16);
  EXPECT_EQ(s.frame_length, 4375);
  EXPECT_EQ(70000 % 65536, 4464);

  // FL1 = 131071 wraps to 65535 and is cut to 65534; LL = round(2.00002) = 2; FL = round(65535.5)
  // = 65536 wraps to 0 and is raised to the minimum of 1.
  s = SplitFrameTime(131071, 1, 1);
  EXPECT_EQ(s.line_length, 2);
  EXPECT_EQ(s.frame_length, 1);
}

TEST(SplitFrameTime, ZeroMinimumsStayDefined) {
  // A line-length minimum of 0 (unusable clock) must not crash; the result is simply invalid.
  const FrameTimeSplit s = SplitFrameTime(1000, 0, 0);
  EXPECT_EQ(s.clamped_time, 1000u);
  EXPECT_EQ(s.line_length, 0);
  EXPECT_EQ(s.frame_length, 0);
}

TEST(SplitFrameTime, MatchesPlainReimplementation) {
  std::mt19937 rng(99u);
  std::uniform_int_distribution<uint32_t> fl_dist(1, 65535);
  std::uniform_int_distribution<uint32_t> ll_dist(1, 8191);
  std::uniform_int_distribution<uint32_t> small_fl(1, 3000);
  std::uniform_int_distribution<uint32_t> small_ll(1, 300);
  std::uniform_int_distribution<uint32_t> any32(0, 0xFFFFFFFFu);
  std::uniform_int_distribution<uint32_t> in_range(0, 140000000u);
  for (int i = 0; i < 300000; ++i) {
    const bool small = i % 2 == 0;
    const auto fl_min = static_cast<uint16_t>(small ? small_fl(rng) : fl_dist(rng));
    const auto ll_min = static_cast<uint16_t>(small ? small_ll(rng) : ll_dist(rng));
    const uint32_t t = (i % 8 == 0) ? any32(rng) : in_range(rng);
    const FrameTimeSplit got = SplitFrameTime(t, fl_min, ll_min);
    const FrameTimeSplit want = RefSplit(t, fl_min, ll_min);
    ASSERT_EQ(got.clamped_time, want.clamped_time) << t << ' ' << fl_min << ' ' << ll_min;
    ASSERT_EQ(got.line_length, want.line_length) << t << ' ' << fl_min << ' ' << ll_min;
    ASSERT_EQ(got.frame_length, want.frame_length) << t << ' ' << fl_min << ' ' << ll_min;
  }
}

// ---------------------------------------------------------------------------------------------
// Frame rate

TEST(FrameRate, FromFrameTime) {
  EXPECT_EQ(FrameRateFromTime(40, 90200), 40.0 * 62501.74015390621 / 90200.0);
  EXPECT_NEAR(FrameRateFromTime(40, 90200), 27.717, 0.0005);
  EXPECT_NEAR(FrameRateFromTime(40, kMaxFrameTime), 0.018637, 0.0000005);
  // One frame-time unit at 1 MHz lasts kTickFactor microseconds.
  EXPECT_NEAR(FrameRateFromTime(1, 1) * kTickFactor, 1000000.0, 1e-6);
}

TEST(FrameRate, ZeroFrameTimeIsInfinite) {
  EXPECT_EQ(FrameRateFromTime(40, 0), std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(FrameRateFromTime(0, 0)));
  EXPECT_EQ(FrameRateFromTime(0, 100), 0.0);
}

TEST(FrameRate, RoundTripThroughRateRecoversFrameTime) {
  for (uint32_t t : {90200u, 100040u, 1u, 7u, 134148098u}) {
    for (uint32_t f : {4u, 40u, 48u, 114u}) {
      EXPECT_EQ(FrameTimeFromRateRounded(f, FrameRateFromTime(f, t)), t) << f << ' ' << t;
      const uint32_t truncated = FrameTimeFromRateTruncated(f, FrameRateFromTime(f, t));
      EXPECT_TRUE(truncated == t || truncated + 1 == t) << f << ' ' << t << ' ' << truncated;
    }
  }
}

TEST(FrameRate, LimitRatesLandOnTheLimitLengths) {
  // Going to the maximum rate (minimum frame time 1100 × 82) and to the minimum rate truncates;
  // either way the split reaches the limit lengths.
  const double max_rate = FrameRateFromTime(40, 90200);
  FrameTimeSplit s = SplitFrameTime(FrameTimeFromRateTruncated(40, max_rate), 1100, 82);
  EXPECT_EQ(s.line_length, 82);
  EXPECT_EQ(s.frame_length, 1100);
  const double min_rate = FrameRateFromTime(40, kMaxFrameTime);
  const uint32_t slowest = FrameTimeFromRateTruncated(40, min_rate);
  EXPECT_TRUE(slowest == kMaxFrameTime || slowest == kMaxFrameTime - 1) << slowest;
  s = SplitFrameTime(slowest, 1100, 82);
  EXPECT_EQ(s.line_length, 2047);
  EXPECT_EQ(s.frame_length, 65534);
}

TEST(FrameRate, RoundedAndTruncatedConversionsDiffer) {
  // A rate whose frame time is about 1000.7 units.
  const double rate = 40.0 * kRateConstant / 1000.7;
  EXPECT_EQ(FrameTimeFromRateRounded(40, rate), 1001u);
  EXPECT_EQ(FrameTimeFromRateTruncated(40, rate), 1000u);
  // Negative rates are refused by the validity check; unchecked they keep the low 32 bits.
  EXPECT_EQ(FrameTimeFromRateRounded(40, -rate), 0x100000000ull - 1001u);
  EXPECT_EQ(FrameTimeFromRateTruncated(40, -rate), 0x100000000ull - 1000u);
  // A zero rate never divides; it gives 0.
  EXPECT_EQ(FrameTimeFromRateRounded(40, 0.0), 0u);
  EXPECT_EQ(FrameTimeFromRateTruncated(40, 0.0), 0u);
}

TEST(FrameRate, EvaluatesClockTimesConstantFirst) {
  // F × C / x must be computed left to right in double; F × (C / x) differs in the last bit
  // often enough to change a truncated frame time.
  std::mt19937 rng(3u);
  std::uniform_int_distribution<uint32_t> clock(4, 114);
  std::uniform_real_distribution<double> rates(0.02, 5000.0);
  std::uniform_int_distribution<uint32_t> times(1, kMaxFrameTime);
  for (int i = 0; i < 100000; ++i) {
    const uint32_t f = clock(rng);
    // Rates of whole frame times give quotients next to integers, where the order shows.
    const double rate =
        (i % 2 == 0) ? rates(rng)
                     : static_cast<double>(f) * 62501.74015390621 / static_cast<double>(times(rng));
    const double quotient = static_cast<double>(f) * 62501.74015390621 / rate;
    ASSERT_EQ(FrameTimeFromRateTruncated(f, rate), static_cast<uint32_t>(quotient))
        << f << ' ' << rate;
    ASSERT_EQ(FrameTimeFromRateRounded(f, rate), static_cast<uint32_t>(std::llround(quotient)))
        << f << ' ' << rate;
    const uint32_t t = times(rng);
    ASSERT_EQ(FrameRateFromTime(f, t),
              static_cast<double>(f) * 62501.74015390621 / static_cast<double>(t));
  }
}

TEST(FrameRate, RequestValidity) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_FALSE(FrameRateRequestValid(40, 0.0));
  EXPECT_FALSE(FrameRateRequestValid(40, -0.0));
  EXPECT_FALSE(FrameRateRequestValid(40, -27.7));
  EXPECT_FALSE(FrameRateRequestValid(40, nan));
  EXPECT_FALSE(FrameRateRequestValid(40, inf));
  EXPECT_FALSE(FrameRateRequestValid(40, -inf));
  EXPECT_FALSE(FrameRateRequestValid(40, std::numeric_limits<double>::denorm_min()));
  EXPECT_TRUE(FrameRateRequestValid(40, 27.7));
  EXPECT_TRUE(FrameRateRequestValid(40, 1e9));  // rounds to 0, then clamped to the minimum
  EXPECT_TRUE(FrameRateRequestValid(40, FrameRateFromTime(40, kMaxFrameTime)));
  // Frame times near 2^32: one that rounds up to 2^32 would wrap, so it is refused.
  EXPECT_TRUE(FrameRateRequestValid(40, 40.0 * kRateConstant / 4294967000.0));
  EXPECT_TRUE(FrameRateRequestValid(40, 40.0 * kRateConstant / 4294967295.3));
  EXPECT_FALSE(FrameRateRequestValid(40, 40.0 * kRateConstant / 4294967295.7));
  EXPECT_FALSE(FrameRateRequestValid(40, 40.0 * kRateConstant / 4294967296.0));
  EXPECT_FALSE(FrameRateRequestValid(40, 40.0 * kRateConstant / 1e12));
}

}  // namespace
}  // namespace kepra::core
