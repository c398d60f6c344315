// list, info and regs.
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "tool.h"

namespace kepra_tool {

namespace {

std::string ModelName(const kepra_CameraInfo& info) {
  return std::string(info.ModelName, strnlen(info.ModelName, sizeof info.ModelName));
}

const char* UsbSpeedName(std::uint32_t code) {
  switch (code) {
    case 1:
      return "full speed";
    case 2:
      return "high speed";
    case 3:
      return "SuperSpeed";
    default:
      return "unknown";
  }
}

}  // namespace

int ListCameras(const Options& options) {
  Report report(options.json);
  report.BeginArray("cameras");
  int found = 0;
  for (std::uint32_t index = 0; index < KEPRA_MAX_DEVICES; ++index) {
    std::optional<kepra::Camera> camera;
    try {
      camera.emplace(index);
    } catch (const kepra::Error&) {
      continue;
    }
    ++found;
    kepra_CameraInfo info{};
    bool ok = true;
    std::uint32_t error = 0;
    kepra_SetLastError(0);
    try {
      info = camera->Info();
    } catch (const kepra::Error& e) {
      ok = false;
      error = e.code();
    }
    camera.reset();
    report.BeginObject();
    report.UInt("index", index);
    if (ok) {
      report.Str("model", ModelName(info));
      report.UInt("width", info.Width);
      report.UInt("height", info.Height);
      report.Bool("colour", info.Color != 0);
    } else {
      // A camera that answers but cannot describe itself is still listed.
      report.Str("error", FailureMessage("kepra_GetCameraInfo", error));
    }
    report.EndObject();
  }
  report.EndArray();
  report.UInt("count", static_cast<std::uint64_t>(found));
  return found > 0 ? kExitOk : kExitNoCamera;
}

int ShowInfo(const Options& options) {
  Camera camera(options.device);
  const KEPRA_HANDLE h = camera.h();
  kepra::Camera& cam = camera.cpp();

  const kepra_CameraInfo info = Run([&] { return cam.Info(); });
  const kepra_CameraInfoEx ex = Run([&] { return cam.InfoEx(); });
  const kepra::FirmwareVersion fw = Run([&] { return cam.FirmwareVersion(); });
  // The C call stays: the tool reports the driver's version even when it is refused, and the
  // wrapper's DriverVersion throws those values away with its error.
  std::uint8_t major = 0, minor = 0;
  std::uint16_t build = 0;
  std::uint32_t sign = 0;
  // The driver check is part of the answer: only a failure other than the version refusal is
  // a failure of the command.
  kepra_SetLastError(0);
  const bool driver_ok = kepra_GetDriverVer(h, &major, &minor, &build, &sign) != 0;
  if (!driver_ok && kepra_GetLastError() != KEPRA_ERROR_PRODUCT_VERSION) {
    Failed("kepra_GetDriverVer");
  }
  const auto [speed, speed_detail] = Run([&] { return cam.UsbSpeedDetail(); });
  const std::uint32_t clock = Run([&] { return cam.Clock(); }).value;
  const auto [ft_min, ft_max] = Run([&] { return cam.FrameTimeRange(); });
  const std::uint32_t ft = Run([&] { return cam.FrameTime(); });
  const auto fr_range = Run([&] { return cam.FrameRateRange(); });
  const double fr = Run([&] { return cam.FrameRate(); }).value;
  const auto [exp_min, exp_max] = Run([&] { return cam.ExposureLinesRange(); });
  const std::uint32_t exp_lines = Run([&] { return cam.ExposureLines(); });
  const auto exp_range = Run([&] { return cam.ExposureRange(); });
  const double exp_ms = Run([&] { return cam.Exposure(); }).count();
  const auto [et_min, et_max] = Run([&] { return cam.ExposureTimeRange(); });

  Report report(options.json);
  report.UInt("device", options.device);
  report.BeginObject("camera");
  report.Str("model", ModelName(info));
  report.UInt("width", info.Width);
  report.UInt("height", info.Height);
  report.Bool("colour", info.Color != 0);
  report.Hex("model_code", ex.ModelCode, 2);
  report.Hex("ident_word", ex.IdentWord, 4);
  report.Hex("ident_byte3", ex.IdentByte3, 2);
  report.Hex("ident_byte4", ex.IdentByte4, 2);
  report.Hex("ident_byte5", ex.IdentByte5, 2);
  report.EndObject();
  report.BeginObject("firmware");
  report.Str("version", std::to_string(fw.v1) + "." + std::to_string(fw.v2) + "." +
                            std::to_string(fw.v3) + "." + std::to_string(fw.v4) + "." +
                            std::to_string(fw.v5));
  report.EndObject();
  report.BeginObject("driver");
  std::string driver_version = sign ? "-" : "";
  driver_version +=
      std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(build);
  report.Str("version", driver_version);
  report.Bool("supported", driver_ok);
  report.EndObject();
  report.BeginObject("usb");
  report.UInt("speed_code", speed);
  report.Str("speed", UsbSpeedName(speed));
  report.UInt("signalling_bytes_per_s", speed_detail);
  report.EndObject();
  report.UInt("clock_mhz", clock);
  report.BeginObject("frame_time");
  report.UInt("current", ft);
  report.UInt("min", ft_min);
  report.UInt("max", ft_max);
  report.EndObject();
  report.BeginObject("frame_rate");
  report.Real("current", fr);
  report.Real("min", fr_range.first.value);
  report.Real("max", fr_range.second.value);
  report.EndObject();
  report.BeginObject("exposure");
  report.Real("ms", exp_ms);
  report.Real("ms_min", exp_range.first.count());
  report.Real("ms_max", exp_range.second.count());
  report.UInt("lines", exp_lines);
  report.UInt("lines_min", exp_min);
  report.UInt("lines_max", exp_max);
  report.UInt("time_min", et_min);
  report.UInt("time_max", et_max);
  report.EndObject();
  return kExitOk;
}

int RegsRead(const Options& options, const std::string& address) {
  const std::uint32_t addr = ParseU32(address, "register address", 0xFFFF);
  Camera camera(options.device);
  const std::uint16_t value =
      Run([&] { return camera.cpp().ReadRegister(static_cast<std::uint16_t>(addr)); });
  Report report(options.json);
  report.Hex("address", addr, 4);
  report.UInt("value", value);
  report.Hex("hex", value, 4);
  return kExitOk;
}

int RegsWrite(const Options& options, const std::string& address, const std::string& value) {
  const std::uint32_t addr = ParseU32(address, "register address", 0xFFFF);
  const std::uint32_t word = ParseU32(value, "register value", 0xFFFF);
  Camera camera(options.device);
  Run([&] {
    camera.cpp().WriteRegister(static_cast<std::uint16_t>(addr), static_cast<std::uint16_t>(word));
  });
  return kExitOk;
}

int RegsDump(const Options& options, const std::string& first, const std::string& count) {
  const std::uint32_t start = ParseU32(first, "first register", 0xFFFF);
  const std::uint32_t n = ParseU32(count, "register count", 0x10000 - start);
  Camera camera(options.device);
  std::vector<std::uint16_t> values(n);
  for (std::uint32_t i = 0; i < n; ++i) {
    kepra_SetLastError(0);
    try {
      values[i] = camera.cpp().ReadRegister(static_cast<std::uint16_t>(start + i));
    } catch (const kepra::Error& e) {
      throw ToolError(kExitFailed, FailureMessage(std::string(e.function()) + " of register " +
                                                      std::to_string(start + i),
                                                  e.code()));
    }
  }
  if (!options.json) {
    for (std::uint32_t i = 0; i < n; ++i) {
      std::fprintf(Out(), "0x%04X  %5u  0x%04X\n", start + i, values[i], values[i]);
    }
    return kExitOk;
  }
  Report report(options.json);
  report.BeginArray("registers");
  for (std::uint32_t i = 0; i < n; ++i) {
    report.BeginObject();
    report.Hex("address", start + i, 4);
    report.UInt("value", values[i]);
    report.EndObject();
  }
  report.EndArray();
  return kExitOk;
}

}  // namespace kepra_tool
