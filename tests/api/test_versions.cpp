// Driver and firmware versions, USB speed, driver log and device reset.
#include <cstdlib>
#include <string>

#include "fixture.h"

namespace kt {
namespace {

class Versions : public CameraTest {};

struct Word {
  std::uint32_t word;
  bool accepted;
};

TEST_F(Versions, DriverWordIsSplitIntoSignAndMagnitude) {
  // 0x00010060 is 0.1.96; 0xFFFEFFA0 is -0x00010060: sign 1, still 0.1.96; 0x00010061 has
  // build 97 and is refused with 1638, its values written all the same.
  const Word words[] = {
      {0x00010060, true},  {0xFFFEFFA0, true},  {0x00010061, false}, {0x00000060, false},
      {0x01010060, false}, {0x00020060, false}, {0x80000000, false}, {0x7FFFFFFF, false},
  };
  for (const Word& w : words) {
    SCOPED_TRACE(testing::Message() << "word 0x" << std::hex << w.word);
    camera_->SetDriverVersion(w.word);
    camera_->ClearLog();
    // Re-computed here from the word as a signed number, independently of the library.
    const long long value = static_cast<std::int32_t>(w.word);
    const unsigned long long magnitude = static_cast<unsigned long long>(std::llabs(value));
    std::uint8_t major = 0xEE, minor = 0xEE;
    std::uint16_t build = 0xEEEE;
    std::uint32_t sign = 0xEEEEEEEE;
    kepra_SetLastError(kSentinel);
    EXPECT_EQ(kepra_GetDriverVer(h(), &major, &minor, &build, &sign), w.accepted ? 1u : 0u);
    EXPECT_EQ(kepra_GetLastError(), w.accepted ? kSentinel : KEPRA_ERROR_PRODUCT_VERSION);
    EXPECT_EQ(sign, value < 0 ? 1u : 0u);
    EXPECT_EQ(major, (magnitude >> 24) & 0xFF);
    EXPECT_EQ(minor, (magnitude >> 16) & 0xFF);
    EXPECT_EQ(build, magnitude & 0xFFFF);
    ExpectOneRequest(io::IOCTL_DRIVER_VERSION, {}, 4, false);
  }
}

TEST_F(Versions, TheSignFlagMayBeNull) {
  std::uint8_t major = 0, minor = 0;
  std::uint16_t build = 0;
  EXPECT_EQ(kepra_GetDriverVer(h(), &major, &minor, &build, nullptr), 1u);
  EXPECT_EQ(build, 96);
}

TEST_F(Versions, UsbSpeedAsksForFourOrEightBytes) {
  std::uint32_t speed = 0, detail = 0xD5D5D5D5;
  ASSERT_EQ(kepra_GetUsbSpeed(h(), &speed, nullptr), 1u);
  EXPECT_EQ(speed, 3u);
  ASSERT_EQ(kepra_GetUsbSpeed(h(), &speed, &detail), 1u);
  EXPECT_EQ(speed, 3u);
  EXPECT_EQ(detail, 500000000u);  // 5 Gbit/s after 8b/10b coding
  const auto log = camera_->Log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].code, io::IOCTL_USB_SPEED);
  EXPECT_EQ(log[0].out_size, 4u);
  EXPECT_EQ(log[1].out_size, 8u);
}

TEST_F(Versions, FirmwareVersionFieldsAndOptionalPointers) {
  camera_->SetFirmware({0x0102, 0xA0B0, 0x0001, 0x0006, 0x9C});
  std::uint16_t v1 = 0, v2 = 0, v3 = 0, v4 = 0;
  std::uint8_t v5 = 0;
  ASSERT_EQ(kepra_GetFWVersion(h(), &v1, &v2, &v3, &v4, &v5), 1u);
  EXPECT_EQ(v1, 0x0102);
  EXPECT_EQ(v2, 0xA0B0);
  EXPECT_EQ(v3, 1);
  EXPECT_EQ(v4, 6);
  EXPECT_EQ(v5, 0x9C);
  v1 = v2 = v5 = 0;
  ASSERT_EQ(kepra_GetFWVersion(h(), &v1, &v2, nullptr, nullptr, &v5), 1u);
  EXPECT_EQ(v1 + v2 + v5, 0x0102 + 0xA0B0 + 0x9C);
  const auto log = camera_->Log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].code, io::IOCTL_FW_VERSION);
  EXPECT_EQ(log[0].out_size, 12u);
  EXPECT_EQ(log[1].out_size, 12u);
}

class DriverLog : public CameraTest {};

TEST_F(DriverLog, TheShortestBufferGetsATerminatedText) {
  char text[64];
  std::uint32_t returned = 99;
  ASSERT_EQ(kepra_GetDrvLogMsg(h(), text, 21, &returned), 1u);
  const auto log = camera_->Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].code, io::IOCTL_DRV_LOG_MSG);
  EXPECT_EQ(log[0].out_size, 21u);
  EXPECT_GE(returned, 1u);
  EXPECT_LE(returned, 21u);
  EXPECT_EQ(text[returned - 1], '\0');
}

class Reset : public CameraTest {};

TEST_F(Reset, ResetSendsOneBareRequestAndRestoresPowerOnRegisters) {
  const std::uint16_t power_on_variant = camera_->Register(127);
  const std::uint16_t power_on_frame_length = camera_->Register(0x0C);
  camera_->SetRegister(0x0C, 0x1234);
  camera_->SetRegister(127, 0x0001);
  ASSERT_TRUE(camera_->Flash().EraseSector(0));
  ASSERT_EQ(kepra_DeviceReset(h()), 1u);
  ExpectOneRequest(io::IOCTL_DEVICE_RESET, {}, 0, false);
  EXPECT_EQ(camera_->Register(0x0C), power_on_frame_length);
  EXPECT_EQ(camera_->Register(127), power_on_variant);
  // An erased flash holds no boot image: the driver log says the camera would not start.
  const auto lines = camera_->DriverLog();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find("stays in the boot loader"), std::string::npos) << lines.back();
}

}  // namespace
}  // namespace kt
