// Device files: CreateFileA connects to a camera's Unix stream socket, DeviceIoControl sends
// one request and receives its reply (wire.h). CloseHandle is the handle table's (handles.cpp).
//
// A handle may carry several connections to the same device, made on demand, so that
// requests from several threads on one handle run side by side (a frame wait on one does
// not hold up a register request on another), as they do on a Windows driver. Once the
// camera has closed a connection the device is gone and every request fails with
// ERROR_DEVICE_NOT_CONNECTED; SIGPIPE is never raised.
//
// CancelIoEx shuts down the connections that carry requests in flight: their requests fail
// with ERROR_OPERATION_ABORTED, the camera sees its client go away, and those connections are
// dropped rather than reused.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/handles.h"
#include "platform/posix/win32_posix.h"
#include "platform/posix/wire.h"

namespace {

struct DeviceFile final : kepra::posix::Object {
  explicit DeviceFile(std::string p) : path(std::move(p)) {}
  ~DeviceFile() override {
    for (int fd : idle) close(fd);
  }
  std::string path;
  std::mutex mutex;
  std::vector<int> idle;  // connections not in use by a request
  // Connections carrying a request, and whether it was cancelled. Both lists keep room for
  // every connection, made when the connection is, so that a request on a connection
  // allocates nothing: the release of the device lock never fails for want of memory.
  std::vector<std::pair<int, bool>> busy;
  bool gone = false;

  // Room in both lists for one connection more; may throw.
  void MakeRoom() {
    const std::size_t count = idle.size() + busy.size() + 1;
    idle.reserve(count);
    busy.reserve(count);
  }
  // Takes a connection off the busy list; whether its request was cancelled.
  bool EndBusy(int fd) {
    for (auto& entry : busy) {
      if (entry.first != fd) continue;
      const bool cancelled = entry.second;
      entry = busy.back();
      busy.pop_back();
      return cancelled;
    }
    return false;
  }
};

// Connects to a device socket; returns the fd or -1 with *error set.
int Connect(const std::string& path, DWORD* error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    *error = ERROR_FILENAME_EXCED_RANGE;
    return -1;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = ERROR_NOT_ENOUGH_MEMORY;
    return -1;
  }
  int rc;
  do {
    rc = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int e = errno;
    close(fd);
    switch (e) {
      case ENOENT:
      case ENOTDIR:
        *error = ERROR_FILE_NOT_FOUND;
        break;
      case EACCES:
      case EPERM:
        *error = ERROR_ACCESS_DENIED;
        break;
      case ECONNREFUSED:
        *error = ERROR_DEVICE_NOT_CONNECTED;
        break;
      default:
        *error = ERROR_GEN_FAILURE;
    }
    return -1;
  }
  return fd;
}

