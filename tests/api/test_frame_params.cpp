// Frame parameters (with the frame-length update that follows a set), stream mode and front
// LED: the request each sends, its handle check and whether it takes the lock.
#include <cstring>

#include "fixture.h"
#include "register_log.h"

namespace kt {
namespace {

class FrameParams : public CameraTest {
 protected:
  // A record the camera accepts: a centred 640 x 480 window, 8 bits, 2 x 2 binning, mirrored.
  static kepra_FrameParams Window() {
    kepra_FrameParams p{};
    p.X = 320;
    p.Y = 272;
    p.Width = 640;
    p.Height = 480;
    p.BitDepth = 8;
    p.BinX = 2;
    p.BinY = 2;
    p.Flags = KEPRA_FRAME_MIRROR_X;
    return p;
  }
  // The same record as the bytes the driver receives.
  static std::vector<std::uint8_t> WindowBytes() {
    return Bytes({0x40, 0x01, 0x10, 0x01, 0x80, 0x02, 0xE0, 0x01, 8, 0, 2, 0, 2,
                  0,    1,    0,    0,    0,    0,    0,    0,    0, 0, 0, 0, 0});
  }
  // The sensor asks for the frame-length update (register 62 bit 4) and its frame is too short
  // for an exposure of 100 lines.
  // Only the registers the arithmetic below names are non-zero.
  void ShortFrame() {
    for (std::uint16_t r : {4, 6, 7, 8, 10, 11, 13, 16, 19, 21, 23, 25, 26, 57, 73}) {
      camera_->SetRegister(r, 0);
    }
    camera_->SetRegister(62, 0x0010);
    camera_->SetRegister(14, 100);
    camera_->SetRegister(12, 50);
  }
};

// With every other timing register 0 the minimum frame length is exposure + 13 + 16 + overhead:
// 100 + 0 + 0 + (11 + 6) + 2 = 119 lines.
constexpr std::uint16_t kMinimumFrameLength = 119;

TEST_F(FrameParams, TheCameraStartsWithTheFullSensor) {
  kepra_FrameParams p;
  std::memset(&p, 0xCC, sizeof p);
  ASSERT_EQ(kepra_GetFrameParams(h(), &p), 1u);
  EXPECT_EQ(p.X, 0);
  EXPECT_EQ(p.Y, 0);
  EXPECT_EQ(p.Width, 1280);
  EXPECT_EQ(p.Height, 1024);
  EXPECT_EQ(p.BitDepth, 10);
  EXPECT_EQ(p.BinX, 1);
  EXPECT_EQ(p.BinY, 1);
  EXPECT_EQ(p.Flags, 0);
  for (std::uint8_t b : p.Reserved) EXPECT_EQ(b, 0);
}

TEST_F(FrameParams, GetSendsOneRequestWithoutTheLock) {
  kepra_FrameParams p{};
  ASSERT_EQ(kepra_GetFrameParams(h(), &p), 1u);
  const auto log = camera_->Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].code, io::IOCTL_FRAME_PARAMS);
  EXPECT_TRUE(log[0].in.empty());
  EXPECT_EQ(log[0].out_size, 26u);
}

TEST_F(FrameParams, SetSendsTheRecordThenUpdatesTheFrameLengthUnderTheLock) {
  ShortFrame();
  const kepra_FrameParams window = Window();
  ASSERT_EQ(kepra_SetFrameParams(h(), &window), 1u);
  const auto log = camera_->Log();
  EXPECT_TRUE(Locked(log));
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[1].code, io::IOCTL_FRAME_PARAMS);
  EXPECT_EQ(log[1].in, WindowBytes());
  EXPECT_EQ(log[1].out_size, 0u);
  // The update: register 62, the timing snapshot, then the raised frame length.
  const auto accesses = RegisterAccesses(log);
  ASSERT_FALSE(accesses.empty());
  EXPECT_EQ(accesses.front(), Read(62));
  EXPECT_EQ(accesses.back(), Write(12, kMinimumFrameLength));
  EXPECT_EQ(camera_->Register(12), kMinimumFrameLength);

  kepra_FrameParams back{};
  ASSERT_EQ(kepra_GetFrameParams(h(), &back), 1u);
  EXPECT_EQ(std::memcmp(&back, &window, sizeof back), 0);
}

