// The settings that the camera's driver keeps for it, exchanged whole through their own
// control requests rather than through sensor registers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace vcam {

// The frame-parameter record (26 bytes, little-endian u16 fields): region of interest x, y,
// width, height in sensor pixels; sample depth in bits (8, 10, 12); horizontal and vertical
// binning (1, 2, 4, dividing width and height); flags (bit 0 mirror x, bit 1 flip y); 10
// reserved bytes, zero. The public header describes the same record as kepra_FrameParams.
constexpr std::size_t kFrameParamsSize = 26;
using FrameParams = std::array<std::uint8_t, kFrameParamsSize>;
constexpr std::uint16_t kSensorWidth = 1280;
constexpr std::uint16_t kSensorHeight = 1024;

// Full sensor, 10 bits, no binning, no flags.
FrameParams DefaultFrameParams();
// Whether the camera accepts a record.
bool ValidFrameParams(const FrameParams& record);

struct DriverSettings {
  std::uint8_t hdr = 0;           // IOCTL_HDR: the byte last set
  std::uint8_t events_state = 0;  // IOCTL_EVENTS_STATE
  std::uint32_t snapshot = 0;     // IOCTL_SNAPSHOT_PARAMS: the encoded timeout, as sent
  std::uint32_t stream_mode = 0;  // IOCTL_STREAM_MODE
  std::uint8_t front_led = 0;     // IOCTL_FRONT_LED: the byte last sent
  FrameParams frame_params = DefaultFrameParams();  // IOCTL_FRAME_PARAMS
};

}  // namespace vcam
