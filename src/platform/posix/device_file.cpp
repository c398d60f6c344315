// Device files: CreateFileA connects to a camera's Unix stream socket, DeviceIoControl sends
// one request and receives its reply (protocol/protocol.h). CloseHandle is the handle table's
// (handles.cpp).
//
// A handle may carry several connections to the same device, made on demand, so that
// requests from several threads on one handle run side by side (a frame wait on one does
// not hold up a register request on another), as they do on a Windows driver. Only a camera
// that closed a connection, or whose socket is gone or refuses connections, is gone: every
// later request fails with ERROR_DEVICE_NOT_CONNECTED. Any other failure (the process out of
// descriptors or memory, say) fails that one request with its own error; the connection it
// used is dropped and the handle stays usable. SIGPIPE is never raised.
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
#include "protocol/protocol.h"

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

// Win32 error of a failed socket call that is not the camera's doing.
DWORD TransientError(int e) {
  switch (e) {
    case EMFILE:
    case ENFILE:
    case ENOMEM:
    case ENOBUFS:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    default:
      return ERROR_GEN_FAILURE;
  }
}

// A connection attempt's outcome: the fd, or -1 with the error and whether it means that
// the camera is gone (its socket missing, or nobody serving it).
struct Connection {
  int fd = -1;
  DWORD error = 0;
  bool gone = false;
};

Connection Connect(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return {-1, ERROR_FILENAME_EXCED_RANGE, false};
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return {-1, ERROR_NOT_ENOUGH_MEMORY, false};  // out of descriptors or memory
  int rc;
  do {
    rc = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) return {fd, 0, false};
  const int e = errno;
  close(fd);
  switch (e) {
    case ENOENT:
    case ENOTDIR:
      return {-1, ERROR_FILE_NOT_FOUND, true};
    case ECONNREFUSED:
      return {-1, ERROR_DEVICE_NOT_CONNECTED, true};
    default:
      return {-1, TransientError(e), false};
  }
}

// The outcome of sending a request or receiving its reply.
enum class Io { kDone, kClosed, kFailed };

// A send or receive error: the peer closing (kClosed) or anything else (kFailed, errno kept).
Io Failure() { return errno == ECONNRESET || errno == EPIPE ? Io::kClosed : Io::kFailed; }

Io SendAll(int fd, iovec* parts, int count) {
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = static_cast<std::size_t>(count);
  while (message.msg_iovlen > 0) {
    const ssize_t sent = sendmsg(fd, &message, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return Failure();
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
  return Io::kDone;
}

Io ReceiveAll(int fd, void* buffer, std::size_t size) {
  auto* p = static_cast<char*>(buffer);
  while (size > 0) {
    const ssize_t got = recv(fd, p, size, MSG_WAITALL);
    if (got < 0 && errno == EINTR) continue;
    if (got == 0) return Io::kClosed;
    if (got < 0) return Failure();
    p += got;
    size -= static_cast<std::size_t>(got);
  }
  return Io::kDone;
}

}  // namespace

HANDLE CreateFileA(LPCSTR path, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD,
                   HANDLE) {
  return kepra::posix::OpenDeviceFile(path, disposition, [](LPCSTR p) {
    // Allocated before connecting, so that a failed allocation leaves no connection behind.
    auto device = std::make_shared<DeviceFile>(p);
    device->MakeRoom();
    const Connection connection = Connect(p);
    if (connection.fd < 0) {
      SetLastError(connection.error);
      return std::shared_ptr<DeviceFile>();
    }
    device->idle.push_back(connection.fd);
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
    const Connection connection = Connect(device->path);
    if (connection.fd < 0) {
      if (!connection.gone) {
        SetLastError(connection.error);
        return FALSE;
      }
      std::lock_guard lock(device->mutex);
      device->gone = true;
      SetLastError(ERROR_DEVICE_NOT_CONNECTED);
      return FALSE;
    }
    fd = connection.fd;
    std::lock_guard lock(device->mutex);
    try {
      device->MakeRoom();
    } catch (...) {
      close(fd);
      throw;
    }
    device->busy.emplace_back(fd, false);
  }

  std::uint8_t header[kepra::protocol::kRequestHeaderSize];
  kepra::protocol::PutU32(header, code);
  kepra::protocol::PutU32(header + 4, in_size);
  kepra::protocol::PutU32(header + 8, out_size);
  iovec parts[2] = {{header, sizeof header}, {in, in_size}};
  std::uint8_t reply[kepra::protocol::kReplyHeaderSize];
  Io io = SendAll(fd, parts, in_size ? 2 : 1);
  if (io == Io::kDone) io = ReceiveAll(fd, reply, sizeof reply);
  std::uint32_t status = 0, error = 0, count = 0;
  if (io == Io::kDone) {
    status = kepra::protocol::GetU32(reply);
    error = kepra::protocol::GetU32(reply + 4);
    count = kepra::protocol::GetU32(reply + 8);
    // A reply that does not fit what was asked cannot be trusted, and its bytes would
    // desynchronise the connection: drop it.
    if (status > 1 || count > out_size || (status == 0 && count != 0)) {
      std::lock_guard lock(device->mutex);
      device->EndBusy(fd);
      close(fd);
      SetLastError(ERROR_INVALID_DATA);
      return FALSE;
    }
    if (count) io = ReceiveAll(fd, out, count);
  }
  const int io_errno = errno;
  {
    std::lock_guard lock(device->mutex);
    const bool cancelled = device->EndBusy(fd);
    if (cancelled) {
      // Shut down: never reused. A reply that arrived whole before the shutdown still counts.
      close(fd);
      if (io != Io::kDone) {
        SetLastError(ERROR_OPERATION_ABORTED);
        return FALSE;
      }
    } else if (io == Io::kClosed) {
      close(fd);
      device->gone = true;
      SetLastError(ERROR_DEVICE_NOT_CONNECTED);
      return FALSE;
    } else if (io == Io::kFailed) {
      // Where the exchange stopped is unknown: the connection cannot be reused.
      close(fd);
      SetLastError(TransientError(io_errno));
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
