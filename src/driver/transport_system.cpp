// The platform's transport: the Win32 device functions, which are the camera's kernel driver
// on Windows and the POSIX layer's socket device files elsewhere.
#include <atomic>

#include "driver/transport.h"

namespace kepra::driver {
namespace {

bool EnumerateInterfaces(const GUID& interface_class, char* path, std::size_t size) {
  GUID guid = interface_class;
  HDEVINFO set =
      SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return false;

  SP_DEVICE_INTERFACE_DATA interface_data{};
  interface_data.cbSize = sizeof interface_data;
  if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 0, &interface_data)) {
    SetupDiDestroyDeviceInfoList(set);
    return false;
  }

  // The first call only learns the size; its failure is expected.
  DWORD required = 0;
  SetupDiGetDeviceInterfaceDetailA(set, &interface_data, nullptr, 0, &required, nullptr);

  auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(LocalAlloc(LMEM_FIXED, required));
  if (!detail) {
    SetupDiDestroyDeviceInfoList(set);
    return false;
  }
  // The size field is that of the record's fixed part, not of the allocation.
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (!SetupDiGetDeviceInterfaceDetailA(set, &interface_data, detail, required, nullptr, nullptr)) {
    SetupDiDestroyDeviceInfoList(set);
    LocalFree(detail);
    return false;
  }

  const char* source = reinterpret_cast<const char*>(detail) +
                       offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  const std::size_t available = required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  bool fitted = false;
  for (std::size_t i = 0; i < size && i < available; ++i) {
    path[i] = source[i];
    if (source[i] == '\0') {
      fitted = true;
      break;
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  LocalFree(detail);
  return fitted;
}

HANDLE OpenDevice(const char* path) {
  return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool SendRequest(HANDLE device, std::uint32_t code, const void* in, std::uint32_t in_size,
                 void* out, std::uint32_t out_size, std::uint32_t* returned) {
  // The bytes-returned variable must be given when no OVERLAPPED structure is.
  DWORD count = 0;
  const BOOL ok =
      DeviceIoControl(device, code, const_cast<void*>(in), in_size, out, out_size, &count, nullptr);
  *returned = count;
  return ok != FALSE;
}

bool CancelRequests(HANDLE device, HANDLE thread) {
  const bool cancelled = CancelIoEx(device, nullptr) != FALSE;
#ifdef _WIN32
  // A synchronous request is cancelled through the thread that waits in it.
  if (thread && CancelSynchronousIo(thread)) return true;
#else
  (void)thread;
#endif
  return cancelled;
}

bool CloseDevice(HANDLE device) { return CloseHandle(device) != FALSE; }

HANDLE OpenLock(const char* name) { return CreateMutexA(nullptr, FALSE, name); }

constexpr Transport kSystem = {EnumerateInterfaces, OpenDevice,  SendRequest,
                               CancelRequests,      CloseDevice, OpenLock};

std::atomic<const Transport*> g_current{nullptr};

}  // namespace

const Transport& SystemTransport() { return kSystem; }

const Transport& Current() {
  const Transport* chosen = g_current.load(std::memory_order_acquire);
  return chosen ? *chosen : kSystem;
}

void Use(const Transport* transport) { g_current.store(transport, std::memory_order_release); }

}  // namespace kepra::driver
