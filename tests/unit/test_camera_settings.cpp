// The virtual camera's settings requests, served directly: every shape of request that is
// not a get or a set of the right size is refused without touching the setting.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "camera.h"
#include "driver/ioctl.h"

namespace vcam {
namespace {

namespace io = kepra::driver;

struct Served {
  Camera::Result result;
  std::vector<std::uint8_t> out;
};

Served Serve(Camera& camera, std::uint32_t code, std::vector<std::uint8_t> in,
             std::size_t out_size) {
  Served s;
  s.out.assign(out_size, 0xEE);
  s.result = camera.Serve(code, in, s.out);
  return s;
}

// The settings with a get form (no input, the value out) and a set form (the value in,
// nothing out) of the same size.
struct Simple {
  const char* name;
  std::uint32_t code;
  std::size_t size;
};
const Simple kSimple[] = {
    {"HDR", io::IOCTL_HDR, 1},
    {"EVENTS_STATE", io::IOCTL_EVENTS_STATE, 1},
    {"SNAPSHOT_PARAMS", io::IOCTL_SNAPSHOT_PARAMS, 4},
    {"STREAM_MODE", io::IOCTL_STREAM_MODE, 4},
};

TEST(CameraSettings, SimpleSettingsKeepWhatWasSet) {
  for (const Simple& s : kSimple) {
    Camera camera(0);
    std::vector<std::uint8_t> value = {0x5A, 0x01, 0x80, 0xFE};
    value.resize(s.size);
    const auto set = Serve(camera, s.code, value, 0);
    ASSERT_TRUE(set.result.ok) << s.name;
    EXPECT_EQ(set.result.bytes, 0u) << s.name;
    const auto get = Serve(camera, s.code, {}, s.size);
    ASSERT_TRUE(get.result.ok) << s.name;
    EXPECT_EQ(get.result.bytes, s.size) << s.name;
    EXPECT_EQ(get.out, value) << s.name;
  }
}

TEST(CameraSettings, SimpleSettingsRefuseOtherShapesAndKeepTheirValue) {
  for (const Simple& s : kSimple) {
    Camera camera(0);
    const std::vector<std::uint8_t> value(s.size, 0x42);
    ASSERT_TRUE(Serve(camera, s.code, value, 0).result.ok) << s.name;
    // Short output of a get: 122. Anything else of the wrong size: 87.
    EXPECT_EQ(Serve(camera, s.code, {}, s.size - 1).result.error, 122u) << s.name;
    EXPECT_EQ(Serve(camera, s.code, {}, s.size + 1).result.error, 87u) << s.name;
    EXPECT_EQ(Serve(camera, s.code, std::vector<std::uint8_t>(s.size + 1, 1), 0).result.error, 87u)
        << s.name;
    EXPECT_EQ(Serve(camera, s.code, std::vector<std::uint8_t>(s.size, 1), 1).result.error, 87u)
        << s.name;
    if (s.size > 1) {
      EXPECT_EQ(Serve(camera, s.code, {1}, 0).result.error, 87u) << s.name;
    }
    const auto get = Serve(camera, s.code, {}, s.size);
    ASSERT_TRUE(get.result.ok) << s.name;
    EXPECT_EQ(get.out, value) << s.name;
  }
}

TEST(CameraSettings, FrontLedHasOnlyASetForm) {
  Camera camera(0);
  ASSERT_TRUE(Serve(camera, io::IOCTL_FRONT_LED, {0xA5}, 0).result.ok);
  EXPECT_EQ(camera.Settings().front_led, 0xA5);
  EXPECT_EQ(Serve(camera, io::IOCTL_FRONT_LED, {}, 1).result.error, 87u);
  EXPECT_EQ(Serve(camera, io::IOCTL_FRONT_LED, {}, 0).result.error, 87u);
  EXPECT_EQ(Serve(camera, io::IOCTL_FRONT_LED, {1, 2}, 0).result.error, 87u);
  EXPECT_EQ(Serve(camera, io::IOCTL_FRONT_LED, {1}, 1).result.error, 87u);
  EXPECT_EQ(camera.Settings().front_led, 0xA5);
}

// A frame-parameter record from its fields.
FrameParams Record(std::uint16_t x, std::uint16_t y, std::uint16_t width, std::uint16_t height,
                   std::uint16_t depth = 10, std::uint16_t bin_x = 1, std::uint16_t bin_y = 1,
                   std::uint16_t flags = 0) {
  FrameParams r{};
  const std::uint16_t fields[] = {x, y, width, height, depth, bin_x, bin_y, flags};
  for (std::size_t i = 0; i < std::size(fields); ++i) {
    r[2 * i] = static_cast<std::uint8_t>(fields[i]);
    r[2 * i + 1] = static_cast<std::uint8_t>(fields[i] >> 8);
  }
  return r;
}

TEST(CameraSettings, FrameParamsStartAtTheFullSensorAndKeepAnAcceptedRecord) {
  Camera camera(0);
  auto get = Serve(camera, io::IOCTL_FRAME_PARAMS, {}, 26);
  ASSERT_TRUE(get.result.ok);
  EXPECT_EQ(get.result.bytes, 26u);
  const FrameParams full = Record(0, 0, 1280, 1024);
  EXPECT_TRUE(std::equal(full.begin(), full.end(), get.out.begin()));

  const FrameParams corner = Record(1280 - 64, 1024 - 32, 64, 32, 12, 4, 2, 3);
  ASSERT_TRUE(Serve(camera, io::IOCTL_FRAME_PARAMS, {corner.begin(), corner.end()}, 0).result.ok);
  get = Serve(camera, io::IOCTL_FRAME_PARAMS, {}, 26);
  EXPECT_TRUE(std::equal(corner.begin(), corner.end(), get.out.begin()));
}

TEST(CameraSettings, FrameParamsRefuseABadRecordAndKeepTheOldOne) {
  FrameParams reserved = Record(0, 0, 64, 64);
  reserved[25] = 1;
  const std::pair<const char*, FrameParams> bad[] = {
      {"zero width", Record(0, 0, 0, 64)},
      {"zero height", Record(0, 0, 64, 0)},
      {"past the right edge", Record(1217, 0, 64, 64)},
      {"past the bottom edge", Record(0, 961, 64, 64)},
      {"x + width wraps 16 bits", Record(0xFFFF, 0, 2, 64)},
      {"depth 9", Record(0, 0, 64, 64, 9)},
      {"depth 16", Record(0, 0, 64, 64, 16)},
      {"binning 3", Record(0, 0, 66, 66, 10, 3, 1)},
      {"binning 0", Record(0, 0, 64, 64, 10, 1, 0)},
      {"width not divisible", Record(0, 0, 66, 64, 10, 4, 1)},
      {"height not divisible", Record(0, 0, 64, 66, 10, 1, 4)},
      {"unknown flag", Record(0, 0, 64, 64, 10, 1, 1, 4)},
      {"reserved byte", reserved},
  };
  Camera camera(0);
  const FrameParams good = Record(8, 8, 64, 64);
  ASSERT_TRUE(Serve(camera, io::IOCTL_FRAME_PARAMS, {good.begin(), good.end()}, 0).result.ok);
  for (const auto& [what, record] : bad) {
    EXPECT_FALSE(ValidFrameParams(record)) << what;
    const auto set = Serve(camera, io::IOCTL_FRAME_PARAMS, {record.begin(), record.end()}, 0);
    EXPECT_FALSE(set.result.ok) << what;
    EXPECT_EQ(set.result.error, 87u) << what;
  }
  EXPECT_EQ(camera.Settings().frame_params, good);
  // Shapes other than a get of 26 or a set of 26.
  EXPECT_EQ(Serve(camera, io::IOCTL_FRAME_PARAMS, {}, 25).result.error, 122u);
  EXPECT_EQ(Serve(camera, io::IOCTL_FRAME_PARAMS, {}, 27).result.error, 87u);
  EXPECT_EQ(Serve(camera, io::IOCTL_FRAME_PARAMS, std::vector<std::uint8_t>(25), 0).result.error,
            87u);
  EXPECT_EQ(Serve(camera, io::IOCTL_FRAME_PARAMS, {good.begin(), good.end()}, 26).result.error,
            87u);
  EXPECT_EQ(camera.Settings().frame_params, good);
}

TEST(CameraSettings, BadPixelRequestsOfTheWrongShapeAreRefused) {
  Camera camera(0);
  const std::vector<std::uint8_t> entry = {1, 0, 2, 0, 3};
  ASSERT_TRUE(Serve(camera, io::IOCTL_SET_BAD_PIXELS_DATA, entry, 2).result.ok);
  // Switch: get 0 -> 2, set 1 -> 1.
  EXPECT_EQ(Serve(camera, io::IOCTL_FIX_BAD_PIXELS, {}, 1).result.error, 122u);
  EXPECT_EQ(Serve(camera, io::IOCTL_FIX_BAD_PIXELS, {}, 3).result.error, 87u);
  EXPECT_EQ(Serve(camera, io::IOCTL_FIX_BAD_PIXELS, {1}, 0).result.error, 122u);
  EXPECT_EQ(Serve(camera, io::IOCTL_FIX_BAD_PIXELS, {1}, 2).result.error, 87u);
  EXPECT_EQ(Serve(camera, io::IOCTL_FIX_BAD_PIXELS, {1, 1}, 1).result.error, 87u);
  EXPECT_EQ(camera.Settings().fix_bad_pixels, 0);
  // Count: get 0 -> 2.
  EXPECT_EQ(Serve(camera, io::IOCTL_GET_BAD_PIXELS_COUNT, {}, 1).result.error, 122u);
  EXPECT_EQ(Serve(camera, io::IOCTL_GET_BAD_PIXELS_COUNT, {}, 4).result.error, 87u);
  EXPECT_EQ(Serve(camera, io::IOCTL_GET_BAD_PIXELS_COUNT, {0}, 2).result.error, 87u);
  // List read: no input.
  EXPECT_EQ(Serve(camera, io::IOCTL_GET_BAD_PIXELS_DATA, {0}, 5).result.error, 87u);
  // List write: whole entries in, 2 bytes out.
  EXPECT_EQ(Serve(camera, io::IOCTL_SET_BAD_PIXELS_DATA, {1, 0, 2, 0}, 2).result.error, 87u);
  EXPECT_EQ(Serve(camera, io::IOCTL_SET_BAD_PIXELS_DATA, entry, 1).result.error, 122u);
  EXPECT_EQ(Serve(camera, io::IOCTL_SET_BAD_PIXELS_DATA, entry, 3).result.error, 87u);
  EXPECT_EQ(Serve(camera, io::IOCTL_SET_BAD_PIXELS_DATA, std::vector<std::uint8_t>(5 * 1001), 2)
                .result.error,
            87u);
  EXPECT_EQ(camera.Settings().bad_pixels, (std::vector<BadPixel>{{1, 2, 3}}));
}

TEST(CameraSettings, BadPixelListReadFillsOnlyWholeEntries) {
  Camera camera(0);
  std::vector<std::uint8_t> list;
  for (std::uint8_t i = 0; i < 4; ++i) list.insert(list.end(), {i, 0, i, 0, i});
  const auto set = Serve(camera, io::IOCTL_SET_BAD_PIXELS_DATA, list, 2);
  ASSERT_TRUE(set.result.ok);
  EXPECT_EQ(set.out, (std::vector<std::uint8_t>{4, 0}));
  // 13 bytes offered: two entries, the rest untouched.
  auto get = Serve(camera, io::IOCTL_GET_BAD_PIXELS_DATA, {}, 13);
  ASSERT_TRUE(get.result.ok);
  EXPECT_EQ(get.result.bytes, 10u);
  EXPECT_TRUE(std::equal(list.begin(), list.begin() + 10, get.out.begin()));
  EXPECT_EQ(get.out[10], 0xEE);
  // More room than the list needs: the list.
  get = Serve(camera, io::IOCTL_GET_BAD_PIXELS_DATA, {}, 50);
  EXPECT_EQ(get.result.bytes, 20u);
  EXPECT_EQ(Serve(camera, io::IOCTL_GET_BAD_PIXELS_DATA, {}, 0).result.bytes, 0u);
  // The switch read reports a non-empty list; set answers the previous switch.
  auto fix = Serve(camera, io::IOCTL_FIX_BAD_PIXELS, {5}, 1);
  EXPECT_EQ(fix.out[0], 0);
  fix = Serve(camera, io::IOCTL_FIX_BAD_PIXELS, {}, 2);
  EXPECT_EQ(fix.out, (std::vector<std::uint8_t>{1, 1}));
}

}  // namespace
}  // namespace vcam