TEST_F(FrameParams, SetRunsTheUpdateEvenWhenTheDriverRefusesTheRecord) {
  // Refused by an injected failure, and by the camera's own check (an empty region).
  kepra_FrameParams empty = Window();
  empty.Width = 0;
  struct Case {
    const char* what;
    kepra_FrameParams record;
    bool inject;
    std::uint32_t error;
  };
  const Case cases[] = {{"injected", Window(), true, 0x1F}, {"refused", empty, false, 87}};
  for (const Case& c : cases) {
    ShortFrame();
    camera_->ClearLog();
    if (c.inject) FailCode(io::IOCTL_FRAME_PARAMS, c.error);
    EXPECT_EQ(kepra_SetFrameParams(h(), &c.record), 0u) << c.what;
    EXPECT_EQ(kepra_GetLastError(), c.error) << c.what;
    const auto log = camera_->Log();
    EXPECT_TRUE(Locked(log)) << c.what;
    ASSERT_GE(log.size(), 3u) << c.what;
    EXPECT_EQ(log[1].code, io::IOCTL_FRAME_PARAMS) << c.what;
    EXPECT_FALSE(log[1].ok) << c.what;
    // Every request after the refused one belongs to the update, and it raised the frame.
    std::vector<std::uint32_t> after;
    for (std::size_t i = 2; i + 1 < log.size(); ++i) after.push_back(log[i].code);
    ASSERT_EQ(after, (std::vector<std::uint32_t>{io::IOCTL_SENSOR_REG, io::IOCTL_SENSOR_REGS,
                                                 io::IOCTL_SENSOR_REG, io::IOCTL_SENSOR_REG,
                                                 io::IOCTL_SENSOR_REG}))
        << c.what;
    EXPECT_EQ(RegisterAccesses(log).back(), Write(12, kMinimumFrameLength)) << c.what;
    EXPECT_EQ(camera_->Register(12), kMinimumFrameLength) << c.what;
    EXPECT_EQ(camera_->Settings().frame_params, vcam::DefaultFrameParams()) << c.what;
  }
}

TEST_F(FrameParams, SetLeavesTheFrameAloneWhenTheSensorDoesNotAsk) {
  camera_->SetRegister(62, 0x0000);
  camera_->SetRegister(14, 100);
  camera_->SetRegister(12, 50);
  const kepra_FrameParams window = Window();
  ASSERT_EQ(kepra_SetFrameParams(h(), &window), 1u);
  EXPECT_EQ(RegisterAccesses(camera_->Log()), (std::vector{Read(62)}));
  EXPECT_EQ(camera_->Register(12), 50);
}

TEST_F(FrameParams, SetReportsTheRecordsResultNotTheUpdates) {
  // The update fails (snapshot refused) but the record was taken: success.
  ShortFrame();
  FailCode(io::IOCTL_SENSOR_REGS, 0x1F);
  const kepra_FrameParams window = Window();
  EXPECT_EQ(kepra_SetFrameParams(h(), &window), 1u);
  EXPECT_EQ(camera_->Register(12), 50);
  EXPECT_EQ(rig_.DebugLines(),
            (std::vector<std::string>{"CxReadSensorRegs failed", "CxGetFramerateRegs failed"}));
}

TEST_F(FrameParams, StreamModeGoesOutLittleEndianAndComesBack) {
  ASSERT_EQ(kepra_SetStreamMode(h(), 0x01020304), 1u);
  auto log = camera_->Log();
  EXPECT_TRUE(Locked(log));
  auto work = WorkRequests();
  ASSERT_EQ(work.size(), 1u);
  EXPECT_EQ(work[0].code, io::IOCTL_STREAM_MODE);
  EXPECT_EQ(work[0].in, Bytes({0x04, 0x03, 0x02, 0x01}));
  EXPECT_EQ(work[0].out_size, 0u);
  EXPECT_EQ(camera_->Settings().stream_mode, 0x01020304u);

  camera_->ClearLog();
  std::uint32_t mode = 0;
  ASSERT_EQ(kepra_GetStreamMode(h(), &mode), 1u);
  EXPECT_EQ(mode, 0x01020304u);
  log = camera_->Log();
  ASSERT_EQ(log.size(), 1u);  // no lock
  EXPECT_EQ(log[0].code, io::IOCTL_STREAM_MODE);
  EXPECT_TRUE(log[0].in.empty());
  EXPECT_EQ(log[0].out_size, 4u);
}

