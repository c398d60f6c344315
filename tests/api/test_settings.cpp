// Settings that live in sensor registers: direct register access and the clock, gains,
// readout mode, strobe and events, and the frame-length update after new frame parameters.
// The arithmetic is the unit suite's; here the registers each export reads and writes.
#include <cstring>
#include <limits>
#include <sstream>
#include <tuple>

#include "fixture.h"

namespace kt {
namespace {

class Settings : public CameraTest {};

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// ---- Registers and the clock -------------------------------------------------------------

TEST_F(Settings, RegisterAddressesKeepTheirLow16BitsAndGoOutLittleEndian) {
  camera_->SetRegister(0x2345, 0xBEEF);
  std::uint16_t value = 0;
  ASSERT_EQ(kepra_ReadSensorReg(h(), 0x12345, &value), 1u);
  EXPECT_EQ(value, 0xBEEF);
  EXPECT_TRUE(Sent(io::IOCTL_SENSOR_REG, Bytes({0x45, 0x23}), 2, true));
  ASSERT_EQ(kepra_WriteSensorReg(h(), 0x0C, 0x1F000), 1u);
  EXPECT_TRUE(Sent(io::IOCTL_SENSOR_REG, Bytes({0x0C, 0x00, 0x00, 0xF0}), 0, true));
  EXPECT_EQ(camera_->Register(0x0C), 0xF000);
}

TEST_F(Settings, AFailedClockReadKeepsTheIntegerAndZeroesTheDouble) {
  FailCode(io::IOCTL_FREQUENCY, 0x1F, 2);
  std::uint32_t mhz = 0xABCD;
  double mhz_d = -1.0;
  EXPECT_EQ(kepra_GetFrequency(h(), &mhz), 0u);
  EXPECT_EQ(mhz, 0xABCDu);
  EXPECT_TRUE(Failed(kepra_GetFrequencyD(h(), &mhz_d), 0x1Fu));
  EXPECT_EQ(mhz_d, 0.0);
  EXPECT_TRUE(rig_.DebugLines().empty());
}

TEST_F(Settings, ClockAcceptsFourTo114) {
  for (std::uint32_t mhz : {4u, 114u}) {
    camera_->ClearLog();
    ASSERT_EQ(kepra_SetFrequency(h(), mhz), 1u) << mhz;
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
      {kNaN, 0},
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

// ---- Gain --------------------------------------------------------------------------------

TEST_F(Settings, AnalogAndDigitalGainShareRegister17) {
  ASSERT_EQ(kepra_SetGain(h(), 2.0, 1.5), 1u);
  EXPECT_EQ(Ops(), (Words{"W17=0220"}));
  double a = 0, d = 0;
  ASSERT_EQ(kepra_GetGain(h(), &a, &d), 1u);
  EXPECT_EQ(std::tie(a, d), std::make_tuple(2.0, 1.5));
  // Factors are clamped, never refused: NaN takes the largest codes.
  kepra_SetLastError(kSentinel);
  ASSERT_EQ(kepra_SetGain(h(), kNaN, -1.0), 1u);
  EXPECT_EQ(camera_->Register(17), 0x0600);
  EXPECT_EQ(kepra_GetLastError(), kSentinel);
  // The high byte is the analog code, the low byte the digital one; 7 reads as 8.0.
  camera_->SetRegister(17, 0x07D0);
  ASSERT_EQ(kepra_GetGain(h(), &a, &d), 1u);
  EXPECT_EQ(std::tie(a, d), std::make_tuple(8.0, 10.0));
  EXPECT_TRUE(rig_.DebugLines().empty());
}

// The codes and their clamps are the unit suite's (FineGain, GainCodes); here each factor's byte.
TEST_F(Settings, ColourGainsFillRegisters54And55) {
  ASSERT_EQ(kepra_SetGainC(h(), 1.0, 2.0, 1.3, 0.2), 1u);
  EXPECT_EQ(Ops(), (Words{"W54=80C0", "W55=9300"}));
  camera_->SetRegister(55, 0x93FF);
  camera_->ClearLog();
  double gb = 0, gr = 0, b = 0, r = 0;
  ASSERT_EQ(kepra_GetGainC(h(), &gb, &gr, &b, &r), 1u);
  EXPECT_EQ(Ops(), (Words{"R54", "R55"}));
  EXPECT_EQ(std::tie(gb, gr, b, r), std::make_tuple(1.0, 2.0, 1.296875, 3.96875));
}

TEST_F(Settings, SetGainPausesTwentyMillisecondsEvenWhenTheWriteFails) {
  double start = rig::NowMs();
  ASSERT_EQ(kepra_SetGain(h(), 1.0, 1.0), 1u);
  EXPECT_GE(rig::NowMs() - start, 18.0);

  // The failure's result, debug line and released lock are the fault sweep's.
  FailCode(io::IOCTL_SENSOR_REG, 0x4D);
  start = rig::NowMs();
  EXPECT_EQ(kepra_SetGain(h(), 2.0, 1.5), 0u);
  EXPECT_GE(rig::NowMs() - start, 18.0);
}

// ---- Readout mode: register 11 bits 4-5, the tuning registers of variant 0x0900 ------------

TEST_F(Settings, ReadoutModeIsBitsFourAndFiveOfRegister11) {
  camera_->SetRegister(11, 0xFFE5);  // 2, with the bits around it set
  EXPECT_EQ(Value(kepra_GetReadoutMode), 2u);
  EXPECT_EQ(Ops(), (Words{"R11"}));

  // Variant 0x0800: the other bits kept, the two low bits of the mode taken; no tuning.
  camera_->SetRegister(127, 0x0800);
  camera_->SetRegister(11, 0x00CC);
  camera_->ClearLog();
  ASSERT_EQ(kepra_SetReadoutMode(h(), 1), 1u);
  EXPECT_EQ(Ops(), (Words{"R127", "R11", "W11=00DC"}));
  camera_->SetRegister(11, 0xFFFF);
  ASSERT_EQ(kepra_SetReadoutMode(h(), 5), 1u);
  EXPECT_EQ(camera_->Register(11), 0xFFDF);  // mode 1
  ASSERT_EQ(kepra_SetReadoutMode(h(), 4), 1u);
  EXPECT_EQ(camera_->Register(11), 0xFFCF);  // mode 0

  // An unknown variant: nothing written, a silent failure.
  camera_->SetRegister(127, 0x0A00);
  camera_->ClearLog();
  kepra_SetLastError(kSentinel);
  EXPECT_TRUE(Failed(kepra_SetReadoutMode(h(), 1), kSentinel));
  EXPECT_EQ(Ops(), (Words{"R127"}));
  EXPECT_TRUE(rig_.DebugLines().empty());
}

TEST_F(Settings, ReadoutModeOfVariant0900WritesTheTuningRegistersOfEachMode) {
  const struct {
    std::uint32_t mode;
    Words writes;
    std::uint32_t result;
  } rows[] = {
      {0, {"W11=1204", "W65=E930", "W70=4300", "W109=516E"}, 1},
      {1, {"W11=1214", "W65=E915", "W70=4222", "W109=4C5C"}, 1},
      {2, {"W11=1224", "W65=E915", "W70=4222", "W109=4C5C"}, 1},
      // No tuning row above 2: register 11 only, and a silent failure. 6 reaches the register
      // as 2 but is still above 2.
      {3, {"W11=1234"}, 0},
      {6, {"W11=1224"}, 0},
  };
  ASSERT_EQ(camera_->Register(127), 0x0900);  // the camera's power-on variant
  for (const auto& row : rows) {
    SCOPED_TRACE(row.mode);
    camera_->SetRegister(11, 0x1234);
    camera_->ClearLog();
    kepra_SetLastError(kSentinel);
    ASSERT_EQ(kepra_SetReadoutMode(h(), row.mode), row.result);
    EXPECT_EQ(kepra_GetLastError(), kSentinel);
    Words expected{"R127", "R11"};
    expected.insert(expected.end(), row.writes.begin(), row.writes.end());
    EXPECT_EQ(Ops(), expected);
    EXPECT_TRUE(Locked());  // released on the failure path too
  }
  EXPECT_TRUE(rig_.DebugLines().empty());
  ASSERT_EQ(kepra_SetReadoutMode(h(), 3), 0u);
  EXPECT_EQ(Value(kepra_GetReadoutMode), 3u);
}

// ---- Strobe (registers 5, 7 and 11) and events --------------------------------------------

TEST_F(Settings, StrobeSetWritesDelaysInvertedAndModeKeepingOtherBits) {
  SetRegisters({{7, 0x0500}, {11, 0x0035}});
  ASSERT_EQ(kepra_SetStrobeParams(h(), 2, 0x12, 0x34, 1), 1u);
  EXPECT_EQ(Ops(), (Words{"W5=3412", "R7", "W7=4500", "R11", "W11=00B5"}));

  std::uint32_t mode = 9;
  std::uint8_t off = 0, on = 0, inverted = 0;
  camera_->ClearLog();
  ASSERT_EQ(kepra_GetStrobeParams(h(), &mode, &off, &on, &inverted), 1u);
  EXPECT_EQ(std::tie(mode, off, on, inverted), std::make_tuple(2u, 0x12, 0x34, 1));
  EXPECT_EQ(Ops(), (Words{"R5", "R7", "R11"}));

  // Clearing the flag gives register 7 back its old value.
  ASSERT_EQ(kepra_SetStrobeParams(h(), 0, 0, 0, 0), 1u);
  EXPECT_EQ(std::make_tuple(camera_->Register(7), camera_->Register(11), camera_->Register(5)),
            std::make_tuple(0x0500, 0x0035, 0x0000));
  // Mode 3 is the largest accepted.
  EXPECT_EQ(kepra_SetStrobeParams(h(), 3, 1, 2, 0), 1u);
  EXPECT_EQ(camera_->Register(11), 0x00F5);

  // Reading takes only its own bits.
  SetRegisters({{5, 0xA55A}, {7, 0xBFFF}, {11, 0xFF7F}});  // bit 14 clear; bits 6-7 = 1
  ASSERT_EQ(kepra_GetStrobeParams(h(), &mode, &off, &on, &inverted), 1u);
  EXPECT_EQ(std::tie(mode, off, on, inverted), std::make_tuple(1u, 0x5A, 0xA5, 0));
  EXPECT_TRUE(rig_.DebugLines().empty());
}

// The masking itself is the unit suite's; here the read, the write and the lock around them.
TEST_F(Settings, EventsSetReadsThenWritesTheMaskedStateUnderTheLock) {
  auto s = camera_->Settings();
  s.events_state = 0x25;
  camera_->SetSettings(s);
  camera_->ClearLog();
  ASSERT_EQ(kepra_SetEventsState(h(), 0x02, 0x03), 1u);
  const auto work = WorkRequests();
  ASSERT_EQ(work.size(), 2u);
  EXPECT_EQ(std::make_tuple(work[0].code, work[0].in, work[0].out_size),
            std::make_tuple(io::IOCTL_EVENTS_STATE, Bytes({}), 1u));
  EXPECT_EQ(std::make_tuple(work[1].code, work[1].in),
            std::make_tuple(io::IOCTL_EVENTS_STATE, Bytes({0x26})));

  EXPECT_EQ(Value(kepra_GetEventsState), 0x26);

  // The search over a frame record needs no camera: event count at byte 26, events from 48.
  std::vector<std::uint8_t> record(51, 0);
  record[26] = 3;
  record[49] = 0x05;
  camera_->ClearLog();
  kepra_SetLastError(kSentinel);
  EXPECT_EQ(kepra_CheckEventsState(record.data(), 0x05, 0x05), 1);
  EXPECT_EQ(kepra_CheckEventsState(nullptr, 1, 1), -1);
  EXPECT_EQ(kepra_GetLastError(), kSentinel);
  EXPECT_EQ(rig_.DebugLines(), (Lines{"FrameInfo == NULL!\n"}));
  EXPECT_TRUE(camera_->Log().empty());
}

// ---- Frame parameters and the frame-length update that follows them -----------------------

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
  const std::string kRecord =
      (std::ostringstream() << std::hex << std::uppercase << "0x" << io::IOCTL_FRAME_PARAMS).str();
};

TEST_F(FrameParams, SetSendsTheRecordThenUpdatesTheFrameLengthUnderTheLock) {
  ShortFrame();
  const kepra_FrameParams window = Window();
  ASSERT_EQ(kepra_SetFrameParams(h(), &window), 1u);
  const auto work = WorkRequests();
  ASSERT_FALSE(work.empty());
  EXPECT_EQ(work[0].in, Bytes({0x40, 0x01, 0x10, 0x01, 0x80, 0x02, 0xE0, 0x01, 8, 0, 2, 0, 2,
                               0,    1,    0,    0,    0,    0,    0,    0,    0, 0, 0, 0, 0}));
  EXPECT_EQ(work[0].out_size, 0u);
  // The update: register 62, the timing snapshot, then the raised frame length.
  EXPECT_EQ(Ops(), (Words{kRecord, "R62", "BLOCK", "R57", "R73", "W12=0077"}));

  const kepra_FrameParams back = Value(kepra_GetFrameParams);
  EXPECT_EQ(std::memcmp(&back, &window, sizeof back), 0);

  // The sensor does not ask: register 62 is read, the frame left alone.
  SetRegisters({{62, 0}, {12, 50}});
  camera_->ClearLog();
  ASSERT_EQ(kepra_SetFrameParams(h(), &window), 1u);
  EXPECT_EQ(Ops(), (Words{kRecord, "R62"}));
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
    EXPECT_TRUE(Failed(kepra_SetFrameParams(h(), &c.record), c.error));
    EXPECT_TRUE(Locked());
    EXPECT_EQ(Ops(), (Words{kRecord + "!", "R62", "BLOCK", "R57", "R73", "W12=0077"}));
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

}  // namespace
}  // namespace kt
