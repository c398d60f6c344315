// kepra view: the live viewer in the browser.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
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

// Serves until `stop` becomes true; `listening` gets the page's address once the server
// accepts connections. For callers that run the viewer inside their own process (tests).
// Returns the tool's exit status; usage errors go to stderr.
int ServeView(const ViewOptions& options, const std::atomic<bool>& stop,
              const std::function<void(const std::string& url)>& listening);

}  // namespace kepra_view
