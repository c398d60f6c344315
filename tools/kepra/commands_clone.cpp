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
  kepra::Camera& c = camera.cpp();
  std::string text = "format: kepra clone 1\n";
  const auto line = [&text](const std::string& key, const std::string& value) {
    text += key + ": " + value + "\n";
  };
  const kepra_IdentData ident = Run([&] { return c.Ident(); });
  line("ident", Hex(ident.Bytes, sizeof ident.Bytes));
  const kepra::FirmwareVersion fw = Run([&] { return c.FirmwareVersion(); });
  line("firmware_version", std::to_string(fw.v1) + "." + std::to_string(fw.v2) + "." +
                               std::to_string(fw.v3) + "." + std::to_string(fw.v4) + "." +
                               std::to_string(fw.v5));
  std::uint8_t major = 0, minor = 0;
  std::uint16_t build = 0;
  std::uint32_t sign = 0;
  // A driver the library does not support still reports its version (with 1638); the
  // wrapper's DriverVersion throws it away, so this stays on the C function.
  kepra_GetDriverVer(c.handle(), &major, &minor, &build, &sign);
  line("driver_version",
       std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(build));
  line("usb_speed", std::to_string(Run([&] { return c.UsbSpeed(); })));
  line("clock", std::to_string(Run([&] { return c.Clock(); }).value));
  const kepra_FrameParams params = Run([&] { return c.FrameParams(); });
  line("frame_params", Hex(reinterpret_cast<const std::uint8_t*>(&params), sizeof params));
  line("stream_mode", std::to_string(Run([&] { return c.StreamMode(); })));
  // The byte as the camera gave it, which the wrapper's Hdr folds into a bool.
  std::uint8_t hdr = 0;
  Check("kepra_GetHDR", [&] { return kepra_GetHDR(c.handle(), &hdr); });
  line("hdr", std::to_string(hdr));
  std::string registers;
  for (std::uint32_t a = 0; a < kRegisters; ++a) {
    const std::uint16_t reg = Run([&] { return c.ReadRegister(static_cast<std::uint16_t>(a)); });
    const std::uint8_t be[2] = {static_cast<std::uint8_t>(reg >> 8),
                                static_cast<std::uint8_t>(reg)};
    registers += Hex(be, 2);
  }
  line("registers", registers);
  const std::vector<std::uint8_t> flash = Run([&] { return c.ReadFlash(0, KEPRA_USER_AREA_SIZE); });
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
