// get and set: every setting the library has, by name.
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

const std::map<std::string, Setting>& Settings() {
  static const std::map<std::string, Setting> settings = {
      {"exposure-ms",
       {[](KEPRA_HANDLE h, Report& r) {
          double ms = 0;
          Check(kepra_GetExposureMs(h, &ms), "kepra_GetExposureMs");
          r.Real("exposure_ms", ms);
        },
        [](const std::string& v) {
          const double ms = ParseDouble(v, "exposure-ms");
          return std::function<void(KEPRA_HANDLE)>([ms](KEPRA_HANDLE h) {
            double now = 0;
            Check(kepra_SetExposureMs(h, ms, &now), "kepra_SetExposureMs");
          });
        },
        "milliseconds"}},
      {"exposure-lines",
       {[](KEPRA_HANDLE h, Report& r) {
          std::uint32_t lines = 0;
          Check(kepra_GetExposure(h, &lines), "kepra_GetExposure");
          r.UInt("exposure_lines", lines);
        },
        [](const std::string& v) {
          const std::uint32_t lines = ParseU32(v, "exposure-lines");
          return std::function<void(KEPRA_HANDLE)>(
              [lines](KEPRA_HANDLE h) { Check(kepra_SetExposure(h, lines), "kepra_SetExposure"); });
        },
        "lines"}},
      {"exposure-time",
       {[](KEPRA_HANDLE h, Report& r) {
          std::uint32_t periods = 0;
          Check(kepra_GetExposureTime(h, &periods), "kepra_GetExposureTime");
          r.UInt("exposure_time", periods);
        },
        [](const std::string& v) {
          const std::uint32_t periods = ParseU32(v, "exposure-time");
          return std::function<void(KEPRA_HANDLE)>([periods](KEPRA_HANDLE h) {
            Check(kepra_SetExposureTime(h, periods), "kepra_SetExposureTime");
          });
        },
        "sensor-clock periods"}},
      {"frame-rate",
       {[](KEPRA_HANDLE h, Report& r) {
          double rate = 0;
          Check(kepra_GetFrameRate(h, &rate), "kepra_GetFrameRate");
          r.Real("frame_rate", rate);
        },
        [](const std::string& v) {
          if (v == "min") {
            return std::function<void(KEPRA_HANDLE)>(
                [](KEPRA_HANDLE h) { Check(kepra_SetMinFrameRate(h), "kepra_SetMinFrameRate"); });
          }
          if (v == "max") {
            return std::function<void(KEPRA_HANDLE)>(
                [](KEPRA_HANDLE h) { Check(kepra_SetMaxFrameRate(h), "kepra_SetMaxFrameRate"); });
          }
          const double rate = ParseDouble(v, "frame-rate");
          return std::function<void(KEPRA_HANDLE)>([rate](KEPRA_HANDLE h) {
            double now = 0;
            Check(kepra_SetFrameRate(h, rate, &now), "kepra_SetFrameRate");
          });
        },
        "frames per second, or min / max"}},
      {"frame-time",
       {[](KEPRA_HANDLE h, Report& r) {
          std::uint32_t ft = 0;
          Check(kepra_GetFrameTime(h, &ft), "kepra_GetFrameTime");
          r.UInt("frame_time", ft);
        },
        [](const std::string& v) {
          const std::uint32_t ft = ParseU32(v, "frame-time");
          return std::function<void(KEPRA_HANDLE)>(
              [ft](KEPRA_HANDLE h) { Check(kepra_SetFrameTime(h, ft), "kepra_SetFrameTime"); });
        },
        "line-length units"}},
      {"gain",
       {[](KEPRA_HANDLE h, Report& r) {
          double a = 0, d = 0;
          Check(kepra_GetGain(h, &a, &d), "kepra_GetGain");
          r.Real("analog", a);
          r.Real("digital", d);
        },
        [](const std::string& v) {
          const auto f = SplitFields(v, 2, "gain (analog,digital)");
          const double a = ParseDouble(f[0], "analog gain");
          const double d = ParseDouble(f[1], "digital gain");
          return std::function<void(KEPRA_HANDLE)>(
              [a, d](KEPRA_HANDLE h) { Check(kepra_SetGain(h, a, d), "kepra_SetGain"); });
        },
        "analog,digital"}},
      {"colour-gain",
       {[](KEPRA_HANDLE h, Report& r) {
          double gb = 0, gr = 0, b = 0, red = 0;
          Check(kepra_GetGainC(h, &gb, &gr, &b, &red), "kepra_GetGainC");
          r.Real("gb", gb);
          r.Real("gr", gr);
          r.Real("b", b);
          r.Real("r", red);
        },
        [](const std::string& v) {
          const auto f = SplitFields(v, 4, "colour-gain (gb,gr,b,r)");
          const double gb = ParseDouble(f[0], "gb"), gr = ParseDouble(f[1], "gr");
          const double b = ParseDouble(f[2], "b"), red = ParseDouble(f[3], "r");
          return std::function<void(KEPRA_HANDLE)>(
              [=](KEPRA_HANDLE h) { Check(kepra_SetGainC(h, gb, gr, b, red), "kepra_SetGainC"); });
        },
        "gb,gr,b,r"}},
      {"readout-mode",
       {[](KEPRA_HANDLE h, Report& r) {
          std::uint32_t mode = 0;
          Check(kepra_GetReadoutMode(h, &mode), "kepra_GetReadoutMode");
          r.UInt("readout_mode", mode);
        },
        [](const std::string& v) {
          const std::uint32_t mode = ParseU32(v, "readout-mode", 3);
          return std::function<void(KEPRA_HANDLE)>([mode](KEPRA_HANDLE h) {
            Check(kepra_SetReadoutMode(h, mode), "kepra_SetReadoutMode");
          });
        },
        "0..3"}},
      {"hdr",
       {[](KEPRA_HANDLE h, Report& r) {
          std::uint8_t hdr = 0;
          Check(kepra_GetHDR(h, &hdr), "kepra_GetHDR");
          r.Bool("hdr", hdr != 0);
        },
        [](const std::string& v) {
          const bool on = ParseSwitch(v, "hdr");
          return std::function<void(KEPRA_HANDLE)>(
              [on](KEPRA_HANDLE h) { Check(kepra_SetHDR(h, on ? 1 : 0), "kepra_SetHDR"); });
        },
        "on|off"}},
      {"strobe",
       {[](KEPRA_HANDLE h, Report& r) {
          std::uint32_t mode = 0;
          std::uint8_t off = 0, on = 0, inverted = 0;
          Check(kepra_GetStrobeParams(h, &mode, &off, &on, &inverted), "kepra_GetStrobeParams");
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
            Check(kepra_SetStrobeParams(h, mode, off, on, inverted ? 1 : 0),
                  "kepra_SetStrobeParams");
          });
        },
        "mode,off,on,inverted"}},
      {"snapshot",
       {[](KEPRA_HANDLE h, Report& r) {
          std::uint32_t timeout = 0;
          std::uint8_t inverted = 0;
          Check(kepra_GetSnapshotParams(h, &timeout, &inverted), "kepra_GetSnapshotParams");
          r.UInt("timeout_ms", timeout);
          r.Bool("inverted", inverted != 0);
        },
        [](const std::string& v) {
          const auto f = SplitFields(v, 2, "snapshot (timeout,inverted)");
          const std::uint32_t timeout = ParseU32(f[0], "snapshot timeout", 0x7FFFFFFF);
          const bool inverted = ParseSwitch(f[1], "snapshot inverted");
          return std::function<void(KEPRA_HANDLE)>([=](KEPRA_HANDLE h) {
            Check(kepra_SetSnapshotParams(h, timeout, inverted ? 1 : 0), "kepra_SetSnapshotParams");
          });
        },
        "timeout-ms,inverted"}},
      {"events",
       {[](KEPRA_HANDLE h, Report& r) {
          std::uint8_t bits = 0;
          Check(kepra_GetEventsState(h, &bits), "kepra_GetEventsState");
          r.UInt("events", bits);
        },
        [](const std::string& v) {
          const auto f = SplitFields(v, 2, "events (bits,mask)");
          const std::uint8_t bits = U8(f[0], "event bits"), mask = U8(f[1], "event mask");
          return std::function<void(KEPRA_HANDLE)>([=](KEPRA_HANDLE h) {
            Check(kepra_SetEventsState(h, bits, mask), "kepra_SetEventsState");
          });
        },
        "bits,mask"}},
      {"stream-mode",
       {[](KEPRA_HANDLE h, Report& r) {
          std::uint32_t mode = 0;
          Check(kepra_GetStreamMode(h, &mode), "kepra_GetStreamMode");
          r.UInt("stream_mode", mode);
        },
        [](const std::string& v) {
          const std::uint32_t mode = ParseU32(v, "stream-mode");
          return std::function<void(KEPRA_HANDLE)>([mode](KEPRA_HANDLE h) {
            Check(kepra_SetStreamMode(h, mode), "kepra_SetStreamMode");
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
            Check(kepra_SwitchFrontLED(h, state), "kepra_SwitchFrontLED");
          });
        },
        "on|off|0..255, set only"}},
      {"clock",
       {[](KEPRA_HANDLE h, Report& r) {
          std::uint32_t mhz = 0;
          Check(kepra_GetFrequency(h, &mhz), "kepra_GetFrequency");
          r.UInt("clock_mhz", mhz);
        },
        [](const std::string& v) {
          const std::uint32_t mhz = ParseU32(v, "clock");
          return std::function<void(KEPRA_HANDLE)>(
              [mhz](KEPRA_HANDLE h) { Check(kepra_SetFrequency(h, mhz), "kepra_SetFrequency"); });
        },
        "MHz, 4..114"}},
      {"frame-params",
       {[](KEPRA_HANDLE h, Report& r) {
          kepra_FrameParams p{};
          Check(kepra_GetFrameParams(h, &p), "kepra_GetFrameParams");
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
          return std::function<void(KEPRA_HANDLE)>(
              [p](KEPRA_HANDLE h) { Check(kepra_SetFrameParams(h, &p), "kepra_SetFrameParams"); });
        },
        "x,y,width,height,depth,binx,biny,flags"}},
      {"bad-pixel-fix",
       {[](KEPRA_HANDLE h, Report& r) {
          std::uint8_t enabled = 0, has_list = 0;
          Check(kepra_GetFixBadPixels(h, &enabled, &has_list), "kepra_GetFixBadPixels");
          r.Bool("enabled", enabled != 0);
          r.Bool("has_list", has_list != 0);
        },
        [](const std::string& v) {
          const bool on = ParseSwitch(v, "bad-pixel-fix");
          return std::function<void(KEPRA_HANDLE)>([on](KEPRA_HANDLE h) {
            Check(kepra_SetFixBadPixels(h, on ? 1 : 0, nullptr), "kepra_SetFixBadPixels");
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
  action(camera.h());
  // What the camera took (clamped, rounded) is printed back where it can be read.
  if (setting.get) {
    Report report(options.json);
    setting.get(camera.h(), report);
  }
  return kExitOk;
}

}  // namespace kepra_tool
