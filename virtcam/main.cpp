// kepra-virtcam: serves virtual cameras in a device directory until interrupted.
//
//   kepra-virtcam [--dir DIR] [--camera INDEX[:MODEL]]... [--debug] [--state DIR]
//                 [--driver-version MAJ.MIN.BUILD] [--fw-version A.B.C.D.E] [--nor-timing]
//                 [--unpaced] [--seed N] [--trigger-every MS]
//                 [--fail-every N] [--unplug-after-frames N] [--stall MS]
//
// MODEL is the identity model code character ('4'..'8'; anything else is unflashed).
// --debug prints the library's debug lines as applications write them.
// --state keeps each camera's flash and identity record in DIR/cam<INDEX>, so that they
// survive a restart; a record kept there wins over MODEL.
// --driver-version and --fw-version set what every camera reports (defaults 0.1.96 and
// 1.0.1.6.0); --nor-timing makes flash programs and erases take the chip's typical time.
// Frames come at the sensor's frame rate unless --unpaced (then as fast as asked); --seed
// picks the scene. In snapshot mode a frame waits for a trigger: SIGUSR1 triggers every
// camera, --trigger-every MS does so periodically.
// Fault injection: --fail-every N fails every n-th request with ERROR_GEN_FAILURE,
// --unplug-after-frames N unplugs each camera after n frames, --stall MS delays every request.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server.h"

namespace {

volatile sig_atomic_t g_stop = 0;
volatile sig_atomic_t g_trigger = 0;
void OnSignal(int) { g_stop = 1; }
void OnTrigger(int) { g_trigger = 1; }

const char* ModelName(std::uint8_t code) {
  switch (code) {
    case '4':
      return "KEPRA-A1 Mono";
    case '5':
      return "KEPRA-A1 Color";
    case '6':
      return "KEPRA-A1 IR";
    case '7':
      return "KEPRA-A2 Mono";
    case '8':
      return "KEPRA-A2 Color";
    default:
      return "KEPRA-Axx unflashed";
  }
}

// A whole decimal number, at most `max`.
bool ParseNumber(const char* text, unsigned long long max, unsigned long long& value) {
  if (*text < '0' || *text > '9') return false;
  char* end = nullptr;
  value = std::strtoull(text, &end, 10);
  return *end == '\0' && value <= max;
}

std::string DefaultDeviceDir() {
  if (const char* dir = std::getenv("KEPRA_DEVICE_DIR"); dir && *dir) return dir;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
    return std::string(runtime) + "/kepra";
  }
  return "/tmp/kepra-" + std::to_string(getuid());
}

int Usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s [--dir DIR] [--camera INDEX[:MODEL]]... [--debug] [--state DIR]\n"
               "          [--driver-version MAJ.MIN.BUILD] [--fw-version A.B.C.D.E] "
               "[--nor-timing]\n"
               "          [--unpaced] [--seed N] [--trigger-every MS]\n"
               "          [--fail-every N] [--unplug-after-frames N] [--stall MS]\n"
               "  DIR defaults to $KEPRA_DEVICE_DIR, $XDG_RUNTIME_DIR/kepra or /tmp/kepra-<uid>\n"
               "  INDEX is 0..34; MODEL a model code character such as 4 (mono) or 5 (colour)\n"
               "  --state DIR keeps each camera's flash and identity in DIR/cam<INDEX>\n"
               "  --unpaced delivers frames on demand instead of at the sensor's frame rate\n"
               "  SIGUSR1 or --trigger-every MS trigger the cameras in snapshot mode\n"
               "  --fail-every N: every n-th request fails with ERROR_GEN_FAILURE (31)\n"
               "  --unplug-after-frames N: each camera goes away after n frames\n"
               "  --stall MS: every request is delayed\n",
               program);
  return 2;
}

