// flash and firmware update.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "boot_image.h"
#include "tool.h"

namespace kepra_tool {

extern const unsigned char kCarriedImage[];
extern const std::size_t kCarriedImageSize;

namespace {

constexpr std::uint32_t kSectorSize = 0x10000;

struct Range {
  std::uint32_t address;
  std::uint32_t length;
};

// The range a flash command works on, checked against its area before the camera is opened.
Range FlashRange(const FlashOptions& flash, std::uint32_t default_length, bool to_end) {
  const std::uint32_t area = flash.whole ? KEPRA_FLASH_SIZE : KEPRA_USER_AREA_SIZE;
  const std::uint32_t address = ParseU32(flash.address, "address", area - 1);
  std::uint32_t length = 0;
  if (!flash.length.empty()) {
    length = ParseU32(flash.length, "length", area);
  } else {
    length = to_end ? area - address : std::min(default_length, area - address);
  }
  if (length == 0) Usage("the length is 0");
  if (length > area - address) {
    Usage("the range runs past the end of the " + std::string(flash.whole ? "flash" : "user area") +
          " (" + std::to_string(area) + " bytes)");
  }
  return {address, length};
}

// An input file named on the command line: one that cannot be opened is a bad value (exit 2,
// nothing was sent); one that fails while being read is a failed operation.
std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) Usage(path + " is a directory, not a file");
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                       &std::fclose);
  if (!file) Usage("cannot open " + path + ": " + std::strerror(errno));
  std::vector<std::uint8_t> content;
  std::uint8_t chunk[65536];
  for (;;) {
    const std::size_t got = std::fread(chunk, 1, sizeof chunk, file.get());
    content.insert(content.end(), chunk, chunk + got);
    if (got < sizeof chunk) break;
  }
  if (std::ferror(file.get())) {
    throw ToolError(kExitFailed, "cannot read " + path + ": " + std::strerror(errno));
  }
  return content;
}

// The wrapper reads and writes the user area only: the whole flash stays on CxReadSPIFlash
// (here and in Verify) and CxWriteSPIFlash.
std::vector<std::uint8_t> ReadRange(kepra::Camera& c, bool whole, Range range) {
  if (!whole) return Run([&] { return c.ReadFlash(range.address, range.length); });
  std::vector<std::uint8_t> data(range.length);
  Check("CxReadSPIFlash",
        [&] { return CxReadSPIFlash(c.handle(), range.address, data.data(), range.length); });
  return data;
}

// Progress on stderr: a bar redrawn in place on a terminal, one line per step otherwise.
void Progress(const char* what, std::uint32_t done, std::uint32_t total) {
  if (IsTerminal(Err())) {
    constexpr std::uint32_t kWidth = 30;
    const std::uint32_t filled = total ? done * kWidth / total : kWidth;
    std::fprintf(Err(), "\r%s [%s%s] %u/%u", what, std::string(filled, '#').c_str(),
                 std::string(kWidth - filled, '.').c_str(), done, total);
    if (done == total) std::fputc('\n', Err());
  } else {
    std::fprintf(Err(), "%s: sector %u of %u done\n", what, done, total);
  }
  std::fflush(Err());
}

std::uint32_t Sectors(std::size_t size) {
  return static_cast<std::uint32_t>((size + kSectorSize - 1) / kSectorSize);
}

// Reads the image back sector by sector and compares; the failure says what the camera holds.
void Verify(KEPRA_HANDLE h, const std::uint8_t* image, std::size_t size) {
  const std::uint32_t sectors = Sectors(size);
  std::vector<std::uint8_t> back(kSectorSize);
  for (std::uint32_t s = 0; s < sectors; ++s) {
    const std::uint32_t offset = s * kSectorSize;
    const auto length =
        static_cast<std::uint32_t>(std::min<std::size_t>(kSectorSize, size - offset));
    kepra_SetLastError(0);
    if (!CxReadSPIFlash(h, offset, back.data(), length)) {
      const std::uint32_t error = kepra_GetLastError();
      throw ToolError(kExitFailed,
                      "reading back sector " + std::to_string(s + 1) + " of " +
                          std::to_string(sectors) + " failed (" +
                          FailureMessage("CxReadSPIFlash", error) +
                          "): the image was written but is not verified; run the update again "
                          "before resetting the camera");
    }
    if (!std::equal(back.begin(), back.begin() + length, image + offset)) {
      throw ToolError(kExitFailed,
                      "verification failed: sector " + std::to_string(s + 1) + " of " +
                          std::to_string(sectors) +
                          " differs from the image; the camera's firmware is incomplete; run "
                          "the update again before resetting the camera");
    }
    Progress("verifying", s + 1, sectors);
  }
}

}  // namespace

