#include "frames.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "protocol/protocol.h"
#include "sensor_gain.h"

namespace vcam {
namespace {

constexpr std::uint32_t kOne = 4096;  // radiance 1.0 in the row buffers

std::uint32_t Next(std::uint32_t& state) {
  state ^= state << 13;
  state ^= state >> 17;
  state ^= state << 5;
  return state;
}

std::uint32_t Mix(std::uint32_t a, std::uint32_t b) {
  std::uint32_t h = a * 0x9E3779B1u ^ (b + 0x7F4A7C15u + (a << 6) + (a >> 2));
  h ^= h >> 16;
  h *= 0x85EBCA6Bu;
  h ^= h >> 13;
  return h ? h : 0x6B657072u;
}

// Channels of a row: the grey radiance that monochrome sensors see, and red, green and blue
// for a colour sensor's Bayer sites.
enum Channel { kGrey = 0, kRed = 1, kGreen = 2, kBlue = 3, kChannels = 4 };

// Per-channel radiance of a coloured shape in Q12 (4096 = 1.0): its grey radiance times a
// tint, so that each shape has a clear hue and the background stays neutral.
struct Tint {
  std::uint16_t r, g, b;
};
std::uint16_t Tinted(std::uint16_t radiance, const Tint& tint, Channel channel) {
  const std::uint32_t factor = channel == kRed     ? tint.r
                               : channel == kGreen ? tint.g
                               : channel == kBlue  ? tint.b
                                                   : 4096u;
  return static_cast<std::uint16_t>(radiance * factor / 4096u);
}

struct Rect {
  std::uint32_t x, y, w, h;  // current position (wrapping), size
  std::uint16_t radiance;
  Tint tint;
};
struct Disc {
  std::uint32_t cx, cy, radius;
  std::uint16_t radiance;
  Tint tint;
};

// Sets `count` samples from `start`, wrapping at `width`; only those in [lo, hi) are touched.
void FillWrapped(std::uint16_t* row, std::uint32_t width, std::uint32_t start, std::uint32_t count,
                 std::uint16_t value, std::uint32_t lo, std::uint32_t hi) {
  const auto fill = [&](std::uint32_t from, std::uint32_t to) {
    from = std::max(from, lo);
    to = std::min(to, hi);
    if (from < to) std::fill(row + from, row + to, value);
  };
  count = std::min(count, width);
  start %= width;
  const std::uint32_t first = std::min(count, width - start);
  fill(start, start + first);
  fill(0, count - first);
}

// Where a sensor coordinate lands in the readout: modes repeat pairs 0,1 as 2,3 in every four.
std::uint32_t Skip(std::uint32_t c, bool on) { return on ? ((c & ~3u) | (c & 1u)) : c; }

class Scene {
 public:
  // Only sensor columns lo .. hi - 1 are ever read: a narrow window costs what it shows.
  Scene(const SceneSettings& s, std::uint32_t lo, std::uint32_t hi)
      : sw_(s.sensor_width), sh_(s.sensor_height), lo_(lo), hi_(std::min(hi, sw_)) {
    std::uint32_t r = Mix(s.seed, 0x5CE9E);
    const std::uint64_t f = s.frame;
    const std::uint16_t radiances[3] = {3686, 2867, 1229};
    // Red, green and blue shapes and a yellow disc.
    const Tint tints[3] = {{4096, 1229, 614}, {1229, 4096, 1229}, {819, 1434, 4096}};
    for (int i = 0; i < 3; ++i) {
      Rect& rect = rects_[i];
      rect.w = sw_ / 10 + Next(r) % (sw_ / 10 + 1);
      rect.h = sh_ / 10 + Next(r) % (sh_ / 10 + 1);
      const std::uint64_t vx = 1 + Next(r) % 7, vy = 1 + Next(r) % 5;
      rect.x = static_cast<std::uint32_t>((Next(r) % sw_ + vx * f) % sw_);
      rect.y = static_cast<std::uint32_t>((Next(r) % sh_ + vy * f) % sh_);
      rect.radiance = radiances[i];
      rect.tint = tints[i];
    }
    disc_.radius = sh_ / 10;
    disc_.cy = Next(r) % sh_;
    disc_.cx = static_cast<std::uint32_t>((Next(r) % sw_ + 3 * f) % sw_);
    disc_.radiance = 3277;
    disc_.tint = {4096, 3686, 614};
    // Horizontal gradient 0.1 .. 0.5, vertical adds up to 0.1.
    column_.resize(sw_);
    for (std::uint32_t x = 0; x < sw_; ++x) {
      column_[x] = static_cast<std::uint16_t>(410 + x * 1638u / sw_);
    }
    for (auto& row : rows_) row.resize(sw_);
  }

