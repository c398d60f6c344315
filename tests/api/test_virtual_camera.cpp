// The virtual camera as an application sees it through the library, where other suites rely
// on it: frame geometry and the frame-information record, AfterEx, pacing, snapshot mode,
// events, and booting from flash after an interrupted firmware update. (Its pictures are
// checked once, in the scene's unit tests.)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <thread>

#include "fixture.h"

namespace kt {
namespace {

constexpr std::uint32_t kErrorNotReady = 21;
constexpr std::uint32_t kErrorSemTimeout = 121;
constexpr std::size_t kInfo = sizeof(kepra_FrameInfo);

struct Frame {
  kepra_FrameInfo info{};
  std::vector<std::uint16_t> samples;
  std::uint32_t width = 0, height = 0;
  std::uint16_t at(std::uint32_t x, std::uint32_t y) const { return samples[y * width + x]; }
  double Mean() const {
    return std::accumulate(samples.begin(), samples.end(), 0.0) /
           static_cast<double>(samples.size());
  }
};

class VirtualCamera : public CameraTest {
 protected:
  kepra_FrameParams Params() {
    kepra_FrameParams p{};
    EXPECT_EQ(kepra_GetFrameParams(h(), &p), 1u);
    return p;
  }

  // An Ex frame of the current geometry (16-bit, or 8-bit widened).
  Frame Grab(bool sixteen = true) {
    const kepra_FrameParams p = Params();
    Frame f;
    f.width = p.Width / p.BinX;
    f.height = p.Height / p.BinY;
    const std::size_t n = static_cast<std::size_t>(f.width) * f.height;
    std::vector<std::uint8_t> buffer(kInfo + n * (sixteen ? 2 : 1));
    const auto length = static_cast<std::uint32_t>(buffer.size());
    const std::uint32_t ok = sixteen ? kepra_GetFrameEx16(h(), buffer.data(), length)
                                     : kepra_GetFrameEx8(h(), buffer.data(), length);
    EXPECT_EQ(ok, 1u);
    std::memcpy(&f.info, buffer.data(), kInfo);
    f.samples.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      f.samples[i] =
          sixteen
              ? static_cast<std::uint16_t>(buffer[kInfo + 2 * i] | buffer[kInfo + 2 * i + 1] << 8)
              : buffer[kInfo + i];
    }
    return f;
  }

