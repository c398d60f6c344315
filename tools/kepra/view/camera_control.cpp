#include "camera_control.h"

#include <cstring>
#include <vector>

#include "../tool.h"

namespace kepra_view {

namespace {

std::string Call(std::uint32_t ok, const char* what) {
  return ok ? std::string()
            : std::string(what) + " failed: last error " + ErrorText(kepra_GetLastError());
}

std::string Array(std::initializer_list<double> values) {
  std::string out = "[";
  for (const double v : values) {
    if (out.size() > 1) out += ',';
    out += JsonNumber(v);
  }
  return out + "]";
}

}  // namespace

std::string ErrorText(std::uint32_t code) { return kepra_tool::DescribeError(code); }

std::string DescribeCamera(KEPRA_HANDLE h, std::uint32_t index) {
  JsonObject o;
  std::vector<std::string> errors;
  auto read = [&errors](std::uint32_t ok, const char* what) {
    if (!ok) errors.push_back(Call(0, what));
    return ok != 0;
  };
  o.Str("type", "state").Num("index", index).Bool("connected", true);

  kepra_CameraInfo info{};
  if (read(kepra_GetCameraInfo(h, &info), "kepra_GetCameraInfo")) {
    o.Str("model", std::string(info.ModelName, strnlen(info.ModelName, sizeof info.ModelName)));
    o.Num("sensor_width", info.Width).Num("sensor_height", info.Height);
    o.Bool("colour", info.Color != 0);
  }
  double ms = 0, ms_min = 0, ms_max = 0;
  if (read(kepra_GetExposureMs(h, &ms), "kepra_GetExposureMs") &&
      read(kepra_GetExposureMinMaxMs(h, &ms_min, &ms_max), "kepra_GetExposureMinMaxMs")) {
    o.Add("exposure_ms",
          JsonObject().Num("value", ms).Num("min", ms_min).Num("max", ms_max).Build());
  }
  double rate = 0, rate_min = 0, rate_max = 0;
  if (read(kepra_GetFrameRate(h, &rate), "kepra_GetFrameRate") &&
      read(kepra_GetFrameRateMinMax(h, &rate_min, &rate_max), "kepra_GetFrameRateMinMax")) {
    o.Add("frame_rate",
          JsonObject().Num("value", rate).Num("min", rate_min).Num("max", rate_max).Build());
  }
  double analog = 0, digital = 0;
  if (read(kepra_GetGain(h, &analog, &digital), "kepra_GetGain")) {
    // The sensor's documented gain steps and range.
    o.Add("gain", JsonObject()
                      .Add("value", Array({analog, digital}))
                      .Add("analog_steps", Array({1, 1.5, 2, 3, 4, 6, 8}))
                      .Add("digital_range", Array({1, 15.875}))
                      .Build());
  }
  double gb = 0, gr = 0, b = 0, r = 0;
  if (read(kepra_GetGainC(h, &gb, &gr, &b, &r), "kepra_GetGainC")) {
    o.Add("colour_gain", JsonObject()
                             .Add("value", Array({gb, gr, b, r}))
                             .Add("range", Array({0.25, 3.96875}))
                             .Build());
  }
  kepra_FrameParams p{};
  if (read(kepra_GetFrameParams(h, &p), "kepra_GetFrameParams")) {
    o.Add("frame_params",
          JsonObject()
              .Add("value",
                   Array({double(p.X), double(p.Y), double(p.Width), double(p.Height),
                          double(p.BitDepth), double(p.BinX), double(p.BinY), double(p.Flags)}))
              .Add("bit_depths", "[8,10,12]")
              .Add("binning", "[1,2,4]")
              .Build());
  }
  std::uint32_t mode = 0;
  if (read(kepra_GetReadoutMode(h, &mode), "kepra_GetReadoutMode")) o.Num("readout_mode", mode);
  std::uint8_t hdr = 0;
  if (read(kepra_GetHDR(h, &hdr), "kepra_GetHDR")) o.Bool("hdr", hdr != 0);
  std::uint32_t strobe_mode = 0;
  std::uint8_t off = 0, on = 0, inverted = 0;
  if (read(kepra_GetStrobeParams(h, &strobe_mode, &off, &on, &inverted), "kepra_GetStrobeParams")) {
    o.Add("strobe", Array({double(strobe_mode), double(off), double(on), double(inverted != 0)}));
  }
  std::uint32_t stream_mode = 0;
  if (read(kepra_GetStreamMode(h, &stream_mode), "kepra_GetStreamMode")) {
    o.Num("stream_mode", stream_mode);
  }
  std::uint32_t timeout = 0;
  std::uint8_t snap_inverted = 0;
  if (read(kepra_GetSnapshotParams(h, &timeout, &snap_inverted), "kepra_GetSnapshotParams")) {
    o.Add("snapshot", Array({double(timeout), double(snap_inverted != 0)}));
  }
  std::uint32_t speed = 0, detail = 0;
  if (read(kepra_GetUsbSpeed(h, &speed, &detail), "kepra_GetUsbSpeed")) {
    const char* names[] = {"unknown", "full speed", "high speed", "SuperSpeed"};
    o.Str("link", speed <= 3 ? names[speed] : names[0]);
  }
  std::uint32_t clock = 0;
  if (read(kepra_GetFrequency(h, &clock), "kepra_GetFrequency")) o.Num("clock_mhz", clock);
  std::string list = "[";
  for (const auto& e : errors) {
    if (list.size() > 1) list += ',';
    list += JsonString(e);
  }
  o.Add("errors", list + "]");
  return o.Build();
}

std::string ApplySetting(KEPRA_HANDLE h, const Request& request) {
  const auto& v = request.values;
  auto u8 = [](double x) { return static_cast<std::uint8_t>(x); };
  auto u16 = [](double x) { return static_cast<std::uint16_t>(x); };
  switch (request.setting) {
    case Setting::kExposureMs: {
      double now = 0;
      return Call(kepra_SetExposureMs(h, v[0], &now), "kepra_SetExposureMs");
    }
    case Setting::kFrameRate: {
      double now = 0;
      return Call(kepra_SetFrameRate(h, v[0], &now), "kepra_SetFrameRate");
    }
    case Setting::kGain:
      return Call(kepra_SetGain(h, v[0], v[1]), "kepra_SetGain");
    case Setting::kColourGain:
      return Call(kepra_SetGainC(h, v[0], v[1], v[2], v[3]), "kepra_SetGainC");
    case Setting::kFrameParams: {
      kepra_FrameParams p{};
      p.X = u16(v[0]);
      p.Y = u16(v[1]);
      p.Width = u16(v[2]);
      p.Height = u16(v[3]);
      p.BitDepth = u16(v[4]);
      p.BinX = u16(v[5]);
      p.BinY = u16(v[6]);
      p.Flags = u16(v[7]);
      return Call(kepra_SetFrameParams(h, &p), "kepra_SetFrameParams");
    }
    case Setting::kReadoutMode:
      return Call(kepra_SetReadoutMode(h, static_cast<std::uint32_t>(v[0])),
                  "kepra_SetReadoutMode");
    case Setting::kHdr:
      return Call(kepra_SetHDR(h, u8(v[0])), "kepra_SetHDR");
    case Setting::kStrobe:
      return Call(
          kepra_SetStrobeParams(h, static_cast<std::uint32_t>(v[0]), u8(v[1]), u8(v[2]), u8(v[3])),
          "kepra_SetStrobeParams");
    case Setting::kStreamMode:
      return Call(kepra_SetStreamMode(h, static_cast<std::uint32_t>(v[0])), "kepra_SetStreamMode");
    case Setting::kSnapshot:
      return Call(kepra_SetSnapshotParams(h, static_cast<std::uint32_t>(v[0]), u8(v[1])),
                  "kepra_SetSnapshotParams");
  }
  return "unknown setting";
}

}  // namespace kepra_view
