// Direct sensor-register access and the sensor clock.
#include <limits>

#include "fixture.h"

namespace kt {
namespace {

class Registers : public CameraTest {};

TEST_F(Registers, AddressesKeepTheirLow16BitsAndGoOutLittleEndian) {
  camera_->SetRegister(0x2345, 0xBEEF);
  std::uint16_t value = 0;
  ASSERT_EQ(kepra_ReadSensorReg(h(), 0x12345, &value), 1u);
  EXPECT_EQ(value, 0xBEEF);
  ASSERT_EQ(kepra_WriteSensorReg(h(), 0x0C, 0x1F000), 1u);
  const auto work = WorkRequests();
  ASSERT_EQ(work.size(), 2u);
  EXPECT_EQ(work[0].code, io::IOCTL_SENSOR_REG);
  EXPECT_EQ(work[0].in, Bytes({0x45, 0x23}));
  EXPECT_EQ(work[0].out_size, 2u);
  EXPECT_EQ(work[1].in, Bytes({0x0C, 0x00, 0x00, 0xF0}));
  EXPECT_EQ(work[1].out_size, 0u);
  EXPECT_EQ(camera_->Register(0x0C), 0xF000);
}

TEST_F(Registers, FrequencyIsReadUnderTheLock) {
  camera_->SetFrequency(48);
  std::uint32_t mhz = 0;
  ASSERT_EQ(kepra_GetFrequency(h(), &mhz), 1u);
  EXPECT_EQ(mhz, 48u);
  ExpectOneRequest(io::IOCTL_FREQUENCY, {}, 4, true);
  // Unsigned conversion: a clock with the top bit set is not negative.
  double mhz_d = -1.0;
  camera_->SetFrequency(0x80000001u);
  ASSERT_EQ(kepra_GetFrequencyD(h(), &mhz_d), 1u);
  EXPECT_EQ(mhz_d, 2147483649.0);

  // A failed read keeps the integer and zeroes the double.
  FailCode(io::IOCTL_FREQUENCY, 0x1F, 2);
  mhz = 0xABCD;
  EXPECT_EQ(kepra_GetFrequency(h(), &mhz), 0u);
  EXPECT_EQ(kepra_GetLastError(), 0x1Fu);
  EXPECT_EQ(mhz, 0xABCDu);
  EXPECT_EQ(kepra_GetFrequencyD(h(), &mhz_d), 0u);
  EXPECT_EQ(kepra_GetLastError(), 0x1Fu);
  EXPECT_EQ(mhz_d, 0.0);
  EXPECT_TRUE(rig_.DebugLines().empty());
  EXPECT_EQ(kepra_GetFrequency(h(), &mhz), 1u);  // the lock was released
}

TEST_F(Registers, SetFrequencyAcceptsFourTo114) {
  for (std::uint32_t mhz : {4u, 114u}) {
    camera_->ClearLog();
    ASSERT_EQ(kepra_SetFrequency(h(), mhz), 1u) << mhz;
    EXPECT_EQ(camera_->Frequency(), mhz);
    EXPECT_EQ(Ops(), (Words{"F=" + std::to_string(mhz)}));
  }
  const struct {
    double value;
    std::uint32_t expected;  // 0: refused
  } cases[] = {
      {114.9, 114},
      {4.0, 4},
      {3.999, 0},
      {-5.0, 0},
      {115.0, 0},
      {4294967346.0, 50},  // whole numbers keep their low 32 bits: 2^32 + 50 lands on 50
      {std::numeric_limits<double>::quiet_NaN(), 0},
      {std::numeric_limits<double>::infinity(), 0},
      {1e300, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    camera_->SetFrequency(77);
    kepra_SetLastError(kSentinel);
    EXPECT_EQ(kepra_SetFrequencyD(h(), c.value), c.expected ? 1u : 0u);
    EXPECT_EQ(camera_->Frequency(), c.expected ? c.expected : 77u);
    EXPECT_EQ(kepra_GetLastError(), c.expected ? kSentinel : KEPRA_ERROR_INVALID_PARAMETER);
  }
}

}  // namespace
}  // namespace kt
