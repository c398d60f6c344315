#include "driver/request.h"

#include "driver/transport.h"
#include "protocol/protocol.h"

namespace kepra::driver {

bool Request(HANDLE h, std::uint32_t code, const void* in, std::uint32_t in_size, void* out,
             std::uint32_t out_size, std::uint32_t* returned) {
  std::uint32_t count = 0;
  const bool ok = Current().request(h, code, in, in_size, out, out_size, &count);
  if (returned) *returned = count;
  return ok;
}

bool QueryDeviceIndex(HANDLE h, std::uint32_t* index) {
  std::uint8_t reply[4] = {};
  std::uint32_t returned = 0;
  if (!Request(h, protocol::IOCTL_DEVICE_INDEX, nullptr, 0, reply, sizeof reply, &returned))
    return false;
  // A short reply carries no index; treat it like a refused request.
  if (returned < sizeof reply) return false;
  *index = protocol::GetU32(reply);
  return true;
}

}  // namespace kepra::driver
