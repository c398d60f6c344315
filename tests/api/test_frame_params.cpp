// Frame parameters (with the frame-length update that follows a set), stream mode and front
// LED: the request each sends, its handle check and whether it takes the lock.
#include <cstring>

#include "fixture.h"

namespace kt {
namespace {

class FrameParams : public CameraTest {
 protected:
  // A record the camera accepts: a centred 640 x 480 window, 8 bits, 2 x 2 binning, mirrored.
  static kepra_FrameParams Window() {
    return Params(320, 272, 640, 480, 8, 2, 2, KEPRA_FRAME_MIRROR_X);
  }
  // The sensor asks for the frame-length update (register 62 bit 4) and its frame is too short
  // for an exposure of 100 lines. With every other timing register 0 the minimum frame length
  // is 100 + (11 + 6) + 2 = 119 lines = 0x77.
  void ShortFrame() {
    for (std::uint16_t r : {4, 6, 7, 8, 10, 11, 13, 16, 19, 21, 23, 25, 26, 57, 73}) {
      camera_->SetRegister(r, 0);
    }
    SetRegisters({{62, 0x0010}, {14, 100}, {12, 50}});
    camera_->ClearLog();
  }
};

const std::string kFrameParams = "0x" + [] {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%X", io::IOCTL_FRAME_PARAMS);
  return std::string(hex);
}();

TEST_F(FrameParams, TheCameraStartsWithTheFullSensorAndGetTakesNoLock) {
  kepra_FrameParams p;
  std::memset(&p, 0xCC, sizeof p);
  ASSERT_EQ(kepra_GetFrameParams(h(), &p), 1u);
  const kepra_FrameParams full = Params(0, 0, 1280, 1024);
  EXPECT_EQ(std::memcmp(&p, &full, sizeof p), 0);
  ExpectOneRequest(io::IOCTL_FRAME_PARAMS, {}, 26, false);
}

TEST_F(FrameParams, SetSendsTheRecordThenUpdatesTheFrameLengthUnderTheLock) {
  ShortFrame();
  const kepra_FrameParams window = Window();
  ASSERT_EQ(kepra_SetFrameParams(h(), &window), 1u);
  EXPECT_TRUE(Locked());
  const auto work = WorkRequests();
  ASSERT_FALSE(work.empty());
  EXPECT_EQ(work[0].in, Bytes({0x40, 0x01, 0x10, 0x01, 0x80, 0x02, 0xE0, 0x01, 8, 0, 2, 0, 2,
                               0,    1,    0,    0,    0,    0,    0,    0,    0, 0, 0, 0, 0}));
  EXPECT_EQ(work[0].out_size, 0u);
  // The update: register 62, the timing snapshot, then the raised frame length.
  EXPECT_EQ(Ops(), (Words{kFrameParams, "R62", "BLOCK", "R57", "R73", "W12=0077"}));

  kepra_FrameParams back{};
  ASSERT_EQ(kepra_GetFrameParams(h(), &back), 1u);
  EXPECT_EQ(std::memcmp(&back, &window, sizeof back), 0);

  // The sensor does not ask: register 62 is read, the frame left alone.
  SetRegisters({{62, 0}, {12, 50}});
  camera_->ClearLog();
  ASSERT_EQ(kepra_SetFrameParams(h(), &window), 1u);
  EXPECT_EQ(Ops(), (Words{kFrameParams, "R62"}));
}

TEST_F(FrameParams, SetRunsTheUpdateEvenWhenTheDriverRefusesTheRecord) {
  // Refused by an injected failure, and by the camera's own check (an empty region).
  kepra_FrameParams empty = Window();
  empty.Width = 0;
  const struct {
    kepra_FrameParams record;
    bool inject;
    std::uint32_t error;
  } cases[] = {{Window(), true, 0x1F}, {empty, false, 87}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    ShortFrame();
    if (c.inject) FailCode(io::IOCTL_FRAME_PARAMS, c.error);
    EXPECT_EQ(kepra_SetFrameParams(h(), &c.record), 0u);
    EXPECT_EQ(kepra_GetLastError(), c.error);
    EXPECT_TRUE(Locked());
    EXPECT_EQ(Ops(), (Words{kFrameParams + "!", "R62", "BLOCK", "R57", "R73", "W12=0077"}));
    EXPECT_EQ(camera_->Settings().frame_params, vcam::DefaultFrameParams());
  }

  // The update fails (snapshot refused) but the record was taken: success.
  ShortFrame();
  FailCode(io::IOCTL_SENSOR_REGS, 0x1F);
  const kepra_FrameParams window = Window();
  EXPECT_EQ(kepra_SetFrameParams(h(), &window), 1u);
  EXPECT_EQ(camera_->Register(12), 50);
  EXPECT_EQ(rig_.DebugLines(), (Lines{"CxReadSensorRegs failed", "CxGetFramerateRegs failed"}));
}

TEST_F(FrameParams, StreamModeAndFrontLedSendTheirValues) {
  ASSERT_EQ(kepra_SetStreamMode(h(), 0x01020304), 1u);
  ExpectOneRequest(io::IOCTL_STREAM_MODE, Bytes({0x04, 0x03, 0x02, 0x01}), 0, true);

  camera_->ClearLog();
  std::uint32_t mode = 0;
  ASSERT_EQ(kepra_GetStreamMode(h(), &mode), 1u);
  EXPECT_EQ(mode, 0x01020304u);
  ExpectOneRequest(io::IOCTL_STREAM_MODE, {}, 4, false);

  for (std::uint8_t state : {1, 0xA5}) {
    camera_->ClearLog();
    ASSERT_EQ(kepra_SwitchFrontLED(h(), state), 1u);
    ExpectOneRequest(io::IOCTL_FRONT_LED, Bytes({state}), 0, false);
    EXPECT_EQ(camera_->Settings().front_led, state);
  }
}

}  // namespace
}  // namespace kt
