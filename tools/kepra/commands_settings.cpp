// get and set: every setting the library has, by name.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>

#include "tool.h"

namespace kepra_tool {

namespace {

using Getter = std::function<void(KEPRA_HANDLE, Report&)>;
// Parses first (usage errors before the camera is opened), then returns the action.
using Setter = std::function<std::function<void(KEPRA_HANDLE)>(const std::string&)>;

struct Setting {
  Getter get;  // empty: set only
  Setter set;
  const char* help;
};

std::uint8_t U8(const std::string& text, const std::string& what) {
  return static_cast<std::uint8_t>(ParseU32(text, what, 0xFF));
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.10g", value);
  return text;
}

// Refuses a value outside [min, max] (exit 2) before anything is written. Limits read from
// the camera are printed rounded, so a value typed back from them may differ in the last
// digits: a relative slack of 1e-9 takes it.
void InLimits(const std::string& what, double value, double min, double max,
              const std::string& unit) {
  const double slack = 1e-9 * std::max(std::fabs(min), std::fabs(max));
  if (value >= min - slack && value <= max + slack) return;
  Usage(what + " " + Number(value) + " is outside the camera's limits " + Number(min) + " .. " +
        Number(max) + " " + unit + "; nothing was changed");
}

// The documented ranges of the gain factors (the library would clamp silently).
constexpr double kAnalogMin = 1.0, kAnalogMax = 8.0;
constexpr double kDigitalMin = 1.0, kDigitalMax = 15.875;
constexpr double kColourMin = 0.25, kColourMax = 3.96875;
constexpr std::uint16_t kSensorVariantRegister = 127;
constexpr std::uint16_t kVariantWithoutMode3 = 0x0900;

// Checks the fields of a frame-parameter record that need no camera; names the first bad one.
void CheckFrameParamFields(const kepra_FrameParams& p) {
  if (p.BitDepth != 8 && p.BitDepth != 10 && p.BitDepth != 12) {
    Usage("frame-params: depth " + std::to_string(p.BitDepth) + " is not 8, 10 or 12");
  }
  for (const auto& [value, name] : {std::pair{p.BinX, "binx"}, std::pair{p.BinY, "biny"}}) {
    if (value != 1 && value != 2 && value != 4) {
      Usage(std::string("frame-params: ") + name + " " + std::to_string(value) +
            " is not 1, 2 or 4");
    }
  }
  if (p.Width == 0) Usage("frame-params: width is 0");
  if (p.Height == 0) Usage("frame-params: height is 0");
  if (p.Width % p.BinX) {
    Usage("frame-params: width " + std::to_string(p.Width) + " is not a multiple of binx " +
          std::to_string(p.BinX));
  }
  if (p.Height % p.BinY) {
    Usage("frame-params: height " + std::to_string(p.Height) + " is not a multiple of biny " +
          std::to_string(p.BinY));
  }
  if (p.Flags & ~(KEPRA_FRAME_MIRROR_X | KEPRA_FRAME_FLIP_Y)) {
    Usage("frame-params: flags " + std::to_string(p.Flags) + " has bits other than 1 (mirror x) " +
          "and 2 (flip y)");
  }
}

// The region against the camera's sensor.
void CheckFrameParamRegion(KEPRA_HANDLE h, const kepra_FrameParams& p) {
  kepra_CameraInfo info{};
  Check("kepra_GetCameraInfo", [&] { return kepra_GetCameraInfo(h, &info); });
  if (std::uint32_t{p.X} + p.Width > info.Width) {
    Usage("frame-params: x + width = " + std::to_string(p.X + p.Width) +
          " is beyond the sensor's " + std::to_string(info.Width) + " columns");
  }
  if (std::uint32_t{p.Y} + p.Height > info.Height) {
    Usage("frame-params: y + height = " + std::to_string(p.Y + p.Height) +
          " is beyond the sensor's " + std::to_string(info.Height) + " rows");
  }
}

const std::map<std::string, Setting>& Settings() {
  static const std::map<std::string, Setting> settings = {
      {"exposure-ms",
       {[](KEPRA_HANDLE h, Report& r) {
          double ms = 0;
          Check("kepra_GetExposureMs", [&] { return kepra_GetExposureMs(h, &ms); });
          r.Real("exposure_ms", ms);
        },
        [](const std::string& v) {
          const double ms = ParseDouble(v, "exposure-ms");
          return std::function<void(KEPRA_HANDLE)>([ms](KEPRA_HANDLE h) {
            double min = 0, max = 0;
            Check("kepra_GetExposureMinMaxMs",
                  [&] { return kepra_GetExposureMinMaxMs(h, &min, &max); });
            InLimits("exposure-ms", ms, min, max, "ms");
            double now = 0;
            Check("kepra_SetExposureMs", [&] { return kepra_SetExposureMs(h, ms, &now); });
          });
        },
        "milliseconds"}},
      {"exposure-lines",
       {[](KEPRA_HANDLE h, Report& r) {
          std::uint32_t lines = 0;
          Check("kepra_GetExposure", [&] { return kepra_GetExposure(h, &lines); });
          r.UInt("exposure_lines", lines);
        },
        [](const std::string& v) {
          const std::uint32_t lines = ParseU32(v, "exposure-lines");
          return std::function<void(KEPRA_HANDLE)>([lines](KEPRA_HANDLE h) {
            std::uint32_t min = 0, max = 0;
            Check("kepra_GetExposureMinMax",
                  [&] { return kepra_GetExposureMinMax(h, &min, &max); });
            InLimits("exposure-lines", lines, min, max, "lines");
            Check("kepra_SetExposure", [&] { return kepra_SetExposure(h, lines); });
          });
        },
        "lines"}},
      {"exposure-time",
       {[](KEPRA_HANDLE h, Report& r) {
          std::uint32_t periods = 0;
          Check("kepra_GetExposureTime", [&] { return kepra_GetExposureTime(h, &periods); });
          r.UInt("exposure_time", periods);
        },
        [](const std::string& v) {
          const std::uint32_t periods = ParseU32(v, "exposure-time");
          return std::function<void(KEPRA_HANDLE)>([periods](KEPRA_HANDLE h) {
            std::uint32_t min = 0, max = 0;
            Check("kepra_GetExposureTimeMinMax",
                  [&] { return kepra_GetExposureTimeMinMax(h, &min, &max); });
            InLimits("exposure-time", periods, min, max, "sensor-clock periods");
            Check("kepra_SetExposureTime", [&] { return kepra_SetExposureTime(h, periods); });
          });
        },
        "sensor-clock periods"}},
      {"frame-rate",
       {[](KEPRA_HANDLE h, Report& r) {
          double rate = 0;
          Check("kepra_GetFrameRate", [&] { return kepra_GetFrameRate(h, &rate); });
          r.Real("frame_rate", rate);
        },
        [](const std::string& v) {
          if (v == "min") {
            return std::function<void(KEPRA_HANDLE)>([](KEPRA_HANDLE h) {
              Check("kepra_SetMinFrameRate", [&] { return kepra_SetMinFrameRate(h); });
            });
          }
          if (v == "max") {
            return std::function<void(KEPRA_HANDLE)>([](KEPRA_HANDLE h) {
              Check("kepra_SetMaxFrameRate", [&] { return kepra_SetMaxFrameRate(h); });
            });
          }
          const double rate = ParseDouble(v, "frame-rate");
          return std::function<void(KEPRA_HANDLE)>([rate](KEPRA_HANDLE h) {
            double min = 0, max = 0;
            Check("kepra_GetFrameRateMinMax",
                  [&] { return kepra_GetFrameRateMinMax(h, &min, &max); });
            InLimits("frame-rate", rate, min, max, "frames per second");
            double now = 0;
            Check("kepra_SetFrameRate", [&] { return kepra_SetFrameRate(h, rate, &now); });
          });
        },
        "frames per second, or min / max"}},
      {"frame-time",
       {[](KEPRA_HANDLE h, Report& r) {
          std::uint32_t ft = 0;
          Check("kepra_GetFrameTime", [&] { return kepra_GetFrameTime(h, &ft); });
          r.UInt("frame_time", ft);
        },
        [](const std::string& v) {
          const std::uint32_t ft = ParseU32(v, "frame-time");
          return std::function<void(KEPRA_HANDLE)>([ft](KEPRA_HANDLE h) {
            std::uint32_t min = 0, max = 0;
            Check("kepra_GetFrameTimeMinMax",
                  [&] { return kepra_GetFrameTimeMinMax(h, &min, &max); });
            InLimits("frame-time", ft, min, max, "line-length units");
            Check("kepra_SetFrameTime", [&] { return kepra_SetFrameTime(h, ft); });
          });
        },
        "line-length units"}},
      {"gain",
       {[](KEPRA_HANDLE h, Report& r) {
          double a = 0, d = 0;
          Check("kepra_GetGain", [&] { return kepra_GetGain(h, &a, &d); });
          r.Real("analog", a);
          r.Real("digital", d);
        },
        [](const std::string& v) {
          const auto f = SplitFields(v, 2, "gain (analog,digital)");
          const double a = ParseDouble(f[0], "analog gain");
          const double d = ParseDouble(f[1], "digital gain");
          InLimits("analog gain", a, kAnalogMin, kAnalogMax, "(factor)");
          InLimits("digital gain", d, kDigitalMin, kDigitalMax, "(factor)");
          return std::function<void(KEPRA_HANDLE)>([a, d](KEPRA_HANDLE h) {
            Check("kepra_SetGain", [&] { return kepra_SetGain(h, a, d); });
          });
        },
        "analog,digital"}},
      {"colour-gain",
       {[](KEPRA_HANDLE h, Report& r) {
          double gb = 0, gr = 0, b = 0, red = 0;
          Check("kepra_GetGainC", [&] { return kepra_GetGainC(h, &gb, &gr, &b, &red); });
          r.Real("gb", gb);
          r.Real("gr", gr);
          r.Real("b", b);
          r.Real("r", red);
        },
        [](const std::string& v) {
          const auto f = SplitFields(v, 4, "colour-gain (gb,gr,b,r)");
          const double gb = ParseDouble(f[0], "gb"), gr = ParseDouble(f[1], "gr");
          const double b = ParseDouble(f[2], "b"), red = ParseDouble(f[3], "r");
          for (const auto& [gain, name] :
               {std::pair{gb, "gb"}, std::pair{gr, "gr"}, std::pair{b, "b"}, std::pair{red, "r"}}) {
            InLimits(std::string("colour gain ") + name, gain, kColourMin, kColourMax, "(factor)");
          }
          return std::function<void(KEPRA_HANDLE)>([=](KEPRA_HANDLE h) {
            Check("kepra_SetGainC", [&] { return kepra_SetGainC(h, gb, gr, b, red); });
          });
        },
        "gb,gr,b,r"}},
      {"readout-mode",
       {[](KEPRA_HANDLE h, Report& r) {
          std::uint32_t mode = 0;
          Check("kepra_GetReadoutMode", [&] { return kepra_GetReadoutMode(h, &mode); });
          r.UInt("readout_mode", mode);
        },
        [](const std::string& v) {
          const std::uint32_t mode = ParseU32(v, "readout-mode", 3);
          return std::function<void(KEPRA_HANDLE)>([mode](KEPRA_HANDLE h) {
            // The library writes register 11 before it finds that the sensor variant has no
            // tuning for mode 3, so that case is refused before anything is written.
            std::uint16_t variant = 0;
            Check("kepra_ReadSensorReg",
                  [&] { return kepra_ReadSensorReg(h, kSensorVariantRegister, &variant); });
            if (mode == 3 && variant == kVariantWithoutMode3) {
              Usage(
                  "readout mode 3 is not available on this camera's sensor (variant 0x0900); "
                  "use 0, 1 or 2. Nothing was changed");
            }
            kepra_SetLastError(0);
            if (!kepra_SetReadoutMode(h, mode)) {
              char hint[96];
              std::snprintf(hint, sizeof hint,
                            "the sensor variant 0x%04X (register 127) has no known readout modes",
                            variant);
              Failed("kepra_SetReadoutMode", hint);
            }
          });
        },
        "0..3 (3 where the sensor has it)"}},
      {"hdr",
       {[](KEPRA_HANDLE h, Report& r) {
          std::uint8_t hdr = 0;
          Check("kepra_GetHDR", [&] { return kepra_GetHDR(h, &hdr); });
          r.Bool("hdr", hdr != 0);
        },
        [](const std::string& v) {
          const bool on = ParseSwitch(v, "hdr");
          return std::function<void(KEPRA_HANDLE)>([on](KEPRA_HANDLE h) {
            Check("kepra_SetHDR", [&] { return kepra_SetHDR(h, on ? 1 : 0); });
          });
        },
        "on|off"}},
      {"strobe",
       {[](KEPRA_HANDLE h, Report& r) {
          std::uint32_t mode = 0;
          std::uint8_t off = 0, on = 0, inverted = 0;
          Check("kepra_GetStrobeParams",
                [&] { return kepra_GetStrobeParams(h, &mode, &off, &on, &inverted); });
          r.UInt("mode", mode);
          r.UInt("off_delay", off);
          r.UInt("on_delay", on);
          r.Bool("inverted", inverted != 0);
        },
        [](const std::string& v) {
          const auto f = SplitFields(v, 4, "strobe (mode,off,on,inverted)");
          const std::uint32_t mode = ParseU32(f[0], "strobe mode", 3);
          const std::uint8_t off = U8(f[1], "strobe off delay"), on = U8(f[2], "strobe on delay");
          const bool inverted = ParseSwitch(f[3], "strobe inverted");
          return std::function<void(KEPRA_HANDLE)>([=](KEPRA_HANDLE h) {
            Check("kepra_SetStrobeParams",
                  [&] { return kepra_SetStrobeParams(h, mode, off, on, inverted ? 1 : 0); });
          });
        },
        "mode,off,on,inverted"}},
      {"snapshot",
       {[](KEPRA_HANDLE h, Report& r) {
          std::uint32_t timeout = 0;
          std::uint8_t inverted = 0;
          Check("kepra_GetSnapshotParams",
                [&] { return kepra_GetSnapshotParams(h, &timeout, &inverted); });
          r.UInt("timeout_ms", timeout);
          r.Bool("inverted", inverted != 0);
        },
        [](const std::string& v) {
          const auto f = SplitFields(v, 2, "snapshot (timeout,inverted)");
          const std::uint32_t timeout = ParseU32(f[0], "snapshot timeout", 0x7FFFFFFF);
          const bool inverted = ParseSwitch(f[1], "snapshot inverted");
          return std::function<void(KEPRA_HANDLE)>([=](KEPRA_HANDLE h) {
            Check("kepra_SetSnapshotParams",
                  [&] { return kepra_SetSnapshotParams(h, timeout, inverted ? 1 : 0); });
          });
        },
        "timeout-ms,inverted"}},
      {"events",
       {[](KEPRA_HANDLE h, Report& r) {
          std::uint8_t bits = 0;
          Check("kepra_GetEventsState", [&] { return kepra_GetEventsState(h, &bits); });
          r.UInt("events", bits);
        },
        [](const std::string& v) {
          const auto f = SplitFields(v, 2, "events (bits,mask)");
          const std::uint8_t bits = U8(f[0], "event bits"), mask = U8(f[1], "event mask");
          return std::function<void(KEPRA_HANDLE)>([=](KEPRA_HANDLE h) {
            Check("kepra_SetEventsState", [&] { return kepra_SetEventsState(h, bits, mask); });
          });
        },
        "bits,mask"}},
      {"stream-mode",
       {[](KEPRA_HANDLE h, Report& r) {
          std::uint32_t mode = 0;
          Check("kepra_GetStreamMode", [&] { return kepra_GetStreamMode(h, &mode); });
          r.UInt("stream_mode", mode);
        },
        [](const std::string& v) {
          const std::uint32_t mode = ParseU32(v, "stream-mode");
          return std::function<void(KEPRA_HANDLE)>([mode](KEPRA_HANDLE h) {
            Check("kepra_SetStreamMode", [&] { return kepra_SetStreamMode(h, mode); });
          });
        },
        "32-bit value"}},
      {"led",
       {Getter{},
        [](const std::string& v) {
          std::uint8_t state = 0;
          if (v == "on" || v == "off") {
            state = v == "on" ? 1 : 0;
          } else {
            state = U8(v, "led");
          }
          return std::function<void(KEPRA_HANDLE)>([state](KEPRA_HANDLE h) {
            Check("kepra_SwitchFrontLED", [&] { return kepra_SwitchFrontLED(h, state); });
          });
        },
        "on|off|0..255, set only"}},
      {"clock",
       {[](KEPRA_HANDLE h, Report& r) {
          std::uint32_t mhz = 0;
          Check("kepra_GetFrequency", [&] { return kepra_GetFrequency(h, &mhz); });
          r.UInt("clock_mhz", mhz);
        },
        [](const std::string& v) {
          const std::uint32_t mhz = ParseU32(v, "clock");
          InLimits("clock", mhz, 4, 114, "MHz");
          return std::function<void(KEPRA_HANDLE)>([mhz](KEPRA_HANDLE h) {
            Check("kepra_SetFrequency", [&] { return kepra_SetFrequency(h, mhz); });
          });
        },
        "MHz, 4..114"}},
      {"frame-params",
       {[](KEPRA_HANDLE h, Report& r) {
          kepra_FrameParams p{};
          Check("kepra_GetFrameParams", [&] { return kepra_GetFrameParams(h, &p); });
          r.UInt("x", p.X);
          r.UInt("y", p.Y);
          r.UInt("width", p.Width);
          r.UInt("height", p.Height);
          r.UInt("bit_depth", p.BitDepth);
          r.UInt("bin_x", p.BinX);
          r.UInt("bin_y", p.BinY);
          r.UInt("flags", p.Flags);
        },
        [](const std::string& v) {
          const auto f = SplitFields(v, 8, "frame-params (x,y,width,height,depth,binx,biny,flags)");
          kepra_FrameParams p{};
          p.X = static_cast<std::uint16_t>(ParseU32(f[0], "x", 0xFFFF));
          p.Y = static_cast<std::uint16_t>(ParseU32(f[1], "y", 0xFFFF));
          p.Width = static_cast<std::uint16_t>(ParseU32(f[2], "width", 0xFFFF));
          p.Height = static_cast<std::uint16_t>(ParseU32(f[3], "height", 0xFFFF));
          p.BitDepth = static_cast<std::uint16_t>(ParseU32(f[4], "depth", 0xFFFF));
          p.BinX = static_cast<std::uint16_t>(ParseU32(f[5], "binx", 0xFFFF));
          p.BinY = static_cast<std::uint16_t>(ParseU32(f[6], "biny", 0xFFFF));
          p.Flags = static_cast<std::uint16_t>(ParseU32(f[7], "flags", 0xFFFF));
          CheckFrameParamFields(p);
          return std::function<void(KEPRA_HANDLE)>([p](KEPRA_HANDLE h) {
            CheckFrameParamRegion(h, p);
            Check("kepra_SetFrameParams", [&] { return kepra_SetFrameParams(h, &p); });
          });
        },
        "x,y,width,height,depth,binx,biny,flags"}},
      {"bad-pixel-fix",
       {[](KEPRA_HANDLE h, Report& r) {
          std::uint8_t enabled = 0, has_list = 0;
          Check("kepra_GetFixBadPixels",
                [&] { return kepra_GetFixBadPixels(h, &enabled, &has_list); });
          r.Bool("enabled", enabled != 0);
          r.Bool("has_list", has_list != 0);
        },
        [](const std::string& v) {
          const bool on = ParseSwitch(v, "bad-pixel-fix");
          return std::function<void(KEPRA_HANDLE)>([on](KEPRA_HANDLE h) {
            Check("kepra_SetFixBadPixels",
                  [&] { return kepra_SetFixBadPixels(h, on ? 1 : 0, nullptr); });
          });
        },
        "on|off"}},
  };
  return settings;
}

const Setting& Find(const std::string& name) {
  const auto it = Settings().find(name);
  if (it == Settings().end()) {
    std::string names;
    for (const auto& [known, setting] : Settings()) names += " " + known;
    Usage("unknown setting '" + name + "'; known:" + names);
  }
  return it->second;
}

}  // namespace

const std::vector<std::string>& SettingNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> all;
    for (const auto& [name, setting] : Settings()) all.push_back(name + " (" + setting.help + ")");
    return all;
  }();
  return names;
}

