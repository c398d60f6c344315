// The exports that pass bytes through: frames, versions, identity, bad pixels, snapshot, HDR,
// stream mode, LED, frame parameters; each sends one request, whose code, input bytes, length
// asked for and lock are checked with what the reply became. Then the frame format, the error
// texts and the library version. Argument checks and request failures are the exports'
// table's (test_exports.cpp).
#include <algorithm>
#include <array>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "fixture.h"

namespace kt {
namespace {

class Requests : public CameraTest {};

TEST_F(Requests, EachSendsItsRequestAndDeliversTheReply) {
  constexpr bool kLocked = true, kAlone = false;
  camera_->SetFrequency(48);
  camera_->SetFirmware({0x0102, 0xA0B0, 0x0001, 0x0006, 0x9C});
  auto settings = camera_->Settings();
  settings.hdr = 0x5A;
  camera_->SetSettings(settings);
  std::vector<std::uint8_t> frame(1000);
  std::uint8_t u8a = 0, u8b = 0, byte = 0xAB;
  std::uint16_t v[4] = {}, count = 0;
  std::uint32_t u32a = 0, u32b = 0xD5D5D5D5;

  EXPECT_EQ(kepra_GetFrame16(h(), frame.data(), 1000), 1u);
  EXPECT_TRUE(Sent(io::IOCTL_GET_FRAME16, {}, 1000, kAlone));
  EXPECT_EQ(kepra_GetFrameEx16(h(), frame.data(), 1000), 1u);
  EXPECT_TRUE(Sent(io::IOCTL_GET_FRAME_EX16, {}, 1000, kAlone));
  EXPECT_EQ(kepra_GetFrame8(h(), frame.data(), 1000), 1u);
  EXPECT_TRUE(Sent(io::IOCTL_GET_FRAME8, {}, 1000, kAlone));
  EXPECT_EQ(kepra_GetFrameEx8(h(), frame.data(), 1000), 1u);
  EXPECT_TRUE(Sent(io::IOCTL_GET_FRAME_EX8, {}, 1000, kAlone));
  EXPECT_EQ(kepra_GetFrameAfterEx16(h(), frame.data(), 999, 0x01020304), 1u);
  EXPECT_TRUE(Sent(io::IOCTL_GET_FRAME_AFTER_EX16, Bytes({4, 3, 2, 1}), 999, kAlone));
  EXPECT_EQ(kepra_GetFrameAfterEx8(h(), frame.data(), 64, 0xFFFFFFFE), 1u);
  EXPECT_TRUE(Sent(io::IOCTL_GET_FRAME_AFTER_EX8, Bytes({0xFE, 0xFF, 0xFF, 0xFF}), 64, kAlone));
  EXPECT_EQ(kepra_GetFrame16(h(), &byte, 0), 1u);  // a zero length goes to the driver too
  EXPECT_TRUE(Sent(io::IOCTL_GET_FRAME16, {}, 0, kAlone));
  EXPECT_EQ(byte, 0xAB);

  EXPECT_EQ(kepra_GetUsbSpeed(h(), &u32a, nullptr), 1u);
  EXPECT_TRUE(Sent(io::IOCTL_USB_SPEED, {}, 4, kAlone));
  EXPECT_EQ(u32a, 3u);
  EXPECT_EQ(kepra_GetUsbSpeed(h(), &u32a, &u32b), 1u);
  EXPECT_TRUE(Sent(io::IOCTL_USB_SPEED, {}, 8, kAlone));
  EXPECT_EQ(u32b, 500000000u);  // 5 Gbit/s after 8b/10b coding
  EXPECT_EQ(kepra_GetFWVersion(h(), &v[0], &v[1], &v[2], &v[3], &u8a), 1u);
  EXPECT_TRUE(Sent(io::IOCTL_FW_VERSION, {}, 12, kAlone));
  EXPECT_EQ((std::vector<std::uint16_t>(v, v + 4)),
            (std::vector<std::uint16_t>{0x0102, 0xA0B0, 1, 6}));
  EXPECT_EQ(u8a, 0x9C);
  EXPECT_EQ(kepra_GetFWVersion(h(), &v[0], &v[1], nullptr, nullptr, &u8a), 1u);
  EXPECT_TRUE(Sent(io::IOCTL_FW_VERSION, {}, 12, kAlone));
  char text[64];
  EXPECT_EQ(kepra_GetDrvLogMsg(h(), text, 21, &u32a), 1u);  // the shortest buffer
  EXPECT_TRUE(Sent(io::IOCTL_DRV_LOG_MSG, {}, 21, kAlone));
  ASSERT_GE(u32a, 1u);
  ASSERT_LE(u32a, 21u);
  EXPECT_EQ(text[u32a - 1], '\0');
  EXPECT_EQ(kepra_DeviceReset(h()), 1u);
  EXPECT_TRUE(Sent(io::IOCTL_DEVICE_RESET, {}, 0, kAlone));
  EXPECT_EQ(kepra_PostTestFWError(h()), 1u);
  EXPECT_TRUE(Sent(io::IOCTL_POST_TEST_FW_ERROR, {}, 0, kAlone));

  // The identity check: "KEPRA " and the serial number, cut to the length asked.
  std::memset(text, '#', sizeof text);
  const std::uint32_t id_length = 8;
  EXPECT_EQ(kepra_CheckId(h(), text, &id_length), 1u);
  EXPECT_TRUE(Sent(io::IOCTL_CHECK_ID, {}, 8, kLocked));
  EXPECT_EQ(std::string(text, 9), "KEPRA VC#");
  kepra_IdentData ident{}, record{};
  EXPECT_EQ(kepra_GetIdentData(h(), &ident), 1u);
  EXPECT_TRUE(Sent(io::IOCTL_IDENTDATA, {}, 78, kAlone));
  EXPECT_EQ(std::memcmp(ident.Bytes, camera_->Ident().data(), 78), 0);
  // The record goes by value: its 78 bytes are the request.
  for (int i = 0; i < 78; ++i) record.Bytes[i] = static_cast<std::uint8_t>(0xC0 ^ (i * 7));
  EXPECT_EQ(kepra_SetIdentData(h(), record), 1u);
  EXPECT_TRUE(Sent(io::IOCTL_SET_IDENTDATA, {record.Bytes, record.Bytes + 78}, 0, kAlone));

  // Bad pixels: the switch (the reply to a set is the switch before), the list, its length.
  EXPECT_EQ(kepra_GetFixBadPixels(h(), &u8a, &u8b), 1u);
  EXPECT_TRUE(Sent(io::IOCTL_FIX_BAD_PIXELS, {}, 2, kAlone));
  EXPECT_EQ(u8a + u8b, 0);
  EXPECT_EQ(kepra_SetFixBadPixels(h(), 0x80, &u8a), 1u);
  EXPECT_TRUE(Sent(io::IOCTL_FIX_BAD_PIXELS, Bytes({0x80}), 1, kAlone));
  EXPECT_EQ(u8a, 0);
  EXPECT_EQ(kepra_GetFixBadPixels(h(), &u8a, nullptr), 1u);  // either pointer may be null
  EXPECT_TRUE(Sent(io::IOCTL_FIX_BAD_PIXELS, {}, 2, kAlone));
  EXPECT_EQ(u8a, 1);
  // Little-endian X, Y, then the kind: five bytes an entry.
  kepra_BadPixel entries[3] = {{0x0102, 0x0304, 0x05}, {0x0000, 0x03FF, 0x01}, {0x04FF, 0, 0xEE}};
  EXPECT_EQ(kepra_SetBadPixelData(h(), entries, 3, &count), 1u);
  EXPECT_TRUE(Sent(io::IOCTL_SET_BAD_PIXELS_DATA,
                   Bytes({2, 1, 4, 3, 5, 0, 0, 0xFF, 3, 1, 0xFF, 4, 0, 0, 0xEE}), 2, kAlone));
  EXPECT_EQ(count, 3);  // the camera's answer: the length of its list now
  EXPECT_EQ(kepra_GetBadPixelCount(h(), &count), 1u);
  EXPECT_TRUE(Sent(io::IOCTL_GET_BAD_PIXELS_COUNT, {}, 2, kAlone));
  EXPECT_EQ(count, 3);
  EXPECT_EQ(kepra_GetFixBadPixels(h(), nullptr, &u8b), 1u);
  EXPECT_TRUE(Sent(io::IOCTL_FIX_BAD_PIXELS, {}, 2, kAlone));
  EXPECT_EQ(u8b, 1);
  EXPECT_EQ(kepra_SetBadPixelData(h(), nullptr, 0, nullptr), 1u);
  EXPECT_TRUE(Sent(io::IOCTL_SET_BAD_PIXELS_DATA, {}, 2, kAlone));

  // A snapshot timeout is sent negated when inverted; any non-zero byte means inverted.
  EXPECT_EQ(kepra_SetSnapshotParams(h(), 500, 1), 1u);
  EXPECT_TRUE(Sent(io::IOCTL_SNAPSHOT_PARAMS, Bytes({0x0C, 0xFE, 0xFF, 0xFF}), 0, kLocked));
  EXPECT_EQ(kepra_GetSnapshotParams(h(), &u32a, &u8a), 1u);
  EXPECT_TRUE(Sent(io::IOCTL_SNAPSHOT_PARAMS, {}, 4, kLocked));
  EXPECT_EQ(u32a, 500u);
  EXPECT_EQ(u8a, 1);
  EXPECT_EQ(kepra_SetSnapshotParams(h(), 0, 0x80), 1u);
  EXPECT_TRUE(Sent(io::IOCTL_SNAPSHOT_PARAMS, Bytes({0, 0, 0, 0x80}), 0, kLocked));
  EXPECT_EQ(kepra_GetSnapshotParams(h(), &u32a, &u8a), 1u);
  EXPECT_EQ(u32a + u8a, 1u);
  camera_->ClearLog();

  // HDR: one for any non-zero byte; the getter delivers the driver's byte.
  EXPECT_EQ(kepra_GetHDR(h(), &u8a), 1u);
  EXPECT_TRUE(Sent(io::IOCTL_HDR, {}, 1, kLocked));
  EXPECT_EQ(u8a, 0x5A);
  for (const auto& [arg, sent] : {std::pair{0x80, 1}, std::pair{0xFF, 1}, std::pair{0, 0}}) {
    EXPECT_EQ(kepra_SetHDR(h(), static_cast<std::uint8_t>(arg)), 1u);
    EXPECT_TRUE(Sent(io::IOCTL_HDR, Bytes({sent}), 0, kLocked)) << arg;
  }

  EXPECT_EQ(kepra_SetStreamMode(h(), 0x01020304), 1u);
  EXPECT_TRUE(Sent(io::IOCTL_STREAM_MODE, Bytes({4, 3, 2, 1}), 0, kLocked));
  EXPECT_EQ(kepra_GetStreamMode(h(), &u32a), 1u);
  EXPECT_TRUE(Sent(io::IOCTL_STREAM_MODE, {}, 4, kAlone));
  EXPECT_EQ(u32a, 0x01020304u);
  EXPECT_EQ(kepra_SwitchFrontLED(h(), 0xA5), 1u);
  EXPECT_TRUE(Sent(io::IOCTL_FRONT_LED, Bytes({0xA5}), 0, kAlone));

  // A fresh camera shows its full sensor.
  kepra_FrameParams params;
  std::memset(&params, 0xCC, sizeof params);
  EXPECT_EQ(kepra_GetFrameParams(h(), &params), 1u);
  EXPECT_TRUE(Sent(io::IOCTL_FRAME_PARAMS, {}, 26, kAlone));
  const kepra_FrameParams full = Params(0, 0, 1280, 1024);
  EXPECT_EQ(std::memcmp(&params, &full, sizeof params), 0);

  EXPECT_EQ(kepra_GetFrequency(h(), &u32a), 1u);
  EXPECT_TRUE(Sent(io::IOCTL_FREQUENCY, {}, 4, kLocked));
  EXPECT_EQ(u32a, 48u);
  // Unsigned conversion: a clock with the top bit set is not negative.
  camera_->SetFrequency(0x80000001u);
  double mhz = 0;
  EXPECT_EQ(kepra_GetFrequencyD(h(), &mhz), 1u);
  EXPECT_TRUE(Sent(io::IOCTL_FREQUENCY, {}, 4, kLocked));
  EXPECT_EQ(mhz, 2147483649.0);
  EXPECT_TRUE(rig_.DebugLines().empty());
}

TEST_F(Requests, FramesFillExactlyTheCallersLengthAtTheRequestedDepth) {
  // Power-on frame parameters: 1280 x 1024 samples at 10 bits.
  const std::uint32_t pixels = 1280 * 1024;
  std::vector<std::uint16_t> frame16(pixels, 0xDEAD);
  ASSERT_EQ(kepra_GetFrame16(h(), frame16.data(), pixels * 2), 1u);
  EXPECT_LE(*std::max_element(frame16.begin(), frame16.end()), 1023);
  EXPECT_NE(*std::min_element(frame16.begin(), frame16.end()), frame16[pixels / 2 + 640]);
  std::vector<std::uint8_t> frame8(pixels + 1, 0xEE);
  ASSERT_EQ(kepra_GetFrame8(h(), frame8.data(), pixels), 1u);
  EXPECT_NE(*std::max_element(frame8.begin(), frame8.end() - 1), 0);
  EXPECT_EQ(frame8[pixels], 0xEE);  // nothing beyond the length asked for
}

TEST_F(Requests, DriverWordIsSplitIntoSignAndMagnitude) {
  // 0.1.96 is the one version accepted; others are refused with 1638, their fields written
  // all the same. 0xFFFEFFA0 is -0x00010060.
  const struct {
    std::uint32_t word;
    bool accepted;
    std::uint32_t sign;
    std::uint8_t major, minor;
    std::uint16_t build;
  } words[] = {
      {0x00010060, true, 0, 0, 1, 96},    {0xFFFEFFA0, true, 1, 0, 1, 96},
      {0x00010061, false, 0, 0, 1, 97},   {0x00000060, false, 0, 0, 0, 96},
      {0x01010060, false, 0, 1, 1, 96},   {0x00020060, false, 0, 0, 2, 96},
      {0x80000000, false, 1, 0x80, 0, 0}, {0x7FFFFFFF, false, 0, 0x7F, 0xFF, 0xFFFF},
  };
  for (const auto& w : words) {
    SCOPED_TRACE(testing::Message() << "word 0x" << std::hex << w.word);
    camera_->SetDriverVersion(w.word);
    camera_->ClearLog();
    std::uint8_t major = 0xEE, minor = 0xEE;
    std::uint16_t build = 0xEEEE;
    std::uint32_t sign = 0xEEEEEEEE;
    kepra_SetLastError(kSentinel);
    EXPECT_EQ(kepra_GetDriverVer(h(), &major, &minor, &build, &sign), w.accepted ? 1u : 0u);
    EXPECT_EQ(kepra_GetLastError(), w.accepted ? kSentinel : KEPRA_ERROR_PRODUCT_VERSION);
    EXPECT_EQ(std::tie(sign, major, minor, build), std::tie(w.sign, w.major, w.minor, w.build));
    EXPECT_TRUE(Sent(io::IOCTL_DRIVER_VERSION, {}, 4, false));
    // The sign flag may be null.
    EXPECT_EQ(kepra_GetDriverVer(h(), &major, &minor, &build, nullptr), w.accepted ? 1u : 0u);
  }
}

// Three 32-bit words, then the name; the identity record is 78 bytes.
static_assert(offsetof(kepra_CameraInfo, Width) == 4 && offsetof(kepra_CameraInfo, Height) == 8);
static_assert(offsetof(kepra_CameraInfo, ModelName) == 12 && sizeof(kepra_IdentData) == 78);

TEST_F(Requests, CameraInfoFollowsTheModelCodeAndWidensTheLeadingIdentityBytes) {
  const struct {
    std::uint8_t code;
    std::uint32_t color, width, height;
    const char* name;
  } models[] = {
      {'4', 0, 1280, 1024, "KEPRA-A1 Mono"},        {'5', 1, 1280, 1024, "KEPRA-A1 Color"},
      {'6', 0, 1280, 1024, "KEPRA-A1 IR"},          {'7', 0, 1600, 1200, "KEPRA-A2 Mono"},
      {'8', 1, 1600, 1200, "KEPRA-A2 Color"},       {0x00, 0, 1600, 1200, "KEPRA-Axx unflashed"},
      {0xFF, 0, 1600, 1200, "KEPRA-Axx unflashed"}, {'9', 0, 1600, 1200, "KEPRA-Axx unflashed"},
      {'4', 0, 1280, 1024, "KEPRA-A1 Mono"},
  };
  kepra_CameraInfo info;
  std::memset(&info, 0x55, sizeof info);
  vcam::IdentData ident = camera_->Ident();
  for (const auto& m : models) {
    SCOPED_TRACE(testing::Message() << "model code 0x" << std::hex << int{m.code});
    ident[2] = m.code;
    camera_->SetIdent(ident);
    camera_->ClearLog();
    ASSERT_EQ(kepra_GetCameraInfo(h(), &info), 1u);
    EXPECT_EQ(info.Color, m.color);
    EXPECT_EQ(info.Width, m.width);
    EXPECT_EQ(info.Height, m.height);
    EXPECT_STREQ(info.ModelName, m.name);
    EXPECT_TRUE(Sent(io::IOCTL_IDENTDATA, {}, 78, true));
  }
  // A shorter name leaves the tail of the field as it was: "ashed" and its NUL at 14 to 19.
  EXPECT_EQ(std::memcmp(info.ModelName + 14, "ashed", 6), 0);

  // The record as an application without the header sees it: 16, 16, 32, 16, 16 bits.
  const std::uint8_t head[] = {0x00, 0x01, 0x37, 0x02, 0x03, 0x04};
  std::copy(std::begin(head), std::end(head), ident.begin());
  camera_->SetIdent(ident);
  camera_->ClearLog();
  kepra_CameraInfoEx ex;
  std::memset(&ex, 0xAA, sizeof ex);
  ASSERT_EQ(kepra_GetCameraInfoEx(h(), &ex), 1u);
  std::uint8_t raw[12];
  static_assert(sizeof raw == sizeof ex);
  std::memcpy(raw, &ex, sizeof raw);
  EXPECT_EQ(std::vector<std::uint8_t>(raw, raw + 12),
            Bytes({0x37, 0, 0x02, 0, 0x00, 0x01, 0, 0, 0x03, 0, 0x04, 0}));
  EXPECT_TRUE(Sent(io::IOCTL_IDENTDATA, {}, 78, true));
}

// ---- Bad pixels --------------------------------------------------------------------------

TEST_F(Requests, BadPixelListsAreOfferedCountTimesFiveBytesAndDeliveredAsTheDriverWrote) {
  std::vector<kepra_BadPixel> entries(1001);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    entries[i] = {static_cast<std::uint16_t>(i % 1280), static_cast<std::uint16_t>(1023 - i),
                  static_cast<std::uint8_t>(i % 3)};
  }
  const struct {
    std::size_t list;
    std::uint32_t extra;  // torn bytes the driver adds after the whole entries
    std::uint16_t capacity, delivered;
  } cases[] = {{1000, 0, 1000, 1000}, {500, 3, 1000, 500}, {0, 4, 1000, 0},
               {999, 4, 1000, 999},   {10, 0, 4, 4},       {10, 0, 0, 0}};
  std::vector<kepra_BadPixel> buffer(1000);
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.list << " + " << c.extra << " into " << c.capacity);
    auto s = camera_->Settings();
    s.bad_pixels.clear();
    for (std::size_t i = 0; i < c.list; ++i) {
      s.bad_pixels.push_back({entries[i].X, entries[i].Y, entries[i].Kind});
    }
    s.bad_pixel_read_extra = c.extra;
    camera_->SetSettings(s);
    camera_->ClearLog();
    std::uint16_t delivered = 0xFFFF;
    ASSERT_EQ(kepra_GetBadPixelData(h(), buffer.data(), c.capacity, &delivered), 1u);
    EXPECT_TRUE(Sent(io::IOCTL_GET_BAD_PIXELS_DATA, {}, c.capacity * 5u, false));
    EXPECT_EQ(delivered, c.delivered);
    EXPECT_EQ(std::memcmp(buffer.data(), entries.data(), c.delivered * 5u), 0);
  }
  // The library does not hold a list against the maximum; the camera refuses it.
  camera_->ClearLog();
  EXPECT_EQ(kepra_SetBadPixelData(h(), entries.data(), 1001, nullptr), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_PARAMETER);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(entries.data());
  EXPECT_TRUE(Sent(io::IOCTL_SET_BAD_PIXELS_DATA, {bytes, bytes + 5005}, 2, false));
  EXPECT_TRUE(rig_.DebugLines().empty());  // the set writes no line

  // The maximum is a constant, whatever the handle.
  for (KEPRA_HANDLE handle : {h(), KEPRA_INVALID_HANDLE, static_cast<KEPRA_HANDLE>(nullptr)}) {
    std::uint16_t most = 0;
    EXPECT_EQ(kepra_GetMaxBadPixelCount(handle, &most), 1u);
    EXPECT_EQ(most, 1000);
  }
}

