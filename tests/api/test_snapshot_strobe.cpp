// Snapshot parameters, strobe parameters (registers 5, 7 and 11), the events state and the
// event search over a frame record.
#include <algorithm>

#include "fixture.h"

namespace kt {
namespace {

class SnapshotStrobe : public CameraTest {
 protected:
  void SetEvents(std::uint8_t state) {
    auto s = camera_->Settings();
    s.events_state = state;
    camera_->SetSettings(s);
  }
};

// ---- Snapshot ----------------------------------------------------------------------------

TEST_F(SnapshotStrobe, SnapshotTimeoutIsSentNegatedWhenInvertedAndReadsBack) {
  const struct {
    std::uint32_t timeout;
    std::uint8_t inverted;
    std::vector<std::uint8_t> sent;
    std::uint8_t inverted_back;
  } cases[] = {
      {500, 1, Bytes({0x0C, 0xFE, 0xFF, 0xFF}), 1},  // 0xFFFFFE0C
      {0, 0x80, Bytes({0, 0, 0, 0x80}), 1},          // any non-zero byte means inverted
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.timeout);
    camera_->ClearLog();
    ASSERT_EQ(kepra_SetSnapshotParams(h(), c.timeout, c.inverted), 1u);
    ExpectOneRequest(io::IOCTL_SNAPSHOT_PARAMS, c.sent, 0, true);
    camera_->ClearLog();
    std::uint32_t timeout = 77;
    std::uint8_t inverted = 77;
    ASSERT_EQ(kepra_GetSnapshotParams(h(), &timeout, &inverted), 1u);
    ExpectOneRequest(io::IOCTL_SNAPSHOT_PARAMS, {}, 4, true);
    EXPECT_EQ(timeout, c.timeout);
    EXPECT_EQ(inverted, c.inverted_back);
  }
}

// ---- Strobe ------------------------------------------------------------------------------

TEST_F(SnapshotStrobe, StrobeSetWritesDelaysInvertedAndModeKeepingOtherBits) {
  SetRegisters({{7, 0x0500}, {11, 0x0035}});
  ASSERT_EQ(kepra_SetStrobeParams(h(), 2, 0x12, 0x34, 1), 1u);
  EXPECT_EQ(Ops(), (Words{"W5=3412", "R7", "W7=4500", "R11", "W11=00B5"}));
  EXPECT_TRUE(Locked());

  std::uint32_t mode = 9;
  std::uint8_t off = 0, on = 0, inverted = 0;
  camera_->ClearLog();
  ASSERT_EQ(kepra_GetStrobeParams(h(), &mode, &off, &on, &inverted), 1u);
  EXPECT_EQ(mode, 2u);
  EXPECT_EQ(off, 0x12);
  EXPECT_EQ(on, 0x34);
  EXPECT_EQ(inverted, 1);
  EXPECT_EQ(Ops(), (Words{"R5", "R7", "R11"}));
  EXPECT_TRUE(Locked());

  // Clearing the flag gives register 7 back its old value.
  ASSERT_EQ(kepra_SetStrobeParams(h(), 0, 0, 0, 0), 1u);
  EXPECT_EQ(camera_->Register(7), 0x0500);
  EXPECT_EQ(camera_->Register(11), 0x0035);
  EXPECT_EQ(camera_->Register(5), 0x0000);

  // Reading takes only its own bits.
  SetRegisters({{5, 0xA55A}, {7, 0xBFFF}, {11, 0xFF7F}});  // bit 14 clear; bits 6-7 = 1
  ASSERT_EQ(kepra_GetStrobeParams(h(), &mode, &off, &on, &inverted), 1u);
  EXPECT_EQ(mode, 1u);
  EXPECT_EQ(off, 0x5A);
  EXPECT_EQ(on, 0xA5);
  EXPECT_EQ(inverted, 0);
  EXPECT_TRUE(rig_.DebugLines().empty());
}

TEST_F(SnapshotStrobe, StrobeMode3IsTheLargestAccepted) {
  camera_->SetRegister(11, 0x0035);
  EXPECT_EQ(kepra_SetStrobeParams(h(), 3, 1, 2, 0), 1u);
  EXPECT_EQ(camera_->Register(11), 0x00F5);
}

// ---- Events ------------------------------------------------------------------------------

// The masking itself is the unit suite's; here the read, the write and the lock around them.
TEST_F(SnapshotStrobe, EventsSetReadsThenWritesTheMaskedStateUnderTheLock) {
  SetEvents(0x25);
  camera_->ClearLog();
  ASSERT_EQ(kepra_SetEventsState(h(), 0x02, 0x03), 1u);
  const auto work = WorkRequests();
  ASSERT_EQ(work.size(), 2u);
  EXPECT_EQ(work[0].code, io::IOCTL_EVENTS_STATE);
  EXPECT_TRUE(work[0].in.empty());
  EXPECT_EQ(work[0].out_size, 1u);
  EXPECT_EQ(work[1].code, io::IOCTL_EVENTS_STATE);
  EXPECT_EQ(work[1].in, Bytes({0x26}));
  EXPECT_TRUE(Locked());

  std::uint8_t bit = 0;
  ASSERT_EQ(kepra_GetEventsState(h(), &bit), 1u);
  EXPECT_EQ(bit, 0x26);
}

TEST_F(SnapshotStrobe, CheckEventsStateSearchesTheRecordWithoutTheCamera) {
  // A frame-information record: event count at byte 26, event bytes from byte 48.
  std::vector<std::uint8_t> record(51, 0);
  record[26] = 3;
  record[49] = 0x05;
  kepra_SetLastError(kSentinel);
  EXPECT_EQ(kepra_CheckEventsState(record.data(), 0x05, 0x05), 1);
  EXPECT_EQ(kepra_CheckEventsState(nullptr, 1, 1), -1);
  EXPECT_EQ(kepra_GetLastError(), kSentinel);
  EXPECT_EQ(rig_.DebugLines(), (Lines{"FrameInfo == NULL!\n"}));
  EXPECT_TRUE(camera_->Log().empty());
}

}  // namespace
}  // namespace kt
