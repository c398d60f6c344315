// Frames into caller buffers: one request each, no lock, no copy.
#include "api/export.h"
#include "driver/request.h"
#include "protocol/protocol.h"

using namespace kepra;

namespace {

uint32_t GetFrame(KEPRA_HANDLE H, std::uint32_t code, void* buffer, uint32_t length,
                  const uint32_t* after) {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Fail(ERROR_INVALID_HANDLE);
  if (!buffer) return api::Fail(ERROR_INVALID_ADDRESS);
  std::uint8_t value[4];
  if (after) protocol::PutU32(value, *after);
  return driver::Request(h, code, after ? value : nullptr, after ? 4 : 0, buffer, length) ? 1 : 0;
}

}  // namespace

extern "C" {

uint32_t KEPRA_CALL kepra_GetFrame16(KEPRA_HANDLE H, void* Buffer, uint32_t Length) noexcept try {
  return GetFrame(H, protocol::IOCTL_GET_FRAME16, Buffer, Length, nullptr);
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_GetFrameEx16(KEPRA_HANDLE H, void* Buffer, uint32_t Length) noexcept try {
  return GetFrame(H, protocol::IOCTL_GET_FRAME_EX16, Buffer, Length, nullptr);
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_GetFrameAfterEx16(KEPRA_HANDLE H, void* Buffer, uint32_t Length,
                                            uint32_t Value) noexcept try {
  return GetFrame(H, protocol::IOCTL_GET_FRAME_AFTER_EX16, Buffer, Length, &Value);
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_GetFrame8(KEPRA_HANDLE H, void* Buffer, uint32_t Length) noexcept try {
  return GetFrame(H, protocol::IOCTL_GET_FRAME8, Buffer, Length, nullptr);
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_GetFrameEx8(KEPRA_HANDLE H, void* Buffer, uint32_t Length) noexcept try {
  return GetFrame(H, protocol::IOCTL_GET_FRAME_EX8, Buffer, Length, nullptr);
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_GetFrameAfterEx8(KEPRA_HANDLE H, void* Buffer, uint32_t Length,
                                           uint32_t Value) noexcept try {
  return GetFrame(H, protocol::IOCTL_GET_FRAME_AFTER_EX8, Buffer, Length, &Value);
} catch (...) {
  return api::Caught();
}

}  // extern "C"
