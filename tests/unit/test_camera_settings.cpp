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

TEST(CameraSettings, HdrKeepsTheByteAndRefusesOtherShapes) {
  Camera camera(0);
  auto set = Serve(camera, io::IOCTL_HDR, {0x5A}, 0);
  ASSERT_TRUE(set.result.ok);
  auto get = Serve(camera, io::IOCTL_HDR, {}, 1);
  ASSERT_TRUE(get.result.ok);
  EXPECT_EQ(get.result.bytes, 1u);
  EXPECT_EQ(get.out[0], 0x5A);

  EXPECT_EQ(Serve(camera, io::IOCTL_HDR, {}, 0).result.error, 122u);
  EXPECT_EQ(Serve(camera, io::IOCTL_HDR, {}, 2).result.error, 87u);
  EXPECT_EQ(Serve(camera, io::IOCTL_HDR, {1, 1}, 0).result.error, 87u);
  EXPECT_EQ(Serve(camera, io::IOCTL_HDR, {1}, 1).result.error, 87u);
  EXPECT_EQ(camera.Settings().hdr, 0x5A);
}

}  // namespace
}  // namespace vcam
