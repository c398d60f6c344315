#include "jpeg_encoder.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace kepra_view {

namespace {

// Zigzag position -> natural (row-major) index.
constexpr std::uint8_t kZigzag[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// The standard's example luminance quantisation table (annex K, table K.1), natural order.
constexpr std::uint8_t kLuminanceQuant[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};

// The standard's luminance Huffman tables (annex K, K.3): code counts per length 1..16, then
// the symbols in code order.
constexpr std::uint8_t kDcBits[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
constexpr std::uint8_t kDcValues[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
constexpr std::uint8_t kAcBits[16] = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
constexpr std::uint8_t kAcValues[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
    0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52,
    0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25,
    0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45,
    0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64,
    0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
    0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6,
    0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3,
    0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8,
    0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

struct HuffmanCode {
  std::uint16_t code = 0;
  std::uint8_t length = 0;
};

// Canonical codes from counts per length (the standard's annex C), indexed by symbol.
template <std::size_t N>
void BuildCodes(const std::uint8_t (&bits)[16], const std::uint8_t (&values)[N],
                HuffmanCode (&codes)[256]) {
  std::uint16_t code = 0;
  std::size_t k = 0;
  for (std::uint8_t length = 1; length <= 16; ++length) {
    for (int i = 0; i < bits[length - 1]; ++i) codes[values[k++]] = {code++, length};
    code = static_cast<std::uint16_t>(code << 1);
  }
}

struct Tables {
  HuffmanCode dc[256];
  HuffmanCode ac[256];
  Tables() {
    BuildCodes(kDcBits, kDcValues, dc);
    BuildCodes(kAcBits, kAcValues, ac);
  }
};

const Tables& HuffmanTables() {
  static const Tables tables;
  return tables;
}

// Entropy-coded bits, most significant first, with a 0x00 stuffed after every 0xFF byte.
// Whole 32-bit words go out at once; only a word holding an 0xFF byte goes byte by byte.
class BitWriter {
 public:
  explicit BitWriter(std::string& out) : out_(out) {}
  void Put(std::uint32_t value, unsigned length) {  // length <= 32
    bits_ = (bits_ << length) | value;
    count_ += length;
    if (count_ < 32) return;
    count_ -= 32;
    const auto word = static_cast<std::uint32_t>(bits_ >> count_);
    // Whether a byte of the word is 0xFF: the classic "has zero byte" test on its complement.
    const std::uint32_t inverted = ~word;
    if (((inverted - 0x01010101u) & ~inverted & 0x80808080u) == 0) {
      const char bytes[4] = {static_cast<char>(word >> 24), static_cast<char>(word >> 16),
                             static_cast<char>(word >> 8), static_cast<char>(word)};
      out_.append(bytes, 4);
    } else {
      for (int shift = 24; shift >= 0; shift -= 8) PutByte(static_cast<char>(word >> shift));
    }
  }
  // The bits left, the last byte padded with one bits.
  void Flush() {
    if (count_ % 8 != 0) {
      const unsigned pad = 8 - count_ % 8;
      bits_ = (bits_ << pad) | ((1u << pad) - 1);
      count_ += pad;
    }
    while (count_ > 0) {
      count_ -= 8;
      PutByte(static_cast<char>(bits_ >> count_));
    }
  }

 private:
  void PutByte(char byte) {
    out_.push_back(byte);
    if (byte == '\xFF') out_.push_back('\0');
  }

  std::string& out_;
  std::uint64_t bits_ = 0;
  unsigned count_ = 0;  // bits not yet written, at the bottom of bits_
};

// Floating-point forward DCT of one row or column (Arai, Agui and Nakajima): the outputs are the
// true coefficients times per-frequency factors that the quantisation divisors take out.
inline void Dct8(float* d, std::size_t step) {
  const float t0 = d[0] + d[7 * step], t7 = d[0] - d[7 * step];
  const float t1 = d[step] + d[6 * step], t6 = d[step] - d[6 * step];
  const float t2 = d[2 * step] + d[5 * step], t5 = d[2 * step] - d[5 * step];
  const float t3 = d[3 * step] + d[4 * step], t4 = d[3 * step] - d[4 * step];

  const float e10 = t0 + t3, e13 = t0 - t3, e11 = t1 + t2, e12 = t1 - t2;
  d[0] = e10 + e11;
  d[4 * step] = e10 - e11;
  const float z1 = (e12 + e13) * 0.707106781f;
  d[2 * step] = e13 + z1;
  d[6 * step] = e13 - z1;

  const float o10 = t4 + t5, o11 = t5 + t6, o12 = t6 + t7;
  const float z5 = (o10 - o12) * 0.382683433f;
  const float z2 = 0.541196100f * o10 + z5;
  const float z4 = 1.306562965f * o12 + z5;
  const float z3 = o11 * 0.707106781f;
  const float z11 = t7 + z3, z13 = t7 - z3;
  d[5 * step] = z13 + z2;
  d[3 * step] = z13 - z2;
  d[step] = z11 + z4;
  d[7 * step] = z11 - z4;
}

inline int RoundToInt(float v) { return static_cast<int>(v + (v >= 0 ? 0.5f : -0.5f)); }

// Extra bits of a coefficient: its magnitude category and the bits that follow its code.
inline unsigned Category(int v) {
  return static_cast<unsigned>(std::bit_width(static_cast<unsigned>(v < 0 ? -v : v)));
}
inline std::uint32_t ExtraBits(int v, unsigned category) {
  return static_cast<std::uint32_t>(v < 0 ? v - 1 : v) & ((1u << category) - 1);
}

void PutMarkerSegment(std::string& out, std::uint8_t marker, const std::string& body) {
  const std::size_t length = body.size() + 2;
  out.push_back('\xFF');
  out.push_back(static_cast<char>(marker));
  out.push_back(static_cast<char>(length >> 8));
  out.push_back(static_cast<char>(length & 0xFF));
  out += body;
}

void PutHeaders(std::string& out, std::uint32_t width, std::uint32_t height,
                const std::uint16_t (&quant)[64]) {
  out += "\xFF\xD8";  // start of image
  // JFIF: version 1.1, no units, 1:1 pixel aspect, no thumbnail.
  PutMarkerSegment(out, 0xE0, std::string("JFIF\0\x01\x01\0\0\x01\0\x01\0\0", 14));
  std::string dqt(1, '\0');  // 8-bit entries, table 0
  for (const std::uint8_t n : kZigzag) dqt.push_back(static_cast<char>(quant[n]));
  PutMarkerSegment(out, 0xDB, dqt);
  const char sof[] = {8,
                      static_cast<char>(height >> 8),
                      static_cast<char>(height & 0xFF),
                      static_cast<char>(width >> 8),
                      static_cast<char>(width & 0xFF),
                      1,     // one component:
                      1,     //   id 1,
                      0x11,  //   no subsampling,
                      0};    //   quantisation table 0
  PutMarkerSegment(out, 0xC0, std::string(sof, sizeof sof));
  std::string dht;
  dht.push_back('\x00');  // DC table 0
  dht.append(reinterpret_cast<const char*>(kDcBits), sizeof kDcBits);
  dht.append(reinterpret_cast<const char*>(kDcValues), sizeof kDcValues);
  dht.push_back('\x10');  // AC table 0
  dht.append(reinterpret_cast<const char*>(kAcBits), sizeof kAcBits);
  dht.append(reinterpret_cast<const char*>(kAcValues), sizeof kAcValues);
  PutMarkerSegment(out, 0xC4, dht);
  // One component, tables 0/0, all 64 coefficients, no successive approximation.
  PutMarkerSegment(out, 0xDA, std::string("\x01\x01\x00\x00\x3F\x00", 6));
}

}  // namespace

void GreyJpegQuantTable(int quality, std::uint16_t table[64]) {
  quality = std::clamp(quality, 1, 100);
  const int scale = quality < 50 ? 5000 / quality : 200 - 2 * quality;
  for (int i = 0; i < 64; ++i) {
    // Baseline tables hold bytes.
    table[i] =
        static_cast<std::uint16_t>(std::clamp((kLuminanceQuant[i] * scale + 50) / 100, 1, 255));
  }
}

std::string EncodeGreyJpeg(const std::uint8_t* samples, std::uint32_t width, std::uint32_t height,
                           int quality, std::string& out) {
  if (width == 0 || height == 0) {
    return "empty image (" + std::to_string(width) + "x" + std::to_string(height) + ")";
  }
  if (width > kJpegMaxSide || height > kJpegMaxSide) {
    return "image too large for JPEG (" + std::to_string(width) + "x" + std::to_string(height) +
           ", at most 65535 a side)";
  }
  if (quality < 1 || quality > 100) {
    return "JPEG quality " + std::to_string(quality) + " outside 1..100";
  }
  if (samples == nullptr) return "no samples";

  std::uint16_t quant[64];
  GreyJpegQuantTable(quality, quant);
  // Divisors that also take out the scaled DCT's factors: 1 / (q * s(u) * s(v) * 8), with
  // s(0) = 1 and s(k) = sqrt(2) cos(k pi / 16).
  static constexpr double kAanScale[8] = {1.0, 1.387039845, 1.306562965, 1.175875602,
                                          1.0, 0.785694958, 0.541196100, 0.275899379};
  float divisors[64];
  for (int i = 0; i < 64; ++i) {
    divisors[i] = static_cast<float>(1.0 / (quant[i] * kAanScale[i / 8] * kAanScale[i % 8] * 8.0));
  }

  const std::size_t start = out.size();
  out.reserve(start + 1024 + static_cast<std::size_t>(width) * height / 4);
  PutHeaders(out, width, height, quant);

  const Tables& tables = HuffmanTables();
  BitWriter writer(out);
  int previous_dc = 0;
  float block[64];
  int coefficients[64];
  for (std::uint32_t by = 0; by < height; by += 8) {
    const std::uint8_t* rows[8];
    for (std::uint32_t r = 0; r < 8; ++r) {
      rows[r] = samples + static_cast<std::size_t>(std::min(by + r, height - 1)) * width;
    }
    for (std::uint32_t bx = 0; bx < width; bx += 8) {
      if (bx + 8 <= width) {
        for (int r = 0; r < 8; ++r) {
          const std::uint8_t* row = rows[r] + bx;
          for (int c = 0; c < 8; ++c) block[r * 8 + c] = static_cast<float>(row[c]) - 128.0f;
        }
      } else {
        for (int r = 0; r < 8; ++r) {
          for (std::uint32_t c = 0; c < 8; ++c) {
            block[r * 8 + c] = static_cast<float>(rows[r][std::min(bx + c, width - 1)]) - 128.0f;
          }
        }
      }
      for (int r = 0; r < 8; ++r) Dct8(block + r * 8, 1);
      for (int c = 0; c < 8; ++c) Dct8(block + c, 8);
      for (int k = 0; k < 64; ++k) {
        const int n = kZigzag[k];
        coefficients[k] = RoundToInt(block[n] * divisors[n]);
      }

      const int diff = coefficients[0] - previous_dc;
      previous_dc = coefficients[0];
      const unsigned dc_category = Category(diff);
      const HuffmanCode dc = tables.dc[dc_category];
      writer.Put(static_cast<std::uint32_t>(dc.code) << dc_category | ExtraBits(diff, dc_category),
                 dc.length + dc_category);

      unsigned run = 0;
      for (int k = 1; k < 64; ++k) {
        // Baseline codes AC magnitudes up to 1023; only rounding at quality 100 could pass it.
        const int v = std::clamp(coefficients[k], -1023, 1023);
        if (v == 0) {
          ++run;
          continue;
        }
        for (; run > 15; run -= 16) writer.Put(tables.ac[0xF0].code, tables.ac[0xF0].length);
        const unsigned category = Category(v);
        const HuffmanCode ac = tables.ac[run << 4 | category];
        writer.Put(static_cast<std::uint32_t>(ac.code) << category | ExtraBits(v, category),
                   ac.length + category);
        run = 0;
      }
      if (run > 0) writer.Put(tables.ac[0x00].code, tables.ac[0x00].length);  // end of block
    }
  }
  writer.Flush();
  out += "\xFF\xD9";  // end of image
  return {};
}

}  // namespace kepra_view
