// Last error, sleeping, memory and debug output of the POSIX layer.
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/posix/handles.h"
#include "platform/posix/win32_posix.h"

namespace {
thread_local DWORD t_last_error = ERROR_SUCCESS;
}  // namespace

DWORD GetLastError() { return t_last_error; }

void SetLastError(DWORD error) { t_last_error = error; }

void Sleep(DWORD milliseconds) {
  timespec left{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
  void* memory =
      (flags & LMEM_ZEROINIT) ? std::calloc(1, bytes ? bytes : 1) : std::malloc(bytes ? bytes : 1);
  if (!memory) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return memory;
}

HLOCAL LocalFree(HLOCAL memory) {
  std::free(memory);
  return nullptr;
}

BOOL DisableThreadLibraryCalls(HMODULE) { return TRUE; }

// Debug lines go as one datagram each to the socket "debug" in the device directory. Like
// OutputDebugString on Windows, a line waits briefly for a slow listener and is dropped when
// nobody listens; it never changes the caller's last error.
void OutputDebugStringA(LPCSTR text) {
  if (!text) return;
  const DWORD saved_error = t_last_error;
  const int saved_errno = errno;
  static std::once_flag once;
  static int fd = -1;
  std::call_once(once, [] {
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
      timeval timeout{1, 0};
      setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    }
  });
  if (fd >= 0) {
    const std::string path = kepra::posix::DeviceDirectory() + "/debug";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() < sizeof address.sun_path) {
      std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
      (void)sendto(fd, text, std::strlen(text), MSG_NOSIGNAL,
                   reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
  }
  errno = saved_errno;
  t_last_error = saved_error;
}
