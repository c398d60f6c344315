// Direct sensor-register access.
#include "fixture.h"

namespace kt {
namespace {

class Registers : public CameraTest {};

TEST_F(Registers, ReadUsesTheLow16BitsOfTheAddress) {
  camera_->SetRegister(0x2345, 0xBEEF);
  std::uint16_t value = 0;
  ASSERT_EQ(kepra_ReadSensorReg(h(), 0x12345, &value), 1u);
  EXPECT_EQ(value, 0xBEEF);
  const auto work = WorkRequests();
  ASSERT_EQ(work.size(), 1u);
  EXPECT_EQ(work[0].code, io::IOCTL_SENSOR_REG);
  EXPECT_EQ(work[0].in, Bytes({0x45, 0x23}));
  EXPECT_EQ(work[0].out_size, 2u);
}

TEST_F(Registers, WriteSendsAddressAndValueLittleEndian) {
  ASSERT_EQ(kepra_WriteSensorReg(h(), 0x0C, 0x1F000), 1u);
  const auto work = WorkRequests();
  ASSERT_EQ(work.size(), 1u);
  EXPECT_EQ(work[0].in, Bytes({0x0C, 0x00, 0x00, 0xF0}));
  EXPECT_EQ(work[0].out_size, 0u);
  EXPECT_EQ(camera_->Register(0x0C), 0xF000);
}

TEST_F(Registers, InvalidHandleFailsWith87AndSendsNothing) {
  std::uint16_t value = 7;
  EXPECT_EQ(kepra_ReadSensorReg(KEPRA_INVALID_HANDLE, 1, &value), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_PARAMETER);
  EXPECT_EQ(kepra_WriteSensorReg(KEPRA_INVALID_HANDLE, 1, 1), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_PARAMETER);
  EXPECT_EQ(value, 7);
  EXPECT_TRUE(camera_->Log().empty());
  EXPECT_TRUE(rig_.DebugLines().empty());
}

TEST_F(Registers, AFailedRequestKeepsItsErrorAndReleasesTheLock) {
  FailCode(io::IOCTL_SENSOR_REG, 0x1F);
  std::uint16_t value = 0x4242;
  EXPECT_EQ(kepra_ReadSensorReg(h(), 3, &value), 0u);
  EXPECT_EQ(kepra_GetLastError(), 0x1Fu);
  EXPECT_EQ(value, 0x4242);
  // The lock was released: the index was asked for before and after the failed request.
  EXPECT_EQ(Codes(), (std::vector<std::uint32_t>{io::IOCTL_DEVICE_INDEX, io::IOCTL_SENSOR_REG,
                                                 io::IOCTL_DEVICE_INDEX}));
  EXPECT_EQ(kepra_WriteSensorReg(h(), 3, 9), 1u);
}

}  // namespace
}  // namespace kt
