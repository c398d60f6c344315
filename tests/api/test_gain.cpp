// Gains as factors, through the public API.
#include <limits>

#include "fixture.h"

namespace kt {
namespace {

class Gain : public CameraTest {};

const double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST_F(Gain, AnalogAndDigitalShareRegister17) {
  ASSERT_EQ(kepra_SetGain(h(), 2.0, 1.5), 1u);
  EXPECT_EQ(Ops(), (Words{"W17=0220"}));
  double a = 0, d = 0;
  ASSERT_EQ(kepra_GetGain(h(), &a, &d), 1u);
  EXPECT_EQ(a, 2.0);
  EXPECT_EQ(d, 1.5);

  // Factors are clamped, never refused: NaN takes the largest codes (the code of each
  // factor is checked in the arithmetic suite).
  kepra_SetLastError(kSentinel);
  ASSERT_EQ(kepra_SetGain(h(), kNaN, -1.0), 1u);
  EXPECT_EQ(camera_->Register(17), 0x0600);
  EXPECT_EQ(kepra_GetLastError(), kSentinel);
  // The high byte is the analog code, the low byte the digital one; 7 reads as 8.0.
  camera_->SetRegister(17, 0x07D0);
  ASSERT_EQ(kepra_GetGain(h(), &a, &d), 1u);
  EXPECT_EQ(a, 8.0);
  EXPECT_EQ(d, 10.0);
  EXPECT_TRUE(rig_.DebugLines().empty());
}

TEST_F(Gain, ColourGainsFillRegisters54And55) {
  ASSERT_EQ(kepra_SetGainC(h(), 1.0, 2.0, 1.3, 0.2), 1u);
  EXPECT_EQ(Ops(), (Words{"W54=80C0", "W55=9300"}));
  camera_->SetRegister(55, 0x93FF);
  camera_->ClearLog();
  double gb = 0, gr = 0, b = 0, r = 0;
  ASSERT_EQ(kepra_GetGainC(h(), &gb, &gr, &b, &r), 1u);
  EXPECT_EQ(Ops(), (Words{"R54", "R55"}));
  EXPECT_EQ(gb, 1.0);
  EXPECT_EQ(gr, 2.0);
  EXPECT_EQ(b, 1.296875);
  EXPECT_EQ(r, 3.96875);

  ASSERT_EQ(kepra_SetGainC(h(), 3.96875, 3.99, 4.0, kNaN), 1u);
  EXPECT_EQ(camera_->Register(54), 0xFFFF);
  EXPECT_EQ(camera_->Register(55), 0xFFFF);
  ASSERT_EQ(kepra_SetGainC(h(), 0.25, -1.0, 0.5, 1.9921875), 1u);
  EXPECT_EQ(camera_->Register(54), 0x0000);
  EXPECT_EQ(camera_->Register(55), 0x40C0);
}

TEST_F(Gain, SetGainPausesTwentyMillisecondsEvenWhenTheWriteFails) {
  double start = rig::NowMs();
  ASSERT_EQ(kepra_SetGain(h(), 1.0, 1.0), 1u);
  EXPECT_GE(rig::NowMs() - start, 18.0);

  FailCode(io::IOCTL_SENSOR_REG, 0x4D);
  start = rig::NowMs();
  EXPECT_EQ(kepra_SetGain(h(), 2.0, 1.5), 0u);
  EXPECT_GE(rig::NowMs() - start, 18.0);
  EXPECT_EQ(kepra_GetLastError(), 0x4Du);
  EXPECT_EQ(rig_.DebugLines(), (Lines{"CxWriteSensorReg failed"}));
  EXPECT_EQ(camera_->Register(17), 0x0000);
  EXPECT_EQ(Codes().back(), io::IOCTL_DEVICE_INDEX);  // released after the pause
}

}  // namespace
}  // namespace kt