bool SendAll(int fd, iovec* parts, int count) {
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = static_cast<std::size_t>(count);
  while (message.msg_iovlen > 0) {
    const ssize_t sent = sendmsg(fd, &message, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    auto left = static_cast<std::size_t>(sent);
    while (message.msg_iovlen > 0 && left >= message.msg_iov->iov_len) {
      left -= message.msg_iov->iov_len;
      ++message.msg_iov;
      --message.msg_iovlen;
    }
    if (message.msg_iovlen > 0) {
      message.msg_iov->iov_base = static_cast<char*>(message.msg_iov->iov_base) + left;
      message.msg_iov->iov_len -= left;
    }
  }
  return true;
}

bool ReceiveAll(int fd, void* buffer, std::size_t size) {
  auto* p = static_cast<char*>(buffer);
  while (size > 0) {
    const ssize_t got = recv(fd, p, size, MSG_WAITALL);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace

HANDLE CreateFileA(LPCSTR path, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD,
                   HANDLE) {
  return kepra::posix::OpenDeviceFile(path, disposition, [](LPCSTR p) {
    // Allocated before connecting, so that a failed allocation leaves no connection behind.
    auto device = std::make_shared<DeviceFile>(p);
    device->MakeRoom();
    DWORD error = 0;
    const int fd = Connect(p, &error);
    if (fd < 0) {
      SetLastError(error);
      return std::shared_ptr<DeviceFile>();
    }
    device->idle.push_back(fd);
    return device;
  });
}

BOOL DeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                     DWORD out_size, LPDWORD bytes_returned, LPOVERLAPPED) {
  auto device = kepra::posix::BeginDeviceRequest<DeviceFile>(handle, in, in_size, out, out_size,
                                                             bytes_returned);
  if (!device) return FALSE;

  int fd = -1;
  {
    std::lock_guard lock(device->mutex);
    if (device->gone) {
      SetLastError(ERROR_DEVICE_NOT_CONNECTED);
      return FALSE;
    }
    if (!device->idle.empty()) {
      fd = device->idle.back();
      device->idle.pop_back();
      device->busy.emplace_back(fd, false);
    }
  }
  if (fd < 0) {
    DWORD error = 0;
    fd = Connect(device->path, &error);
    std::lock_guard lock(device->mutex);
    if (fd < 0) {
      device->gone = true;
      SetLastError(ERROR_DEVICE_NOT_CONNECTED);
      return FALSE;
    }
    try {
      device->MakeRoom();
    } catch (...) {
      close(fd);
      throw;
    }
    device->busy.emplace_back(fd, false);
  }

  std::uint8_t header[kepra::wire::kRequestHeaderSize];
  kepra::wire::PutU32(header, code);
  kepra::wire::PutU32(header + 4, in_size);
  kepra::wire::PutU32(header + 8, out_size);
  iovec parts[2] = {{header, sizeof header}, {in, in_size}};
  std::uint8_t reply[kepra::wire::kReplyHeaderSize];
  bool io_ok = SendAll(fd, parts, in_size ? 2 : 1) && ReceiveAll(fd, reply, sizeof reply);
  std::uint32_t status = 0, error = 0, count = 0;
  if (io_ok) {
    status = kepra::wire::GetU32(reply);
    error = kepra::wire::GetU32(reply + 4);
    count = kepra::wire::GetU32(reply + 8);
    // A reply that does not fit what was asked cannot be trusted, and its bytes would
    // desynchronise the connection: drop it.
    if (status > 1 || count > out_size || (status == 0 && count != 0)) {
      std::lock_guard lock(device->mutex);
      device->EndBusy(fd);
      close(fd);
      SetLastError(ERROR_INVALID_DATA);
      return FALSE;
    }
    io_ok = count == 0 || ReceiveAll(fd, out, count);
  }
  {
    std::lock_guard lock(device->mutex);
    const bool cancelled = device->EndBusy(fd);
    if (cancelled) {
      // Shut down: never reused. A reply that arrived whole before the shutdown still counts.
      close(fd);
      if (!io_ok) {
        SetLastError(ERROR_OPERATION_ABORTED);
        return FALSE;
      }
    } else if (!io_ok) {
      close(fd);
      device->gone = true;
      SetLastError(ERROR_DEVICE_NOT_CONNECTED);
      return FALSE;
    } else {
      device->idle.push_back(fd);
    }
  }
  if (status == 0) {
    SetLastError(error);
    return FALSE;
  }
  if (bytes_returned) *bytes_returned = count;
  return TRUE;
}

BOOL CancelIoEx(HANDLE handle, LPOVERLAPPED) {
  auto device = kepra::posix::FindHandleAs<DeviceFile>(handle);
  if (!device) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard lock(device->mutex);
  if (device->busy.empty()) {
    SetLastError(ERROR_NOT_FOUND);
    return FALSE;
  }
  for (auto& [fd, cancelled] : device->busy) {
    cancelled = true;
    shutdown(fd, SHUT_RDWR);
  }
  return TRUE;
}
