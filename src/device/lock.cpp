#include <mutex>
#include <utility>

#include "device/device.h"
#include "driver/request.h"
#include "driver/transport.h"

namespace kepra::device {

std::int32_t g_open_count[kMaxDevices] = {};
HANDLE g_lock_mutex[kMaxDevices] = {};
// Guards both tables: opens and closes may come from any threads at once.
std::mutex g_tables_mutex;

void LockMutexName(std::uint32_t index, char (&name)[9]) {
  const char base[] = "vexol_00";
  for (std::size_t i = 0; i < sizeof base; ++i) name[i] = base[i];
  name[6] = static_cast<char>('0' + index / 10);
  name[7] = static_cast<char>('0' + index % 10);
}

bool CxOpenDeviceMutex(std::uint32_t index) {
  std::lock_guard tables(g_tables_mutex);
  if (g_open_count[index] > 0) {
    ++g_open_count[index];
    return true;
  }
  char name[9];
  LockMutexName(index, name);
  // Opens the existing mutex when another process made it first; that is not an error.
  HANDLE mutex = driver::Current().open_lock(name);
  if (!mutex) return false;
  g_lock_mutex[index] = mutex;
  g_open_count[index] = 1;
  return true;
}

namespace {

// The handle's device index as the driver reports it. An index the tables cannot hold is
// treated like a refused request, so a confused driver cannot make us index out of range.
bool IndexOf(HANDLE h, std::uint32_t* index) {
  if (IsInvalid(h)) {
    SetLastError(kStatusInvalidHandle);
    return false;
  }
  if (!driver::QueryDeviceIndex(h, index) || *index >= kMaxDevices) {
    SetLastError(kStatusInvalidParameter);
    return false;
  }
  return true;
}

}  // namespace

bool CxCloseDeviceMutex(HANDLE h) {
  std::uint32_t index;
  if (!IndexOf(h, &index)) return false;
  std::lock_guard tables(g_tables_mutex);
  if (--g_open_count[index] > 0) return true;
  // The slot is cleared, so that a stale lock call cannot wait on a handle value the system
  // may have given to another object since.
  HANDLE mutex = std::exchange(g_lock_mutex[index], nullptr);
  return CloseHandle(mutex) != FALSE;
}

bool CxLockDevice(HANDLE h) {
  std::uint32_t index;
  if (!IndexOf(h, &index)) return false;
  const DWORD wait = WaitForSingleObject(g_lock_mutex[index], kLockTimeoutMs);
  // An abandoned lock is owned now all the same; the camera is in whatever state it was left.
  return wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
}

// Runs in destructors, so nothing may leave it. The index request allocates only when it must
// open a connection afresh; failing that, the lock stays held as when the driver refuses.
bool CxUnlockDevice(HANDLE h) noexcept try {
  std::uint32_t index;
  if (!IndexOf(h, &index)) return false;
  if (!ReleaseMutex(g_lock_mutex[index])) {
    SetLastError(ERROR_SUCCESS);
    return false;
  }
  return true;
} catch (...) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return false;
}

}  // namespace kepra::device
