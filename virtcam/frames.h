// The virtual camera's picture: a synthetic scene rendered the way the sensor and its settings
// would deliver it. Pure and deterministic: the same settings, seed and frame counter give the
// same samples, bit for bit, on every platform.
//
// Scene: a diagonal gradient with three rectangles and a disc that move with the frame
// counter (wrapping around the sensor), at radiances 0.1 to 0.9. The gradient is neutral; the
// brightest rectangle (0.9) is red, the next (0.7) green, the dimmest (0.3) blue and the disc
// (0.8) yellow. Colour sensors see them through their mosaic, each site in its own colour;
// monochrome sensors see the grey radiance. A sample is
//   radiance x (exposure units / 82000) x analog x digital x colour gain x 2^(depth-1)
// plus sensor noise (a fixed-seed xorshift generator, read noise plus a shot-noise term),
// clipped to 0 .. 2^depth - 1. 82000 units is the power-on exposure (1000 lines x line length
// 82), at which radiance 1.0 gives half of full scale. HDR on: above half of full scale the
// response is compressed four to one. Readout mode 1 repeats sensor lines 0,1 as lines 2,3 of
// every group of four; mode 2 does the same with columns; mode 3 both. Colour models deliver
// an RGGB (model '5') or GBRG (model '8') mosaic, each site scaled by its colour gain.
// Listed bad pixels are stuck at full scale (kind bit 0 set) or at 0 (kind bit 0 clear)
// unless the correction is on.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "camera_settings.h"

namespace vcam {

enum class Mosaic { kMono, kRggb, kGbrg };

struct SceneSettings {
  std::uint32_t seed = 0;
  std::uint32_t frame = 0;  // the frame counter
  std::uint16_t sensor_width = 1280;
  std::uint16_t sensor_height = 1024;
  // Region of interest in sensor pixels, binning, depth and flags as in the frame-parameter
  // record (assumed valid: ValidFrameParams).
  std::uint16_t x = 0, y = 0, width = 1280, height = 1024;
  std::uint16_t bin_x = 1, bin_y = 1;
  std::uint16_t bit_depth = 10;
  std::uint16_t flags = 0;  // bit 0 mirror x, bit 1 flip y
  std::uint32_t exposure_lines = 1000;
  std::uint32_t line_length = 82;
  double analog_gain = 1.0;
  double digital_gain = 1.0;
  double colour_gain[4] = {1.0, 1.0, 1.0, 1.0};  // GB, GR, B, R
  Mosaic mosaic = Mosaic::kMono;
  bool hdr = false;
  std::uint8_t readout_mode = 0;  // 0..3
  bool noise = true;
  std::vector<BadPixel> defects;  // empty when the correction is on
};

constexpr std::uint32_t kReferenceExposureUnits = 82000;

// Output geometry: width / bin_x by height / bin_y.
std::uint32_t SceneWidth(const SceneSettings& s);
std::uint32_t SceneHeight(const SceneSettings& s);

// Renders the frame into `out` (SceneWidth x SceneHeight samples, row by row), each sample
// right-aligned at bit_depth bits. `out` must hold at least that many samples; nothing is
// written otherwise. Only the first `rows` rows are rendered when fewer are needed.
void RenderScene(const SceneSettings& s, std::span<std::uint16_t> out,
                 std::uint32_t rows = 0xFFFFFFFFu);

// Settings from the sensor registers (4, 11, 14, 17, 54, 55) and the frame-parameter record.
SceneSettings SceneFromRegisters(const std::uint16_t* registers, const FrameParams& params);

}  // namespace vcam
