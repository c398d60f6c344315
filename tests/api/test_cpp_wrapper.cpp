// The C++ layer (kepra.hpp) over the rig's virtual camera: errors, units, frames, streams.
#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "fixture.h"
#include "kepra/kepra.hpp"

namespace kt {
namespace {

// The error `call` throws; a test failure when it throws none.
template <typename Call>
kepra::Error Thrown(Call call) {
  try {
    call();
  } catch (const kepra::Error& e) {
    return e;
  }
  ADD_FAILURE() << "nothing thrown";
  return kepra::Error(0, "nothing thrown");
}

class CppWrapper : public CameraTest {
 protected:
  void SetUp() override {
    CameraTest::SetUp();
    UseSmallFrames(12);
  }
};

TEST_F(CppWrapper, FailuresThrowErrorsThatNameCodeTextAndFunction) {
  const kepra::Error missing = Thrown([] { kepra::Camera camera(kIndex + 1); });  // not there
  EXPECT_STREQ(missing.function(), "kepra_OpenDevice");
  EXPECT_STREQ(missing.text(), kepra_ErrorText(missing.code()));
  kepra::Camera camera(kIndex);
  const kepra::Error e = Thrown([&] { camera.SetFrameRate({-1.0}); });
  EXPECT_EQ(e.code(), KEPRA_ERROR_INVALID_PARAMETER);
  EXPECT_STREQ(e.function(), "kepra_SetFrameRate");
  EXPECT_NE(std::string(e.what()).find("ERROR_INVALID_PARAMETER"), std::string::npos);
}

TEST_F(CppWrapper, CameraIsMoveOnlyAndSettingsCarryUnits) {
  kepra::Camera first(kIndex);
  kepra::Camera camera(std::move(first));
  EXPECT_EQ(first.handle(), KEPRA_INVALID_HANDLE);
  const kepra::Milliseconds taken = camera.SetExposure(kepra::Milliseconds(2.5));
  const double c_ms = Value(kepra_GetExposureMs);  // the C API on the other handle agrees
  EXPECT_DOUBLE_EQ(taken.count(), c_ms);
  EXPECT_NEAR(taken.count(), 2.5, 0.1);
  EXPECT_DOUBLE_EQ(camera.Exposure().count(), c_ms);
  camera.SetClock({48});
  EXPECT_EQ(camera.Clock().value, 48u);
  camera.SetGain({2.0, 1.5});
  EXPECT_EQ(std::pair(camera.Gain().analog, camera.Gain().digital), std::pair(2.0, 1.5));
  const kepra::FramesPerSecond rate = camera.SetFrameRate({10.0});
  EXPECT_NEAR(rate.value, 10.0, 0.01);
  EXPECT_EQ(kepra::LibraryVersion().minor, kepra::kHeaderVersion.minor);
}

TEST_F(CppWrapper, FramesAreSizedFromTheFormatAndShortBuffersAreRefused) {
  const kepra::Camera camera(kIndex);
  const kepra::FrameFormat f = camera.Format();
  EXPECT_EQ(std::pair(f.width, f.color_filter), std::pair(64u, kepra::ColorFilter::kNone));
  const auto frame = camera.Grab16(true);
  EXPECT_EQ(frame.samples.size(), 64u * 48u);
  ASSERT_TRUE(frame.info.has_value());
  EXPECT_EQ(frame.info->Width, 64u);
  EXPECT_EQ(frame.bit_depth, 12u);
  const std::uint16_t max = std::ranges::max(frame.Samples());
  EXPECT_TRUE(max > 0 && max < 4096) << max;  // 12 significant bits
  EXPECT_EQ(camera.Grab8().samples.size(), 64u * 48u);

  std::vector<std::uint16_t> small(64 * 48 - 1);
  camera_->ClearLog();
  EXPECT_EQ(Thrown([&] { camera.Grab16Into(small.data(), small.size()); }).code(),
            KEPRA_ERROR_INSUFFICIENT_BUFFER);
  for (const auto& e : camera_->Log()) EXPECT_NE(e.code, io::IOCTL_GET_FRAME16);
}

TEST_F(CppWrapper, StreamRangeForGivesEachBufferBackAfterItsStep) {
  const kepra::Camera camera(kIndex);
  kepra::Stream stream(camera, {16, 3});
  std::uint64_t steps = 0, next = 0;
  for (const kepra::StreamFrame& frame : stream.Take(10)) {
    EXPECT_GE(frame.sequence(), next);  // a gap: frames dropped while the pool was full
    next = frame.sequence() + 1;
    ++steps;
    EXPECT_EQ(frame.Samples16().size(), 64u * 48u);
    EXPECT_TRUE(frame.Samples8().empty());
    EXPECT_EQ(stream.Stats().held, 1u);  // only the frame of this step
  }
  EXPECT_EQ(steps, 10u);
  EXPECT_EQ(stream.Stats().held, 0u);

  // A stop from another thread ends an endless loop.
  std::atomic<int> seen{0};
  std::thread stopper([&] {
    while (seen < 5) std::this_thread::yield();
    kepra_StopStream(stream.handle());
  });
  for (const auto& frame : stream) {
    (void)frame;
    ++seen;
  }
  stopper.join();
  EXPECT_GE(seen.load(), 5);
  EXPECT_FALSE(stream.Stats().running);
}

TEST_F(CppWrapper, StreamCallbackRunsOnTheStreamsThread) {
  const kepra::Camera camera(kIndex);
  kepra::Stream stream(camera, {8, 4, kepra::Strategy::kNewestOnly, false}, false);
  std::atomic<int> calls{0};
  std::atomic<bool> other_thread{true};
  const auto self = std::this_thread::get_id();
  stream.OnFrame([&](const kepra_Frame& f) {
    if (std::this_thread::get_id() == self || f.Depth != 8) other_thread = false;
    ++calls;
  });
  stream.Start();
  while (calls < 5) std::this_thread::yield();
  stream.Stop();
  EXPECT_TRUE(other_thread);
  EXPECT_THROW(stream.Next(), kepra::Error);  // callback streams hand nothing to Next
}

// The calls in the sensor's own units, bad-pixel limit, whole flash and record helpers reach the
// same camera state as the C API on the fixture's other handle.
TEST_F(CppWrapper, SensorUnitsWholeFlashAndRecordHelpersAgreeWithTheCApi) {
  kepra::Camera camera(kIndex);
  EXPECT_EQ(camera.ExposureLinesRange(), (std::pair<std::uint32_t, std::uint32_t>{2, 65534}));
  camera.SetClock({48});
  EXPECT_DOUBLE_EQ(camera.ClockMHz(), 48.0);
  camera.SetExposureLines(1000);
  std::uint32_t lo = 0, hi = 0;
  const std::uint32_t c = Value(kepra_GetExposureTime);
  EXPECT_EQ(camera.ExposureTime(), c);
  camera.SetExposureTime(c / 2);
  EXPECT_NEAR(Value(kepra_GetExposure), 500.0, 1.0);  // the whole line nearest half of 1000
  ASSERT_EQ(kepra_GetExposureTimeMinMax(h(), &lo, &hi), 1u);
  EXPECT_EQ(camera.ExposureTimeRange(), std::make_pair(lo, hi));
  ASSERT_EQ(kepra_GetFrameTimeMinMax(h(), &lo, &hi), 1u);
  EXPECT_EQ(camera.FrameTimeRange(), std::make_pair(lo, hi));
  camera.SetFrameTime(hi);
  EXPECT_EQ(camera.FrameTime(), Value(kepra_GetFrameTime));
  EXPECT_EQ(camera.ExposureLinesAtFrameRateMax(), Value(kepra_GetExposureFramerateMax));
  EXPECT_EQ(camera.MaxBadPixels(), Value(kepra_GetMaxBadPixelCount));

  // The whole flash by address and the user area by offset are the same bytes.
  const std::vector<std::uint8_t> bytes = {0xDE, 0xAD, 0xBE, 0xEF};
  camera.WriteWholeFlash(KEPRA_USER_AREA_BASE + 40, bytes);
  EXPECT_EQ(camera.ReadFlash(40, 4), bytes);
  EXPECT_EQ(camera.ReadWholeFlash(KEPRA_USER_AREA_BASE + 40, 4), bytes);
  EXPECT_THROW(camera.ReadWholeFlash(0x200000, 1), kepra::Error);  // past the 2 MiB part

  const kepra::Frame<std::uint16_t> first = camera.Grab16(true);
  ASSERT_TRUE(first.info);
  const kepra::Frame<std::uint16_t> next = camera.Grab16After(first.info->FrameCounter);
  ASSERT_TRUE(next.info);
  EXPECT_NE(next.info->FrameCounter, first.info->FrameCounter);
  EXPECT_DOUBLE_EQ(kepra::FrameExposure(*next.info).count(), kepra_GetFrameExposureMs(&*next.info));
  EXPECT_EQ(kepra::FindEvent(*next.info, 0x01, 0x01),
            kepra_CheckEventsState(&*next.info, 0x01, 0x01));
}

}  // namespace
}  // namespace kt
