// Direct sensor-register access and the sensor clock.
#include <functional>
#include <limits>

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

class Frequency : public CameraTest {};

TEST_F(Frequency, GetReadsTheDriversClockUnderTheLock) {
  camera_->SetFrequency(48);
  std::uint32_t mhz = 0;
  ASSERT_EQ(kepra_GetFrequency(h(), &mhz), 1u);
  EXPECT_EQ(mhz, 48u);
  EXPECT_EQ(Codes(), (std::vector<std::uint32_t>{io::IOCTL_DEVICE_INDEX, io::IOCTL_FREQUENCY,
                                                 io::IOCTL_DEVICE_INDEX}));
  const auto work = WorkRequests();
  ASSERT_EQ(work.size(), 1u);
  EXPECT_TRUE(work[0].in.empty());
  EXPECT_EQ(work[0].out_size, 4u);

  double mhz_d = -1.0;
  camera_->SetFrequency(114);
  ASSERT_EQ(kepra_GetFrequencyD(h(), &mhz_d), 1u);
  EXPECT_EQ(mhz_d, 114.0);
  // Unsigned conversion: a clock with the top bit set is not negative.
  camera_->SetFrequency(0x80000001u);
  ASSERT_EQ(kepra_GetFrequencyD(h(), &mhz_d), 1u);
  EXPECT_EQ(mhz_d, 2147483649.0);
}

TEST_F(Frequency, AFailedReadKeepsTheIntegerAndZeroesTheDouble) {
  FailCode(io::IOCTL_FREQUENCY, 0x1F, 2);
  std::uint32_t mhz = 0xABCD;
  EXPECT_EQ(kepra_GetFrequency(h(), &mhz), 0u);
  EXPECT_EQ(kepra_GetLastError(), 0x1Fu);
  EXPECT_EQ(mhz, 0xABCDu);

  double mhz_d = 77.0;
  EXPECT_EQ(kepra_GetFrequencyD(h(), &mhz_d), 0u);
  EXPECT_EQ(kepra_GetLastError(), 0x1Fu);
  EXPECT_EQ(mhz_d, 0.0);
  EXPECT_TRUE(rig_.DebugLines().empty());
  // Both released the lock.
  EXPECT_EQ(kepra_GetFrequency(h(), &mhz), 1u);
  EXPECT_EQ(mhz, 40u);
}

TEST_F(Frequency, NullPointersAreRefusedBeforeTheLock) {
  kepra_SetLastError(kSentinel);
  EXPECT_EQ(kepra_GetFrequency(h(), nullptr), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_PARAMETER);
  EXPECT_EQ(rig_.DebugLines(), (std::vector<std::string>{"FrequencyMHz is NULL"}));
  kepra_SetLastError(kSentinel);
  EXPECT_EQ(kepra_GetFrequencyD(h(), nullptr), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_PARAMETER);
  EXPECT_EQ(rig_.DebugLines(), (std::vector<std::string>{"FrequencyMHz is NULL"}));
  EXPECT_TRUE(camera_->Log().empty());
}

TEST_F(Frequency, InvalidHandleComesFirstAndWritesNoLine) {
  const KEPRA_HANDLE bad = KEPRA_INVALID_HANDLE;
  std::uint32_t mhz = 5;
  double mhz_d = 5.0;
  const std::vector<std::function<std::uint32_t()>> calls = {
      [&] { return kepra_GetFrequency(bad, &mhz); },
      [&] { return kepra_GetFrequency(bad, nullptr); },
      [&] { return kepra_SetFrequency(bad, 3); },
      [&] { return kepra_SetFrequency(bad, 50); },
      [&] { return kepra_GetFrequencyD(bad, nullptr); },
      [&] { return kepra_SetFrequencyD(bad, 50.0); },
      [&] { return kepra_GetFrequencyD(bad, &mhz_d); },
  };
  for (std::size_t i = 0; i < calls.size(); ++i) {
    kepra_SetLastError(kSentinel);
    EXPECT_EQ(calls[i](), 0u) << i;
    EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_PARAMETER) << i;
  }
  EXPECT_EQ(mhz, 5u);
  EXPECT_EQ(mhz_d, 0.0);  // the double form writes its result even then
  EXPECT_TRUE(rig_.DebugLines().empty());
  EXPECT_TRUE(camera_->Log().empty());
  EXPECT_EQ(camera_->Frequency(), 40u);
}

