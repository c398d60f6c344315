// kepra view: the live viewer in the browser.
#pragma once

#include <cstdint>
#include <string>

namespace kepra_view {

struct ViewOptions {
  std::uint32_t device = 0;
  std::string listen = "127.0.0.1:8080";
  int jpeg_quality = 85;
  std::string record_dir = ".";  // recordings go into new folders here
};

// Serves until SIGINT or SIGTERM. Returns the tool's exit status.
int RunView(const ViewOptions& options);

}  // namespace kepra_view
