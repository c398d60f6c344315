// Snapshot parameters, strobe parameters (registers 5, 7 and 11), the events state and the
// event search over a frame record.
#include <functional>

#include "fixture.h"
#include "register_log.h"

namespace kt {
namespace {

class SnapshotStrobe : public CameraTest {
 protected:
  std::vector<RegisterAccess> Accesses() const { return RegisterAccesses(camera_->Log()); }
  void SetEvents(std::uint8_t state) {
    auto s = camera_->Settings();
    s.events_state = state;
    camera_->SetSettings(s);
  }
};

// ---- Snapshot ----------------------------------------------------------------------------

TEST_F(SnapshotStrobe, SnapshotInvertedTimeoutIsSentNegatedAndReadsBack) {
  ASSERT_EQ(kepra_SetSnapshotParams(h(), 500, 1), 1u);
  auto work = WorkRequests();
  ASSERT_EQ(work.size(), 1u);
  EXPECT_EQ(work[0].code, io::IOCTL_SNAPSHOT_PARAMS);
  EXPECT_EQ(work[0].in, Bytes({0x0C, 0xFE, 0xFF, 0xFF}));  // 0xFFFFFE0C
  EXPECT_EQ(work[0].out_size, 0u);
  EXPECT_TRUE(Locked(camera_->Log()));

  camera_->ClearLog();
  std::uint32_t timeout = 0;
  std::uint8_t inverted = 0;
  ASSERT_EQ(kepra_GetSnapshotParams(h(), &timeout, &inverted), 1u);
  EXPECT_EQ(timeout, 500u);
  EXPECT_EQ(inverted, 1);
  work = WorkRequests();
  ASSERT_EQ(work.size(), 1u);
  EXPECT_EQ(work[0].code, io::IOCTL_SNAPSHOT_PARAMS);
  EXPECT_TRUE(work[0].in.empty());
  EXPECT_EQ(work[0].out_size, 4u);
  EXPECT_TRUE(Locked(camera_->Log()));
}

TEST_F(SnapshotStrobe, SnapshotZeroTimeoutInvertedIsTheTopBitAlone) {
  ASSERT_EQ(kepra_SetSnapshotParams(h(), 0, 0x80), 1u);  // any non-zero byte means inverted
  EXPECT_EQ(camera_->Settings().snapshot, 0x80000000u);
  std::uint32_t timeout = 77;
  std::uint8_t inverted = 0;
  ASSERT_EQ(kepra_GetSnapshotParams(h(), &timeout, &inverted), 1u);
  EXPECT_EQ(timeout, 0u);
  EXPECT_EQ(inverted, 1);

  camera_->ClearLog();
  ASSERT_EQ(kepra_SetSnapshotParams(h(), 0, 0), 1u);
  const auto work = WorkRequests();
  ASSERT_EQ(work.size(), 1u);
  EXPECT_EQ(work[0].in, Bytes({0, 0, 0, 0}));
  ASSERT_EQ(kepra_GetSnapshotParams(h(), &timeout, &inverted), 1u);
  EXPECT_EQ(timeout, 0u);
  EXPECT_EQ(inverted, 0);

  ASSERT_EQ(kepra_SetSnapshotParams(h(), 1000, 0), 1u);
  EXPECT_EQ(camera_->Settings().snapshot, 1000u);
}

TEST_F(SnapshotStrobe, AFailedSnapshotRequestWritesNeitherValueNorLine) {
  FailCode(io::IOCTL_SNAPSHOT_PARAMS, 0x1F, 2);
  std::uint32_t timeout = 123;
  std::uint8_t inverted = 9;
  EXPECT_EQ(kepra_GetSnapshotParams(h(), &timeout, &inverted), 0u);
  EXPECT_EQ(kepra_GetLastError(), 0x1Fu);
  EXPECT_EQ(timeout, 123u);
  EXPECT_EQ(inverted, 9);
  EXPECT_EQ(kepra_SetSnapshotParams(h(), 5, 0), 0u);
  EXPECT_EQ(kepra_GetLastError(), 0x1Fu);
  EXPECT_TRUE(rig_.DebugLines().empty());
  EXPECT_TRUE(Locked(camera_->Log()));
}

// ---- Strobe ------------------------------------------------------------------------------

TEST_F(SnapshotStrobe, StrobeSetWritesDelaysInvertedAndModeKeepingOtherBits) {
  camera_->SetRegister(7, 0x0500);
  camera_->SetRegister(11, 0x0035);
  ASSERT_EQ(kepra_SetStrobeParams(h(), 2, 0x12, 0x34, 1), 1u);
  EXPECT_EQ(Accesses(), (std::vector{Write(5, 0x3412), Read(7), Write(7, 0x4500), Read(11),
                                     Write(11, 0x00B5)}));
  EXPECT_TRUE(Locked(camera_->Log()));
  EXPECT_EQ(camera_->Register(5), 0x3412);
  EXPECT_EQ(camera_->Register(7), 0x4500);
  EXPECT_EQ(camera_->Register(11), 0x00B5);

  std::uint32_t mode = 9;
  std::uint8_t off = 0, on = 0, inverted = 0;
  camera_->ClearLog();
  ASSERT_EQ(kepra_GetStrobeParams(h(), &mode, &off, &on, &inverted), 1u);
  EXPECT_EQ(mode, 2u);
  EXPECT_EQ(off, 0x12);
  EXPECT_EQ(on, 0x34);
  EXPECT_EQ(inverted, 1);
  EXPECT_EQ(Accesses(), (std::vector{Read(5), Read(7), Read(11)}));
  EXPECT_TRUE(Locked(camera_->Log()));

  // Clearing the flag gives register 7 back its old value.
  ASSERT_EQ(kepra_SetStrobeParams(h(), 0, 0, 0, 0), 1u);
  EXPECT_EQ(camera_->Register(7), 0x0500);
  EXPECT_EQ(camera_->Register(11), 0x0035);
  EXPECT_EQ(camera_->Register(5), 0x0000);
  EXPECT_TRUE(rig_.DebugLines().empty());
}

TEST_F(SnapshotStrobe, StrobeGetTakesOnlyItsOwnBits) {
  camera_->SetRegister(5, 0xA55A);
  camera_->SetRegister(7, 0xBFFF);   // everything but bit 14
  camera_->SetRegister(11, 0xFF7F);  // bits 6-7 = 1
  std::uint32_t mode = 0;
  std::uint8_t off = 0, on = 0, inverted = 1;
  ASSERT_EQ(kepra_GetStrobeParams(h(), &mode, &off, &on, &inverted), 1u);
  EXPECT_EQ(mode, 1u);
  EXPECT_EQ(off, 0x5A);
  EXPECT_EQ(on, 0xA5);
  EXPECT_EQ(inverted, 0);
}

TEST_F(SnapshotStrobe, StrobeModeAbove3IsRefusedBeforeTheLock) {
  camera_->SetRegister(11, 0x0035);
  for (std::uint32_t mode : {4u, 0x100u, 0xFFFFFFFFu}) {
    EXPECT_EQ(kepra_SetStrobeParams(h(), mode, 1, 2, 0), 0u) << mode;
    EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_PARAMETER) << mode;
    EXPECT_EQ(rig_.DebugLines(), (std::vector<std::string>{"StrobeMode is not valid"})) << mode;
  }
  EXPECT_TRUE(camera_->Log().empty());
  EXPECT_EQ(kepra_SetStrobeParams(h(), 3, 1, 2, 0), 1u);
  EXPECT_EQ(camera_->Register(11), 0x00F5);
}

TEST_F(SnapshotStrobe, StrobeSetGoesOnWhenRegister7CannotBeRead) {
  camera_->SetRegister(7, 0x0500);
  camera_->SetRegister(11, 0x0000);
  camera_->AddFault(NthFault(io::IOCTL_SENSOR_REG, 2, 0x1F));
  EXPECT_EQ(kepra_SetStrobeParams(h(), 1, 3, 4, 1), 1u);
  EXPECT_EQ(Accesses(),
            (std::vector{Write(5, 0x0403), Read(7, false), Read(11), Write(11, 0x0040)}));
  EXPECT_EQ(camera_->Register(7), 0x0500);
  EXPECT_TRUE(rig_.DebugLines().empty());
}

TEST_F(SnapshotStrobe, StrobeSetStopsAtOtherFailuresKeepingEarlierWrites) {
  struct Case {
    std::uint64_t nth;
    std::vector<RegisterAccess> expected;
  };
  const Case cases[] = {
      {1, {Write(5, 0x0403, false)}},
      {3, {Write(5, 0x0403), Read(7), Write(7, 0x4000, false)}},
      {4, {Write(5, 0x0403), Read(7), Write(7, 0x4000), Read(11, false)}},
      {5, {Write(5, 0x0403), Read(7), Write(7, 0x4000), Read(11), Write(11, 0x0040, false)}},
  };
  for (const Case& c : cases) {
    camera_->SetRegister(5, 0);
    camera_->SetRegister(7, 0);
    camera_->SetRegister(11, 0);
    camera_->ClearLog();
    camera_->AddFault(NthFault(io::IOCTL_SENSOR_REG, c.nth, 0x1F));
    EXPECT_EQ(kepra_SetStrobeParams(h(), 1, 3, 4, 1), 0u) << c.nth;
    EXPECT_EQ(kepra_GetLastError(), 0x1Fu) << c.nth;
    EXPECT_EQ(Accesses(), c.expected) << c.nth;
    EXPECT_TRUE(Locked(camera_->Log())) << c.nth;
    EXPECT_EQ(camera_->Register(5), c.nth > 1 ? 0x0403 : 0) << c.nth;
    EXPECT_EQ(camera_->Register(7), c.nth > 3 ? 0x4000 : 0) << c.nth;
    EXPECT_EQ(camera_->Register(11), 0) << c.nth;
  }
  EXPECT_TRUE(rig_.DebugLines().empty());
}

TEST_F(SnapshotStrobe, StrobeGetStopsAtTheFirstFailedReadKeepingWhatItDelivered) {
  camera_->SetRegister(5, 0x3412);
  camera_->SetRegister(7, 0x4000);
  for (std::uint64_t nth : {1u, 2u, 3u}) {
    camera_->ClearLog();
    camera_->AddFault(NthFault(io::IOCTL_SENSOR_REG, nth, 0x1F));
    std::uint32_t mode = 9;
    std::uint8_t off = 9, on = 9, inverted = 9;
    EXPECT_EQ(kepra_GetStrobeParams(h(), &mode, &off, &on, &inverted), 0u) << nth;
    EXPECT_EQ(kepra_GetLastError(), 0x1Fu) << nth;
    EXPECT_EQ(off, nth > 1 ? 0x12 : 9) << nth;
    EXPECT_EQ(on, nth > 1 ? 0x34 : 9) << nth;
    EXPECT_EQ(inverted, nth > 2 ? 1 : 9) << nth;
    EXPECT_EQ(mode, 9u) << nth;
    EXPECT_EQ(Accesses().size(), nth) << nth;
  }
  EXPECT_TRUE(rig_.DebugLines().empty());
}

TEST_F(SnapshotStrobe, StrobeGetRefusesNullPointersInParameterOrder) {
  std::uint32_t mode = 0;
  std::uint8_t off = 0, on = 0, inverted = 0;
  EXPECT_EQ(kepra_GetStrobeParams(h(), nullptr, nullptr, nullptr, nullptr), 0u);
  EXPECT_EQ(kepra_GetStrobeParams(h(), &mode, nullptr, nullptr, nullptr), 0u);
  EXPECT_EQ(kepra_GetStrobeParams(h(), &mode, &off, nullptr, nullptr), 0u);
  EXPECT_EQ(kepra_GetStrobeParams(h(), &mode, &off, &on, nullptr), 0u);
  EXPECT_EQ(kepra_GetStrobeParams(h(), nullptr, &off, &on, &inverted), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_PARAMETER);
  EXPECT_EQ(rig_.DebugLines(),
            (std::vector<std::string>{"StrobeMode is NULL", "StrobeOffDelay is NULL",
                                      "StrobeOnDelay is NULL", "Inverted is NULL",
                                      "StrobeMode is NULL"}));
  EXPECT_TRUE(camera_->Log().empty());
}

// ---- Events ------------------------------------------------------------------------------

TEST_F(SnapshotStrobe, EventsSetChangesTheMaskedBitsOfTheCurrentState) {
  struct Case {
    std::uint8_t state, bit, mask, written;
  };
  const Case cases[] = {
      {0x25, 0x01, 0x03, 0x25}, {0x25, 0x02, 0x03, 0x26},
      {0x35, 0x11, 0xF0, 0x24},  // mask outside bits 0-3: bits of Bit are cleared
      {0x00, 0x0F, 0xFF, 0x0F}, {0xFF, 0x00, 0x0F, 0xF0},
  };
  for (const Case& c : cases) {
    SetEvents(c.state);
    camera_->ClearLog();
    ASSERT_EQ(kepra_SetEventsState(h(), c.bit, c.mask), 1u);
    const auto work = WorkRequests();
    ASSERT_EQ(work.size(), 2u);
    EXPECT_EQ(work[0].code, io::IOCTL_EVENTS_STATE);
    EXPECT_TRUE(work[0].in.empty());
    EXPECT_EQ(work[0].out_size, 1u);
    EXPECT_EQ(work[1].code, io::IOCTL_EVENTS_STATE);
    EXPECT_EQ(work[1].in, Bytes({c.written}));
    EXPECT_EQ(work[1].out_size, 0u);
    EXPECT_TRUE(Locked(camera_->Log()));
    EXPECT_EQ(camera_->Settings().events_state, c.written);
  }
}

TEST_F(SnapshotStrobe, EventsSetWritesNothingWhenTheStateCannotBeRead) {
  SetEvents(0x25);
  FailCode(io::IOCTL_EVENTS_STATE, 0x1F);
  EXPECT_EQ(kepra_SetEventsState(h(), 0x02, 0x03), 0u);
  EXPECT_EQ(kepra_GetLastError(), 0x1Fu);
  EXPECT_EQ(WorkRequests().size(), 1u);
  EXPECT_EQ(camera_->Settings().events_state, 0x25);
  EXPECT_TRUE(rig_.DebugLines().empty());
  EXPECT_TRUE(Locked(camera_->Log()));
}

TEST_F(SnapshotStrobe, EventsSetReportsAFailedWrite) {
  SetEvents(0x25);
  camera_->AddFault(NthFault(io::IOCTL_EVENTS_STATE, 2, 0x1F));
  EXPECT_EQ(kepra_SetEventsState(h(), 0x02, 0x03), 0u);
  EXPECT_EQ(kepra_GetLastError(), 0x1Fu);
  EXPECT_EQ(WorkRequests().size(), 2u);
  EXPECT_EQ(camera_->Settings().events_state, 0x25);
}

TEST_F(SnapshotStrobe, EventsGetDeliversTheDriversByte) {
  SetEvents(0xA7);
  std::uint8_t bit = 0;
  ASSERT_EQ(kepra_GetEventsState(h(), &bit), 1u);
  EXPECT_EQ(bit, 0xA7);
  EXPECT_TRUE(Locked(camera_->Log()));
  FailCode(io::IOCTL_EVENTS_STATE, 0x1F);
  bit = 0x11;
  EXPECT_EQ(kepra_GetEventsState(h(), &bit), 0u);
  EXPECT_EQ(kepra_GetLastError(), 0x1Fu);
  EXPECT_EQ(bit, 0x11);
  EXPECT_TRUE(rig_.DebugLines().empty());
}

// A frame-information record: event count at byte 26, event bytes from byte 48.
std::vector<std::uint8_t> FrameRecord(const std::vector<std::uint8_t>& events) {
  std::vector<std::uint8_t> record(48 + events.size(), 0);
  record[26] = static_cast<std::uint8_t>(events.size());
  record[27] = static_cast<std::uint8_t>(events.size() >> 8);
  std::copy(events.begin(), events.end(), record.begin() + 48);
  return record;
}

TEST_F(SnapshotStrobe, CheckEventsStateSearchesTheRecordWithoutTheCamera) {
  kepra_SetLastError(kSentinel);
  const auto record = FrameRecord({0x00, 0x05, 0x07});
  EXPECT_EQ(kepra_CheckEventsState(record.data(), 0x05, 0x05), 1);
  EXPECT_EQ(kepra_CheckEventsState(record.data(), 0x05, 0x00), 0);
  EXPECT_EQ(kepra_CheckEventsState(record.data(), 0x07, 0x07), 2);
  EXPECT_EQ(kepra_CheckEventsState(record.data(), 0x08, 0x08), -1);
  const auto empty = FrameRecord({});
  EXPECT_EQ(kepra_CheckEventsState(empty.data(), 0x00, 0x00), -1);
  std::vector<std::uint8_t> many(260, 0x01);
  many[258] = 0x03;
  EXPECT_EQ(kepra_CheckEventsState(FrameRecord(many).data(), 0x02, 0x02), 258);
  EXPECT_EQ(kepra_GetLastError(), kSentinel);
  EXPECT_TRUE(rig_.DebugLines().empty());
  EXPECT_TRUE(camera_->Log().empty());
}

TEST_F(SnapshotStrobe, CheckEventsStateWithoutARecordWritesItsLine) {
  kepra_SetLastError(kSentinel);
  EXPECT_EQ(kepra_CheckEventsState(nullptr, 1, 1), -1);
  EXPECT_EQ(kepra_GetLastError(), kSentinel);
  EXPECT_EQ(rig_.DebugLines(), (std::vector<std::string>{"FrameInfo == NULL!\n"}));
}

// ---- Checks common to the family ---------------------------------------------------------

TEST_F(SnapshotStrobe, InvalidHandleAndNullPointersAreRefusedWith87AndALine) {
  std::uint32_t u32 = 5;
  std::uint8_t a = 5, b = 5, c = 5;
  const KEPRA_HANDLE bad = KEPRA_INVALID_HANDLE;
  struct Case {
    const char* what;
    std::uint32_t result;
    const char* line;
  };
  const Case cases[] = {
      {"GetSnapshot(bad)", kepra_GetSnapshotParams(bad, nullptr, nullptr), "H is not valid"},
      {"GetSnapshot(TimeoutMs)", kepra_GetSnapshotParams(h(), nullptr, &a), "TimeoutMs is NULL"},
      {"GetSnapshot(both)", kepra_GetSnapshotParams(h(), nullptr, nullptr), "TimeoutMs is NULL"},
      {"GetSnapshot(Inverted)", kepra_GetSnapshotParams(h(), &u32, nullptr), "Inverted is NULL"},
      {"SetSnapshot(bad)", kepra_SetSnapshotParams(bad, 1, 1), "H is not valid"},
      {"GetStrobe(bad)", kepra_GetStrobeParams(bad, nullptr, nullptr, nullptr, nullptr),
       "H is not valid"},
      {"SetStrobe(bad)", kepra_SetStrobeParams(bad, 9, 1, 1, 1), "H is not valid"},
      {"GetEvents(bad)", kepra_GetEventsState(bad, nullptr), "H is not valid"},
      {"GetEvents(null)", kepra_GetEventsState(h(), nullptr), "Bit is NULL"},
      {"SetEvents(bad)", kepra_SetEventsState(bad, 1, 1), "H is not valid"},
      {"GetStrobe(bad, ok)", kepra_GetStrobeParams(bad, &u32, &a, &b, &c), "H is not valid"},
  };
  const auto lines = rig_.DebugLines();
  ASSERT_EQ(lines.size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(cases[i].result, 0u) << cases[i].what;
    EXPECT_EQ(lines[i], cases[i].line) << cases[i].what;
  }
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_PARAMETER);
  EXPECT_EQ(u32, 5u);
  EXPECT_EQ(a + b + c, 15);
  EXPECT_TRUE(camera_->Log().empty());
}

TEST_F(SnapshotStrobe, NothingIsSentWhenTheLockCannotBeTaken) {
  std::uint32_t u32 = 0;
  std::uint8_t a = 0, b = 0, c = 0;
  const std::function<std::uint32_t()> calls[] = {
      [&] { return kepra_GetSnapshotParams(h(), &u32, &a); },
      [&] { return kepra_SetSnapshotParams(h(), 1, 1); },
      [&] { return kepra_GetStrobeParams(h(), &u32, &a, &b, &c); },
      [&] { return kepra_SetStrobeParams(h(), 1, 1, 1, 1); },
      [&] { return kepra_GetEventsState(h(), &a); },
      [&] { return kepra_SetEventsState(h(), 1, 1); },
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
