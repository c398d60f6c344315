// The virtual camera's frames: boot state, pacing, snapshot triggers and the reply layout.
//
// A frame request gets W x H samples (W = Width / BinX, H = Height / BinY of the frame
// parameters), 2 bytes little-endian each for the 16-bit requests and 1 byte (the sample
// >> (BitDepth - 8)) for the 8-bit ones. Ex and AfterEx frames start with the 4096-byte
// frame-information record (kepra_FrameInfo). The reply fills exactly the length asked:
// zeros after the frame, or only the frame's first bytes.
//
// Counters start at 0xFFFFFF00 and count frames produced. Paced, the camera produces a frame
// every frame period whether or not anyone asks, and a request gets the next one produced
// after it arrives (concurrent requests may share it). Unpaced, each request produces one.
// AfterEx(value) delivers the first frame whose counter is newer than value; unpaced, the
// counter jumps there at once. In snapshot mode (stream mode 1) every frame waits for a
// trigger, for at most the snapshot timeout (0: without limit), else fails with 121.
#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <optional>

#include "camera.h"
#include "camera_io.h"
#include "frames.h"
#include "protocol/protocol.h"

namespace vcam {
namespace {

using namespace reply;
namespace io = kepra::protocol;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kErrorNotReady = 21;
constexpr std::uint32_t kErrorSemTimeout = 121;
constexpr double kTickFactor = 15.999554533002907;

constexpr std::uint32_t kStreamSnapshot = 1;

Camera::Result Gone() { return {false, 1167, 0, true}; }  // ERROR_DEVICE_NOT_CONNECTED
constexpr std::uint32_t kErrorOperationAborted = 995;

enum class Wake { kReady, kTimeout, kAbandoned };

// Waits on `cv` until `ready`, or `deadline`. With a client to watch it looks every 20 ms
// whether that client went away, so that no thread stays blocked for a frame nobody takes.
template <typename Ready>
Wake WaitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
             std::optional<Clock::time_point> deadline, const Camera::Abandoned& abandoned,
             Ready ready) {
  constexpr auto kLook = std::chrono::milliseconds(20);
  for (;;) {
    if (ready()) return Wake::kReady;
    if (abandoned && abandoned()) return Wake::kAbandoned;
    const Clock::time_point now = Clock::now();
    if (deadline && now >= *deadline) return Wake::kTimeout;
    if (abandoned) {
      cv.wait_until(lock, deadline ? std::min(*deadline, now + kLook) : now + kLook);
    } else if (deadline) {
      cv.wait_until(lock, *deadline);
    } else {
      cv.wait(lock);
    }
  }
}

bool Newer(std::uint32_t counter, std::uint32_t value) {
  return static_cast<std::int32_t>(counter - value) > 0;
}

}  // namespace

Fx3Check Camera::Boot() {
  // The FX3 boot loader reads its image from flash address 0. A valid image starts the
  // camera's firmware, of the version it was configured with (our image carries no version
  // record of its own).
  Fx3Check boot;
  flash_.Inspect([&](std::span<const std::uint8_t> flash) {
    boot = CheckFx3Image(flash.data(), flash.size());
  });
  booted_ = boot.valid;
  const SensorSize size = SensorSizeOf(ident_[2]);
  if (size.width != sensor_width_ || size.height != sensor_height_ ||
      !ValidFrameParams(settings_.frame_params, size.width, size.height)) {
    sensor_width_ = size.width;
    sensor_height_ = size.height;
    settings_.frame_params = DefaultFrameParams(size.width, size.height);
  }
  return boot;
}

