// Named mutexes with Windows semantics over robust, recursive, process-shared pthread
// mutexes. The mutex of name N lives in the shared-memory object /N (/dev/shm/N).
//
// - Recursive for the owning thread; ReleaseMutex by another thread fails (ERROR_NOT_OWNER).
// - A thread or process that ends while owning it leaves it abandoned: the next wait owns it
//   and reports WAIT_ABANDONED (the kernel's robust-futex list makes this reliable even for
//   SIGKILL).
// - A process killed halfway through creating one never leaves a half-made object under the
//   name: the object is built under a private temporary name and published with link(),
//   which either installs the finished object or finds another process's.
// - Mappings are never unmapped: the kernel must still find an owned mutex at thread exit to
//   mark it abandoned, whatever handles were closed meanwhile.
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string>

#include "platform/posix/handles.h"
#include "platform/posix/win32_posix.h"

namespace {

constexpr std::uint64_t kMagic = 0x3158544d4152504bULL;  // "KPRAMTX1"

struct SharedBlock {
  std::atomic<std::uint64_t> magic;
  pthread_mutex_t mutex;
};

struct MutexObject final : kepra::posix::Object {
  explicit MutexObject(SharedBlock* b) : block(b) {}
  SharedBlock* block;
};

bool InitBlock(SharedBlock* block, bool shared) {
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) return false;
  bool ok = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
            pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
            pthread_mutexattr_setpshared(
                &attr, shared ? PTHREAD_PROCESS_SHARED : PTHREAD_PROCESS_PRIVATE) == 0 &&
            pthread_mutex_init(&block->mutex, &attr) == 0;
  pthread_mutexattr_destroy(&attr);
  if (ok) block->magic.store(kMagic, std::memory_order_release);
  return ok;
}

SharedBlock* MapBlock(int fd) {
  void* memory = mmap(nullptr, sizeof(SharedBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return memory == MAP_FAILED ? nullptr : static_cast<SharedBlock*>(memory);
}

// Whether the calling thread owns a robust mutex. The kernel's robust-futex protocol keeps
// the owner's thread id in the futex word, which is how a release by another thread is
// refused without handing the pthread mutex an unlock it would reject anyway.
bool OwnedByCaller(pthread_mutex_t* mutex) {
  const auto* word = reinterpret_cast<const std::atomic<int>*>(&mutex->__data.__lock);
  return (word->load(std::memory_order_relaxed) & FUTEX_TID_MASK) == gettid();
}

// Waits for the mutex until an absolute CLOCK_REALTIME deadline.
int TimedLock(pthread_mutex_t* mutex, const timespec& deadline) {
#if defined(__SANITIZE_THREAD__)
  // ThreadSanitizer learns of ownership inherited from a dead owner through lock and trylock,
  // not through timedlock; its builds poll instead, with the same outcome.
  for (;;) {
    const int rc = pthread_mutex_trylock(mutex);
    if (rc != EBUSY) return rc;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec > deadline.tv_sec ||
        (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec)) {
      return ETIMEDOUT;
    }
    timespec pause{0, 200000};
    nanosleep(&pause, nullptr);
  }
#else
  return pthread_mutex_timedlock(mutex, &deadline);
#endif
}

DWORD ErrnoToError(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case ENOMEM:
    case ENOSPC:
      return ERROR_NOT_ENOUGH_MEMORY;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    default:
      return ERROR_GEN_FAILURE;
  }
}

// Opens an existing, fully published object. Null with *error set when it fails; error 0
// means there is no object of that name.
SharedBlock* OpenExisting(const std::string& path, DWORD* error) {
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    *error = errno == ENOENT ? 0 : ErrnoToError(errno);
    return nullptr;
  }
  struct stat st {};
  SharedBlock* block = nullptr;
  if (fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(sizeof(SharedBlock))) {
    block = MapBlock(fd);
  }
  close(fd);
  if (!block || block->magic.load(std::memory_order_acquire) != kMagic) {
    // Another kind of object under this name, as Windows reports for a name clash.
    if (block) munmap(block, sizeof(SharedBlock));
    *error = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  return block;
}