class FrameFormat : public CameraTest {};

kepra_FrameFormat Format(KEPRA_HANDLE h) {
  kepra_FrameFormat f{};
  f.Size = sizeof f;
  EXPECT_EQ(kepra_GetFrameFormat(h, &f), 1u) << kepra_GetLastError();
  return f;
}

// The record's fields after Size, in order.
std::vector<std::uint32_t> Fields(const kepra_FrameFormat& f) {
  return {f.Width,   f.Height,   f.BitDepth,  f.Bytes8,
          f.Bytes16, f.BytesEx8, f.BytesEx16, f.ColorFilter};
}

TEST_F(FrameFormat, SizesFollowRegionBinningAndDepth) {
  // Hand-worked: 1280 x 1024 at 10 bits, then a 640 x 480 region binned 2 x 4 at 12 bits; the
  // Ex frames carry 4096 bytes of frame information first.
  EXPECT_EQ(Fields(Format(h())), (std::vector<std::uint32_t>{1280, 1024, 10, 1310720, 2621440,
                                                             1314816, 2625536, KEPRA_CFA_NONE}));
  const kepra_FrameParams p = Params(100, 50, 640, 480, 12, 2, 4);
  ASSERT_EQ(kepra_SetFrameParams(h(), &p), 1u);
  const kepra_FrameFormat f = Format(h());
  EXPECT_EQ(Fields(f), (std::vector<std::uint32_t>{320, 120, 12, 38400, 76800, 4096 + 38400,
                                                   4096 + 76800, KEPRA_CFA_NONE}));

  // The camera agrees: an Ex frame of exactly BytesEx16 bytes carries that shape, and its
  // last sample is filled (a byte fewer would leave it half).
  std::vector<std::uint8_t> frame(f.BytesEx16);
  ASSERT_EQ(kepra_GetFrameEx16(h(), frame.data(), f.BytesEx16), 1u);
  kepra_FrameInfo info;
  std::memcpy(&info, frame.data(), sizeof info);
  EXPECT_EQ(info.Width, f.Width);
  EXPECT_EQ(info.Height, f.Height);
  EXPECT_EQ(info.BitDepth, f.BitDepth);
}

