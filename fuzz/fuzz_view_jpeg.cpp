// kepra view's JPEG encoder over any size, quality and samples: it either names what is wrong
// with the arguments and writes nothing, or writes a JPEG whose entropy-coded data never holds
// an unstuffed 0xFF (a decoder would take it for a marker).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "jpeg_encoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::uint32_t width = data[0] % 40;  // 0 (refused) to 39
  const std::uint32_t height = data[1] % 40;
  const int quality = data[2] % 104 - 1;  // -1..102: both ends refused
  std::vector<std::uint8_t> samples(std::size_t{width} * height);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = size > 3 ? data[3 + i % (size - 3)] : 0;
  }
  std::string out;
  const std::string error = kepra_view::EncodeGreyJpeg(samples.data(), width, height, quality, out);
  const bool valid = width > 0 && height > 0 && quality >= 1 && quality <= 100;
  if (error.empty() != valid) std::abort();
  if (!valid) {
    if (!out.empty()) std::abort();
    return 0;
  }
  if (out.size() < 4 || out.compare(0, 2, "\xFF\xD8") != 0 ||
      out.compare(out.size() - 2, 2, "\xFF\xD9") != 0) {
    std::abort();
  }
  // The scan starts after the SOS segment and ends before EOI: walk the marker segments.
  std::size_t start = 2;
  for (;;) {
    if (start + 4 > out.size() || static_cast<unsigned char>(out[start]) != 0xFF) std::abort();
    const bool sos = static_cast<unsigned char>(out[start + 1]) == 0xDA;
    start += 2 + (std::size_t{static_cast<unsigned char>(out[start + 2])} << 8 |
                  static_cast<unsigned char>(out[start + 3]));
    if (sos) break;
  }
  for (std::size_t i = start; i + 2 < out.size(); ++i) {
    if (static_cast<unsigned char>(out[i]) == 0xFF && out[i + 1] != '\0') std::abort();
  }
  return 0;
}
