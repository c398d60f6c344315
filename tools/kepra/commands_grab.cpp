// grab: frames into PNG files, with the achieved rate and, for Ex frames, the dropped count.
#include <chrono>
#include <cstdio>
#include <vector>

#include "frame_math.h"
#include "png_writer.h"
#include "tool.h"

namespace kepra_tool {

int Grab(const Options& options, const GrabOptions& grab) {
  if (grab.depth != 8 && grab.depth != 16) Usage("--depth is 8 or 16");
  if (!FramePath(grab.pattern, 0)) {
    Usage("output pattern '" + grab.pattern + "' may hold one %d or %0Nd and %% only");
  }
  Camera camera(options.device);
  const KEPRA_HANDLE h = camera.h();

  kepra_FrameParams params{};
  Check(kepra_GetFrameParams(h, &params), "kepra_GetFrameParams");
  const auto geometry = FrameGeometry(params.Width, params.Height, params.BinX, params.BinY);
  if (!geometry) {
    throw ToolError(kExitFailed, "the camera's frame parameters describe no image (" +
                                     std::to_string(params.Width) + "x" +
                                     std::to_string(params.Height) + " binned " +
                                     std::to_string(params.BinX) + "x" +
                                     std::to_string(params.BinY) + ")");
  }
  const std::uint32_t width = geometry->width, height = geometry->height;
  const std::size_t samples = static_cast<std::size_t>(width) * height;
  const std::size_t sample_bytes = grab.depth == 16 ? 2 : 1;
  const std::size_t header = grab.ex ? kFrameInfoSize : 0;
  const std::size_t length = header + samples * sample_bytes;
  std::vector<std::uint8_t> buffer(length);
  std::vector<std::uint8_t> png(samples * sample_bytes);

  using Clock = std::chrono::steady_clock;
  Clock::time_point first{}, last{};
  std::uint64_t dropped = 0, out_of_order = 0;
  std::uint32_t previous_counter = 0;
  std::vector<std::string> paths;
  for (std::uint32_t n = 0; n < grab.count; ++n) {
    std::uint32_t ok = 0;
    const char* operation = nullptr;
    const auto size = static_cast<std::uint32_t>(length);
    if (grab.ex) {
      operation = grab.depth == 16 ? "kepra_GetFrameEx16" : "kepra_GetFrameEx8";
      ok = grab.depth == 16 ? kepra_GetFrameEx16(h, buffer.data(), size)
                            : kepra_GetFrameEx8(h, buffer.data(), size);
    } else {
      operation = grab.depth == 16 ? "kepra_GetFrame16" : "kepra_GetFrame8";
      ok = grab.depth == 16 ? kepra_GetFrame16(h, buffer.data(), size)
                            : kepra_GetFrame8(h, buffer.data(), size);
    }
    if (!ok) Failed(std::string(operation) + " (frame " + std::to_string(n) + ")");
    last = Clock::now();
    if (n == 0) first = last;
    if (grab.ex) {
      const std::uint32_t counter =
          static_cast<std::uint32_t>(buffer[0]) | static_cast<std::uint32_t>(buffer[1]) << 8 |
          static_cast<std::uint32_t>(buffer[2]) << 16 | static_cast<std::uint32_t>(buffer[3]) << 24;
      if (n > 0) {
        dropped += DroppedBetween(previous_counter, counter);
        if (static_cast<std::int32_t>(counter - previous_counter) <= 0) ++out_of_order;
      }
      previous_counter = counter;
    }
    const std::uint8_t* pixels = buffer.data() + header;
    if (grab.depth == 16) {
      // Little-endian samples of BitDepth bits become big-endian full-range PNG samples.
      for (std::size_t i = 0; i < samples; ++i) {
        const auto value = static_cast<std::uint16_t>(pixels[2 * i] | pixels[2 * i + 1] << 8);
        const std::uint16_t scaled = ScaleTo16(value, params.BitDepth);
        png[2 * i] = static_cast<std::uint8_t>(scaled >> 8);
        png[2 * i + 1] = static_cast<std::uint8_t>(scaled);
      }
    } else {
      png.assign(pixels, pixels + samples);
    }
    const std::string path = *FramePath(grab.pattern, n);
    const std::string error = WriteGrayPng(path, width, height, grab.depth, png.data());
    if (!error.empty()) {
      throw ToolError(kExitFailed, "writing frame " + std::to_string(n) + " failed: " + error);
    }
    paths.push_back(path);
  }

  const double seconds = std::chrono::duration<double>(last - first).count();
  // Rate between the first and the last frame's arrival (writing the files included).
  const double rate = grab.count > 1 && seconds > 0 ? (grab.count - 1) / seconds : 0.0;
  Report report(options.json);
  report.UInt("frames", grab.count);
  report.UInt("width", width);
  report.UInt("height", height);
  report.UInt("depth", grab.depth);
  report.UInt("sensor_bits", params.BitDepth);
  report.Real("seconds", seconds);
  report.Real("frame_rate", rate);
  if (grab.ex) {
    report.UInt("dropped", dropped);
    report.UInt("out_of_order", out_of_order);
  }
  report.Str("first_file", paths.front());
  report.Str("last_file", paths.back());
  return kExitOk;
}

}  // namespace kepra_tool