  // Replaces the fixture's camera by one of another configuration at the same index.
  void Replug(vcam::CameraConfig config) {
    handle_.reset();
    rig_.Unplug(kIndex);
    camera_ = rig_.Plug(kIndex, config);
    handle_ = std::make_unique<Handle>(kIndex);
    ASSERT_TRUE(handle_->ok());
  }
};

TEST_F(VirtualCamera, GeometryFollowsTheModelAndTheFrameParameters) {
  struct Model {
    std::uint8_t code;
    std::uint32_t width, height;
  };
  for (const Model m : {Model{'4', 1280, 1024}, Model{'5', 1280, 1024}, Model{'6', 1280, 1024},
                        Model{'7', 1600, 1200}, Model{'8', 1600, 1200}, Model{0xFF, 1600, 1200}}) {
    SCOPED_TRACE(m.code);
    vcam::CameraConfig config;
    config.model_code = m.code;
    Replug(config);
    kepra_CameraInfo info{};
    ASSERT_EQ(kepra_GetCameraInfo(h(), &info), 1u);
    const kepra_FrameParams p = Params();
    EXPECT_EQ(p.Width, info.Width);
    EXPECT_EQ(p.Height, info.Height);
    EXPECT_EQ(p.Width, m.width);
    EXPECT_EQ(p.Height, m.height);
    const Frame f = Grab();
    EXPECT_EQ(f.info.Width, m.width);
    EXPECT_EQ(f.info.Height, m.height);
    EXPECT_EQ(f.info.BitDepth, 10);
    EXPECT_LE(*std::max_element(f.samples.begin(), f.samples.end()), 1023);
  }

  // Binning 2 x 4 of a 640 x 480 region at 12 bits.
  kepra_FrameParams p = Params();
  p.X = 100;
  p.Y = 40;
  p.Width = 640;
  p.Height = 480;
  p.BinX = 2;
  p.BinY = 4;
  p.BitDepth = 12;
  ASSERT_EQ(kepra_SetFrameParams(h(), &p), 1u);
  const std::size_t frame_bytes = 320 * 120 * 2;
  std::vector<std::uint8_t> buffer(kInfo + frame_bytes + 64, 0xEE);
  ASSERT_EQ(kepra_GetFrameEx16(h(), buffer.data(), static_cast<std::uint32_t>(buffer.size())), 1u);
  kepra_FrameInfo info;
  std::memcpy(&info, buffer.data(), kInfo);
  EXPECT_EQ(info.Width, 320);
  EXPECT_EQ(info.Height, 120);
  EXPECT_EQ(info.BitDepth, 12);
  EXPECT_TRUE(std::all_of(buffer.end() - 64, buffer.end(), [](auto b) { return b == 0; }));
  ASSERT_EQ(kepra_GetFrameEx8(h(), buffer.data(), static_cast<std::uint32_t>(buffer.size())), 1u);
  std::memcpy(&info, buffer.data(), kInfo);
  EXPECT_EQ(info.BitDepth, 8);
  EXPECT_TRUE(
      std::all_of(buffer.begin() + kInfo + 320 * 120, buffer.end(), [](auto b) { return b == 0; }));
}

TEST_F(VirtualCamera, TheRecordDescribesTheFrameAndItsSettings) {
  ASSERT_EQ(kepra_SetExposure(h(), 777), 1u);
  ASSERT_EQ(kepra_SetFrequency(h(), 48), 1u);
  const Frame first = Grab();
  const Frame second = Grab(false);
  EXPECT_EQ(second.info.FrameCounter, first.info.FrameCounter + 1);
  // Counters start near their wrap-around point.
  EXPECT_GE(first.info.FrameCounter, 0xFFFFFF00u);
  EXPECT_GE(second.info.TimestampUs, first.info.TimestampUs);
  std::uint32_t exposure = 0, mhz = 0;
  std::uint16_t r4 = 0;
  ASSERT_EQ(kepra_GetExposure(h(), &exposure), 1u);
  ASSERT_EQ(kepra_GetFrequency(h(), &mhz), 1u);
  ASSERT_EQ(kepra_ReadSensorReg(h(), 4, &r4), 1u);
  EXPECT_EQ(first.info.ExposureLines, exposure);
  EXPECT_EQ(first.info.ClockMHz, mhz);
  EXPECT_EQ(first.info.LineLength, r4 & 0x7FF);
  double ms = 0;
  ASSERT_EQ(kepra_GetExposureMs(h(), &ms), 1u);
  EXPECT_DOUBLE_EQ(kepra_GetFrameExposureMs(&first.info), ms);
  // 777 lines x 82 units x 15.999554533002907 periods at 48 MHz.
  EXPECT_NEAR(kepra_GetFrameExposureMs(&first.info), 777 * 82 * 15.999554533002907 / 48000, 1e-3);
}

TEST_F(VirtualCamera, AfterExWaitsForAFrameNewerThanTheValue) {
  const std::uint32_t c = Grab().info.FrameCounter;
  std::vector<std::uint8_t> buffer(kInfo + 1280 * 1024 * 2);
  const auto length = static_cast<std::uint32_t>(buffer.size());
  kepra_FrameInfo info;
  ASSERT_EQ(kepra_GetFrameAfterEx16(h(), buffer.data(), length, c + 5), 1u);
  std::memcpy(&info, buffer.data(), kInfo);
  EXPECT_EQ(info.FrameCounter, c + 6);
  // An older value: the next frame is already newer.
  ASSERT_EQ(kepra_GetFrameAfterEx8(h(), buffer.data(), length, c - 10), 1u);
  std::memcpy(&info, buffer.data(), kInfo);
  EXPECT_EQ(info.FrameCounter, c + 7);
  // Across the wrap-around: 0xFFFFFFFF is older than 0.
  ASSERT_EQ(kepra_GetFrameAfterEx16(h(), buffer.data(), length, 0xFFFFFFFFu), 1u);
  std::memcpy(&info, buffer.data(), kInfo);
  EXPECT_EQ(info.FrameCounter, 0u);
}

TEST_F(VirtualCamera, PacedFramesComeAtTheConfiguredRate) {
  // A 160 x 128 region keeps the transfer short; a 128-row window allows about 200 fps.
  kepra_FrameParams p = Params();
  p.Width = 160;
  p.Height = 128;
  ASSERT_EQ(kepra_SetFrameParams(h(), &p), 1u);
  camera_->SetRegister(19, 128);
  camera_->SetRegister(14, 100);
  double rate = 0;
  ASSERT_EQ(kepra_SetFrameRate(h(), 200.0, &rate), 1u);
  ASSERT_NEAR(rate, 200.0, 5.0);
  std::uint32_t frame_time = 0, mhz = 0;
  ASSERT_EQ(kepra_GetFrameTime(h(), &frame_time), 1u);
  ASSERT_EQ(kepra_GetFrequency(h(), &mhz), 1u);
  const double period_us = frame_time * 15.999554533002907 / mhz;
  camera_->SetPaced(true);

  constexpr int kFrames = 40;
  Frame first = Grab();
  const double start = rig::NowMs();
  Frame last;
  for (int i = 0; i < kFrames; ++i) {
    Frame f = Grab();
    // The capture times are the sensor's: whole periods apart, however the caller keeps up.
    const std::uint32_t frames =
        f.info.FrameCounter - (i ? last.info.FrameCounter : first.info.FrameCounter);
    const std::uint64_t previous = i ? last.info.TimestampUs : first.info.TimestampUs;
    ASSERT_GE(frames, 1u);
    EXPECT_NEAR(static_cast<double>(f.info.TimestampUs - previous), frames * period_us, 2.0);
    last = std::move(f);
  }
  const double elapsed = rig::NowMs() - start;
  const double measured = kFrames * 1000.0 / elapsed;
  std::printf("[ paced    ] configured %.3f fps, measured %.3f fps over %d frames, %u dropped\n",
              rate, measured, kFrames, last.info.FrameCounter - first.info.FrameCounter - kFrames);
  // A measurement on a shared machine: only a generous bound.
  EXPECT_GT(measured, rate / 3);
  EXPECT_LT(measured, rate * 1.5);
}

TEST_F(VirtualCamera, APacedWaitDoesNotHoldUpOtherRequests) {
  camera_->SetRegister(12, 30000);  // about 1 s per frame at 40 MHz
  camera_->SetPaced(true);
  std::atomic<bool> done{false};
  std::thread grabber([&] {
    std::vector<std::uint8_t> buffer(64);
    EXPECT_EQ(kepra_GetFrame16(h(), buffer.data(), 64), 1u);
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const double start = rig::NowMs();
  std::uint32_t exposure = 0;
  EXPECT_EQ(kepra_GetExposure(h(), &exposure), 1u);
  EXPECT_LT(rig::NowMs() - start, 500.0);
  EXPECT_FALSE(done.load());
  grabber.join();
}

TEST_F(VirtualCamera, SnapshotModeWaitsForATriggerOrTimesOut) {
  ASSERT_EQ(kepra_SetStreamMode(h(), KEPRA_STREAM_SNAPSHOT), 1u);
  ASSERT_EQ(kepra_SetSnapshotParams(h(), 60, 0), 1u);
  std::vector<std::uint8_t> buffer(256);
  double start = rig::NowMs();
  EXPECT_EQ(kepra_GetFrame8(h(), buffer.data(), 256), 0u);
  EXPECT_EQ(kepra_GetLastError(), kErrorSemTimeout);
  EXPECT_GE(rig::NowMs() - start, 50.0);

  camera_->Trigger();  // a trigger before the request is kept for it
  EXPECT_EQ(kepra_GetFrame8(h(), buffer.data(), 256), 1u);

  ASSERT_EQ(kepra_SetSnapshotParams(h(), 5000, 1), 1u);  // inverted: same timeout
  std::thread trigger([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    camera_->Trigger();
  });
  start = rig::NowMs();
  EXPECT_EQ(kepra_GetFrame8(h(), buffer.data(), 256), 1u);
  const double waited = rig::NowMs() - start;
  trigger.join();
  EXPECT_GE(waited, 80.0);
  EXPECT_LT(waited, 4000.0);

  ASSERT_EQ(kepra_SetStreamMode(h(), KEPRA_STREAM_FREE_RUNNING), 1u);
  EXPECT_EQ(kepra_GetFrame8(h(), buffer.data(), 256), 1u);
}

TEST_F(VirtualCamera, EachFrameCarriesTheEventsState) {
  ASSERT_EQ(kepra_SetEventsState(h(), 0x05, 0x0F), 1u);
  Frame f = Grab();
  EXPECT_EQ(f.info.EventCount, 1);
  EXPECT_EQ(f.info.Events[0], 0x05);
  EXPECT_EQ(kepra_CheckEventsState(&f.info, 0x04, 0x04), 0);
  ASSERT_EQ(kepra_SetEventsState(h(), 0x00, 0x04), 1u);
  f = Grab();
  EXPECT_EQ(f.info.Events[0], 0x01);
  EXPECT_EQ(kepra_CheckEventsState(&f.info, 0x04, 0x04), -1);
}

TEST_F(VirtualCamera, AnInterruptedUpdateLeavesABootLoaderThatASecondUpdateRecovers) {
  // The programming of page 300 (sector 1) fails: sector 0 holds the new start of the image,
  // sector 1 is erased and only partly programmed.
  vcam::Fault fault;
  fault.code = io::IOCTL_SPI_WRITE_PAGE;
  fault.nth = 300;
  camera_->AddFault(fault);
  EXPECT_EQ(kepra_UpdateFW(h()), 0u);
  ASSERT_EQ(kepra_DeviceReset(h()), 1u);

  std::uint16_t v1 = 9, v2 = 9, v3 = 9, v4 = 9;
  std::uint8_t v5 = 9;
  ASSERT_EQ(kepra_GetFWVersion(h(), &v1, &v2, &v3, &v4, &v5), 1u);
  EXPECT_EQ(v1, 0);
  EXPECT_EQ(v2, 0);
  EXPECT_EQ(v3, 1);
  EXPECT_EQ(v4, 6);
  kepra_CameraInfoEx ex{};
  ASSERT_EQ(kepra_GetCameraInfoEx(h(), &ex), 1u);
  EXPECT_EQ(ex.ModelCode, 0);
  kepra_CameraInfo info{};
  ASSERT_EQ(kepra_GetCameraInfo(h(), &info), 1u);
  EXPECT_STREQ(info.ModelName, "KEPRA-Axx unflashed");
  std::vector<std::uint8_t> buffer(64);
  EXPECT_EQ(kepra_GetFrame16(h(), buffer.data(), 64), 0u);
  EXPECT_EQ(kepra_GetLastError(), kErrorNotReady);

  ASSERT_EQ(kepra_UpdateFW(h()), 1u);
  ASSERT_EQ(kepra_DeviceReset(h()), 1u);
  const vcam::FirmwareVersion configured;
  ASSERT_EQ(kepra_GetFWVersion(h(), &v1, &v2, &v3, &v4, &v5), 1u);
  EXPECT_EQ(v1, configured.first);
  EXPECT_EQ(v2, configured.second);
  ASSERT_EQ(kepra_GetCameraInfo(h(), &info), 1u);
  EXPECT_STREQ(info.ModelName, "KEPRA-A1 Mono");
  EXPECT_EQ(kepra_GetFrame16(h(), buffer.data(), 64), 1u);
}

}  // namespace
}  // namespace kt