// Parses "N.N.N..." into exactly `count` numbers, each at most `max`.
bool ParseDotted(const std::string& text, std::size_t count, unsigned long max,
                 std::vector<unsigned long>& numbers) {
  numbers.clear();
  const char* p = text.c_str();
  for (std::size_t i = 0; i < count; ++i) {
    char* end = nullptr;
    if (*p < '0' || *p > '9') return false;
    const unsigned long value = std::strtoul(p, &end, 10);
    if (value > max) return false;
    numbers.push_back(value);
    if (i + 1 < count && *end != '.') return false;
    p = end + (i + 1 < count ? 1 : 0);
  }
  return *p == '\0';
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = DefaultDeviceDir();
  bool debug = false;
  struct CameraArg {
    std::uint32_t index;
    vcam::CameraConfig config;
  };
  std::vector<CameraArg> cameras;
  vcam::CameraConfig common;  // what every camera gets besides its index and model
  common.paced = true;
  std::string state_dir;
  unsigned long long number = 0, stall_ms = 0, trigger_ms = 0;
  std::vector<unsigned long> numbers;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (arg == "--camera" && i + 1 < argc) {
      const std::string value = argv[++i];
      char* end = nullptr;
      const unsigned long index = std::strtoul(value.c_str(), &end, 10);
      if (end == value.c_str() || index > 34) return Usage(argv[0]);
      CameraArg camera{static_cast<std::uint32_t>(index), {}};
      if (*end == ':' && end[1]) camera.config.model_code = static_cast<std::uint8_t>(end[1]);
      cameras.push_back(camera);
    } else if (arg == "--debug") {
      debug = true;
    } else if (arg == "--state" && i + 1 < argc) {
      state_dir = argv[++i];
    } else if (arg == "--driver-version" && i + 1 < argc) {
      if (!ParseDotted(argv[++i], 3, 0xFFFF, numbers) || numbers[0] > 0x7F || numbers[1] > 0xFF) {
        return Usage(argv[0]);
      }
      common.driver_version =
          static_cast<std::uint32_t>(numbers[0] << 24 | numbers[1] << 16 | numbers[2]);
    } else if (arg == "--fw-version" && i + 1 < argc) {
      if (!ParseDotted(argv[++i], 5, 0xFFFF, numbers) || numbers[4] > 0xFF) return Usage(argv[0]);
      common.firmware_version = {
          static_cast<std::uint16_t>(numbers[0]), static_cast<std::uint16_t>(numbers[1]),
          static_cast<std::uint16_t>(numbers[2]), static_cast<std::uint16_t>(numbers[3]),
          static_cast<std::uint8_t>(numbers[4])};
    } else if (arg == "--nor-timing") {
      common.nor_timing = true;
    } else if (arg == "--unpaced") {
      common.paced = false;
    } else if (arg == "--seed" && i + 1 < argc) {
      if (!ParseNumber(argv[++i], 0xFFFFFFFFu, number)) return Usage(argv[0]);
      common.seed = static_cast<std::uint32_t>(number);
    } else if (arg == "--fail-every" && i + 1 < argc) {
      if (!ParseNumber(argv[++i], 0xFFFFFFFFu, number) || number == 0) return Usage(argv[0]);
      common.fail_every = static_cast<std::uint32_t>(number);
    } else if (arg == "--unplug-after-frames" && i + 1 < argc) {
      if (!ParseNumber(argv[++i], ~0ull, number) || number == 0) return Usage(argv[0]);
      common.unplug_after_frames = number;
    } else if (arg == "--stall" && i + 1 < argc) {
      if (!ParseNumber(argv[++i], 600000, stall_ms)) return Usage(argv[0]);
    } else if (arg == "--trigger-every" && i + 1 < argc) {
      if (!ParseNumber(argv[++i], 3600000, trigger_ms) || trigger_ms == 0) return Usage(argv[0]);
    } else {
      return Usage(argv[0]);
    }
  }
  if (cameras.empty()) cameras.push_back({0, {}});
  for (CameraArg& camera : cameras) {
    const std::uint8_t model = camera.config.model_code;
    camera.config = common;
    camera.config.model_code = model;
    if (!state_dir.empty()) {
      camera.config.state_dir = state_dir + "/cam" + std::to_string(camera.index);
    }
  }

  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
  signal(SIGPIPE, SIG_IGN);
  signal(SIGUSR1, OnTrigger);

  vcam::Server server(dir);
  std::unique_ptr<vcam::DebugListener> listener;
  if (debug) listener = std::make_unique<vcam::DebugListener>(dir, true);
  std::vector<std::shared_ptr<vcam::Camera>> served_cameras;
  for (const CameraArg& camera : cameras) {
    std::shared_ptr<vcam::Camera> served;
    try {
      served = server.Plug(camera.index, camera.config);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "kepra-virtcam: camera %u: %s\n", camera.index, e.what());
      return 1;
    }
    if (!served) {
      std::fprintf(stderr, "kepra-virtcam: cannot serve camera %u in %s\n", camera.index,
                   dir.c_str());
      return 1;
    }
    if (stall_ms) {
      vcam::Fault stall;
      stall.action = vcam::Fault::Action::kStall;
      stall.stall_ms = static_cast<std::uint32_t>(stall_ms);
      stall.times = -1;
      served->AddFault(stall);
    }
    served_cameras.push_back(served);
    const vcam::IdentData ident = served->Ident();
    std::printf("kepra-virtcam: camera %u: %s (model code 0x%02X), %ux%u, %s, %s, at %s\n",
                camera.index, ModelName(ident[2]), ident[2], served->SensorWidth(),
                served->SensorHeight(), camera.config.paced ? "paced" : "unpaced",
                served->Booted() ? "firmware running" : "in the boot loader (no valid firmware)",
                server.SocketPath(camera.index).c_str());
  }
  std::fflush(stdout);
  const auto trigger_all = [&] {
    for (const auto& camera : served_cameras) camera->Trigger();
  };
  auto next_trigger = std::chrono::steady_clock::now() + std::chrono::milliseconds(trigger_ms);
  while (!g_stop) {
    std::this_thread::sleep_for(
        std::chrono::milliseconds(trigger_ms ? std::min<unsigned long long>(trigger_ms, 10) : 10));
    if (g_trigger) {
      g_trigger = 0;
      trigger_all();
    }
    if (trigger_ms && std::chrono::steady_clock::now() >= next_trigger) {
      next_trigger += std::chrono::milliseconds(trigger_ms);
      trigger_all();
    }
  }
  std::printf("kepra-virtcam: stopping\n");
  return 0;
}