// Builds a new object under a temporary name and publishes it. Returns null with *error 0
// when another process published one first.
SharedBlock* CreateAndPublish(const std::string& path, DWORD* error) {
  static std::atomic<unsigned> counter{0};
  const std::string temp = "/dev/shm/.kepra-mutex-" + std::to_string(getpid()) + "-" +
                           std::to_string(counter.fetch_add(1));
  const int fd = open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    *error = ErrnoToError(errno);
    return nullptr;
  }
  fchmod(fd, 0666);  // shared by every user's processes, whatever the umask
  SharedBlock* block = nullptr;
  if (ftruncate(fd, sizeof(SharedBlock)) == 0) block = MapBlock(fd);
  close(fd);
  if (!block || !InitBlock(block, true)) {
    *error = ERROR_GEN_FAILURE;
    if (block) munmap(block, sizeof(SharedBlock));
    unlink(temp.c_str());
    return nullptr;
  }
  const int linked = link(temp.c_str(), path.c_str());
  const int link_errno = errno;
  unlink(temp.c_str());
  if (linked != 0) {
    munmap(block, sizeof(SharedBlock));
    *error = link_errno == EEXIST ? 0 : ErrnoToError(link_errno);
    return nullptr;
  }
  return block;
}

struct Registry {
  std::mutex mutex;
  std::map<std::string, SharedBlock*> blocks;  // one mapping per name, for the process's life
};

Registry& GetRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

}  // namespace

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initial_owner, LPCSTR name) {
  SharedBlock* block = nullptr;
  bool existed = false;
  if (!name || !*name) {
    block = new SharedBlock;
    if (!InitBlock(block, false)) {
      delete block;
      SetLastError(ERROR_GEN_FAILURE);
      return nullptr;
    }
  } else {
    if (std::strchr(name, '/') || std::strlen(name) > 200) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    const std::string path = std::string("/dev/shm/") + name;
    Registry& registry = GetRegistry();
    std::lock_guard lock(registry.mutex);
    if (auto it = registry.blocks.find(name); it != registry.blocks.end()) {
      block = it->second;
      existed = true;
    }
    for (int attempt = 0; !block && attempt < 8; ++attempt) {
      DWORD error = 0;
      block = OpenExisting(path, &error);
      if (block) {
        existed = true;
        break;
      }
      if (error != 0) {
        SetLastError(error);
        return nullptr;
      }
      block = CreateAndPublish(path, &error);
      if (!block && error != 0) {
        SetLastError(error);
        return nullptr;
      }
    }
    if (!block) {
      SetLastError(ERROR_GEN_FAILURE);
      return nullptr;
    }
    registry.blocks.emplace(name, block);
  }
  HANDLE handle = kepra::posix::AddHandle(std::make_shared<MutexObject>(block));
  if (!handle) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (initial_owner) WaitForSingleObject(handle, INFINITE);
  // As on Windows, creation reports whether the name already existed.
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  auto object = kepra::posix::FindHandleAs<MutexObject>(handle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  pthread_mutex_t* mutex = &object->block->mutex;
  int rc;
  if (milliseconds == INFINITE) {
    rc = pthread_mutex_lock(mutex);
  } else if (milliseconds == 0) {
    rc = pthread_mutex_trylock(mutex);
  } else {
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += static_cast<time_t>(milliseconds / 1000);
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_nsec -= 1000000000L;
      ++deadline.tv_sec;
    }
    rc = TimedLock(mutex, deadline);
  }
  switch (rc) {
    case 0:
      return WAIT_OBJECT_0;
    case EOWNERDEAD:
      pthread_mutex_consistent(mutex);
      return WAIT_ABANDONED;
    case ETIMEDOUT:
    case EBUSY:
      return WAIT_TIMEOUT;
    default:
      SetLastError(ERROR_GEN_FAILURE);
      return WAIT_FAILED;
  }
}

BOOL ReleaseMutex(HANDLE handle) {
  auto object = kepra::posix::FindHandleAs<MutexObject>(handle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!OwnedByCaller(&object->block->mutex) || pthread_mutex_unlock(&object->block->mutex) != 0) {
    SetLastError(ERROR_NOT_OWNER);
    return FALSE;
  }
  return TRUE;
}
