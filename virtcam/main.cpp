// kepra-virtcam: serves virtual cameras in a device directory until interrupted.
//
//   kepra-virtcam [--dir DIR] [--camera INDEX[:MODEL]]... [--debug] [--state DIR]
//                 [--driver-version MAJ.MIN.BUILD] [--fw-version A.B.C.D.E] [--nor-timing]
//                 [--unpaced] [--seed N] [--trigger-every MS]
//                 [--fail-every N] [--unplug-after-frames N [--replug-after MS]] [--stall MS]
//                 [--clone FILE] | --help | --version
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
// --unplug-after-frames N unplugs each camera after n frames (logged), --replug-after MS plugs
// it in again that long after, --stall MS delays every request.
// Exit status: 0 stopped by SIGINT/SIGTERM (or --help, --version), 1 a camera could not be
// served (another live daemon serves its index, say), 2 a bad command line.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "server.h"

#ifndef KEPRA_VERSION_STRING
#define KEPRA_VERSION_STRING "unknown"
#endif
#define KEPRA_MAX_INDEX 34

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

constexpr std::uint8_t kFirstModel = '4', kLastModel = '8';

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

void PrintUsage(std::FILE* out, const char* program) {
  std::fprintf(out,
               "usage: %s [--dir DIR] [--camera INDEX[:MODEL]]... [--debug] [--state DIR]\n"
               "          [--driver-version MAJ.MIN.BUILD] [--fw-version A.B.C.D.E] "
               "[--nor-timing]\n"
               "          [--unpaced] [--seed N] [--trigger-every MS]\n"
               "          [--fail-every N] [--unplug-after-frames N [--replug-after MS]]\n"
               "          [--stall MS] [--clone FILE] | --help | --version\n"
               "  DIR defaults to $KEPRA_DEVICE_DIR, $XDG_RUNTIME_DIR/kepra or /tmp/kepra-<uid>\n"
               "  INDEX is 0..34; MODEL one of 4 (A1 Mono), 5 (A1 Color), 6 (A1 IR), 7 (A2 Mono),\n"
               "    8 (A2 Color), or u (unflashed); default 4\n"
               "  --state DIR keeps each camera's flash and identity in DIR/cam<INDEX>\n"
               "  --unpaced delivers frames on demand instead of at the sensor's frame rate\n"
               "  SIGUSR1 or --trigger-every MS trigger the cameras in snapshot mode\n"
               "  --fail-every N: every n-th request fails with ERROR_GEN_FAILURE (31)\n"
               "  --unplug-after-frames N: each camera goes away after n frames\n"
               "  --replug-after MS: ...and comes back MS milliseconds later\n"
               "  --stall MS: every request is delayed\n"
               "  --clone FILE: every camera answers as the one 'kepra clone save FILE' recorded\n"
               "    (identity, versions, clock, frame parameters, registers, user flash)\n",
               program);
}

int Usage(const char* program, const std::string& problem) {
  std::fprintf(stderr, "kepra-virtcam: %s\n", problem.c_str());
  PrintUsage(stderr, program);
  return 2;
}

int Usage(const char* program) { return Usage(program, "bad command line"); }

// "INDEX" or "INDEX:MODEL"; false with the problem in `why`.
bool ParseCamera(const std::string& value, std::uint32_t& index, std::uint8_t& model,
                 std::string& why) {
  const std::size_t colon = value.find(':');
  unsigned long long number = 0;
  if (!ParseNumber(value.substr(0, colon).c_str(), KEPRA_MAX_INDEX, number)) {
    why = "--camera " + value + ": the index is not 0..34";
    return false;
  }
  index = static_cast<std::uint32_t>(number);
  model = kFirstModel;
  if (colon == std::string::npos) return true;
  const std::string code = value.substr(colon + 1);
  if (code == "u") {
    model = 0;  // no identity record: the camera is unflashed
    return true;
  }
  if (code.size() != 1 || code[0] < kFirstModel || code[0] > kLastModel) {
    why = "--camera " + value + ": '" + code +
          "' names no model; models: 4 (A1 Mono), 5 (A1 Color), 6 (A1 IR), 7 (A2 Mono), "
          "8 (A2 Color), u (unflashed)";
    return false;
  }
  model = static_cast<std::uint8_t>(code[0]);
  return true;
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

// A camera recorded by `kepra clone save`, served in its stead.
struct Clone {
  vcam::IdentData ident{};
  std::uint32_t driver_version = 0;
  vcam::FirmwareVersion firmware;
  std::uint32_t usb_speed = 0;
  std::uint32_t clock = 0;
  vcam::FrameParams frame_params{};
  std::uint32_t stream_mode = 0;
  std::uint8_t hdr = 0;
  std::vector<std::uint8_t> registers;   // 256 big-endian words
  std::vector<std::uint8_t> user_flash;  // from the start of the user area; the rest erased
};

// The user area of the flash (the library's KEPRA_USER_AREA_BASE and _SIZE).
constexpr std::uint32_t kUserAreaBase = 0x160000, kUserAreaSize = 0xA0000;

bool FromHex(const std::string& text, std::vector<std::uint8_t>& out) {
  if (text.size() % 2) return false;
  out.clear();
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const std::string pair = text.substr(i, 2);
    if (!std::isxdigit(static_cast<unsigned char>(pair[0])) ||
        !std::isxdigit(static_cast<unsigned char>(pair[1]))) {
      return false;
    }
    out.push_back(static_cast<std::uint8_t>(std::strtoul(pair.c_str(), nullptr, 16)));
  }
  return true;
}

