// The virtual camera's SPI flash as the driver offers it: page reads, page programs and
// sector erases, kept in a file of the state directory when there is one.
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "camera.h"
#include "camera_io.h"

namespace vcam {
namespace {

using namespace reply;
namespace fs = std::filesystem;

}  // namespace

void Camera::InitFlash() {
  flash_.SetTiming(config_.nor_timing);
  if (config_.state_dir.empty()) return;
  std::error_code ec;
  fs::create_directories(config_.state_dir, ec);
  const fs::path file = fs::path(config_.state_dir) / "flash.bin";
  if (!flash_.Attach(file)) {
    throw std::runtime_error(file.string() + ": cannot be used as the flash (2 MiB file)");
  }
}

}  // namespace vcam
