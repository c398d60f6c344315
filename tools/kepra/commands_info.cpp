// list, info and regs.
#include <cstdio>
#include <cstring>
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
    KEPRA_HANDLE h = kepra_OpenDevice(index);
    if (h == KEPRA_INVALID_HANDLE) continue;
    ++found;
    kepra_CameraInfo info{};
    kepra_SetLastError(0);
    const bool ok = kepra_GetCameraInfo(h, &info) != 0;
    const std::uint32_t error = ok ? 0 : kepra_GetLastError();
    kepra_CloseDevice(h);
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

  kepra_CameraInfo info{};
  Check("kepra_GetCameraInfo", [&] { return kepra_GetCameraInfo(h, &info); });
  kepra_CameraInfoEx ex{};
  Check("kepra_GetCameraInfoEx", [&] { return kepra_GetCameraInfoEx(h, &ex); });
  std::uint16_t fw[4] = {};
  std::uint8_t fw5 = 0;
  Check("kepra_GetFWVersion",
        [&] { return kepra_GetFWVersion(h, &fw[0], &fw[1], &fw[2], &fw[3], &fw5); });
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
  std::uint32_t speed = 0, speed_detail = 0;
  Check("kepra_GetUsbSpeed", [&] { return kepra_GetUsbSpeed(h, &speed, &speed_detail); });
  std::uint32_t clock = 0;
  Check("kepra_GetFrequency", [&] { return kepra_GetFrequency(h, &clock); });
  std::uint32_t ft_min = 0, ft_max = 0, ft = 0;
  Check("kepra_GetFrameTimeMinMax", [&] { return kepra_GetFrameTimeMinMax(h, &ft_min, &ft_max); });
  Check("kepra_GetFrameTime", [&] { return kepra_GetFrameTime(h, &ft); });
  double fr_min = 0, fr_max = 0, fr = 0;
  Check("kepra_GetFrameRateMinMax", [&] { return kepra_GetFrameRateMinMax(h, &fr_min, &fr_max); });
  Check("kepra_GetFrameRate", [&] { return kepra_GetFrameRate(h, &fr); });
  std::uint32_t exp_min = 0, exp_max = 0, exp_lines = 0;
  Check("kepra_GetExposureMinMax", [&] { return kepra_GetExposureMinMax(h, &exp_min, &exp_max); });
  Check("kepra_GetExposure", [&] { return kepra_GetExposure(h, &exp_lines); });
  double exp_ms_min = 0, exp_ms_max = 0, exp_ms = 0;
  Check("kepra_GetExposureMinMaxMs",
        [&] { return kepra_GetExposureMinMaxMs(h, &exp_ms_min, &exp_ms_max); });
  Check("kepra_GetExposureMs", [&] { return kepra_GetExposureMs(h, &exp_ms); });
  std::uint32_t et_min = 0, et_max = 0;
  Check("kepra_GetExposureTimeMinMax",
        [&] { return kepra_GetExposureTimeMinMax(h, &et_min, &et_max); });

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
  report.Str("version", std::to_string(fw[0]) + "." + std::to_string(fw[1]) + "." +
                            std::to_string(fw[2]) + "." + std::to_string(fw[3]) + "." +
                            std::to_string(fw5));
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
  report.Real("min", fr_min);
  report.Real("max", fr_max);
  report.EndObject();
  report.BeginObject("exposure");
  report.Real("ms", exp_ms);
  report.Real("ms_min", exp_ms_min);
  report.Real("ms_max", exp_ms_max);
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
  std::uint16_t value = 0;
  Check("kepra_ReadSensorReg", [&] { return kepra_ReadSensorReg(camera.h(), addr, &value); });
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
  Check("kepra_WriteSensorReg", [&] { return kepra_WriteSensorReg(camera.h(), addr, word); });
  return kExitOk;
}

int RegsDump(const Options& options, const std::string& first, const std::string& count) {
  const std::uint32_t start = ParseU32(first, "first register", 0xFFFF);
  const std::uint32_t n = ParseU32(count, "register count", 0x10000 - start);
  Camera camera(options.device);
  std::vector<std::uint16_t> values(n);
  for (std::uint32_t i = 0; i < n; ++i) {
    kepra_SetLastError(0);
    if (!kepra_ReadSensorReg(camera.h(), start + i, &values[i])) {
      Failed("kepra_ReadSensorReg of register " + std::to_string(start + i));
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