int FlashRead(const Options& options, const FlashOptions& flash) {
  const Range range = FlashRange(flash, 0, true);
  Camera camera(options.device);
  const std::vector<std::uint8_t> data = ReadRange(camera.cpp(), flash.whole, range);
  std::ofstream file(flash.file, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  file.close();
  if (!file) throw ToolError(kExitFailed, "cannot write " + flash.file);
  Report report(options.json);
  report.Hex("address", range.address, 6);
  report.UInt("length", range.length);
  report.Str("file", flash.file);
  return kExitOk;
}

int FlashWrite(const Options& options, const FlashOptions& flash) {
  const std::vector<std::uint8_t> data = ReadFile(flash.file);
  if (data.empty()) Usage(flash.file + " is empty");
  FlashOptions sized = flash;
  sized.length = std::to_string(data.size());
  const Range range = FlashRange(sized, 0, false);
  Camera camera(options.device);
  if (flash.whole) {
    Check("CxWriteSPIFlash",
          [&] { return CxWriteSPIFlash(camera.h(), range.address, data.data(), range.length); });
  } else {
    Run([&] { camera.cpp().WriteFlash(range.address, data); });
  }
  std::fprintf(Err(), "wrote %u bytes at 0x%06X of the %s\n", range.length, range.address,
               flash.whole ? "flash" : "user area");
  return kExitOk;
}

int FlashDump(const Options& options, const FlashOptions& flash) {
  const Range range = FlashRange(flash, 256, false);
  Camera camera(options.device);
  const std::vector<std::uint8_t> data = ReadRange(camera.cpp(), flash.whole, range);
  if (options.json) {
    std::string hex;
    char byte[3];
    for (const std::uint8_t b : data) {
      std::snprintf(byte, sizeof byte, "%02x", b);
      hex += byte;
    }
    Report report(true);
    report.Hex("address", range.address, 6);
    report.UInt("length", range.length);
    report.Str("hex", hex);
    return kExitOk;
  }
  for (std::uint32_t i = 0; i < range.length; i += 16) {
    std::fprintf(Out(), "%06X ", range.address + i);
    for (std::uint32_t j = i; j < i + 16 && j < range.length; ++j)
      std::fprintf(Out(), " %02x", data[j]);
    std::fprintf(Out(), "\n");
  }
  return kExitOk;
}

// Refuses (exit 2) a file that the FX3 boot loader would not start, or that carries bytes
// after the image: written to flash address 0, it would leave the camera in its boot loader.
void CheckBootImage(const std::string& path, const std::vector<std::uint8_t>& image) {
  const BootImageVerdict check = WalkBootImage(image.data(), image.size());
  std::string problem;
  if (!check.valid) {
    problem = check.reason;
  } else if (check.image_bytes != image.size()) {
    problem = std::to_string(image.size() - check.image_bytes) +
              " bytes follow the checksum (the image ends at byte " +
              std::to_string(check.image_bytes) + ")";
  }
  if (problem.empty()) return;
  Usage(path + " is not an FX3 boot image the camera can start: " + problem +
        ". Nothing was written; --force writes it anyway");
}

int DeviceReset(const Options& options) {
  Camera camera(options.device);
  Run([&] { camera.cpp().Reset(); });
  std::fprintf(Out(), "camera %u reset\n", options.device);
  return kExitOk;
}

int FirmwareUpdate(const Options& options, const std::string& path, bool force) {
  if (path.empty()) {
    // The carried image goes in with kepra_UpdateFW, which checks the camera's firmware
    // version first and writes under the device lock in one call.
    Camera camera(options.device);
    const std::uint32_t sectors = Sectors(kCarriedImageSize);
    std::fprintf(Err(), "writing the carried firmware (%zu bytes, %u sectors)\n", kCarriedImageSize,
                 sectors);
    kepra_SetLastError(0);
    try {
      camera.cpp().UpdateFirmware();
    } catch (const kepra::Error& e) {
      if (e.code() == KEPRA_ERROR_PRODUCT_VERSION) {
        throw ToolError(kExitFailed,
                        FailureMessage(e.function(), e.code(),
                                       "the carried firmware is not for this camera's firmware "
                                       "version; nothing was written, the camera is unchanged"));
      }
      throw ToolError(kExitFailed,
                      FailureMessage(e.function(), e.code(),
                                     "the camera's firmware may be incomplete; run the update "
                                     "again before resetting the camera"));
    }
    std::fprintf(Err(), "writing: all %u sectors done\n", sectors);
    Verify(camera.h(), kCarriedImage, kCarriedImageSize);
    std::fprintf(Out(), "firmware updated and verified (%zu bytes); reset the camera to start it\n",
                 kCarriedImageSize);
    return kExitOk;
  }

  // An image file is written sector by sector with CxWriteSPIFlash, which is what
  // kepra_UpdateFWFromFile does in one call, so that progress can be shown. These writes hold
  // no device lock: nothing else should use the camera during the update.
  const std::vector<std::uint8_t> image = ReadFile(path);
  if (image.empty()) Usage(path + " is empty; nothing was written");
  if (image.size() > KEPRA_FIRMWARE_REGION_SIZE) {
    Usage(path + " holds " + std::to_string(image.size()) + " bytes, more than the " +
          std::to_string(KEPRA_FIRMWARE_REGION_SIZE) +
          " of the firmware region; nothing was written, the camera is unchanged");
  }
  if (!force) CheckBootImage(path, image);
  Camera camera(options.device);
  const std::uint32_t sectors = Sectors(image.size());
  for (std::uint32_t s = 0; s < sectors; ++s) {
    const std::uint32_t offset = s * kSectorSize;
    const auto length =
        static_cast<std::uint32_t>(std::min<std::size_t>(kSectorSize, image.size() - offset));
    kepra_SetLastError(0);
    if (!CxWriteSPIFlash(camera.h(), offset, image.data() + offset, length)) {
      const std::uint32_t error = kepra_GetLastError();
      throw ToolError(kExitFailed,
                      "sector " + std::to_string(s + 1) + " of " + std::to_string(sectors) +
                          " failed (" + FailureMessage("CxWriteSPIFlash", error) +
                          "): the camera's firmware is incomplete; run the update again before "
                          "resetting the camera");
    }
    Progress("writing", s + 1, sectors);
  }
  Verify(camera.h(), image.data(), image.size());
  std::fprintf(Out(),
               "firmware from %s updated and verified (%zu bytes); reset the camera to start it\n",
               path.c_str(), image.size());
  return kExitOk;
}

}  // namespace kepra_tool
