// The settings that the camera's driver keeps for it, exchanged whole through their own
// control requests rather than through sensor registers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vcam {

// The frame-parameter record (26 bytes, little-endian u16 fields): region of interest x, y,
// width, height in sensor pixels; sample depth in bits (8, 10, 12); horizontal and vertical
// binning (1, 2, 4, dividing width and height); flags (bit 0 mirror x, bit 1 flip y); 10
// reserved bytes, zero. The public header describes the same record as kepra_FrameParams.
constexpr std::size_t kFrameParamsSize = 26;
using FrameParams = std::array<std::uint8_t, kFrameParamsSize>;
constexpr std::uint16_t kSensorWidth = 1280;
constexpr std::uint16_t kSensorHeight = 1024;

// The sensor of a model code (identity byte 2): '4', '5', '6' have 1280 x 1024, '7', '8' and
// unflashed cameras 1600 x 1200.
struct SensorSize {
  std::uint16_t width;
  std::uint16_t height;
};
SensorSize SensorSizeOf(std::uint8_t model_code);
// Colour models ('5', '8') deliver a Bayer mosaic.
bool IsColourModel(std::uint8_t model_code);

// Full sensor, 10 bits, no binning, no flags.
FrameParams DefaultFrameParams(std::uint16_t sensor_width = kSensorWidth,
                               std::uint16_t sensor_height = kSensorHeight);
// Whether the camera accepts a record.
bool ValidFrameParams(const FrameParams& record, std::uint16_t sensor_width = kSensorWidth,
                      std::uint16_t sensor_height = kSensorHeight);

// A bad-pixel list entry: 5 bytes, x as u16, y as u16 (little-endian), then a kind byte that
// the camera keeps as given. The list holds at most kMaxBadPixels entries, all on the sensor.
constexpr std::size_t kBadPixelEntrySize = 5;
constexpr std::size_t kMaxBadPixels = 1000;
struct BadPixel {
  std::uint16_t x = 0;
  std::uint16_t y = 0;
  std::uint8_t kind = 0;
  bool operator==(const BadPixel&) const = default;
};

struct DriverSettings {
  std::uint8_t hdr = 0;           // IOCTL_HDR: the byte last set
  std::uint8_t events_state = 0;  // IOCTL_EVENTS_STATE
  std::uint32_t snapshot = 0;     // IOCTL_SNAPSHOT_PARAMS: the encoded timeout, as sent
  std::uint32_t stream_mode = 0;  // IOCTL_STREAM_MODE
  std::uint8_t front_led = 0;     // IOCTL_FRONT_LED: the byte last sent
  FrameParams frame_params = DefaultFrameParams();  // IOCTL_FRAME_PARAMS
  // IOCTL_FIX_BAD_PIXELS: the correction switch, 0 or 1. Read, it answers two bytes: the
  // switch and whether the list is non-empty (0 or 1); set, it answers the previous switch.
  std::uint8_t fix_bad_pixels = 0;
  // IOCTL_SET_BAD_PIXELS_DATA replaces the list and answers its new length (u16).
  std::vector<BadPixel> bad_pixels;
  // Test knob: bytes of a torn entry that a read of the list appends after the whole entries
  // (as far as the buffer has room), as a driver could.
  std::uint32_t bad_pixel_read_extra = 0;
};

}  // namespace vcam
