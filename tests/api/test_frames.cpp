// The six frame functions: argument checks, the request each sends, no lock, no copy.
#include <algorithm>
#include <cstring>

#include "fixture.h"

namespace kt {
namespace {

using FrameFn = uint32_t(KEPRA_CALL*)(KEPRA_HANDLE, void*, uint32_t);
using AfterFn = uint32_t(KEPRA_CALL*)(KEPRA_HANDLE, void*, uint32_t, uint32_t);

struct Plain {
  const char* name;
  FrameFn fn;
  std::uint32_t code;
  bool sixteen;
};
const Plain kPlain[] = {
    {"GetFrame16", kepra_GetFrame16, io::IOCTL_GET_FRAME16, true},
    {"GetFrameEx16", kepra_GetFrameEx16, io::IOCTL_GET_FRAME_EX16, true},
    {"GetFrame8", kepra_GetFrame8, io::IOCTL_GET_FRAME8, false},
    {"GetFrameEx8", kepra_GetFrameEx8, io::IOCTL_GET_FRAME_EX8, false},
};

struct After {
  const char* name;
  AfterFn fn;
  std::uint32_t code;
  bool sixteen;
};
const After kAfter[] = {
    {"GetFrameAfterEx16", kepra_GetFrameAfterEx16, io::IOCTL_GET_FRAME_AFTER_EX16, true},
    {"GetFrameAfterEx8", kepra_GetFrameAfterEx8, io::IOCTL_GET_FRAME_AFTER_EX8, false},
};

class Frames : public CameraTest {};

TEST_F(Frames, EachSendsItsOwnRequestWithTheCallersLengthAndNoLock) {
  std::vector<std::uint8_t> buffer(1000);
  for (const auto& f : kPlain) {
    camera_->ClearLog();
    ASSERT_EQ(f.fn(h(), buffer.data(), 1000), 1u) << f.name;
    const auto log = camera_->Log();
    ASSERT_EQ(log.size(), 1u) << f.name;  // no device-index requests: the lock is not taken
    EXPECT_EQ(log[0].code, f.code) << f.name;
    EXPECT_TRUE(log[0].in.empty()) << f.name;
    EXPECT_EQ(log[0].out_size, 1000u) << f.name;
  }
  for (const auto& f : kAfter) {
    camera_->ClearLog();
    ASSERT_EQ(f.fn(h(), buffer.data(), 1000, 0x01020304), 1u) << f.name;
    const auto log = camera_->Log();
    ASSERT_EQ(log.size(), 1u) << f.name;
    EXPECT_EQ(log[0].code, f.code) << f.name;
    EXPECT_EQ(log[0].in, Bytes({0x04, 0x03, 0x02, 0x01})) << f.name;
    EXPECT_EQ(log[0].out_size, 1000u) << f.name;
  }
  EXPECT_TRUE(rig_.DebugLines().empty());
}

TEST_F(Frames, AfterExValueReachesTheDriverUnchanged) {
  std::vector<std::uint8_t> buffer(64);
  for (std::uint32_t value : {0u, 1u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
    for (const auto& f : kAfter) {
      ASSERT_EQ(f.fn(h(), buffer.data(), 64, value), 1u);
      EXPECT_EQ(camera_->LastAfterValue(), value) << f.name;
    }
  }
}

TEST_F(Frames, ZeroLengthGoesToTheDriver) {
  std::uint8_t byte = 0xAB;
  ASSERT_EQ(kepra_GetFrame16(h(), &byte, 0), 1u);
  ASSERT_EQ(camera_->Log().size(), 1u);
  EXPECT_EQ(camera_->Log()[0].out_size, 0u);
  EXPECT_EQ(byte, 0xAB);
}

TEST_F(Frames, TheDriverFillsExactlyTheCallersLengthAtTheRequestedDepth) {
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

}  // namespace
}  // namespace kt