  // The radiance of sensor row `sy` in a channel, valid until the next call for that channel.
  const std::uint16_t* Row(std::uint32_t sy, Channel channel = kGrey) {
    std::vector<std::uint16_t>& row = rows_[channel];
    if (sy == cached_[channel]) return row.data();
    cached_[channel] = sy;
    const std::uint16_t base = static_cast<std::uint16_t>(sy * 410u / sh_);
    for (std::uint32_t x = lo_; x < hi_; ++x)
      row[x] = static_cast<std::uint16_t>(column_[x] + base);
    for (const Rect& rect : rects_) {
      if ((sy + sh_ - rect.y) % sh_ < rect.h) {
        FillWrapped(row.data(), sw_, rect.x, rect.w, Tinted(rect.radiance, rect.tint, channel), lo_,
                    hi_);
      }
    }
    std::int64_t dy = (static_cast<std::int64_t>(sy) - disc_.cy) % sh_;
    if (dy < 0) dy += sh_;
    if (dy > sh_ / 2) dy -= sh_;
    const std::int64_t rr = static_cast<std::int64_t>(disc_.radius) * disc_.radius;
    if (dy * dy <= rr) {
      const auto half = static_cast<std::uint32_t>(std::sqrt(static_cast<double>(rr - dy * dy)));
      FillWrapped(row.data(), sw_, disc_.cx + sw_ - half, 2 * half + 1,
                  Tinted(disc_.radiance, disc_.tint, channel), lo_, hi_);
    }
    return row.data();
  }

