// kepra-virtcam: serves virtual cameras in a device directory until interrupted.
//
//   kepra-virtcam [--dir DIR] [--camera INDEX[:MODEL]]... [--debug]
//
// MODEL is the identity model code character ('4'..'8'; anything else is unflashed).
// --debug prints the library's debug lines as applications write them.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "server.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

std::string DefaultDeviceDir() {
  if (const char* dir = std::getenv("KEPRA_DEVICE_DIR"); dir && *dir) return dir;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
    return std::string(runtime) + "/kepra";
  }
  return "/tmp/kepra-" + std::to_string(getuid());
}

int Usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s [--dir DIR] [--camera INDEX[:MODEL]]... [--debug]\n"
               "  DIR defaults to $KEPRA_DEVICE_DIR, $XDG_RUNTIME_DIR/kepra or /tmp/kepra-<uid>\n"
               "  INDEX is 0..34; MODEL a model code character such as 4 (mono) or 5 (colour)\n",
               program);
  return 2;
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
    } else {
      return Usage(argv[0]);
    }
  }
  if (cameras.empty()) cameras.push_back({0, {}});

  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
  signal(SIGPIPE, SIG_IGN);

  vcam::Server server(dir);
  std::unique_ptr<vcam::DebugListener> listener;
  if (debug) listener = std::make_unique<vcam::DebugListener>(dir, true);
  for (const CameraArg& camera : cameras) {
    if (!server.Plug(camera.index, camera.config)) {
      std::fprintf(stderr, "kepra-virtcam: cannot serve camera %u in %s\n", camera.index,
                   dir.c_str());
      return 1;
    }
    std::printf("kepra-virtcam: camera %u (model '%c') at %s\n", camera.index,
                camera.config.model_code, server.SocketPath(camera.index).c_str());
  }
  std::fflush(stdout);
  while (!g_stop) pause();
  std::printf("kepra-virtcam: stopping\n");
  return 0;
}
