#include "core/error_text.h"

namespace kepra::core {
namespace {

struct Entry {
  std::uint32_t code;
  const char* text;
};

// Win32 codes first, in numeric order, then the NTSTATUS values the device lock leaves.
constexpr Entry kTexts[] = {
    {0, "ERROR_SUCCESS: no error was recorded"},
    {1, "ERROR_INVALID_FUNCTION: the driver does not know this request"},
    {2, "ERROR_FILE_NOT_FOUND: no camera or file at that name"},
    {5, "ERROR_ACCESS_DENIED: the camera or a lock object may not be opened by this user"},
    {6, "ERROR_INVALID_HANDLE: the handle is not an open camera (closed, invalid or made up)"},
    {8, "ERROR_NOT_ENOUGH_MEMORY: memory or system resources ran out"},
    {13, "ERROR_INVALID_DATA: the driver's reply did not match the request"},
    {21, "ERROR_NOT_READY: the camera runs its boot loader (no valid firmware); update it"},
    {30, "ERROR_READ_FAULT: the firmware file could not be read"},
    {31, "ERROR_GEN_FAILURE: the camera or its driver failed the request"},
    {87, "ERROR_INVALID_PARAMETER: a value is out of range or a required pointer is missing"},
    {121, "ERROR_SEM_TIMEOUT: no trigger came within the snapshot timeout"},
    {122, "ERROR_INSUFFICIENT_BUFFER: a buffer is too small for what it must hold"},
    {183, "ERROR_ALREADY_EXISTS: the object exists already"},
    {206, "ERROR_FILENAME_EXCED_RANGE: a device or object path is too long"},
    {258, "WAIT_TIMEOUT: the camera's device lock stayed taken for the whole wait"},
    {259, "ERROR_NO_MORE_ITEMS: no camera at that device index"},
    {288, "ERROR_NOT_OWNER: the device lock is not held by this thread"},
    {487, "ERROR_INVALID_ADDRESS: a required pointer is null, or a file is empty"},
    {995, "ERROR_OPERATION_ABORTED: the request was cancelled (the stream was stopped)"},
    {998, "ERROR_NOACCESS: a buffer given with a length is null or not accessible"},
    {1117, "ERROR_IO_DEVICE: the camera failed a transfer"},
    {1167, "ERROR_DEVICE_NOT_CONNECTED: the camera is gone (unplugged or reset away)"},
    {1460, "ERROR_TIMEOUT: no frame arrived within the time given"},
    {1638, "ERROR_PRODUCT_VERSION: the driver or camera firmware version is not supported"},
    {1784, "ERROR_INVALID_USER_BUFFER: the buffer cannot take the request's data"},
    {5023, "ERROR_INVALID_STATE: not possible in the stream's state (running, or a callback set)"},
    {0xC0000008u, "STATUS_INVALID_HANDLE: the device lock was given an invalid handle"},
    {0xC000000Du, "STATUS_INVALID_PARAMETER: the driver refused the device-index request"},
};

}  // namespace

const char* ErrorText(std::uint32_t code) {
  for (const Entry& e : kTexts) {
    if (e.code == code) return e.text;
  }
  return "unknown error code: not one the library, its platform layer or the driver sets";
}

}  // namespace kepra::core
