// clone save: everything a camera reports, in a text file that kepra-virtcam --clone serves
// as a virtual camera answering the same, so that a problem seen in the field can be
// reproduced without the camera. One "key: value" line each; byte strings in hex.
#include <cstdio>
#include <fstream>

#include "tool.h"

namespace kepra_tool {

namespace {

std::string Hex(const std::uint8_t* bytes, std::size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(count * 2);
  for (std::size_t i = 0; i < count; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

// Sensor registers recorded: the whole 8-bit address space the sensor decodes.
constexpr std::uint32_t kRegisters = 256;

}  // namespace

int CloneSave(const Options& options, const std::string& path) {
  Camera camera(options.device);
  const KEPRA_HANDLE h = camera.h();
  std::string text = "format: kepra clone 1\n";
  const auto line = [&text](const std::string& key, const std::string& value) {
    text += key + ": " + value + "\n";
  };
  kepra_IdentData ident{};
  Check("kepra_GetIdentData", [&] { return kepra_GetIdentData(h, &ident); });
  line("ident", Hex(ident.Bytes, sizeof ident.Bytes));
  std::uint16_t v1 = 0, v2 = 0, v3 = 0, v4 = 0;
  std::uint8_t v5 = 0;
  Check("kepra_GetFWVersion", [&] { return kepra_GetFWVersion(h, &v1, &v2, &v3, &v4, &v5); });
  line("firmware_version", std::to_string(v1) + "." + std::to_string(v2) + "." +
                               std::to_string(v3) + "." + std::to_string(v4) + "." +
                               std::to_string(v5));
  std::uint8_t major = 0, minor = 0;
  std::uint16_t build = 0;
  std::uint32_t sign = 0;
  // A driver the library does not support still reports its version (with 1638).
  kepra_GetDriverVer(h, &major, &minor, &build, &sign);
  line("driver_version",
       std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(build));
  std::uint32_t value = 0;
  Check("kepra_GetUsbSpeed", [&] { return kepra_GetUsbSpeed(h, &value, nullptr); });
  line("usb_speed", std::to_string(value));
  Check("kepra_GetFrequency", [&] { return kepra_GetFrequency(h, &value); });
  line("clock", std::to_string(value));
  kepra_FrameParams params{};
  Check("kepra_GetFrameParams", [&] { return kepra_GetFrameParams(h, &params); });
  line("frame_params", Hex(reinterpret_cast<const std::uint8_t*>(&params), sizeof params));
  Check("kepra_GetStreamMode", [&] { return kepra_GetStreamMode(h, &value); });
  line("stream_mode", std::to_string(value));
  std::uint8_t hdr = 0;
  Check("kepra_GetHDR", [&] { return kepra_GetHDR(h, &hdr); });
  line("hdr", std::to_string(hdr));
  std::string registers;
  for (std::uint32_t a = 0; a < kRegisters; ++a) {
    std::uint16_t reg = 0;
    Check("kepra_ReadSensorReg",
          [&] { return kepra_ReadSensorReg(h, static_cast<std::uint16_t>(a), &reg); });
    const std::uint8_t be[2] = {static_cast<std::uint8_t>(reg >> 8),
                                static_cast<std::uint8_t>(reg)};
    registers += Hex(be, 2);
  }
  line("registers", registers);
  std::vector<std::uint8_t> flash(KEPRA_USER_AREA_SIZE);
  Check("kepra_ReadFlash",
        [&] { return kepra_ReadFlash(h, 0, flash.data(), KEPRA_USER_AREA_SIZE); });
  // Erased bytes at the end are left out; the clone erases what is not given.
  std::size_t used = flash.size();
  while (used > 0 && flash[used - 1] == 0xFF) --used;
  line("user_flash", Hex(flash.data(), used));

  const std::string temporary = path + ".part";
  {
    std::ofstream file(temporary, std::ios::binary);
    file << text;
    if (!file.flush()) {
      std::remove(temporary.c_str());
      throw ToolError(kExitFailed, "cannot write " + temporary);
    }
  }
  std::remove(path.c_str());  // Windows renames onto no existing file
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    throw ToolError(kExitFailed, "cannot rename " + temporary + " to " + path);
  }
  std::fprintf(Out(), "camera %u cloned to %s (%zu bytes of user flash in use)\n", options.device,
               path.c_str(), used);
  return kExitOk;
}

}  // namespace kepra_tool