bool LoadClone(const std::string& path, Clone& clone, std::string& why) {
  std::ifstream file(path);
  if (!file) {
    why = "cannot open " + path;
    return false;
  }
  std::map<std::string, std::string> values;
  for (std::string line; std::getline(file, line);) {
    const std::size_t colon = line.find(": ");
    if (colon != std::string::npos) values[line.substr(0, colon)] = line.substr(colon + 2);
  }
  const auto bad = [&](const std::string& key) {
    why = path + ": " + key + (values.count(key) ? " is not valid" : " is missing");
    return false;
  };
  if (values["format"] != "kepra clone 1") return bad("format");
  std::vector<std::uint8_t> bytes;
  if (!FromHex(values["ident"], bytes) || bytes.size() != clone.ident.size()) return bad("ident");
  std::copy(bytes.begin(), bytes.end(), clone.ident.begin());
  std::vector<unsigned long> numbers;
  if (!ParseDotted(values["firmware_version"], 5, 0xFFFF, numbers) || numbers[4] > 0xFF) {
    return bad("firmware_version");
  }
  clone.firmware = {static_cast<std::uint16_t>(numbers[0]), static_cast<std::uint16_t>(numbers[1]),
                    static_cast<std::uint16_t>(numbers[2]), static_cast<std::uint16_t>(numbers[3]),
                    static_cast<std::uint8_t>(numbers[4])};
  if (!ParseDotted(values["driver_version"], 3, 0xFFFF, numbers) || numbers[0] > 0x7F ||
      numbers[1] > 0xFF) {
    return bad("driver_version");
  }
  clone.driver_version =
      static_cast<std::uint32_t>(numbers[0] << 24 | numbers[1] << 16 | numbers[2]);
  unsigned long long number = 0;
  if (!ParseNumber(values["usb_speed"].c_str(), 3, number) || number == 0) return bad("usb_speed");
  clone.usb_speed = static_cast<std::uint32_t>(number);
  if (!ParseNumber(values["clock"].c_str(), 0xFFFF, number)) return bad("clock");
  clone.clock = static_cast<std::uint32_t>(number);
  if (!FromHex(values["frame_params"], bytes) || bytes.size() != clone.frame_params.size()) {
    return bad("frame_params");
  }
  std::copy(bytes.begin(), bytes.end(), clone.frame_params.begin());
  if (!ParseNumber(values["stream_mode"].c_str(), 0xFFFFFFFFu, number)) return bad("stream_mode");
  clone.stream_mode = static_cast<std::uint32_t>(number);
  if (!ParseNumber(values["hdr"].c_str(), 0xFF, number)) return bad("hdr");
  clone.hdr = static_cast<std::uint8_t>(number);
  if (!FromHex(values["registers"], clone.registers) || clone.registers.size() != 512) {
    return bad("registers");
  }
  if (!values.count("user_flash") || !FromHex(values["user_flash"], clone.user_flash) ||
      clone.user_flash.size() > kUserAreaSize) {
    return bad("user_flash");
  }
  return true;
}

