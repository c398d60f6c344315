// Walks an EZ-USB FX3 boot image the way the FX3 boot loader does when it
// boots from SPI flash address 0. The virtual camera uses the verdict to
// decide whether its firmware would start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vcam {

// FX3 memory regions that a boot image may load into and start from.
inline constexpr std::uint32_t kItcmBase = 0x00000000;
inline constexpr std::uint32_t kItcmSize = 0x4000;  // 16 KiB
inline constexpr std::uint32_t kSysmemBase = 0x40000000;
inline constexpr std::uint32_t kSysmemSize = 0x80000;  // 512 KiB

struct Fx3Check {
  bool valid = false;             // the boot loader would load and start it
  std::uint32_t entry = 0;        // entry point from the terminating record
  std::uint32_t checksum = 0;     // sum of all section data words, as computed
  std::uint32_t image_bytes = 0;  // bytes up to and including the stored
                                  // checksum; 0 when the walk never got there
  std::string reason;             // why it is not valid; empty when valid
};

// `data` may be longer than the image (a whole flash dump, say): bytes after
// the checksum are ignored. Never reads outside [data, data + size).
Fx3Check CheckFx3Image(const std::uint8_t* data, std::size_t size);

}  // namespace vcam
