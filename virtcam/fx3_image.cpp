#include "fx3_image.h"

#include <cstdio>
#include <utility>

#include "protocol/protocol.h"

namespace vcam {
namespace {

using kepra::protocol::GetU32;

constexpr std::uint8_t kSignature0 = 'C';
constexpr std::uint8_t kSignature1 = 'Y';
constexpr std::uint8_t kTypeFirmware = 0xB0;
constexpr std::uint8_t kCtlDataFile = 0x01;  // bit 0 set: loaded, never run
constexpr std::size_t kHeaderBytes = 4;
constexpr std::size_t kRecordBytes = 8;  // dLength + dAddress
constexpr std::size_t kChecksumBytes = 4;

// [address, address + bytes) lies wholly inside ITCM or SYSMEM. 64-bit sums
// so that a range near 4 GiB cannot wrap into a region.
bool InMemory(std::uint32_t address, std::uint64_t bytes) {
  const std::uint64_t begin = address;
  const std::uint64_t end = begin + bytes;
  const auto inside = [&](std::uint32_t base, std::uint32_t region_size) {
    return begin >= base && end <= std::uint64_t{base} + region_size;
  };
  return inside(kItcmBase, kItcmSize) || inside(kSysmemBase, kSysmemSize);
}

std::string Hex32(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(v));
  return buf;
}

Fx3Check Fail(Fx3Check result, std::string why) {
  result.valid = false;
  result.reason = std::move(why);
  return result;
}

}  // namespace

Fx3Check CheckFx3Image(const std::uint8_t* data, std::size_t size) {
  Fx3Check result;
  if (data == nullptr || size < kHeaderBytes) {
    return Fail(result, "shorter than the 4-byte header");
  }
  if (data[0] != kSignature0 || data[1] != kSignature1) {
    return Fail(result, "no \"CY\" signature");
  }
  if ((data[2] & kCtlDataFile) != 0) {
    return Fail(result, "bImageCTL marks a data image, which is not executed");
  }
  if (data[3] != kTypeFirmware) {
    return Fail(result, "image type is not 0xB0");
  }

  // Every length check compares against the bytes still left, so no sum of
  // an offset and a length taken from the image is ever formed.
  std::size_t pos = kHeaderBytes;
  std::uint32_t sum = 0;
  unsigned sections = 0;
  for (;;) {
    if (size - pos < kRecordBytes) {
      return Fail(result, "truncated in a section record");
    }
    const std::uint32_t words = GetU32(data + pos);
    const std::uint32_t address = GetU32(data + pos + 4);
    pos += kRecordBytes;
    if (words == 0) {
      result.entry = address;
      break;
    }
    ++sections;
    const std::uint64_t bytes = std::uint64_t{words} * 4;
    if (bytes > size - pos) {
      return Fail(result,
                  "section " + std::to_string(sections) + " runs past the end of the image");
    }
    if (address % 4 != 0) {
      return Fail(result, "section " + std::to_string(sections) + " load address " +
                              Hex32(address) + " is not word aligned");
    }
    if (!InMemory(address, bytes)) {
      return Fail(result, "section " + std::to_string(sections) + " at " + Hex32(address) +
                              " does not fit in ITCM or SYSMEM");
    }
    for (std::uint32_t i = 0; i < words; ++i) {
      sum += GetU32(data + pos);  // modulo 2^32 by unsigned wrap-around
      pos += 4;
    }
  }

  result.checksum = sum;
  if (sections == 0) {
    return Fail(result, "no section before the terminating record");
  }
  if (!InMemory(result.entry, 1)) {
    return Fail(result, "entry point " + Hex32(result.entry) + " is outside ITCM and SYSMEM");
  }
  if (size - pos < kChecksumBytes) {
    return Fail(result, "truncated before the checksum");
  }
  const std::uint32_t stored = GetU32(data + pos);
  pos += kChecksumBytes;
  result.image_bytes = static_cast<std::uint32_t>(pos);
  if (stored != sum) {
    return Fail(result, "checksum mismatch: stored " + Hex32(stored) + ", computed " + Hex32(sum));
  }
  result.valid = true;
  return result;
}

}  // namespace vcam
