#include "flash/firmware_update.h"

#include <fstream>
#include <new>

#include "device/device.h"

namespace kepra::flash {

bool ReadFirmwareFile(const char* path, std::vector<std::uint8_t>& content) {
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  if (!file) {
    SetLastError(ERROR_READ_FAULT);
    return false;
  }
  // A first byte is read before the size is judged: some things that open like a file (a
  // directory, on some systems) report a size but deliver nothing.
  const std::streamoff size = file.tellg();
  char first = 0;
  if (size < 0 || !file.seekg(0) || (size > 0 && !file.read(&first, 1)) || !file.seekg(0)) {
    SetLastError(ERROR_READ_FAULT);
    return false;
  }
  if (size > std::streamoff{kFirmwareRegionSize}) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  try {
    content.assign(static_cast<std::size_t>(size), 0);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  file.read(reinterpret_cast<char*>(content.data()), size);
  if (file.gcount() != size) {
    SetLastError(ERROR_READ_FAULT);
    return false;
  }
  return true;
}

bool WriteFirmware(HANDLE h, const std::uint8_t* data, std::size_t size) {
  if (size > kFirmwareRegionSize) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  device::DeviceLock lock(h);
  if (!lock) return false;
  return Write(h, 0, data, static_cast<std::uint32_t>(size));
}

}  // namespace kepra::flash
