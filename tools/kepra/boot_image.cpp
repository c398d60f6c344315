#include "boot_image.h"

#include <cstdio>
#include <utility>

namespace kepra_tool {
namespace {

// Regions an image may load into and start from: ITCM (16 KiB at 0) and SYSMEM (512 KiB at
// 0x40000000).
bool InRegion(std::uint64_t begin, std::uint64_t bytes) {
  const std::uint64_t end = begin + bytes;
  return end <= 0x4000 || (begin >= 0x40000000 && end <= 0x40080000);
}

std::uint32_t Word(const std::uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::string Hex(std::uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(v));
  return text;
}

BootImageVerdict Invalid(std::string reason) { return {false, 0, std::move(reason)}; }

}  // namespace

BootImageVerdict WalkBootImage(const std::uint8_t* data, std::size_t size) {
  // Header: "CY", a control byte whose bit 0 marks a data image, type 0xB0.
  if (data == nullptr || size < 4) return Invalid("shorter than the 4-byte header");
  if (data[0] != 'C' || data[1] != 'Y') return Invalid("no \"CY\" signature");
  if (data[2] & 1) return Invalid("bImageCTL marks a data image, which is not executed");
  if (data[3] != 0xB0) return Invalid("image type is not 0xB0");
  // Sections: word count and load address, then the words; a count of 0 ends the list and
  // its address is the entry point. Lengths are compared with what is left, never summed.
  std::size_t at = 4;
  std::uint32_t sum = 0;
  unsigned sections = 0;
  std::uint32_t words = 0, address = 0;
  for (;;) {
    if (size - at < 8) return Invalid("truncated in a section record");
    words = Word(data + at);
    address = Word(data + at + 4);
    at += 8;
    if (words == 0) break;
    const std::string name = "section " + std::to_string(++sections);
    const std::uint64_t bytes = std::uint64_t{words} * 4;
    if (bytes > size - at) return Invalid(name + " runs past the end of the image");
    if (address % 4)
      return Invalid(name + " load address " + Hex(address) + " is not word aligned");
    if (!InRegion(address, bytes)) {
      return Invalid(name + " at " + Hex(address) + " does not fit in ITCM or SYSMEM");
    }
    for (const std::size_t end = at + static_cast<std::size_t>(bytes); at < end; at += 4) {
      sum += Word(data + at);
    }
  }
  if (sections == 0) return Invalid("no section before the terminating record");
  if (!InRegion(address, 1)) {
    return Invalid("entry point " + Hex(address) + " is outside ITCM and SYSMEM");
  }
  if (size - at < 4) return Invalid("truncated before the checksum");
  const std::uint32_t stored = Word(data + at);
  if (stored != sum) {
    return Invalid("checksum mismatch: stored " + Hex(stored) + ", computed " + Hex(sum));
  }
  return {true, at + 4, {}};
}

}  // namespace kepra_tool
