// The virtual camera's handlers for the settings its driver keeps: HDR, events state,
// snapshot value, stream mode, front LED, frame parameters and the bad-pixel list with its
// correction switch. A get form sends no input and asks for the value; a set form sends the
// value and asks for nothing back (except where a request has a reply). Any other shape of
// request fails with 87, a short output buffer with 122.
#include <algorithm>
#include <cstring>
#include <utility>

#include "camera.h"
#include "camera_io.h"

namespace vcam {
namespace {

using namespace reply;

enum class Form { kGet, kSet, kBad };

// Tells a get (no input) from a set (exactly `set_in` bytes) and checks the output size each
// form needs.
Form FormOf(std::span<const std::uint8_t> in, std::span<std::uint8_t> out, std::size_t get_out,
            std::size_t set_in, std::size_t set_out, Camera::Result* error) {
  if (in.empty() && set_in != 0) {
    if (out.size() < get_out) {
      *error = Error(kErrorInsufficientBuffer);
      return Form::kBad;
    }
    if (out.size() > get_out) {
      *error = Error(kErrorInvalidParameter);
      return Form::kBad;
    }
    return Form::kGet;
  }
  if (in.size() == set_in) {
    if (out.size() < set_out) {
      *error = Error(kErrorInsufficientBuffer);
      return Form::kBad;
    }
    if (out.size() > set_out) {
      *error = Error(kErrorInvalidParameter);
      return Form::kBad;
    }
    return Form::kSet;
  }
  *error = Error(kErrorInvalidParameter);
  return Form::kBad;
}

}  // namespace

SensorSize SensorSizeOf(std::uint8_t model_code) {
  if (model_code >= '4' && model_code <= '6') return {1280, 1024};
  return {1600, 1200};
}

bool IsColourModel(std::uint8_t model_code) { return model_code == '5' || model_code == '8'; }

FrameParams DefaultFrameParams(std::uint16_t sensor_width, std::uint16_t sensor_height) {
  FrameParams record{};
  PutU16(record.data() + 4, sensor_width);
  PutU16(record.data() + 6, sensor_height);
  PutU16(record.data() + 8, 10);
  PutU16(record.data() + 10, 1);
  PutU16(record.data() + 12, 1);
  return record;
}

bool ValidFrameParams(const FrameParams& record, std::uint16_t sensor_width,
                      std::uint16_t sensor_height) {
  const std::uint32_t x = GetU16(record.data()), y = GetU16(record.data() + 2);
  const std::uint32_t width = GetU16(record.data() + 4), height = GetU16(record.data() + 6);
  const std::uint16_t depth = GetU16(record.data() + 8);
  const std::uint16_t bin_x = GetU16(record.data() + 10), bin_y = GetU16(record.data() + 12);
  const std::uint16_t flags = GetU16(record.data() + 14);
  const auto binning = [](std::uint16_t b) { return b == 1 || b == 2 || b == 4; };
  if (width == 0 || height == 0 || x + width > sensor_width || y + height > sensor_height) {
    return false;
  }
  if (depth != 8 && depth != 10 && depth != 12) return false;
  if (!binning(bin_x) || !binning(bin_y) || width % bin_x != 0 || height % bin_y != 0) {
    return false;
  }
  if (flags & ~0x0003u) return false;
  for (std::size_t i = 16; i < kFrameParamsSize; ++i) {
    if (record[i] != 0) return false;
  }
  return true;
}

Camera::Result Camera::ServeHdr(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
  Result error;
  switch (FormOf(in, out, 1, 1, 0, &error)) {
    case Form::kGet:
      out[0] = settings_.hdr;
      return Ok(1);
    case Form::kSet:
      settings_.hdr = in[0];
      return Ok();
    default:
      return error;
  }
}

Camera::Result Camera::ServeEventsState(std::span<const std::uint8_t> in,
                                        std::span<std::uint8_t> out) {
  Result error;
  switch (FormOf(in, out, 1, 1, 0, &error)) {
    case Form::kGet:
      out[0] = settings_.events_state;
      return Ok(1);
    case Form::kSet:
      settings_.events_state = in[0];
      return Ok();
    default:
      return error;
  }
}

Camera::Result Camera::ServeSnapshot(std::span<const std::uint8_t> in,
                                     std::span<std::uint8_t> out) {
  Result error;
  switch (FormOf(in, out, 4, 4, 0, &error)) {
    case Form::kGet:
      PutU32(out.data(), settings_.snapshot);
      return Ok(4);
    case Form::kSet:
      settings_.snapshot = GetU32(in.data());
      return Ok();
    default:
      return error;
  }
}

Camera::Result Camera::ServeStreamMode(std::span<const std::uint8_t> in,
                                       std::span<std::uint8_t> out) {
  Result error;
  switch (FormOf(in, out, 4, 4, 0, &error)) {
    case Form::kGet:
      PutU32(out.data(), settings_.stream_mode);
      return Ok(4);
    case Form::kSet:
      settings_.stream_mode = GetU32(in.data());
      return Ok();
    default:
      return error;
  }
}

Camera::Result Camera::ServeFrontLed(std::span<const std::uint8_t> in,
                                     std::span<std::uint8_t> out) {
  // Set form only.
  if (in.size() != 1 || !out.empty()) return Error(kErrorInvalidParameter);
  settings_.front_led = in[0];
  DriverLogLocked(in[0] ? "front LED on" : "front LED off");
  return Ok();
}

Camera::Result Camera::ServeFrameParams(std::span<const std::uint8_t> in,
                                        std::span<std::uint8_t> out) {
  Result error;
  switch (FormOf(in, out, kFrameParamsSize, kFrameParamsSize, 0, &error)) {
    case Form::kGet:
      std::memcpy(out.data(), settings_.frame_params.data(), kFrameParamsSize);
      return Ok(kFrameParamsSize);
    case Form::kSet: {
      FrameParams record;
      std::memcpy(record.data(), in.data(), kFrameParamsSize);
      if (!ValidFrameParams(record, sensor_width_, sensor_height_)) {
        return Error(kErrorInvalidParameter);
      }
      settings_.frame_params = record;
      return Ok();
    }
    default:
      return error;
  }
}

Camera::Result Camera::ServeFixBadPixels(std::span<const std::uint8_t> in,
                                         std::span<std::uint8_t> out) {
  Result error;
  switch (FormOf(in, out, 2, 1, 1, &error)) {
    case Form::kGet:
      out[0] = settings_.fix_bad_pixels;
      out[1] = settings_.bad_pixels.empty() ? 0 : 1;
      return Ok(2);
    case Form::kSet:
      out[0] = settings_.fix_bad_pixels;
      settings_.fix_bad_pixels = in[0] ? 1 : 0;
      return Ok(1);
    default:
      return error;
  }
}

Camera::Result Camera::ServeBadPixelCount(std::span<const std::uint8_t> in,
                                          std::span<std::uint8_t> out) {
  if (!in.empty() || out.size() > 2) return Error(kErrorInvalidParameter);
  if (out.size() < 2) return Error(kErrorInsufficientBuffer);
  PutU16(out.data(), static_cast<std::uint16_t>(settings_.bad_pixels.size()));
  return Ok(2);
}

Camera::Result Camera::ServeGetBadPixels(std::span<const std::uint8_t> in,
                                         std::span<std::uint8_t> out) {
  if (!in.empty()) return Error(kErrorInvalidParameter);
  // As many whole entries as the buffer holds.
  const std::size_t count = std::min(settings_.bad_pixels.size(), out.size() / kBadPixelEntrySize);
  std::uint8_t* p = out.data();
  for (std::size_t i = 0; i < count; ++i, p += kBadPixelEntrySize) {
    const BadPixel& entry = settings_.bad_pixels[i];
    PutU16(p, entry.x);
    PutU16(p + 2, entry.y);
    p[4] = entry.kind;
  }
  std::size_t bytes = count * kBadPixelEntrySize;
  const std::size_t extra =
      std::min<std::size_t>(settings_.bad_pixel_read_extra, out.size() - bytes);
  if (extra) std::memset(out.data() + bytes, 0, extra);
  bytes += extra;
  return Ok(static_cast<std::uint32_t>(bytes));
}

Camera::Result Camera::ServeSetBadPixels(std::span<const std::uint8_t> in,
                                         std::span<std::uint8_t> out) {
  if (in.size() % kBadPixelEntrySize != 0 || out.size() > 2) {
    return Error(kErrorInvalidParameter);
  }
  if (out.size() < 2) return Error(kErrorInsufficientBuffer);
  const std::size_t count = in.size() / kBadPixelEntrySize;
  if (count > kMaxBadPixels) return Error(kErrorInvalidParameter);
  std::vector<BadPixel> list(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* p = in.data() + i * kBadPixelEntrySize;
    list[i] = {GetU16(p), GetU16(p + 2), p[4]};
    if (list[i].x >= sensor_width_ || list[i].y >= sensor_height_) {
      return Error(kErrorInvalidParameter);
    }
  }
  settings_.bad_pixels = std::move(list);
  PutU16(out.data(), static_cast<std::uint16_t>(count));
  return Ok(2);
}

DriverSettings Camera::Settings() const {
  std::lock_guard lock(mutex_);
  return settings_;
}

void Camera::SetSettings(const DriverSettings& settings) {
  std::lock_guard lock(mutex_);
  settings_ = settings;
}

}  // namespace vcam
