// Identity record, camera description, identity check and the unsupported USB identifiers.
#include <cstring>
#include <functional>
#include <string>

#include "fixture.h"

namespace kt {
namespace {

class Identity : public CameraTest {
 protected:
  void SetModelCode(std::uint8_t code) {
    vcam::IdentData ident = camera_->Ident();
    ident[2] = code;
    camera_->SetIdent(ident);
    camera_->ClearLog();
  }
  // A lock-bracketed identity read: index, identity, index.
  std::vector<std::uint32_t> LockedRead(std::uint32_t code) const {
    return {io::IOCTL_DEVICE_INDEX, code, io::IOCTL_DEVICE_INDEX};
  }
};

struct Model {
  std::uint8_t code;
  std::uint32_t color, width, height;
  const char* name;
};

TEST_F(Identity, EachModelCodeSelectsItsRow) {
  const Model models[] = {
      {'4', 0, 1280, 1024, "KEPRA-A1 Mono"},        {'5', 1, 1280, 1024, "KEPRA-A1 Color"},
      {'6', 0, 1280, 1024, "KEPRA-A1 IR"},          {'7', 0, 1600, 1200, "KEPRA-A2 Mono"},
      {'8', 1, 1600, 1200, "KEPRA-A2 Color"},       {0x00, 0, 1600, 1200, "KEPRA-Axx unflashed"},
      {0xFF, 0, 1600, 1200, "KEPRA-Axx unflashed"}, {'9', 0, 1600, 1200, "KEPRA-Axx unflashed"},
      {'3', 0, 1600, 1200, "KEPRA-Axx unflashed"},
  };
  for (const Model& m : models) {
    SCOPED_TRACE(testing::Message() << "model code 0x" << std::hex << int{m.code});
    SetModelCode(m.code);
    kepra_CameraInfo info;
    std::memset(&info, 0x55, sizeof info);
    ASSERT_EQ(kepra_GetCameraInfo(h(), &info), 1u);
    EXPECT_EQ(info.Color, m.color);
    EXPECT_EQ(info.Width, m.width);
    EXPECT_EQ(info.Height, m.height);
    EXPECT_STREQ(info.ModelName, m.name);
    EXPECT_EQ(Codes(), LockedRead(io::IOCTL_IDENTDATA));
    EXPECT_EQ(camera_->Log()[1].out_size, 78u);
  }
}

TEST_F(Identity, AShorterNameLeavesTheTailOfTheFieldAsItWas) {
  kepra_CameraInfo info;
  std::memset(&info, 0x55, sizeof info);
  SetModelCode(0xFF);
  ASSERT_EQ(kepra_GetCameraInfo(h(), &info), 1u);
  ASSERT_STREQ(info.ModelName, "KEPRA-Axx unflashed");
  SetModelCode('4');
  ASSERT_EQ(kepra_GetCameraInfo(h(), &info), 1u);
  EXPECT_STREQ(info.ModelName, "KEPRA-A1 Mono");
  // "KEPRA-Axx unflashed" has "ashed" and its NUL at bytes 14 to 19.
  EXPECT_EQ(std::memcmp(info.ModelName + 14, "ashed", 6), 0);
}

TEST_F(Identity, ExtendedInfoWidensTheLeadingIdentityBytes) {
  vcam::IdentData ident = camera_->Ident();
  const std::uint8_t head[] = {0x00, 0x01, 0x37, 0x02, 0x03, 0x04};
  std::memcpy(ident.data(), head, sizeof head);
  camera_->SetIdent(ident);
  camera_->ClearLog();
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

TEST_F(Identity, CameraInfoRecordLayout) {
  // Fields in order, each directly after the previous: three 32-bit words, then the name.
  EXPECT_EQ(offsetof(kepra_CameraInfo, Color), 0u);
  EXPECT_EQ(offsetof(kepra_CameraInfo, Width), 4u);
  EXPECT_EQ(offsetof(kepra_CameraInfo, Height), 8u);
  EXPECT_EQ(offsetof(kepra_CameraInfo, ModelName), 12u);
  EXPECT_GE(sizeof(kepra_CameraInfo{}.ModelName), 20u);
  EXPECT_EQ(sizeof(kepra_IdentData), 78u);
}

TEST_F(Identity, RecordIsReadWithoutTheLockAndWrittenByValue) {
  kepra_IdentData record;
  ASSERT_EQ(kepra_GetIdentData(h(), &record), 1u);
  const vcam::IdentData held = camera_->Ident();
  EXPECT_EQ(std::memcmp(record.Bytes, held.data(), 78), 0);
  EXPECT_EQ(Codes(), (std::vector<std::uint32_t>{io::IOCTL_IDENTDATA}));

  camera_->ClearLog();
  for (int i = 0; i < 78; ++i) record.Bytes[i] = static_cast<std::uint8_t>(0xC0 ^ (i * 7));
  ASSERT_EQ(kepra_SetIdentData(h(), record), 1u);
  const auto log = camera_->Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].code, io::IOCTL_SET_IDENTDATA);
  EXPECT_EQ(log[0].out_size, 0u);
  ASSERT_EQ(log[0].in.size(), 78u);
  EXPECT_EQ(std::memcmp(log[0].in.data(), record.Bytes, 78), 0);
  const vcam::IdentData stored = camera_->Ident();
  EXPECT_EQ(std::memcmp(stored.data(), record.Bytes, 78), 0);
  EXPECT_TRUE(rig_.DebugLines().empty());
}

TEST_F(Identity, InvalidHandleComesFirstThenNullPointersAndNothingIsSent) {
  kepra_IdentData record{};
  std::uint16_t vid = 0, pid = 0;
  const auto bad = KEPRA_INVALID_HANDLE;
  struct Case {
    const char* what;
    std::function<std::uint32_t()> call;
    std::uint32_t error;
  };
  const Case cases[] = {
      {"GetIdentData H", [&] { return kepra_GetIdentData(bad, nullptr); }, 6},
      {"SetIdentData H", [&] { return kepra_SetIdentData(bad, record); }, 6},
      {"GetCameraInfo H", [&] { return kepra_GetCameraInfo(bad, nullptr); }, 6},
      {"GetCameraInfoEx H", [&] { return kepra_GetCameraInfoEx(bad, nullptr); }, 6},
      {"GetVIDPID H", [&] { return kepra_GetVIDPID(bad, nullptr, nullptr); }, 6},
      {"SetVIDPID H", [&] { return kepra_SetVIDPID(bad, 0, 0); }, 6},
      {"GetIdentData", [&] { return kepra_GetIdentData(h(), nullptr); }, 487},
      {"GetCameraInfo", [&] { return kepra_GetCameraInfo(h(), nullptr); }, 487},
      {"GetCameraInfoEx", [&] { return kepra_GetCameraInfoEx(h(), nullptr); }, 487},
      {"GetVIDPID VID", [&] { return kepra_GetVIDPID(h(), nullptr, &pid); }, 487},
      {"GetVIDPID PID", [&] { return kepra_GetVIDPID(h(), &vid, nullptr); }, 487},
      {"SetVIDPID VID", [&] { return kepra_SetVIDPID(h(), 0, 0x1234); }, 487},
      {"SetVIDPID PID", [&] { return kepra_SetVIDPID(h(), 0x04B4, 0); }, 487},
  };
  for (const Case& c : cases) {
    kepra_SetLastError(kSentinel);
    EXPECT_EQ(c.call(), 0u) << c.what;
    EXPECT_EQ(kepra_GetLastError(), c.error) << c.what;
  }
  EXPECT_TRUE(camera_->Log().empty());
  EXPECT_TRUE(rig_.DebugLines().empty());
}

TEST_F(Identity, UsbIdentifiersAreNotSupportedAndSetNoReason) {
  std::uint16_t vid = 0x1111, pid = 0x2222;
  kepra_SetLastError(kSentinel);
  EXPECT_EQ(kepra_GetVIDPID(h(), &vid, &pid), 0u);
  EXPECT_EQ(kepra_GetLastError(), kSentinel);
  EXPECT_EQ(vid, 0x1111);
  EXPECT_EQ(pid, 0x2222);
  EXPECT_EQ(kepra_SetVIDPID(h(), 0x04B4, 0x00F3), 0u);
  EXPECT_EQ(kepra_GetLastError(), kSentinel);
  EXPECT_TRUE(camera_->Log().empty());
}

TEST_F(Identity, FailedReadsWriteTheirLineKeepTheErrorAndReleaseTheLock) {
  kepra_IdentData record;
  std::memset(&record, 0x33, sizeof record);
  FailCode(io::IOCTL_IDENTDATA, 0x1F);
  EXPECT_EQ(kepra_GetIdentData(h(), &record), 0u);
  EXPECT_EQ(kepra_GetLastError(), 0x1Fu);
  EXPECT_EQ(rig_.DebugLines(),
            std::vector<std::string>{"DeviceIoControl IOCTL_IDENTDATA failed\n"});

  kepra_CameraInfo info;
  std::memset(&info, 0x55, sizeof info);
  const kepra_CameraInfo before = info;
  camera_->ClearLog();
  FailCode(io::IOCTL_IDENTDATA, 0x45D);
  EXPECT_EQ(kepra_GetCameraInfo(h(), &info), 0u);
  EXPECT_EQ(kepra_GetLastError(), 0x45Du);
  EXPECT_EQ(std::memcmp(&info, &before, sizeof info), 0);
  EXPECT_EQ(Codes(), LockedRead(io::IOCTL_IDENTDATA));
  EXPECT_EQ(rig_.DebugLines(),
            std::vector<std::string>{"DeviceIoControl IOCTL_IDENTDATA failed\n"});

  kepra_CameraInfoEx ex;
  std::memset(&ex, 0x66, sizeof ex);
  camera_->ClearLog();
  FailCode(io::IOCTL_IDENTDATA, 0x1F);
  EXPECT_EQ(kepra_GetCameraInfoEx(h(), &ex), 0u);
  EXPECT_EQ(kepra_GetLastError(), 0x1Fu);
  EXPECT_EQ(ex.IdentWord, 0x66666666u);
  EXPECT_EQ(Codes(), LockedRead(io::IOCTL_IDENTDATA));

  FailCode(io::IOCTL_SET_IDENTDATA, 0x1F);
  EXPECT_EQ(kepra_SetIdentData(h(), record), 0u);
  EXPECT_EQ(kepra_GetLastError(), 0x1Fu);
  rig_.DebugLines();                               // the Ex line
  EXPECT_EQ(kepra_SetIdentData(h(), record), 1u);  // the camera is still usable
  FailCode(io::IOCTL_SET_IDENTDATA, 0x1F);
  EXPECT_EQ(kepra_SetIdentData(h(), record), 0u);
  EXPECT_EQ(rig_.DebugLines(),
            std::vector<std::string>{"DeviceIoControl IOCTL_SET_IDENTDATA failed\n"});
}

class CheckId : public Identity {};

TEST_F(CheckId, SendsTheCallersLengthUnderTheLock) {
  char reply[32];
  std::memset(reply, '#', sizeof reply);
  const std::uint32_t length = 8;
  ASSERT_EQ(kepra_CheckId(h(), reply, &length), 1u);
  EXPECT_EQ(length, 8u);
  // The virtual camera answers "KEPRA " and the serial number, cut to the length asked.
  EXPECT_EQ(std::string(reply, 9), std::string("KEPRA VC#"));
  const auto log = camera_->Log();
  ASSERT_EQ(Codes(), LockedRead(io::IOCTL_CHECK_ID));
  EXPECT_TRUE(log[1].in.empty());
  EXPECT_EQ(log[1].out_size, 8u);
}

TEST_F(CheckId, ArgumentErrorsAre87WithTheirLineAndTakeNoLock) {
  char reply[16];
  const std::uint32_t length = sizeof reply;
  EXPECT_EQ(kepra_CheckId(KEPRA_INVALID_HANDLE, reply, &length), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_PARAMETER);
  EXPECT_EQ(rig_.DebugLines(), std::vector<std::string>{"H is not valid"});
  EXPECT_EQ(kepra_CheckId(h(), nullptr, &length), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_PARAMETER);
  EXPECT_EQ(rig_.DebugLines(), std::vector<std::string>{"CheckId is NULL"});
  EXPECT_EQ(kepra_CheckId(h(), reply, nullptr), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_PARAMETER);
  EXPECT_EQ(rig_.DebugLines(), std::vector<std::string>{"CheckIdLen is NULL"});
  EXPECT_TRUE(camera_->Log().empty());
}

TEST_F(CheckId, RefusedRequestKeepsItsErrorAndReleasesTheLock) {
  FailCode(io::IOCTL_CHECK_ID, 0x1F);
  char reply[16];
  const std::uint32_t length = sizeof reply;
  EXPECT_EQ(kepra_CheckId(h(), reply, &length), 0u);
  EXPECT_EQ(kepra_GetLastError(), 0x1Fu);
  EXPECT_EQ(Codes(), LockedRead(io::IOCTL_CHECK_ID));
}

}  // namespace
}  // namespace kt
