// Frame format, error text and library version through the public API.
#include <algorithm>
#include <array>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "fixture.h"

namespace kt {
namespace {

class FrameFormat : public CameraTest {};

kepra_FrameFormat Format(KEPRA_HANDLE h) {
  kepra_FrameFormat f{};
  f.Size = sizeof f;
  EXPECT_EQ(kepra_GetFrameFormat(h, &f), 1u) << kepra_GetLastError();
  return f;
}

TEST_F(FrameFormat, SizesFollowRegionBinningAndDepth) {
  // Hand-worked: 1280 x 1024 at 10 bits, then a 640 x 480 region binned 2 x 4 at 12 bits.
  kepra_FrameFormat f = Format(h());
  EXPECT_EQ(f.Width, 1280u);
  EXPECT_EQ(f.Height, 1024u);
  EXPECT_EQ(f.BitDepth, 10u);
  EXPECT_EQ(f.Bytes8, 1310720u);
  EXPECT_EQ(f.Bytes16, 2621440u);
  EXPECT_EQ(f.BytesEx8, 1314816u);
  EXPECT_EQ(f.BytesEx16, 2625536u);
  EXPECT_EQ(f.ColorFilter, KEPRA_CFA_NONE);

  const kepra_FrameParams p = Params(100, 50, 640, 480, 12, 2, 4);
  ASSERT_EQ(kepra_SetFrameParams(h(), &p), 1u);
  f = Format(h());
  EXPECT_EQ(f.Width, 320u);
  EXPECT_EQ(f.Height, 120u);
  EXPECT_EQ(f.BitDepth, 12u);
  EXPECT_EQ(f.Bytes8, 38400u);
  EXPECT_EQ(f.Bytes16, 76800u);
  EXPECT_EQ(f.BytesEx16, 4096u + 76800u);

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
  struct Named {
    std::uint32_t code;
    const char* name;
  };
  const Named named[] = {
      {0, "ERROR_SUCCESS"},
      {2, "ERROR_FILE_NOT_FOUND"},
      {5, "ERROR_ACCESS_DENIED"},
      {6, "ERROR_INVALID_HANDLE"},
      {8, "ERROR_NOT_ENOUGH_MEMORY"},
      {13, "ERROR_INVALID_DATA"},
      {21, "ERROR_NOT_READY"},
      {30, "ERROR_READ_FAULT"},
      {31, "ERROR_GEN_FAILURE"},
      {87, "ERROR_INVALID_PARAMETER"},
      {121, "ERROR_SEM_TIMEOUT"},
      {122, "ERROR_INSUFFICIENT_BUFFER"},
      {183, "ERROR_ALREADY_EXISTS"},
      {206, "ERROR_FILENAME_EXCED_RANGE"},
      {258, "WAIT_TIMEOUT"},
      {259, "ERROR_NO_MORE_ITEMS"},
      {288, "ERROR_NOT_OWNER"},
      {487, "ERROR_INVALID_ADDRESS"},
      {995, "ERROR_OPERATION_ABORTED"},
      {998, "ERROR_NOACCESS"},
      {1167, "ERROR_DEVICE_NOT_CONNECTED"},
      {1460, "ERROR_TIMEOUT"},
      {1638, "ERROR_PRODUCT_VERSION"},
      {1784, "ERROR_INVALID_USER_BUFFER"},
      {0xC0000008u, "STATUS_INVALID_HANDLE"},
      {0xC000000Du, "STATUS_INVALID_PARAMETER"},
  };
  std::set<std::string> texts;
  for (const Named& n : named) {
    SCOPED_TRACE(n.name);
    const char* text = kepra_ErrorText(n.code);
    ASSERT_NE(text, nullptr);
    const std::string s(text);
    EXPECT_EQ(s.rfind(std::string(n.name) + ": ", 0), 0u) << s;
    EXPECT_GT(s.size(), std::strlen(n.name) + 10);  // a meaning follows the name
    texts.insert(s);
  }
  EXPECT_EQ(texts.size(), std::size(named));
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
