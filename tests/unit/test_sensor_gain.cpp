// The gain codes as the library decodes them and as the virtual camera's sensor applies them
// (two decoders written apart), each against the documented example factors, and against
// each other over every code.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "core/gain_math.h"
#include "frames.h"

namespace {

struct Example {
  std::uint8_t code;
  double factor;
};

// Digital code: coarse step k = bits 6-7, fine step m = bits 0-5.
constexpr Example kDigital[] = {
    {0x00, 1.0},       // k 0, m 0: 1 x 1
    {0x20, 1.5},       // k 0, m 32: (1 + 32/64) x 1
    {0x3F, 1.984375},  // k 0, m 63: (1 + 63/64) x 1
    {0x40, 2.0},       // k 1, m 0: 1 x 2
    {0xD0, 10.0},      // k 3, m 16: (1 + 16/64) x 8
    {0xFF, 15.875},    // k 3, m 63: (1 + 63/64) x 8
};
// Colour code: the same steps on the scale 0.25, 0.5, 1, 2.
constexpr Example kColour[] = {
    {0x00, 0.25},      // k 0, m 0: 1 x 0.25
    {0x80, 1.0},       // k 2, m 0: 1 x 1
    {0x93, 1.296875},  // k 2, m 19: (1 + 19/64) x 1
    {0xC0, 2.0},       // k 3, m 0: 1 x 2
    {0xFF, 3.96875},   // k 3, m 63: (1 + 63/64) x 2
};
// Analog code: the seven-step table; 7 reads as 8, 8 and above as 0.
constexpr Example kAnalog[] = {{0, 1.0}, {1, 1.5}, {2, 2.0}, {3, 3.0}, {4, 4.0},
                               {5, 6.0}, {6, 8.0}, {7, 8.0}, {8, 0.0}, {0xFF, 0.0}};

// The gains the virtual sensor applies for registers 17, 54 and 55.
vcam::SceneSettings Sensor(std::uint16_t r17, std::uint16_t r54, std::uint16_t r55) {
  std::array<std::uint16_t, 128> registers{};
  registers[17] = r17;
  registers[54] = r54;
  registers[55] = r55;
  return vcam::SceneFromRegisters(registers.data(), vcam::FrameParams{});
}

TEST(SensorGain, BothDecodersGiveTheDocumentedFactors) {
  for (const Example& e : kDigital) {
    EXPECT_EQ(kepra::core::DigitalGainFactor(e.code), e.factor) << int{e.code};
    EXPECT_EQ(Sensor(e.code, 0, 0).digital_gain, e.factor) << int{e.code};
  }
  for (const Example& e : kAnalog) {
    EXPECT_EQ(kepra::core::AnalogGainFactor(e.code), e.factor) << int{e.code};
    EXPECT_EQ(Sensor(static_cast<std::uint16_t>(e.code << 8), 0, 0).analog_gain, e.factor)
        << int{e.code};
  }
  for (const Example& e : kColour) {
    EXPECT_EQ(kepra::core::ColourGainFactor(e.code), e.factor) << int{e.code};
    // GB in the high byte of 54, GR in its low byte, B and R likewise in 55.
    const auto high = static_cast<std::uint16_t>(e.code << 8);
    const vcam::SceneSettings s = Sensor(0, high | 0x80, e.code);
    EXPECT_EQ(s.colour_gain[0], e.factor) << int{e.code};
    EXPECT_EQ(s.colour_gain[1], 1.0);
    EXPECT_EQ(s.colour_gain[3], e.factor) << int{e.code};
    EXPECT_EQ(Sensor(0, 0x80, high).colour_gain[2], e.factor) << int{e.code};
  }
}

TEST(SensorGain, SetGainExamplesLandOnTheSensorAsTheirFactors) {
  // kepra_SetGain(2.0, 1.5) writes 0x0220; kepra_SetGainC(1.0, 2.0, ...) writes 0x80C0 to 54.
  EXPECT_EQ(kepra::core::GainRegister(kepra::core::AnalogGainCode(2.0),
                                      kepra::core::DigitalGainCode(1.5)),
            0x0220);
  const vcam::SceneSettings s = Sensor(0x0220, 0x80C0, 0);
  EXPECT_EQ(s.analog_gain, 2.0);
  EXPECT_EQ(s.digital_gain, 1.5);
  EXPECT_EQ(s.colour_gain[0], 1.0);
  EXPECT_EQ(s.colour_gain[1], 2.0);
}

TEST(SensorGain, TheTwoDecodersAgreeAndTheLibraryEncodesEverySensorFactorBack) {
  for (unsigned c = 0; c < 256; ++c) {
    const auto code = static_cast<std::uint8_t>(c);
    const vcam::SceneSettings s = Sensor(code, static_cast<std::uint16_t>(code << 8), 0);
    EXPECT_EQ(s.digital_gain, kepra::core::DigitalGainFactor(code)) << c;
    EXPECT_EQ(s.colour_gain[0], kepra::core::ColourGainFactor(code)) << c;
    EXPECT_EQ(kepra::core::DigitalGainCode(s.digital_gain), code) << c;
    EXPECT_EQ(kepra::core::ColourGainCode(s.colour_gain[0]), code) << c;
  }
}

}  // namespace