TEST_F(Frequency, SetAcceptsFourTo114AndSendsItLittleEndian) {
  for (std::uint32_t mhz : {4u, 114u, 0x45u}) {
    camera_->ClearLog();
    ASSERT_EQ(kepra_SetFrequency(h(), mhz), 1u) << mhz;
    EXPECT_EQ(camera_->Frequency(), mhz);
    const auto work = WorkRequests();
    ASSERT_EQ(work.size(), 1u);
    EXPECT_EQ(work[0].code, io::IOCTL_FREQUENCY);
    EXPECT_EQ(work[0].in, Bytes({static_cast<int>(mhz), 0, 0, 0}));
    EXPECT_EQ(work[0].out_size, 0u);
  }
  // It writes no sensor register.
  for (const auto& entry : camera_->Log()) EXPECT_NE(entry.code, io::IOCTL_SENSOR_REG);
}

TEST_F(Frequency, SetRefusesValuesOutsideTheRangeWithoutAnyRequest) {
  camera_->SetFrequency(50);
  for (std::uint32_t mhz : {0u, 3u, 115u, 0x10004u, 0xFFFFFFFFu}) {
    kepra_SetLastError(kSentinel);
    EXPECT_EQ(kepra_SetFrequency(h(), mhz), 0u) << mhz;
    EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_PARAMETER) << mhz;
  }
  EXPECT_TRUE(camera_->Log().empty());
  EXPECT_TRUE(rig_.DebugLines().empty());
  EXPECT_EQ(camera_->Frequency(), 50u);
}

TEST_F(Frequency, SetDoubleDropsTheFraction) {
  const struct {
    double value;
    std::uint32_t expected;  // 0: refused
  } cases[] = {
      {114.9, 114},
      {49.9, 49},
      {4.0, 4},
      {3.999, 0},
      {-5.0, 0},
      {114.999999, 114},
      {115.0, 0},
      // Whole numbers keep their low 32 bits: 2^32 + 50 lands on 50.
      {4294967346.0, 50},
      {std::numeric_limits<double>::quiet_NaN(), 0},
      {std::numeric_limits<double>::infinity(), 0},
      {-std::numeric_limits<double>::infinity(), 0},
      {1e300, 0},
  };
  for (const auto& c : cases) {
    camera_->SetFrequency(77);
    kepra_SetLastError(kSentinel);
    const std::uint32_t rc = kepra_SetFrequencyD(h(), c.value);
    if (c.expected) {
      EXPECT_EQ(rc, 1u) << c.value;
      EXPECT_EQ(camera_->Frequency(), c.expected) << c.value;
      EXPECT_EQ(kepra_GetLastError(), kSentinel) << c.value;
    } else {
      EXPECT_EQ(rc, 0u) << c.value;
      EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_PARAMETER) << c.value;
      EXPECT_EQ(camera_->Frequency(), 77u) << c.value;
    }
  }
}

TEST_F(Frequency, AFailedSetKeepsTheDriversError) {
  FailCode(io::IOCTL_FREQUENCY, 0x1F);
  EXPECT_EQ(kepra_SetFrequency(h(), 60), 0u);
  EXPECT_EQ(kepra_GetLastError(), 0x1Fu);
  EXPECT_EQ(camera_->Frequency(), 40u);
  EXPECT_EQ(kepra_SetFrequency(h(), 60), 1u);  // the lock was released
  EXPECT_EQ(camera_->Frequency(), 60u);
}

}  // namespace
}  // namespace kt