std::function<void(KEPRA_HANDLE)> SettingAction(const std::string& name, const std::string& value) {
  return Find(name).set(value);
}

int GetSetting(const Options& options, const std::string& name) {
  const Setting& setting = Find(name);
  if (!setting.get) Usage(name + " can only be set");
  Camera camera(options.device);
  Report report(options.json);
  setting.get(camera.h(), report);
  return kExitOk;
}

int SetSetting(const Options& options, const std::string& name, const std::string& value) {
  const Setting& setting = Find(name);
  const auto action = setting.set(value);
  Camera camera(options.device);
  const KEPRA_HANDLE h = camera.h();
  // Exposure, window and clock can change the frame rate; that is reported as a side effect.
  const bool watch_rate = name != "frame-rate" && name != "frame-time";
  double rate_before = 0;
  if (watch_rate) Check("kepra_GetFrameRate", [&] { return kepra_GetFrameRate(h, &rate_before); });
  action(h);
  double rate_after = rate_before;
  if (watch_rate) Check("kepra_GetFrameRate", [&] { return kepra_GetFrameRate(h, &rate_after); });
  // What the camera took (clamped, rounded) is printed back where it can be read.
  Report report(options.json);
  if (setting.get) setting.get(h, report);
  if (rate_after != rate_before) {
    report.Real("frame_rate", rate_after);
    report.Real("frame_rate_was", rate_before);
  }
  return kExitOk;
}

}  // namespace kepra_tool
