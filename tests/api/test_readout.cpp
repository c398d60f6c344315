// Readout mode (register 11 bits 4-5, tuning registers of variant 0x0900) and the HDR switch.
#include <functional>

#include "fixture.h"
#include "register_log.h"

namespace kt {
namespace {

constexpr std::uint16_t kR11 = 11;
constexpr std::uint16_t kVariant = 127;

class Readout : public CameraTest {
 protected:
  void SetVariant(std::uint16_t variant) { camera_->SetRegister(kVariant, variant); }
  std::vector<RegisterAccess> Accesses() const { return RegisterAccesses(camera_->Log()); }
};

TEST_F(Readout, GetReadsBitsFourAndFiveOfRegister11UnderTheLock) {
  // 0x00E5: bits 4-5 hold 2; the bits around them are set to show they are masked off.
  camera_->SetRegister(kR11, 0xFFE5);
  std::uint32_t mode = 99;
  ASSERT_EQ(kepra_GetReadoutMode(h(), &mode), 1u);
  EXPECT_EQ(mode, 2u);
  EXPECT_TRUE(Locked(camera_->Log()));
  EXPECT_EQ(Accesses(), (std::vector{Read(kR11)}));
  camera_->SetRegister(kR11, 0x0010);
  ASSERT_EQ(kepra_GetReadoutMode(h(), &mode), 1u);
  EXPECT_EQ(mode, 1u);
}

TEST_F(Readout, SetKeepsTheOtherBitsOfRegister11) {
  SetVariant(0x0800);
  camera_->SetRegister(kR11, 0x00CC);
  ASSERT_EQ(kepra_SetReadoutMode(h(), 1), 1u);
  EXPECT_EQ(camera_->Register(kR11), 0x00DC);
  EXPECT_TRUE(Locked(camera_->Log()));
  // Variant 0x0800: the variant, register 11, and the one write; no tuning.
  EXPECT_EQ(Accesses(), (std::vector{Read(kVariant), Read(kR11), Write(kR11, 0x00DC)}));
  EXPECT_TRUE(rig_.DebugLines().empty());
}

TEST_F(Readout, Variant0800TakesOnlyTheTwoLowBitsOfTheMode) {
  SetVariant(0x0800);
  camera_->SetRegister(kR11, 0xFFFF);
  ASSERT_EQ(kepra_SetReadoutMode(h(), 5), 1u);
  EXPECT_EQ(camera_->Register(kR11), 0xFFDF);  // mode 1
  ASSERT_EQ(kepra_SetReadoutMode(h(), 4), 1u);
  EXPECT_EQ(camera_->Register(kR11), 0xFFCF);  // mode 0
  std::uint32_t mode = 7;
  ASSERT_EQ(kepra_GetReadoutMode(h(), &mode), 1u);
  EXPECT_EQ(mode, 0u);
}

TEST_F(Readout, Variant0900WritesTheTuningRegistersOfEachMode) {
  struct Row {
    std::uint32_t mode;
    std::uint16_t r65, r70, r109;
  };
  const Row rows[] = {
      {0, 0xE930, 0x4300, 0x516E}, {1, 0xE915, 0x4222, 0x4C5C}, {2, 0xE915, 0x4222, 0x4C5C}};
  ASSERT_EQ(camera_->Register(kVariant), 0x0900);  // the camera's power-on variant
  for (const Row& row : rows) {
    camera_->SetRegister(kR11, 0x1234);
    camera_->ClearLog();
    ASSERT_EQ(kepra_SetReadoutMode(h(), row.mode), 1u) << row.mode;
    const auto r11 = static_cast<std::uint16_t>((0x1234 & ~0x0030) | row.mode << 4);
    EXPECT_EQ(Accesses(),
              (std::vector{Read(kVariant), Read(kR11), Write(kR11, r11), Write(65, row.r65),
                           Write(70, row.r70), Write(109, row.r109)}))
        << row.mode;
    EXPECT_TRUE(Locked(camera_->Log()));
  }
  EXPECT_TRUE(rig_.DebugLines().empty());
}

TEST_F(Readout, Variant0900ModesAbove2WriteRegister11OnlyAndFailSilently) {
  // Mode 3 has no tuning row; mode 6 reaches the register as 2 but is still "above 2".
  const std::pair<std::uint32_t, std::uint16_t> cases[] = {{3, 0x0030}, {6, 0x0020}};
  for (const auto& [mode, field] : cases) {
    camera_->SetRegister(kR11, 0x00C4);
    camera_->ClearLog();
    kepra_SetLastError(kSentinel);
    EXPECT_EQ(kepra_SetReadoutMode(h(), mode), 0u) << mode;
    EXPECT_EQ(kepra_GetLastError(), kSentinel) << mode;
    const auto r11 = static_cast<std::uint16_t>(0x00C4 | field);
    EXPECT_EQ(Accesses(), (std::vector{Read(kVariant), Read(kR11), Write(kR11, r11)})) << mode;
    EXPECT_TRUE(Locked(camera_->Log())) << mode;  // released on the failure path too
    EXPECT_TRUE(rig_.DebugLines().empty()) << mode;
  }
  camera_->SetRegister(kR11, 0x0000);
  ASSERT_EQ(kepra_SetReadoutMode(h(), 3), 0u);
  std::uint32_t mode = 0;
  ASSERT_EQ(kepra_GetReadoutMode(h(), &mode), 1u);
  EXPECT_EQ(mode, 3u);
}

TEST_F(Readout, UnknownVariantWritesNothing) {
  SetVariant(0x0A00);
  camera_->SetRegister(kR11, 0x00CC);
  kepra_SetLastError(kSentinel);
  EXPECT_EQ(kepra_SetReadoutMode(h(), 1), 0u);
  EXPECT_EQ(kepra_GetLastError(), kSentinel);
  EXPECT_EQ(Accesses(), (std::vector{Read(kVariant)}));
  EXPECT_EQ(camera_->Register(kR11), 0x00CC);
  EXPECT_TRUE(rig_.DebugLines().empty());
}

TEST_F(Readout, AFailedRegisterRequestEndsTheSetWithItsLineAndKeepsEarlierWrites) {
  struct Case {
    std::uint64_t nth;  // which register request fails
    const char* line;
    std::vector<RegisterAccess> expected;
  };
  const Case cases[] = {
      {1, "CxReadSensorReg failed", {Read(kVariant, false)}},
      {2, "CxReadSensorReg failed", {Read(kVariant), Read(kR11, false)}},
      {3, "CxWriteSensorReg failed", {Read(kVariant), Read(kR11), Write(kR11, 0x0020, false)}},
      {4,
       "CxWriteSensorReg failed",
       {Read(kVariant), Read(kR11), Write(kR11, 0x0020), Write(65, 0xE915, false)}},
      {5,
       "CxWriteSensorReg failed",
       {Read(kVariant), Read(kR11), Write(kR11, 0x0020), Write(65, 0xE915),
        Write(70, 0x4222, false)}},
      {6,
       "CxWriteSensorReg failed",
       {Read(kVariant), Read(kR11), Write(kR11, 0x0020), Write(65, 0xE915), Write(70, 0x4222),
        Write(109, 0x4C5C, false)}},
  };
  for (const Case& c : cases) {
    camera_->SetRegister(kR11, 0);
    camera_->SetRegister(65, 0);
    camera_->SetRegister(70, 0);
    camera_->SetRegister(109, 0);
    camera_->ClearLog();
    camera_->AddFault(NthFault(io::IOCTL_SENSOR_REG, c.nth, 0x1F));
    EXPECT_EQ(kepra_SetReadoutMode(h(), 2), 0u) << c.nth;
    EXPECT_EQ(kepra_GetLastError(), 0x1Fu) << c.nth;
    EXPECT_EQ(Accesses(), c.expected) << c.nth;
    EXPECT_EQ(rig_.DebugLines(), (std::vector<std::string>{c.line})) << c.nth;
    EXPECT_TRUE(Locked(camera_->Log())) << c.nth;
    // Nothing is undone: the register 11 write and the tuning writes before the failure stay.
    EXPECT_EQ(camera_->Register(kR11), c.nth > 3 ? 0x0020 : 0) << c.nth;
    EXPECT_EQ(camera_->Register(65), c.nth > 4 ? 0xE915 : 0) << c.nth;
    EXPECT_EQ(camera_->Register(70), c.nth > 5 ? 0x4222 : 0) << c.nth;
    EXPECT_EQ(camera_->Register(109), 0) << c.nth;
  }
}

TEST_F(Readout, GetReportsAFailedReadAndLeavesTheModeAlone) {
  FailCode(io::IOCTL_SENSOR_REG, 0x1F);
  std::uint32_t mode = 42;
  EXPECT_EQ(kepra_GetReadoutMode(h(), &mode), 0u);
  EXPECT_EQ(kepra_GetLastError(), 0x1Fu);
  EXPECT_EQ(mode, 42u);
  EXPECT_EQ(rig_.DebugLines(), (std::vector<std::string>{"CxReadSensorReg failed"}));
  EXPECT_TRUE(Locked(camera_->Log()));
}

TEST_F(Readout, SetHdrSendsOneForAnyNonZeroByte) {
  const std::pair<std::uint8_t, std::uint8_t> cases[] = {{0x80, 1}, {1, 1}, {0xFF, 1}, {0, 0}};
  for (const auto& [arg, sent] : cases) {
    camera_->ClearLog();
    ASSERT_EQ(kepra_SetHDR(h(), arg), 1u) << int{arg};
    const auto work = WorkRequests();
    ASSERT_EQ(work.size(), 1u);
    EXPECT_EQ(work[0].code, io::IOCTL_HDR);
    EXPECT_EQ(work[0].in, Bytes({sent}));
    EXPECT_EQ(work[0].out_size, 0u);
    EXPECT_TRUE(Locked(camera_->Log()));
    EXPECT_EQ(camera_->Settings().hdr, sent);
  }
}

TEST_F(Readout, GetHdrDeliversTheDriversByteUnchanged) {
  auto settings = camera_->Settings();
  settings.hdr = 0x5A;
  camera_->SetSettings(settings);
  std::uint8_t hdr = 0;
  ASSERT_EQ(kepra_GetHDR(h(), &hdr), 1u);
  EXPECT_EQ(hdr, 0x5A);
  const auto work = WorkRequests();
  ASSERT_EQ(work.size(), 1u);
  EXPECT_EQ(work[0].code, io::IOCTL_HDR);
  EXPECT_TRUE(work[0].in.empty());
  EXPECT_EQ(work[0].out_size, 1u);
  EXPECT_TRUE(Locked(camera_->Log()));
  ASSERT_EQ(kepra_SetHDR(h(), 7), 1u);
  ASSERT_EQ(kepra_GetHDR(h(), &hdr), 1u);
  EXPECT_EQ(hdr, 1);
}

TEST_F(Readout, AFailedHdrRequestWritesNoLine) {
  FailCode(io::IOCTL_HDR, 0x1F, 2);
  std::uint8_t hdr = 0x33;
  EXPECT_EQ(kepra_GetHDR(h(), &hdr), 0u);
  EXPECT_EQ(kepra_GetLastError(), 0x1Fu);
  EXPECT_EQ(hdr, 0x33);
  EXPECT_EQ(kepra_SetHDR(h(), 1), 0u);
  EXPECT_EQ(kepra_GetLastError(), 0x1Fu);
  EXPECT_TRUE(rig_.DebugLines().empty());
  EXPECT_EQ(camera_->Settings().hdr, 0);
}

TEST_F(Readout, InvalidHandleAndNullPointersAreRefusedWith87AndALine) {
  std::uint32_t mode = 5;
  std::uint8_t hdr = 5;
  struct Case {
    const char* what;
    std::uint32_t result;
    const char* line;
  };
  const Case cases[] = {
      {"GetReadoutMode(invalid)", kepra_GetReadoutMode(KEPRA_INVALID_HANDLE, &mode),
       "H is not valid"},
      {"GetReadoutMode(invalid, null)", kepra_GetReadoutMode(KEPRA_INVALID_HANDLE, nullptr),
       "H is not valid"},
      {"GetReadoutMode(null)", kepra_GetReadoutMode(h(), nullptr), "Mode is NULL"},
      {"SetReadoutMode(invalid)", kepra_SetReadoutMode(KEPRA_INVALID_HANDLE, 1), "H is not valid"},
      {"GetHDR(invalid)", kepra_GetHDR(KEPRA_INVALID_HANDLE, &hdr), "H is not valid"},
      {"GetHDR(invalid, null)", kepra_GetHDR(KEPRA_INVALID_HANDLE, nullptr), "H is not valid"},
      {"GetHDR(null)", kepra_GetHDR(h(), nullptr), "pHDR is NULL"},
      {"SetHDR(invalid)", kepra_SetHDR(KEPRA_INVALID_HANDLE, 1), "H is not valid"},
  };
  // Each call above ran in order; compare results and lines one by one.
  const auto lines = rig_.DebugLines();
  ASSERT_EQ(lines.size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(cases[i].result, 0u) << cases[i].what;
    EXPECT_EQ(lines[i], cases[i].line) << cases[i].what;
  }
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_PARAMETER);
  EXPECT_EQ(mode, 5u);
  EXPECT_EQ(hdr, 5);
  EXPECT_TRUE(camera_->Log().empty());
}

TEST_F(Readout, NothingIsSentWhenTheLockCannotBeTaken) {
  std::uint32_t mode = 0;
  std::uint8_t hdr = 0;
  const std::function<std::uint32_t()> calls[] = {
      [&] { return kepra_GetReadoutMode(h(), &mode); },
      [&] { return kepra_SetReadoutMode(h(), 1); },
      [&] { return kepra_GetHDR(h(), &hdr); },
      [&] { return kepra_SetHDR(h(), 1); },
  };
  for (const auto& call : calls) {
    camera_->ClearLog();
    FailCode(io::IOCTL_DEVICE_INDEX, 0x1F);
    EXPECT_EQ(call(), 0u);
    EXPECT_EQ(kepra_GetLastError(), KEPRA_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Codes(), (std::vector<std::uint32_t>{io::IOCTL_DEVICE_INDEX}));
  }
  EXPECT_TRUE(rig_.DebugLines().empty());
}

}  // namespace
}  // namespace kt
