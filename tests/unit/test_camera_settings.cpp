// The virtual camera's settings requests, served directly: every shape of request that is
// not a get or a set of the right size is refused without touching the setting.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace vcam
