// Identity record, camera description, identity check and the unsupported USB identifiers.
#include <cstddef>
#include <cstring>
#include <string>

#include "fixture.h"

namespace kt {
namespace {

// Three 32-bit words, then the name; the identity record is 78 bytes.
static_assert(offsetof(kepra_CameraInfo, Width) == 4 && offsetof(kepra_CameraInfo, Height) == 8);
static_assert(offsetof(kepra_CameraInfo, ModelName) == 12 && sizeof(kepra_IdentData) == 78);

class Identity : public CameraTest {
 protected:
  void SetIdentHead(std::initializer_list<std::uint8_t> head) {
    vcam::IdentData ident = camera_->Ident();
    std::copy(head.begin(), head.end(), ident.begin());
    camera_->SetIdent(ident);
    camera_->ClearLog();
  }
  void SetModelCode(std::uint8_t code) {
    const vcam::IdentData ident = camera_->Ident();
    SetIdentHead({ident[0], ident[1], code});
  }
  // A lock-bracketed read: index, the request, index.
  static std::vector<std::uint32_t> LockedRead(std::uint32_t code) {
    return {io::IOCTL_DEVICE_INDEX, code, io::IOCTL_DEVICE_INDEX};
  }
};

TEST_F(Identity, EachModelCodeSelectsItsRow) {
  const struct {
    std::uint8_t code;
    std::uint32_t color, width, height;
    const char* name;
  } models[] = {
      {'4', 0, 1280, 1024, "KEPRA-A1 Mono"},        {'5', 1, 1280, 1024, "KEPRA-A1 Color"},
      {'6', 0, 1280, 1024, "KEPRA-A1 IR"},          {'7', 0, 1600, 1200, "KEPRA-A2 Mono"},
      {'8', 1, 1600, 1200, "KEPRA-A2 Color"},       {0x00, 0, 1600, 1200, "KEPRA-Axx unflashed"},
      {0xFF, 0, 1600, 1200, "KEPRA-Axx unflashed"}, {'9', 0, 1600, 1200, "KEPRA-Axx unflashed"},
  };
  kepra_CameraInfo info;
  std::memset(&info, 0x55, sizeof info);
  for (const auto& m : models) {
    SCOPED_TRACE(testing::Message() << "model code 0x" << std::hex << int{m.code});
    SetModelCode(m.code);
    ASSERT_EQ(kepra_GetCameraInfo(h(), &info), 1u);
    EXPECT_EQ(info.Color, m.color);
    EXPECT_EQ(info.Width, m.width);
    EXPECT_EQ(info.Height, m.height);
    EXPECT_STREQ(info.ModelName, m.name);
    EXPECT_EQ(Codes(), LockedRead(io::IOCTL_IDENTDATA));
    EXPECT_EQ(camera_->Log()[1].out_size, 78u);
  }
  // A shorter name leaves the tail of the field as it was: "ashed" and its NUL at 14 to 19.
  SetModelCode('4');
  ASSERT_EQ(kepra_GetCameraInfo(h(), &info), 1u);
  EXPECT_STREQ(info.ModelName, "KEPRA-A1 Mono");
  EXPECT_EQ(std::memcmp(info.ModelName + 14, "ashed", 6), 0);
}

TEST_F(Identity, ExtendedInfoWidensTheLeadingIdentityBytes) {
  SetIdentHead({0x00, 0x01, 0x37, 0x02, 0x03, 0x04});
  kepra_CameraInfoEx ex;
  std::memset(&ex, 0xAA, sizeof ex);
  ASSERT_EQ(kepra_GetCameraInfoEx(h(), &ex), 1u);
  EXPECT_EQ(ex.ModelCode, 0x37);
  EXPECT_EQ(ex.IdentByte3, 2);
  EXPECT_EQ(ex.IdentWord, 0x100u);
  EXPECT_EQ(ex.IdentByte4, 3);
  EXPECT_EQ(ex.IdentByte5, 4);
  // The record as an application without the header sees it: 16, 16, 32, 16, 16 bits.
  std::uint8_t raw[12];
  static_assert(sizeof raw == sizeof ex);
  std::memcpy(raw, &ex, sizeof raw);
  EXPECT_EQ(std::vector<std::uint8_t>(raw, raw + 12),
            Bytes({0x37, 0, 0x02, 0, 0x00, 0x01, 0, 0, 0x03, 0, 0x04, 0}));
  EXPECT_EQ(Codes(), LockedRead(io::IOCTL_IDENTDATA));
}

TEST_F(Identity, RecordIsReadWithoutTheLockAndWrittenByValue) {
  kepra_IdentData record;
  ASSERT_EQ(kepra_GetIdentData(h(), &record), 1u);
  EXPECT_EQ(std::memcmp(record.Bytes, camera_->Ident().data(), 78), 0);
  EXPECT_EQ(Codes(), (std::vector<std::uint32_t>{io::IOCTL_IDENTDATA}));

  camera_->ClearLog();
  for (int i = 0; i < 78; ++i) record.Bytes[i] = static_cast<std::uint8_t>(0xC0 ^ (i * 7));
  ASSERT_EQ(kepra_SetIdentData(h(), record), 1u);
  const auto log = camera_->Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].code, io::IOCTL_SET_IDENTDATA);
  EXPECT_EQ(log[0].out_size, 0u);
  EXPECT_EQ(log[0].in, std::vector<std::uint8_t>(record.Bytes, record.Bytes + 78));
  EXPECT_EQ(std::memcmp(camera_->Ident().data(), record.Bytes, 78), 0);
  EXPECT_TRUE(rig_.DebugLines().empty());
}

TEST_F(Identity, CheckIdSendsTheCallersLengthUnderTheLock) {
  char reply[32];
  std::memset(reply, '#', sizeof reply);
  const std::uint32_t length = 8;
  ASSERT_EQ(kepra_CheckId(h(), reply, &length), 1u);
  EXPECT_EQ(length, 8u);
  // The virtual camera answers "KEPRA " and the serial number, cut to the length asked.
  EXPECT_EQ(std::string(reply, 9), std::string("KEPRA VC#"));
  ASSERT_EQ(Codes(), LockedRead(io::IOCTL_CHECK_ID));
  EXPECT_TRUE(camera_->Log()[1].in.empty());
  EXPECT_EQ(camera_->Log()[1].out_size, 8u);
}

}  // namespace
}  // namespace kt