// The Bayer order read off a frame: with colour gains R 1.5, G 0.75, B 0.25 the four sample
// phases of a 2 x 2 tile sort into R (brightest), two greens, B (darkest). Binned colour
// frames read one site only: four equal phases.
std::uint32_t OrderSeenIn(KEPRA_HANDLE h) {
  const kepra_FrameFormat f = Format(h);
  std::vector<std::uint16_t> samples(static_cast<std::size_t>(f.Width) * f.Height);
  EXPECT_EQ(kepra_GetFrame16(h, samples.data(), f.Bytes16), 1u);
  std::array<double, 4> mean{};
  for (std::uint32_t y = 0; y < f.Height; ++y) {
    for (std::uint32_t x = 0; x < f.Width; ++x) {
      mean[(y & 1) * 2 + (x & 1)] += samples[static_cast<std::size_t>(y) * f.Width + x];
    }
  }
  std::array<int, 4> rank = {0, 1, 2, 3};  // phases from darkest to brightest
  std::sort(rank.begin(), rank.end(), [&](int a, int b) { return mean[a] < mean[b]; });
  const double b = mean[rank[0]], g1 = mean[rank[1]], g2 = mean[rank[2]], r = mean[rank[3]];
  if (r < b * 1.1) return KEPRA_CFA_NONE;
  // A Bayer tile: two equal greens between a clearly darker blue and a clearly brighter red.
  if (!(g2 < g1 * 1.1 && b * 1.3 < g1 && g2 * 1.3 < r)) return 0xFFu;
  // Phase index = row * 2 + column of the tile.
  if (rank[3] == 0 && rank[0] == 3) return KEPRA_CFA_RGGB;
  if (rank[3] == 1 && rank[0] == 2) return KEPRA_CFA_GRBG;
  if (rank[3] == 2 && rank[0] == 1) return KEPRA_CFA_GBRG;
  if (rank[3] == 3 && rank[0] == 0) return KEPRA_CFA_BGGR;
  return 0xFFu;  // no Bayer tile
}

