// The shape of the frames the current settings give: size, depth, bytes and Bayer order.
#include "api/export.h"
#include "core/frame_format_math.h"
#include "core/identity_math.h"
#include "driver/request.h"
#include "protocol/protocol.h"

using namespace kepra;

namespace {

// Both records under one lock, so that they describe the same moment.
bool ReadShape(HANDLE h, core::FrameShape* shape) {
  device::DeviceLock lock(h);
  if (!lock) return false;
  std::uint8_t params[26];
  std::uint8_t ident[core::kIdentDataSize];
  if (!driver::Request(h, protocol::IOCTL_FRAME_PARAMS, nullptr, 0, params, sizeof params) ||
      !driver::Request(h, protocol::IOCTL_IDENTDATA, nullptr, 0, ident, sizeof ident)) {
    return false;
  }
  *shape = core::ShapeOf(core::DecodeFrameGeometry(params), ident[core::kModelCodeByte]);
  return true;
}

}  // namespace

extern "C" {

uint32_t KEPRA_CALL kepra_GetFrameFormat(KEPRA_HANDLE H, kepra_FrameFormat* Format) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Fail(ERROR_INVALID_HANDLE);
  if (!Format) return api::Fail(ERROR_INVALID_ADDRESS);
  if (Format->Size < sizeof(kepra_FrameFormat)) return api::Fail(ERROR_INVALID_PARAMETER);
  core::FrameShape s;
  if (!ReadShape(h, &s)) return 0;
  Format->Width = s.width;
  Format->Height = s.height;
  Format->BitDepth = s.bit_depth;
  Format->Bytes8 = s.bytes8;
  Format->Bytes16 = s.bytes16;
  Format->BytesEx8 = s.bytes_ex8;
  Format->BytesEx16 = s.bytes_ex16;
  Format->ColorFilter = static_cast<uint32_t>(s.color_filter);
  return 1;
} catch (...) {
  return api::Caught();
}

}  // extern "C"