 private:
  std::uint32_t sw_, sh_;
  std::uint32_t lo_, hi_;
  Rect rects_[3];
  Disc disc_;
  std::vector<std::uint16_t> column_;
  std::vector<std::uint16_t> rows_[kChannels];
  std::uint32_t cached_[kChannels] = {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu};
};

// Colour-gain index (GB, GR, B, R) of a Bayer site.
int Site(Mosaic mosaic, std::uint32_t sx, std::uint32_t sy) {
  const int odd_x = sx & 1, odd_y = sy & 1;
  if (mosaic == Mosaic::kRggb) {
    static const int kRggb[2][2] = {{3, 1}, {0, 2}};
    return kRggb[odd_y][odd_x];
  }
  static const int kGbrg[2][2] = {{0, 2}, {3, 1}};
  return kGbrg[odd_y][odd_x];
}

// The colour a colour-gain index (GB, GR, B, R) filters.
Channel ChannelOfSite(int site) { return site == 2 ? kBlue : site == 3 ? kRed : kGreen; }

}  // namespace

std::uint32_t SceneWidth(const SceneSettings& s) { return s.width / s.bin_x; }
std::uint32_t SceneHeight(const SceneSettings& s) { return s.height / s.bin_y; }

void RenderScene(const SceneSettings& s, std::span<std::uint16_t> out, std::uint32_t row_limit) {
  const std::uint32_t w = SceneWidth(s), h = SceneHeight(s);
  if (w == 0 || h == 0 || out.size() < static_cast<std::size_t>(w) * h) return;
  const std::uint32_t rendered = std::min(h, row_limit);
  const std::uint32_t depth = std::clamp<std::uint32_t>(s.bit_depth, 8, 16);
  const std::uint32_t max = (1u << depth) - 1;
  const std::uint32_t knee = 1u << (depth - 1);

  // Sensor column and row of every output sample.
  std::vector<std::uint32_t> columns(w), rows(h);
  for (std::uint32_t i = 0; i < w; ++i) {
    const std::uint32_t k = (s.flags & 1) ? w - 1 - i : i;
    columns[i] = Skip(s.x + k * s.bin_x, s.readout_mode & 2);
  }
  for (std::uint32_t i = 0; i < h; ++i) {
    const std::uint32_t k = (s.flags & 2) ? h - 1 - i : i;
    rows[i] = Skip(s.y + k * s.bin_y, s.readout_mode & 1);
  }
  for (auto& c : columns) c = std::min<std::uint32_t>(c, s.sensor_width - 1u);
  for (auto& r : rows) r = std::min<std::uint32_t>(r, s.sensor_height - 1u);

  // Response per Bayer site in Q14: radiance 1.0 (4096) at the reference exposure and unit
  // gains gives half of full scale. Limited so that a product stays within 32 bits; such
  // gains saturate every sample anyway.
  const double exposure = static_cast<double>(s.exposure_lines) * s.line_length;
  const double common = exposure / kReferenceExposureUnits * static_cast<double>(knee) *
                        s.analog_gain * s.digital_gain * 16384.0 / kOne;
  std::uint32_t site_gain[2][2];
  for (int oy = 0; oy < 2; ++oy) {
    for (int ox = 0; ox < 2; ++ox) {
      const double colour = s.mosaic == Mosaic::kMono ? 1.0 : s.colour_gain[Site(s.mosaic, ox, oy)];
      site_gain[oy][ox] = static_cast<std::uint32_t>(std::min(common * colour, 1048575.0) + 0.5);
    }
  }

  // Noise: a table of triangular values (standard deviation 256) drawn once per seed, read from
  // a random place on each line of each frame and scaled by a read-noise floor of 0.1% of full
  // scale plus 0.8% of the signal. Drawing it afresh per frame cost more than a small frame's
  // pixels; the per-line offsets already make every frame's noise its own.
  constexpr std::uint32_t kNoiseSize = 1u << 16;
  constexpr std::uint32_t kNoiseRow = 1u << 16;  // widest output row a table serves
  thread_local std::vector<std::int16_t> noise_table;
  thread_local std::uint32_t noise_seed = 0;
  if (noise_table.empty() || noise_seed != s.seed) {
    noise_table.resize(kNoiseSize + kNoiseRow);
    noise_seed = s.seed;
    std::uint32_t r = Mix(s.seed, 0x401CE);
    for (auto& n : noise_table) {
      const std::uint32_t v = Next(r);
      n = static_cast<std::int16_t>(((static_cast<std::int32_t>(v & 0xFF) +
                                      static_cast<std::int32_t>((v >> 8) & 0xFF) - 255) *
                                     630) /
                                    256);
    }
  }
  const std::uint32_t noise = Mix(s.seed, s.frame);
  thread_local std::vector<std::int16_t> silence;
  if (!s.noise) silence.assign(w, 0);
  const std::int32_t floor_q8 = static_cast<std::int32_t>(max * 256 / 1000);
  const std::int32_t limit = static_cast<std::int32_t>(8 * max);
  const std::int32_t top = static_cast<std::int32_t>(max);
  const auto knee_i = static_cast<std::int32_t>(knee);
  const bool hdr = s.hdr;

  const auto [lo, hi] = std::minmax_element(columns.begin(), columns.end());
  Scene scene(s, *lo, *hi + 1);
  // Gain of every output column, for even and odd sensor rows.
  std::vector<std::uint32_t> column_gain[2];
  for (int parity = 0; parity < 2; ++parity) {
    column_gain[parity].resize(w);
    for (std::uint32_t ox = 0; ox < w; ++ox) {
      column_gain[parity][ox] = site_gain[parity][columns[ox] & 1];
    }
  }
  bool straight = true;  // output columns are consecutive sensor columns
  for (std::uint32_t i = 0; i < w; ++i) straight = straight && columns[i] == columns[0] + i;
  std::vector<std::uint16_t> gathered(w);
  for (std::uint32_t oy = 0; oy < rendered; ++oy) {
    const std::uint32_t sy = rows[oy];
    const std::uint16_t* src = nullptr;
    if (s.mosaic == Mosaic::kMono) {
      const std::uint16_t* radiance = scene.Row(sy);
      src = radiance + columns[0];
      if (!straight) {
        for (std::uint32_t ox = 0; ox < w; ++ox) gathered[ox] = radiance[columns[ox]];
        src = gathered.data();
      }
    } else {
      // Each site sees its own colour: the even and odd columns of a sensor row have one each.
      const std::uint16_t* by_parity[2] = {scene.Row(sy, ChannelOfSite(Site(s.mosaic, 0, sy))),
                                           scene.Row(sy, ChannelOfSite(Site(s.mosaic, 1, sy)))};
      for (std::uint32_t ox = 0; ox < w; ++ox) {
        gathered[ox] = by_parity[columns[ox] & 1][columns[ox]];
      }
      src = gathered.data();
    }
    const std::uint32_t* gain = column_gain[sy & 1].data();
    const std::int16_t* n =
        s.noise ? noise_table.data() + (Mix(noise, oy) & (kNoiseSize - 1)) : silence.data();
    std::uint16_t* dst = out.data() + static_cast<std::size_t>(oy) * w;
    for (std::uint32_t ox = 0; ox < w; ++ox) {
      const std::uint32_t linear = (src[ox] * gain[ox]) >> 14;
      std::int32_t x = static_cast<std::int32_t>(linear < 0x7FFFu ? linear : 0x7FFFu);
      x = x < limit ? x : limit;
      const std::int32_t sigma_q8 = floor_q8 + ((x * 2097) >> 10);
      x += (n[ox] * sigma_q8) >> 16;
      if (hdr && x > knee_i) x = knee_i + ((x - knee_i) >> 2);
      x = x < 0 ? 0 : x;
      dst[ox] = static_cast<std::uint16_t>(x > top ? top : x);
    }
  }

  // Defects: a listed pixel shows wherever its sensor position is read out.
  for (const BadPixel& bad : s.defects) {
    if (bad.x < s.x || bad.y < s.y) continue;
    const std::uint32_t dx = bad.x - s.x, dy = bad.y - s.y;
    if (dx % s.bin_x || dy % s.bin_y) continue;
    std::uint32_t ox = dx / s.bin_x, oy = dy / s.bin_y;
    if (ox >= w || oy >= h) continue;
    if (s.flags & 1) ox = w - 1 - ox;
    if (s.flags & 2) oy = h - 1 - oy;
    if (columns[ox] != bad.x || rows[oy] != bad.y || oy >= rendered) continue;
    out[static_cast<std::size_t>(oy) * w + ox] =
        static_cast<std::uint16_t>((bad.kind & 1) ? max : 0);
  }
}

SceneSettings SceneFromRegisters(const std::uint16_t* registers, const FrameParams& params) {
  const auto u16 = [&](std::size_t offset) { return kepra::protocol::GetU16(&params[offset]); };
  SceneSettings s;
  s.x = u16(0);
  s.y = u16(2);
  s.width = u16(4);
  s.height = u16(6);
  s.bit_depth = u16(8);
  s.bin_x = std::max<std::uint16_t>(u16(10), 1);
  s.bin_y = std::max<std::uint16_t>(u16(12), 1);
  s.flags = u16(14);
  s.exposure_lines = registers[14];
  s.line_length = registers[4] & 0x07FFu;
  s.readout_mode = static_cast<std::uint8_t>((registers[11] >> 4) & 3);
  s.analog_gain = SensorAnalogGain(static_cast<std::uint8_t>(registers[17] >> 8));
  s.digital_gain = SensorDigitalGain(static_cast<std::uint8_t>(registers[17]));
  s.colour_gain[0] = SensorColourGain(static_cast<std::uint8_t>(registers[54] >> 8));
  s.colour_gain[1] = SensorColourGain(static_cast<std::uint8_t>(registers[54]));
  s.colour_gain[2] = SensorColourGain(static_cast<std::uint8_t>(registers[55] >> 8));
  s.colour_gain[3] = SensorColourGain(static_cast<std::uint8_t>(registers[55]));
  return s;
}

}  // namespace vcam