struct OrderCase {
  const char* what;
  kepra_FrameParams params;
};

TEST(FrameFormatColour, OrderMatchesTheDecodedMosaic) {
  for (const std::uint8_t model : {std::uint8_t{'5'}, std::uint8_t{'8'}}) {
    rig::Rig rig;
    vcam::CameraConfig config;
    config.model_code = model;
    rig.Plug(kIndex, config);
    Handle camera(kIndex);
    ASSERT_TRUE(camera.ok());
    ASSERT_EQ(kepra_SetGainC(camera.get(), 0.75, 0.75, 0.25, 1.5), 1u);
    const std::uint16_t sw = model == '5' ? 1280 : 1600, sh = model == '5' ? 1024 : 1200;
    const OrderCase cases[] = {
        {"full sensor", Params(0, 0, sw, sh)},
        {"odd column", Params(1, 0, 640, 480)},
        {"odd row", Params(0, 1, 640, 480)},
        {"odd column and row", Params(3, 5, 640, 480)},
        {"mirrored, even width", Params(0, 0, 640, 480, 10, 1, 1, KEPRA_FRAME_MIRROR_X)},
        {"mirrored, odd width", Params(0, 0, 641, 480, 10, 1, 1, KEPRA_FRAME_MIRROR_X)},
        {"mirrored at odd column", Params(1, 0, 640, 480, 10, 1, 1, KEPRA_FRAME_MIRROR_X)},
        {"flipped, even height", Params(0, 0, 640, 480, 10, 1, 1, KEPRA_FRAME_FLIP_Y)},
        {"flipped, odd height", Params(0, 2, 640, 481, 10, 1, 1, KEPRA_FRAME_FLIP_Y)},
        {"both", Params(2, 1, 640, 480, 10, 1, 1, KEPRA_FRAME_MIRROR_X | KEPRA_FRAME_FLIP_Y)},
        {"binned 2 x 2", Params(0, 0, 640, 480, 10, 2, 2)},
        {"binned 2 x 1", Params(1, 0, 640, 480, 10, 2, 1)},
    };
    for (const OrderCase& c : cases) {
      SCOPED_TRACE(testing::Message() << "model " << model << ", " << c.what);
      ASSERT_EQ(kepra_SetFrameParams(camera.get(), &c.params), 1u);
      const std::uint32_t seen = OrderSeenIn(camera.get());
      if (std::strncmp(c.what, "binned 2 x 1", 12) == 0) {
        EXPECT_EQ(seen, 0xFFu);  // two-colour lines: not a mosaic either
        EXPECT_EQ(Format(camera.get()).ColorFilter, KEPRA_CFA_NONE);
        continue;
      }
      EXPECT_EQ(Format(camera.get()).ColorFilter, seen);
    }
    // At the sensor's origin the orders are the models' own.
    const kepra_FrameParams origin = Params(0, 0, sw, sh);
    ASSERT_EQ(kepra_SetFrameParams(camera.get(), &origin), 1u);
    EXPECT_EQ(Format(camera.get()).ColorFilter, model == '5' ? KEPRA_CFA_RGGB : KEPRA_CFA_GBRG);
  }
}

