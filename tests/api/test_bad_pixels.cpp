// The bad-pixel list and correction switch: one request each, no lock, bytes passed through.
#include <cstring>

#include "fixture.h"

namespace kt {
namespace {

class BadPixels : public CameraTest {
 protected:
  // `count` distinct entries on the sensor.
  static std::vector<kepra_BadPixel> Entries(std::size_t count) {
    std::vector<kepra_BadPixel> entries(count);
    for (std::size_t i = 0; i < count; ++i) {
      entries[i].X = static_cast<std::uint16_t>(i % 1280);
      entries[i].Y = static_cast<std::uint16_t>(1023 - i % 1024);
      entries[i].Kind = static_cast<std::uint8_t>(i % 3);
    }
    return entries;
  }
  void SetList(std::size_t count, std::uint32_t extra = 0) {
    auto s = camera_->Settings();
    s.bad_pixels.clear();
    for (const auto& e : Entries(count)) s.bad_pixels.push_back({e.X, e.Y, e.Kind});
    s.bad_pixel_read_extra = extra;
    camera_->SetSettings(s);
  }
  // The one request an export sent: no device-index requests around it, so no lock.
  vcam::LogEntry OnlyRequest() const {
    const auto log = camera_->Log();
    EXPECT_EQ(log.size(), 1u);
    return log.empty() ? vcam::LogEntry{} : log[0];
  }
};

TEST_F(BadPixels, MaxCountIsAConstantWhateverTheHandle) {
  for (KEPRA_HANDLE handle : {h(), KEPRA_INVALID_HANDLE, static_cast<KEPRA_HANDLE>(nullptr)}) {
    std::uint16_t count = 0;
    EXPECT_EQ(kepra_GetMaxBadPixelCount(handle, &count), 1u);
    EXPECT_EQ(count, 1000);
  }
  kepra_SetLastError(kSentinel);
  EXPECT_EQ(kepra_GetMaxBadPixelCount(h(), nullptr), 0u);
  EXPECT_EQ(kepra_GetMaxBadPixelCount(KEPRA_INVALID_HANDLE, nullptr), 0u);
  EXPECT_EQ(kepra_GetLastError(), kSentinel);
  EXPECT_TRUE(camera_->Log().empty());
  EXPECT_TRUE(rig_.DebugLines().empty());
}

TEST_F(BadPixels, TheSwitchAndTheCountAreOneRequestEach) {
  std::uint8_t enabled = 9, has_list = 9;
  ASSERT_EQ(kepra_GetFixBadPixels(h(), &enabled, &has_list), 1u);
  EXPECT_EQ(enabled, 0);
  EXPECT_EQ(has_list, 0);
  ExpectOneRequest(io::IOCTL_FIX_BAD_PIXELS, {}, 2, false);

  // The set passes its byte through and delivers the reply (the previous switch).
  camera_->ClearLog();
  std::uint8_t previous = 9;
  ASSERT_EQ(kepra_SetFixBadPixels(h(), 0x80, &previous), 1u);
  ExpectOneRequest(io::IOCTL_FIX_BAD_PIXELS, Bytes({0x80}), 1, false);
  EXPECT_EQ(previous, 0);
  ASSERT_EQ(kepra_SetFixBadPixels(h(), 1, nullptr), 1u);

  SetList(1000);
  camera_->ClearLog();
  // Either pointer may be null; the request still goes out.
  ASSERT_EQ(kepra_GetFixBadPixels(h(), nullptr, &has_list), 1u);
  EXPECT_EQ(has_list, 1);
  ASSERT_EQ(kepra_GetFixBadPixels(h(), &enabled, nullptr), 1u);
  EXPECT_EQ(enabled, 1);
  ASSERT_EQ(kepra_GetFixBadPixels(h(), nullptr, nullptr), 1u);
  EXPECT_EQ(Codes(), std::vector<std::uint32_t>(3, io::IOCTL_FIX_BAD_PIXELS));

  camera_->ClearLog();
  std::uint16_t count = 0;
  ASSERT_EQ(kepra_GetBadPixelCount(h(), &count), 1u);
  EXPECT_EQ(count, 1000);
  ExpectOneRequest(io::IOCTL_GET_BAD_PIXELS_COUNT, {}, 2, false);
}

TEST_F(BadPixels, SetSendsCountTimesFiveBytesOfTheEntries) {
  kepra_BadPixel entries[3] = {{0x0102, 0x0304, 0x05}, {0x0000, 0x03FF, 0x01}, {0x04FF, 0, 0xEE}};
  std::uint16_t reply = 0x7777;
  ASSERT_EQ(kepra_SetBadPixelData(h(), entries, 3, &reply), 1u);
  ExpectOneRequest(io::IOCTL_SET_BAD_PIXELS_DATA,
                   Bytes({0x02, 0x01, 0x04, 0x03, 0x05, 0x00, 0x00, 0xFF, 0x03, 0x01, 0xFF, 0x04,
                          0x00, 0x00, 0xEE}),
                   2, false);
  EXPECT_EQ(reply, 3);  // the camera's answer: the length of its list now
  const auto list = camera_->Settings().bad_pixels;
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0], (vcam::BadPixel{0x0102, 0x0304, 0x05}));
  EXPECT_EQ(list[2], (vcam::BadPixel{0x04FF, 0, 0xEE}));