Camera::Result Camera::ServeFrame(std::unique_lock<std::mutex>& lock, std::uint32_t code,
                                  std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                                  const Abandoned& abandoned) {
  const bool after =
      code == io::IOCTL_GET_FRAME_AFTER_EX16 || code == io::IOCTL_GET_FRAME_AFTER_EX8;
  const bool with_info =
      after || code == io::IOCTL_GET_FRAME_EX16 || code == io::IOCTL_GET_FRAME_EX8;
  const bool sixteen = code == io::IOCTL_GET_FRAME16 || code == io::IOCTL_GET_FRAME_EX16 ||
                       code == io::IOCTL_GET_FRAME_AFTER_EX16;
  std::uint32_t value = 0;
  if (after) {
    if (in.size() != 4) return Error(kErrorInvalidParameter);
    value = last_after_value_ = GetU32(in.data());
  } else if (!in.empty()) {
    return Error(kErrorInvalidParameter);
  }
  if (!booted_) return Error(kErrorNotReady);

  std::uint32_t counter = 0;
  Clock::time_point when = Clock::now();
  const std::uint32_t frame_units = (registers_[4] & 0x07FFu) * registers_[12];
  if (settings_.stream_mode == kStreamSnapshot) {
    const auto encoded = static_cast<std::int32_t>(settings_.snapshot);
    const std::uint32_t timeout_ms =
        encoded >= 0 ? static_cast<std::uint32_t>(encoded)
                     : (settings_.snapshot == 0x80000000u ? 0u : 0u - settings_.snapshot);
    const auto triggered = [&] { return triggers_ > triggers_taken_ || unplugged_.load(); };
    std::optional<Clock::time_point> deadline;
    if (timeout_ms != 0) deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    const Waiting waiting(waiting_);
    const Wake wake = WaitFor(frame_cv_, lock, deadline, abandoned, triggered);
    if (wake == Wake::kAbandoned) return Error(kErrorOperationAborted);
    if (wake == Wake::kTimeout) return Error(kErrorSemTimeout);
    if (unplugged_.load()) return Gone();
    ++triggers_taken_;
    counter = next_counter_;
    if (after && !Newer(counter, value)) counter = value + 1;
    when = Clock::now();
  } else if (config_.paced && frequency_mhz_ != 0 && frame_units != 0) {
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::micro>(frame_units * kTickFactor / frequency_mhz_));
    const Clock::time_point now = Clock::now();
    counter = last_counter_;
    when = last_time_;
    if (now >= last_time_) {
      const auto elapsed = static_cast<std::uint64_t>((now - last_time_) / period);
      counter = static_cast<std::uint32_t>(last_counter_ + elapsed + 1);
      when = last_time_ + period * static_cast<Clock::rep>(elapsed + 1);
    } else {  // the latest frame scheduled is still to come: share the first one after now
      const auto before = static_cast<std::uint32_t>((last_time_ - now) / period);
      counter = last_counter_ - before;
      when = last_time_ - period * static_cast<Clock::rep>(before);
    }
    if (after && !Newer(counter, value)) {
      const std::uint32_t ahead = value + 1 - counter;
      counter += ahead;
      when += period * static_cast<Clock::rep>(ahead);
    }
    if (Newer(counter, last_counter_)) {
      last_counter_ = counter;
      last_time_ = when;
    }
    // Other requests go on while this one waits for its frame.
    const Waiting waiting(waiting_);
    const Wake wake = WaitFor(frame_cv_, lock, when, abandoned, [&] { return unplugged_.load(); });
    if (wake == Wake::kAbandoned) return Error(kErrorOperationAborted);
    if (unplugged_.load()) return Gone();
    if (!booted_) return Error(kErrorNotReady);  // reset meanwhile
  } else {
    counter = next_counter_;
    if (after && !Newer(counter, value)) counter = value + 1;
  }
  // Pacing and on-demand frames continue one count.
  if (!Newer(next_counter_, counter)) next_counter_ = counter + 1;
  if (Newer(counter, last_counter_)) {
    last_counter_ = counter;
    last_time_ = when;
  }
  delivered_counter_ = counter;
  ++frames_;
  if (config_.unplug_after_frames && frames_ - frames_at_plug_ >= config_.unplug_after_frames) {
    unplugged_.store(true);  // this frame still goes out; the next request finds no camera
    frame_cv_.notify_all();
  }

  // The picture as the sensor's settings make it.
  SceneSettings scene = SceneFromRegisters(registers_.data(), settings_.frame_params);
  scene.seed = config_.seed;
  scene.frame = counter;
  scene.sensor_width = sensor_width_;
  scene.sensor_height = sensor_height_;
  const std::uint8_t model = ident_[2];
  scene.mosaic = model == '5' ? Mosaic::kRggb : model == '8' ? Mosaic::kGbrg : Mosaic::kMono;
  scene.hdr = settings_.hdr != 0;
  if (!settings_.fix_bad_pixels) scene.defects = settings_.bad_pixels;

  std::array<std::uint8_t, io::kFrameInfoSize> info{};
  if (with_info) {
    PutU32(info.data(), counter);
    const auto us = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(when - epoch_).count());
    PutU32(info.data() + 8, static_cast<std::uint32_t>(us));
    PutU32(info.data() + 12, static_cast<std::uint32_t>(us >> 32));
    PutU16(info.data() + 16, static_cast<std::uint16_t>(SceneWidth(scene)));
    PutU16(info.data() + 18, static_cast<std::uint16_t>(SceneHeight(scene)));
    PutU16(info.data() + 20, sixteen ? scene.bit_depth : 8);
    PutU16(info.data() + io::kFrameInfoEventCountOffset,
           1);  // one event: the events state at capture
    info[io::kFrameInfoEventsOffset] = settings_.events_state;
    PutU16(info.data() + io::kFrameInfoFrequencyOffset, static_cast<std::uint16_t>(frequency_mhz_));
    PutU16(info.data() + io::kFrameInfoFactorAOffset, registers_[14]);
    PutU16(info.data() + io::kFrameInfoFactorBOffset, registers_[4] & 0x07FFu);
  }

  // Rendering takes milliseconds: let other requests go on meanwhile.
  lock.unlock();
  const std::size_t header = with_info ? io::kFrameInfoSize : 0;
  const std::size_t sample_bytes = sixteen ? 2 : 1;
  const std::size_t w = SceneWidth(scene), h = SceneHeight(scene);
  const std::size_t header_copied = std::min(header, out.size());
  std::copy_n(info.begin(), header_copied, out.begin());
  const std::size_t pixel_room = out.size() - header_copied;
  const std::size_t row_bytes = w * sample_bytes;
  const std::size_t rows = std::min(h, row_bytes ? (pixel_room + row_bytes - 1) / row_bytes : 0);
  thread_local std::vector<std::uint16_t> samples;
  samples.resize(w * h);
  RenderScene(scene, samples, static_cast<std::uint32_t>(rows));
  std::uint8_t* dst = out.data() + header_copied;
  const std::size_t count = std::min(pixel_room / sample_bytes, rows * w);
  if (sixteen) {
    if constexpr (std::endian::native == std::endian::little) {
      if (count) std::memcpy(dst, samples.data(), count * 2);
    } else {
      for (std::size_t i = 0; i < count; ++i) PutU16(dst + 2 * i, samples[i]);
    }
    std::size_t used = count * 2;
    if (used < pixel_room && count < w * h) dst[used++] = static_cast<std::uint8_t>(samples[count]);
    std::fill(dst + used, dst + pixel_room, std::uint8_t{0});
  } else {
    const unsigned shift = scene.bit_depth > 8 ? scene.bit_depth - 8u : 0u;
    for (std::size_t i = 0; i < count; ++i) dst[i] = static_cast<std::uint8_t>(samples[i] >> shift);
    std::fill(dst + count, dst + pixel_room, std::uint8_t{0});
  }
  lock.lock();
  return Ok(static_cast<std::uint32_t>(out.size()));
}

void Camera::Trigger() {
  {
    std::lock_guard lock(mutex_);
    ++triggers_;
  }
  frame_cv_.notify_all();
}

void Camera::SetPaced(bool paced) {
  std::lock_guard lock(mutex_);
  config_.paced = paced;
  last_counter_ = next_counter_ - 1;
  last_time_ = Clock::now();
}

bool Camera::Booted() const {
  std::lock_guard lock(mutex_);
  return booted_;
}

std::uint32_t Camera::LastFrameCounter() const {
  std::lock_guard lock(mutex_);
  return delivered_counter_;
}

std::uint16_t Camera::SensorWidth() const {
  std::lock_guard lock(mutex_);
  return sensor_width_;
}

std::uint16_t Camera::SensorHeight() const {
  std::lock_guard lock(mutex_);
  return sensor_height_;
}

}  // namespace vcam
