// A stream with the C++ layer: frames from camera 0 on the library's grab thread, taken in a
// range-for loop; each frame's buffer goes back to the pool when its step ends.
//
//   stream [device-index] [frames]
#include <cstdio>
#include <cstdlib>
#include <kepra/kepra.hpp>

int main(int argc, char** argv) {
  const auto index = static_cast<std::uint32_t>(argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 0);
  const auto count = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 100;
  try {
    kepra::Camera camera(index);
    camera.SetExposure(kepra::Milliseconds(5));
    const kepra::FrameFormat format = camera.Format();
    std::printf("%u x %u, %u bits\n", format.width, format.height, format.bit_depth);

    kepra::Stream stream(camera, {16, 8, kepra::Strategy::kOldestFirst, true});
    for (const kepra::StreamFrame& frame : stream.Take(count)) {
      double sum = 0;
      for (const std::uint16_t v : frame.Samples16()) sum += v;
      std::printf("frame %llu (counter %u): mean %.1f\n",
                  static_cast<unsigned long long>(frame.sequence()), frame.counter(),
                  sum / static_cast<double>(frame.Samples16().size()));
    }
    const kepra::StreamStats stats = stream.Stats();
    std::printf("received %llu, skipped %llu, dropped %llu\n",
                static_cast<unsigned long long>(stats.received),
                static_cast<unsigned long long>(stats.skipped),
                static_cast<unsigned long long>(stats.dropped));
  } catch (const kepra::Error& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