  // Count 0 empties the list; a null reply pointer is fine.
  camera_->ClearLog();
  ASSERT_EQ(kepra_SetBadPixelData(h(), nullptr, 0, nullptr), 1u);
  EXPECT_TRUE(OnlyRequest().in.empty());
  EXPECT_TRUE(camera_->Settings().bad_pixels.empty());
}

TEST_F(BadPixels, GetOffersCountTimesFiveAndDeliversWhatTheDriverWrote) {
  std::vector<kepra_BadPixel> buffer(1000);
  struct Case {
    std::size_t list;
    std::uint32_t extra;  // torn bytes the driver adds after the whole entries
    std::uint16_t delivered;
  };
  const Case cases[] = {{1000, 0, 1000}, {500, 3, 500}, {0, 4, 0}, {999, 4, 999}};
  for (const Case& c : cases) {
    SetList(c.list, c.extra);
    camera_->ClearLog();
    std::uint16_t delivered = 0xFFFF;
    ASSERT_EQ(kepra_GetBadPixelData(h(), buffer.data(), 1000, &delivered), 1u) << c.list;
    ExpectOneRequest(io::IOCTL_GET_BAD_PIXELS_DATA, {}, 5000, false);
    EXPECT_EQ(delivered, c.delivered) << c.list << " + " << c.extra;
  }
  // The entries of the last read arrived whole and in order.
  const auto expected = Entries(999);
  EXPECT_EQ(std::memcmp(buffer.data(), expected.data(), 999 * 5), 0);
}

TEST_F(BadPixels, GetWithASmallerBufferOrCountZero) {
  SetList(10);
  std::vector<kepra_BadPixel> buffer(4);
  std::uint16_t delivered = 0;
  ASSERT_EQ(kepra_GetBadPixelData(h(), buffer.data(), 4, &delivered), 1u);
  EXPECT_EQ(delivered, 4);
  EXPECT_EQ(OnlyRequest().out_size, 20u);
  camera_->ClearLog();
  ASSERT_EQ(kepra_GetBadPixelData(h(), buffer.data(), 0, nullptr), 1u);
  EXPECT_EQ(OnlyRequest().out_size, 0u);
}

TEST_F(BadPixels, TheCameraRefusesAnOverlongOrOffSensorListAndKeepsItsOwn) {
  SetList(5);
  const auto many = Entries(1001);
  std::uint16_t reply = 0x7777;
  EXPECT_EQ(kepra_SetBadPixelData(h(), many.data(), 1001, &reply), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_PARAMETER);
  EXPECT_EQ(OnlyRequest().in.size(), 5005u);  // the library does not compare with the maximum
  kepra_BadPixel off[2] = {{1, 1, 0}, {1280, 0, 0}};
  EXPECT_EQ(kepra_SetBadPixelData(h(), off, 2, &reply), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_PARAMETER);
  EXPECT_EQ(reply, 0x7777);
  EXPECT_EQ(camera_->Settings().bad_pixels.size(), 5u);
  EXPECT_TRUE(rig_.DebugLines().empty());  // the set writes no line
}

}  // namespace
}  // namespace kt