TEST(ErrorText, NamesEveryCodeTheLibraryLeaves) {
  const std::uint32_t codes[] = {0,   2,   5,    6,    8,    13,   21,          30,         31,
                                 87,  121, 122,  183,  206,  258,  259,         288,        487,
                                 995, 998, 1167, 1460, 1638, 1784, 0xC0000008u, 0xC000000Du};
  std::istringstream names(
      "ERROR_SUCCESS ERROR_FILE_NOT_FOUND ERROR_ACCESS_DENIED ERROR_INVALID_HANDLE "
      "ERROR_NOT_ENOUGH_MEMORY ERROR_INVALID_DATA ERROR_NOT_READY ERROR_READ_FAULT "
      "ERROR_GEN_FAILURE ERROR_INVALID_PARAMETER ERROR_SEM_TIMEOUT "
      "ERROR_INSUFFICIENT_BUFFER ERROR_ALREADY_EXISTS ERROR_FILENAME_EXCED_RANGE "
      "WAIT_TIMEOUT ERROR_NO_MORE_ITEMS ERROR_NOT_OWNER ERROR_INVALID_ADDRESS "
      "ERROR_OPERATION_ABORTED ERROR_NOACCESS ERROR_DEVICE_NOT_CONNECTED ERROR_TIMEOUT "
      "ERROR_PRODUCT_VERSION ERROR_INVALID_USER_BUFFER STATUS_INVALID_HANDLE "
      "STATUS_INVALID_PARAMETER");
  std::set<std::string> texts;
  for (const std::uint32_t code : codes) {
    std::string name;
    ASSERT_TRUE(names >> name);
    SCOPED_TRACE(name);
    const char* text = kepra_ErrorText(code);
    ASSERT_NE(text, nullptr);
    const std::string s(text);
    EXPECT_EQ(s.rfind(name + ": ", 0), 0u) << s;
    EXPECT_GT(s.size(), name.size() + 10);  // a meaning follows the name
    texts.insert(s);
  }
  EXPECT_EQ(texts.size(), std::size(codes));
  EXPECT_EQ(std::string(kepra_ErrorText(87)),
            "ERROR_INVALID_PARAMETER: a value is out of range or a required pointer is missing");
  // Unknown codes: one fixed text, none of the known ones, never null.
  const char* unknown = kepra_ErrorText(0x12345678u);
  ASSERT_NE(unknown, nullptr);
  EXPECT_STREQ(kepra_ErrorText(4), unknown);
  EXPECT_STREQ(kepra_ErrorText(0xFFFFFFFFu), unknown);
  EXPECT_EQ(texts.count(unknown), 0u);
}

TEST(LibraryVersion, IsTheHeadersVersion) {
  EXPECT_EQ(kepra_GetLibraryVersion(), KEPRA_VERSION);
  EXPECT_EQ(KEPRA_VERSION,
            (KEPRA_VERSION_MAJOR << 16) | (KEPRA_VERSION_MINOR << 8) | KEPRA_VERSION_PATCH);
  EXPECT_EQ(kepra_GetLibraryVersion(), 0x000100u);  // 0.1.0
}

}  // namespace
}  // namespace kt