TEST_F(FrameParams, FrontLedSendsItsByteWithoutTheLock) {
  for (std::uint8_t state : {1, 0, 0xA5}) {
    camera_->ClearLog();
    ASSERT_EQ(kepra_SwitchFrontLED(h(), state), 1u);
    const auto log = camera_->Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].code, io::IOCTL_FRONT_LED);
    EXPECT_EQ(log[0].in, Bytes({state}));
    EXPECT_EQ(log[0].out_size, 0u);
    EXPECT_EQ(camera_->Settings().front_led, state);
  }
}

TEST_F(FrameParams, EachExportHasItsOwnHandleCheck) {
  kepra_FrameParams p = Window();
  std::uint32_t mode = 7;
  kepra_SetLastError(kSentinel);
  EXPECT_EQ(kepra_SwitchFrontLED(KEPRA_INVALID_HANDLE, 1), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_HANDLE);
  EXPECT_EQ(kepra_SetStreamMode(KEPRA_INVALID_HANDLE, 1), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_PARAMETER);
  EXPECT_EQ(kepra_GetStreamMode(KEPRA_INVALID_HANDLE, &mode), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_PARAMETER);
  EXPECT_EQ(mode, 7u);
  EXPECT_EQ(kepra_SetFrameParams(KEPRA_INVALID_HANDLE, &p), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_STATUS_INVALID_HANDLE);
  // No check of its own: the request is made and fails with the system's error.
  kepra_SetLastError(kSentinel);
  EXPECT_EQ(kepra_GetFrameParams(KEPRA_INVALID_HANDLE, &p), 0u);
  EXPECT_NE(kepra_GetLastError(), kSentinel);
  EXPECT_EQ(p.Width, 640);
  EXPECT_TRUE(camera_->Log().empty());
  EXPECT_TRUE(rig_.DebugLines().empty());
}

TEST_F(FrameParams, FailedRequestsKeepTheirErrorAndWriteNoLine) {
  const std::uint32_t codes[] = {io::IOCTL_FRAME_PARAMS, io::IOCTL_STREAM_MODE,
                                 io::IOCTL_FRONT_LED};
  for (std::uint32_t code : codes) FailCode(code, 0x1F, -1);
  kepra_FrameParams p{};
  std::uint32_t mode = 3;
  EXPECT_EQ(kepra_GetFrameParams(h(), &p), 0u);
  EXPECT_EQ(kepra_GetLastError(), 0x1Fu);
  EXPECT_EQ(kepra_GetStreamMode(h(), &mode), 0u);
  EXPECT_EQ(kepra_GetLastError(), 0x1Fu);
  EXPECT_EQ(mode, 3u);
  EXPECT_EQ(kepra_SetStreamMode(h(), 1), 0u);
  EXPECT_EQ(kepra_GetLastError(), 0x1Fu);
  EXPECT_EQ(kepra_SwitchFrontLED(h(), 1), 0u);
  EXPECT_EQ(kepra_GetLastError(), 0x1Fu);
  EXPECT_TRUE(rig_.DebugLines().empty());
}

TEST_F(FrameParams, LockedSettersSendNothingWithoutTheLock) {
  const kepra_FrameParams window = Window();
  FailCode(io::IOCTL_DEVICE_INDEX, 0x1F);
  EXPECT_EQ(kepra_SetFrameParams(h(), &window), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_STATUS_INVALID_PARAMETER);
  FailCode(io::IOCTL_DEVICE_INDEX, 0x1F);
  EXPECT_EQ(kepra_SetStreamMode(h(), 1), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Codes(), (std::vector<std::uint32_t>{io::IOCTL_DEVICE_INDEX, io::IOCTL_DEVICE_INDEX}));
}

}  // namespace
}  // namespace kt
