// get and set: every setting the library has, by name.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>

#include "tool.h"

namespace kepra_tool {

namespace {

using Getter = std::function<void(kepra::Camera&, Report&)>;
// Parses first (usage errors before the camera is opened), then returns the action.
using Setter = std::function<SettingFn(const std::string&)>;

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
void CheckFrameParamRegion(kepra::Camera& c, const kepra_FrameParams& p) {
  const kepra_CameraInfo info = Run([&] { return c.Info(); });
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
       {[](kepra::Camera& c, Report& r) {
          r.Real("exposure_ms", Run([&] { return c.Exposure(); }).count());
        },
        [](const std::string& v) {
          const double ms = ParseDouble(v, "exposure-ms");
          return SettingFn([ms](kepra::Camera& c) {
            const auto [min, max] = Run([&] { return c.ExposureRange(); });
            InLimits("exposure-ms", ms, min.count(), max.count(), "ms");
            Run([&] { c.SetExposure(kepra::Milliseconds(ms)); });
          });
        },
        "milliseconds"}},
      {"exposure-lines",
       {[](kepra::Camera& c, Report& r) {
          r.UInt("exposure_lines", Run([&] { return c.ExposureLines(); }));
        },
        [](const std::string& v) {
          const std::uint32_t lines = ParseU32(v, "exposure-lines");
          return SettingFn([lines](kepra::Camera& c) {
            const auto [min, max] = Run([&] { return c.ExposureLinesRange(); });
            InLimits("exposure-lines", lines, min, max, "lines");
            Run([&] { c.SetExposureLines(lines); });
          });
        },
        "lines"}},
      {"exposure-time",
       {[](kepra::Camera& c, Report& r) {
          r.UInt("exposure_time", Run([&] { return c.ExposureTime(); }));
        },
        [](const std::string& v) {
          const std::uint32_t periods = ParseU32(v, "exposure-time");
          return SettingFn([periods](kepra::Camera& c) {
            const auto [min, max] = Run([&] { return c.ExposureTimeRange(); });
            InLimits("exposure-time", periods, min, max, "sensor-clock periods");
            Run([&] { c.SetExposureTime(periods); });
          });
        },
        "sensor-clock periods"}},
      {"frame-rate",
       {[](kepra::Camera& c, Report& r) {
          r.Real("frame_rate", Run([&] { return c.FrameRate(); }).value);
        },
        [](const std::string& v) {
          if (v == "min") {
            return SettingFn([](kepra::Camera& c) { Run([&] { c.SetMinFrameRate(); }); });
          }
          if (v == "max") {
            return SettingFn([](kepra::Camera& c) { Run([&] { c.SetMaxFrameRate(); }); });
          }
          const double rate = ParseDouble(v, "frame-rate");
          return SettingFn([rate](kepra::Camera& c) {
            const auto [min, max] = Run([&] { return c.FrameRateRange(); });
            InLimits("frame-rate", rate, min.value, max.value, "frames per second");
            Run([&] { c.SetFrameRate({rate}); });
          });
        },
        "frames per second, or min / max"}},
      {"frame-time",
       {[](kepra::Camera& c, Report& r) {
          r.UInt("frame_time", Run([&] { return c.FrameTime(); }));
        },
        [](const std::string& v) {
          const std::uint32_t ft = ParseU32(v, "frame-time");
          return SettingFn([ft](kepra::Camera& c) {
            const auto [min, max] = Run([&] { return c.FrameTimeRange(); });
            InLimits("frame-time", ft, min, max, "line-length units");
            Run([&] { c.SetFrameTime(ft); });
          });
        },
        "line-length units"}},
      {"gain",
       {[](kepra::Camera& c, Report& r) {
          const kepra::Gain g = Run([&] { return c.Gain(); });
          r.Real("analog", g.analog);
          r.Real("digital", g.digital);
        },
        [](const std::string& v) {
          const auto f = SplitFields(v, 2, "gain (analog,digital)");
          const double a = ParseDouble(f[0], "analog gain");
          const double d = ParseDouble(f[1], "digital gain");
          InLimits("analog gain", a, kAnalogMin, kAnalogMax, "(factor)");
          InLimits("digital gain", d, kDigitalMin, kDigitalMax, "(factor)");
          return SettingFn([a, d](kepra::Camera& c) { Run([&] { c.SetGain({a, d}); }); });
        },
        "analog,digital"}},
      {"colour-gain",
       {[](kepra::Camera& c, Report& r) {
          const kepra::ColourGain g = Run([&] { return c.ColourGain(); });
          r.Real("gb", g.gb);
          r.Real("gr", g.gr);
          r.Real("b", g.b);
          r.Real("r", g.r);
        },
        [](const std::string& v) {
          const auto f = SplitFields(v, 4, "colour-gain (gb,gr,b,r)");
          const double gb = ParseDouble(f[0], "gb"), gr = ParseDouble(f[1], "gr");
          const double b = ParseDouble(f[2], "b"), red = ParseDouble(f[3], "r");
          for (const auto& [gain, name] :
               {std::pair{gb, "gb"}, std::pair{gr, "gr"}, std::pair{b, "b"}, std::pair{red, "r"}}) {
            InLimits(std::string("colour gain ") + name, gain, kColourMin, kColourMax, "(factor)");
          }
          return SettingFn([=](kepra::Camera& c) {
            Run([&] { c.SetColourGain({gb, gr, b, red}); });
          });
        },
        "gb,gr,b,r"}},
      {"readout-mode",
       {[](kepra::Camera& c, Report& r) {
          r.UInt("readout_mode", Run([&] { return c.ReadoutMode(); }));
        },
        [](const std::string& v) {
          const std::uint32_t mode = ParseU32(v, "readout-mode", 3);
          return SettingFn([mode](kepra::Camera& c) {
            // The library writes register 11 before it finds that the sensor variant has no
            // tuning for mode 3, so that case is refused before anything is written.
            const std::uint16_t variant =
                Run([&] { return c.ReadRegister(kSensorVariantRegister); });
            if (mode == 3 && variant == kVariantWithoutMode3) {
              Usage(
                  "readout mode 3 is not available on this camera's sensor (variant 0x0900); "
                  "use 0, 1 or 2. Nothing was changed");
            }
            char hint[96];
            std::snprintf(hint, sizeof hint,
                          "the sensor variant 0x%04X (register 127) has no known readout modes",
                          variant);
            Run([&] { c.SetReadoutMode(mode); }, hint);
          });
        },
        "0..3 (3 where the sensor has it)"}},
      {"hdr",
       {[](kepra::Camera& c, Report& r) { r.Bool("hdr", Run([&] { return c.Hdr(); })); },
        [](const std::string& v) {
          const bool on = ParseSwitch(v, "hdr");
          return SettingFn([on](kepra::Camera& c) { Run([&] { c.SetHdr(on); }); });
        },
        "on|off"}},
      {"strobe",
       {[](kepra::Camera& c, Report& r) {
          const kepra::Strobe s = Run([&] { return c.Strobe(); });
          r.UInt("mode", s.mode);
          r.UInt("off_delay", s.off_delay);
          r.UInt("on_delay", s.on_delay);
          r.Bool("inverted", s.inverted);
        },
        [](const std::string& v) {
          const auto f = SplitFields(v, 4, "strobe (mode,off,on,inverted)");
          const std::uint32_t mode = ParseU32(f[0], "strobe mode", 3);
          const std::uint8_t off = U8(f[1], "strobe off delay"), on = U8(f[2], "strobe on delay");
          const bool inverted = ParseSwitch(f[3], "strobe inverted");
          return SettingFn([=](kepra::Camera& c) {
            Run([&] { c.SetStrobe({mode, off, on, inverted}); });
          });
        },
        "mode,off,on,inverted"}},
      {"snapshot",
       {[](kepra::Camera& c, Report& r) {
          const kepra::Snapshot s = Run([&] { return c.Snapshot(); });
          r.UInt("timeout_ms", s.timeout_ms);
          r.Bool("inverted", s.inverted);
        },
        [](const std::string& v) {
          const auto f = SplitFields(v, 2, "snapshot (timeout,inverted)");
          const std::uint32_t timeout = ParseU32(f[0], "snapshot timeout", 0x7FFFFFFF);
          const bool inverted = ParseSwitch(f[1], "snapshot inverted");
          return SettingFn([=](kepra::Camera& c) {
            Run([&] { c.SetSnapshot({timeout, inverted}); });
          });
        },
        "timeout-ms,inverted"}},
      {"events",
       {[](kepra::Camera& c, Report& r) { r.UInt("events", Run([&] { return c.EventsState(); })); },
        [](const std::string& v) {
          const auto f = SplitFields(v, 2, "events (bits,mask)");
          const std::uint8_t bits = U8(f[0], "event bits"), mask = U8(f[1], "event mask");
          return SettingFn([=](kepra::Camera& c) { Run([&] { c.SetEventsState(bits, mask); }); });
        },
        "bits,mask"}},
      {"stream-mode",
       {[](kepra::Camera& c, Report& r) {
          r.UInt("stream_mode", Run([&] { return c.StreamMode(); }));
        },
        [](const std::string& v) {
          const std::uint32_t mode = ParseU32(v, "stream-mode");
          return SettingFn([mode](kepra::Camera& c) { Run([&] { c.SetStreamMode(mode); }); });
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
          return SettingFn([state](kepra::Camera& c) { Run([&] { c.SetFrontLed(state); }); });
        },
        "on|off|0..255, set only"}},
      {"clock",
       {[](kepra::Camera& c, Report& r) {
          r.UInt("clock_mhz", Run([&] { return c.Clock(); }).value);
        },
        [](const std::string& v) {
          const std::uint32_t mhz = ParseU32(v, "clock");
          InLimits("clock", mhz, 4, 114, "MHz");
          return SettingFn([mhz](kepra::Camera& c) { Run([&] { c.SetClock({mhz}); }); });
        },
        "MHz, 4..114"}},
      {"frame-params",
       {[](kepra::Camera& c, Report& r) {
          const kepra_FrameParams p = Run([&] { return c.FrameParams(); });
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
          return SettingFn([p](kepra::Camera& c) {
            CheckFrameParamRegion(c, p);
            Run([&] { c.SetFrameParams(p); });
          });
        },
        "x,y,width,height,depth,binx,biny,flags"}},
      {"bad-pixel-fix",
       {[](kepra::Camera& c, Report& r) {
          // Whether a list is loaded is not in the wrapper's FixBadPixels.
          std::uint8_t enabled = 0, has_list = 0;
          Check("kepra_GetFixBadPixels",
                [&] { return kepra_GetFixBadPixels(c.handle(), &enabled, &has_list); });
          r.Bool("enabled", enabled != 0);
          r.Bool("has_list", has_list != 0);
        },
        [](const std::string& v) {
          const bool on = ParseSwitch(v, "bad-pixel-fix");
          return SettingFn([on](kepra::Camera& c) { Run([&] { c.SetFixBadPixels(on); }); });
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

SettingFn SettingAction(const std::string& name, const std::string& value) {
  return Find(name).set(value);
}

int GetSetting(const Options& options, const std::string& name) {
  const Setting& setting = Find(name);
  if (!setting.get) Usage(name + " can only be set");
  Camera camera(options.device);
  Report report(options.json);
  setting.get(camera.cpp(), report);
  return kExitOk;
}

int SetSetting(const Options& options, const std::string& name, const std::string& value) {
  const Setting& setting = Find(name);
  const auto action = setting.set(value);
  Camera camera(options.device);
  kepra::Camera& c = camera.cpp();
  // Exposure, window and clock can change the frame rate; that is reported as a side effect.
  const bool watch_rate = name != "frame-rate" && name != "frame-time";
  double rate_before = 0;
  if (watch_rate) rate_before = Run([&] { return c.FrameRate(); }).value;
  action(c);
  double rate_after = rate_before;
  if (watch_rate) rate_after = Run([&] { return c.FrameRate(); }).value;
  // What the camera took (clamped, rounded) is printed back where it can be read.
  Report report(options.json);
  if (setting.get) setting.get(c, report);
  if (rate_after != rate_before) {
    report.Real("frame_rate", rate_after);
    report.Real("frame_rate_was", rate_before);
  }
  return kExitOk;
}

}  // namespace kepra_tool