// Everything the clone recorded that the configuration does not carry.
void ApplyClone(const Clone& clone, vcam::Camera& camera) {
  camera.SetIdent(clone.ident);
  camera.SetFrequency(clone.clock);
  vcam::DriverSettings settings = camera.Settings();
  settings.frame_params = clone.frame_params;
  settings.stream_mode = clone.stream_mode;
  settings.hdr = clone.hdr;
  camera.SetSettings(settings);
  for (std::uint16_t a = 0; a < 256; ++a) {
    camera.SetRegister(
        a, static_cast<std::uint16_t>(clone.registers[2 * a] << 8 | clone.registers[2 * a + 1]));
  }
  std::vector<std::uint8_t> area(kUserAreaSize, 0xFF);
  std::copy(clone.user_flash.begin(), clone.user_flash.end(), area.begin());
  camera.Flash().Poke(kUserAreaBase, area);
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
  unsigned long long number = 0, stall_ms = 0, trigger_ms = 0, replug_ms = 0;
  std::vector<unsigned long> numbers;
  std::optional<Clone> clone;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      PrintUsage(stdout, argv[0]);
      return 0;
    } else if (arg == "--version") {
      std::printf("kepra-virtcam %s\n", KEPRA_VERSION_STRING);
      return 0;
    } else if (arg == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (arg == "--camera" && i + 1 < argc) {
      CameraArg camera{0, {}};
      std::string why;
      if (!ParseCamera(argv[++i], camera.index, camera.config.model_code, why)) {
        return Usage(argv[0], why);
      }
      for (const CameraArg& other : cameras) {
        if (other.index == camera.index) {
          return Usage(argv[0], "camera " + std::to_string(camera.index) + " is given twice");
        }
      }
      cameras.push_back(camera);
    } else if (arg == "--clone" && i + 1 < argc) {
      clone.emplace();
      std::string why;
      if (!LoadClone(argv[++i], *clone, why)) return Usage(argv[0], why);
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
    } else if (arg == "--replug-after" && i + 1 < argc) {
      if (!ParseNumber(argv[++i], 3600000, replug_ms)) return Usage(argv[0]);
    } else if (arg == "--stall" && i + 1 < argc) {
      if (!ParseNumber(argv[++i], 600000, stall_ms)) return Usage(argv[0]);
    } else if (arg == "--trigger-every" && i + 1 < argc) {
      if (!ParseNumber(argv[++i], 3600000, trigger_ms) || trigger_ms == 0) return Usage(argv[0]);
    } else {
      return Usage(argv[0], "unknown or incomplete option '" + arg + "'");
    }
  }
  if (replug_ms && !common.unplug_after_frames) {
    return Usage(argv[0], "--replug-after needs --unplug-after-frames");
  }
  if (cameras.empty()) cameras.push_back({0, {}});
  for (CameraArg& camera : cameras) {
    const std::uint8_t model = camera.config.model_code;
    camera.config = common;
    camera.config.model_code = model;
    if (clone) {
      camera.config.model_code = clone->ident[2];
      camera.config.driver_version = clone->driver_version;
      camera.config.firmware_version = clone->firmware;
      camera.config.usb_speed = clone->usb_speed;
    }
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
    std::string why;
    try {
      served = server.Plug(camera.index, camera.config, &why);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "kepra-virtcam: camera %u: %s\n", camera.index, e.what());
      return 1;
    }
    if (!served) {
      std::fprintf(stderr, "kepra-virtcam: cannot serve camera %u: %s\n", camera.index,
                   why.c_str());
      return 1;
    }
    if (clone) ApplyClone(*clone, *served);
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
  // Cameras that went away (after their frames, or by a fault) and when they come back.
  using Clock = std::chrono::steady_clock;
  std::vector<std::optional<Clock::time_point>> back_at(served_cameras.size());
  const auto watch_plugs = [&] {
    for (std::size_t i = 0; i < served_cameras.size(); ++i) {
      vcam::Camera& camera = *served_cameras[i];
      if (!back_at[i] && camera.Unplugged()) {
        // Gone from discovery at once; the connections end at their next request, so the
        // reply to the last frame still goes out.
        unlink(server.SocketPath(camera.index()).c_str());
        std::printf("kepra-virtcam: camera %u unplugged after %llu frames%s\n", camera.index(),
                    static_cast<unsigned long long>(camera.FramesServed()),
                    replug_ms ? "" : "; it stays away");
        std::fflush(stdout);
        back_at[i] = replug_ms ? Clock::now() + std::chrono::milliseconds(replug_ms)
                               : Clock::time_point::max();
      } else if (back_at[i] && Clock::now() >= *back_at[i]) {
        server.Unplug(camera.index());  // old connections end: their handles are stale now
        camera.Replug();
        std::string why;
        if (server.Plug(served_cameras[i], &why)) {
          std::printf("kepra-virtcam: camera %u plugged in again\n", camera.index());
          back_at[i].reset();
        } else {
          std::printf("kepra-virtcam: camera %u cannot come back: %s\n", camera.index(),
                      why.c_str());
          back_at[i] = Clock::time_point::max();
        }
        std::fflush(stdout);
      }
    }
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
    watch_plugs();
  }
  std::printf("kepra-virtcam: stopping\n");
  return 0;
}
