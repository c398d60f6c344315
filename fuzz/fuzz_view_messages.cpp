// kepra view's decoders of what a browser (or anyone reaching the port) sends: page messages,
// HTTP request heads and WebSocket client frames. Each input goes through all three.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "protocol.h"
#include "websocket.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const auto decoded = kepra_view::DecodeRequest(text);
  // Exactly one of a request and a reason.
  if (decoded.request.has_value() == !decoded.error.empty()) std::abort();
  if (decoded.request && decoded.request->op == kepra_view::Op::kSet &&
      decoded.request->values.empty()) {
    std::abort();
  }
  if (decoded.request && decoded.request->frames > kepra_view::kMaxRecordFrames) std::abort();

  if (const auto head = kepra_view::ParseRequestHead(text)) {
    kepra_view::CheckUpgrade(*head, {true, 8080});
    if (head->target.empty() || head->target[0] != '/') std::abort();
  }

  const auto frame = kepra_view::ParseClientFrame(data, size);
  if (frame.status == kepra_view::ParseStatus::kFrame &&
      (frame.consumed > size || frame.frame.payload.size() > kepra_view::kMaxClientPayload)) {
    std::abort();
  }
  return 0;
}
