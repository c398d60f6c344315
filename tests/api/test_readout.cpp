// Readout mode (register 11 bits 4-5, tuning registers of variant 0x0900) and the HDR switch.
#include "fixture.h"

namespace kt {
namespace {

class Readout : public CameraTest {
 protected:
  void SetVariant(std::uint16_t variant) { camera_->SetRegister(127, variant); }
};

TEST_F(Readout, GetReadsBitsFourAndFiveOfRegister11UnderTheLock) {
  // Bits 4-5 hold 2; the bits around them are set to show they are masked off.
  camera_->SetRegister(11, 0xFFE5);
  std::uint32_t mode = 99;
  ASSERT_EQ(kepra_GetReadoutMode(h(), &mode), 1u);
  EXPECT_EQ(mode, 2u);
  EXPECT_TRUE(Locked());
  EXPECT_EQ(Ops(), (Words{"R11"}));
  camera_->SetRegister(11, 0x0010);
  ASSERT_EQ(kepra_GetReadoutMode(h(), &mode), 1u);
  EXPECT_EQ(mode, 1u);
}

TEST_F(Readout, Variant0800KeepsTheOtherBitsAndTakesTheTwoLowBitsOfTheMode) {
  SetVariant(0x0800);
  camera_->SetRegister(11, 0x00CC);
  camera_->ClearLog();
  ASSERT_EQ(kepra_SetReadoutMode(h(), 1), 1u);
  // The variant, register 11, and the one write; no tuning.
  EXPECT_EQ(Ops(), (Words{"R127", "R11", "W11=00DC"}));
  EXPECT_TRUE(Locked());
  camera_->SetRegister(11, 0xFFFF);
  ASSERT_EQ(kepra_SetReadoutMode(h(), 5), 1u);
  EXPECT_EQ(camera_->Register(11), 0xFFDF);  // mode 1
  ASSERT_EQ(kepra_SetReadoutMode(h(), 4), 1u);
  EXPECT_EQ(camera_->Register(11), 0xFFCF);  // mode 0
  EXPECT_TRUE(rig_.DebugLines().empty());
}

TEST_F(Readout, Variant0900WritesTheTuningRegistersOfEachMode) {
  const struct {
    std::uint32_t mode;
    Words writes;
  } rows[] = {
      {0, {"W11=1204", "W65=E930", "W70=4300", "W109=516E"}},
      {1, {"W11=1214", "W65=E915", "W70=4222", "W109=4C5C"}},
      {2, {"W11=1224", "W65=E915", "W70=4222", "W109=4C5C"}},
  };
  ASSERT_EQ(camera_->Register(127), 0x0900);  // the camera's power-on variant
  for (const auto& row : rows) {
    camera_->SetRegister(11, 0x1234);
    camera_->ClearLog();
    ASSERT_EQ(kepra_SetReadoutMode(h(), row.mode), 1u) << row.mode;
    Words expected{"R127", "R11"};
    expected.insert(expected.end(), row.writes.begin(), row.writes.end());
    EXPECT_EQ(Ops(), expected) << row.mode;
    EXPECT_TRUE(Locked());
  }
  EXPECT_TRUE(rig_.DebugLines().empty());
}

TEST_F(Readout, Variant0900ModesAbove2WriteRegister11OnlyAndFailSilently) {
  // Mode 3 has no tuning row; mode 6 reaches the register as 2 but is still "above 2".
  for (const auto& [mode, written] : {std::pair{3u, "W11=00F4"}, std::pair{6u, "W11=00E4"}}) {
    camera_->SetRegister(11, 0x00C4);
    camera_->ClearLog();
    kepra_SetLastError(kSentinel);
    EXPECT_EQ(kepra_SetReadoutMode(h(), mode), 0u) << mode;
    EXPECT_EQ(kepra_GetLastError(), kSentinel) << mode;
    EXPECT_EQ(Ops(), (Words{"R127", "R11", written})) << mode;
    EXPECT_TRUE(Locked()) << mode;  // released on the failure path too
  }
  EXPECT_TRUE(rig_.DebugLines().empty());
  ASSERT_EQ(kepra_SetReadoutMode(h(), 3), 0u);
  std::uint32_t mode = 0;
  ASSERT_EQ(kepra_GetReadoutMode(h(), &mode), 1u);
  EXPECT_EQ(mode, 3u);
}

TEST_F(Readout, UnknownVariantWritesNothing) {
  SetVariant(0x0A00);
  camera_->SetRegister(11, 0x00CC);
  camera_->ClearLog();
  kepra_SetLastError(kSentinel);
  EXPECT_EQ(kepra_SetReadoutMode(h(), 1), 0u);
  EXPECT_EQ(kepra_GetLastError(), kSentinel);
  EXPECT_EQ(Ops(), (Words{"R127"}));
  EXPECT_TRUE(rig_.DebugLines().empty());
}

TEST_F(Readout, SetHdrSendsOneForAnyNonZeroByteAndGetDeliversTheDriversByte) {
  for (const auto& [arg, sent] : {std::pair{0x80, 1}, std::pair{0xFF, 1}, std::pair{0, 0}}) {
    camera_->ClearLog();
    ASSERT_EQ(kepra_SetHDR(h(), static_cast<std::uint8_t>(arg)), 1u) << arg;
    ExpectOneRequest(io::IOCTL_HDR, Bytes({sent}), 0, true);
  }

  auto settings = camera_->Settings();
  settings.hdr = 0x5A;
  camera_->SetSettings(settings);
  camera_->ClearLog();
  std::uint8_t hdr = 0;
  ASSERT_EQ(kepra_GetHDR(h(), &hdr), 1u);
  EXPECT_EQ(hdr, 0x5A);
  ExpectOneRequest(io::IOCTL_HDR, {}, 1, true);
}

}  // namespace
}  // namespace kt
