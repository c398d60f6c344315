// Named mutexes with Windows semantics over robust, recursive, process-shared pthread
// mutexes. The mutex of name N lives in the shared-memory object /N (/dev/shm/N).
//
// - Recursive for the owning thread; ReleaseMutex by another thread fails (ERROR_NOT_OWNER).
// - A thread or process that ends while owning it leaves it abandoned: the next wait owns it
//   and reports WAIT_ABANDONED (the kernel's robust-futex list makes this reliable even for
//   SIGKILL).
// - A process killed halfway through creating one never leaves a half-made object under the
//   name: the object is built under a private temporary name and published with link(),
//   which either installs the finished object or finds another process's. The creator then
//   maps it again through its final name, so that /proc/PID/maps (and lsof, fuser, cleaners
//   of /dev/shm) show every process that uses it under that name.
// - The object under a name can still be removed or replaced behind our back (a careless
//   cleaner). Every wait first checks that the name still leads to the mapped object; when it
//   does not, the waiter takes the object it has (so a process still holding it keeps
//   everyone out), opens or publishes the one now under the name, takes that and lets the old
//   one go. Older objects are always taken before newer ones, so this cannot deadlock.
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
#include <vector>

#include "platform/posix/handles.h"
#include "platform/posix/win32_posix.h"

namespace {

constexpr std::uint64_t kMagic = 0x3158544d4152504bULL;  // "KPRAMTX1"

struct SharedBlock {
  std::atomic<std::uint64_t> magic;
  pthread_mutex_t mutex;
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

// One mapped object: the descriptor stays open so the identity of the mapped file is known.
struct Mapping {
  SharedBlock* block = nullptr;
  int fd = -1;
  dev_t dev = 0;
  ino_t ino = 0;
};

bool Identify(Mapping* m) {
  struct stat st {};
  if (fstat(m->fd, &st) != 0) return false;
  m->dev = st.st_dev;
  m->ino = st.st_ino;
  return true;
}

// Whether the name no longer leads to the mapped object (removed or replaced). A name we
// cannot examine counts as unchanged: there is nothing better to take.
bool Superseded(const std::string& path, const Mapping& m) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return errno == ENOENT;
  return st.st_dev != m.dev || st.st_ino != m.ino;
}

// Opens an existing, fully published object. False with *error set when it fails; error 0
// means there is no object of that name.
bool OpenExisting(const std::string& path, Mapping* m, DWORD* error) {
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    *error = errno == ENOENT ? 0 : ErrnoToError(errno);
    return false;
  }
  struct stat st {};
  SharedBlock* block = nullptr;
  if (fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(sizeof(SharedBlock))) {
    block = MapBlock(fd);
  }
  if (!block || block->magic.load(std::memory_order_acquire) != kMagic) {
    // Another kind of object under this name, as Windows reports for a name clash.
    if (block) munmap(block, sizeof(SharedBlock));
    close(fd);
    *error = ERROR_INVALID_HANDLE;
    return false;
  }
  *m = Mapping{block, fd, st.st_dev, st.st_ino};
  return true;
}

// Builds a new object under a temporary name, publishes it and maps it through its final
// name. False with *error 0 when another process published one first.
bool CreateAndPublish(const std::string& path, Mapping* m, DWORD* error) {
  static std::atomic<unsigned> counter{0};
  const std::string temp = "/dev/shm/.kepra-mutex-" + std::to_string(getpid()) + "-" +
                           std::to_string(counter.fetch_add(1));
  Mapping made;
  made.fd = open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (made.fd < 0) {
    *error = ErrnoToError(errno);
    return false;
  }
  fchmod(made.fd, 0666);  // shared by every user's processes, whatever the umask
  if (ftruncate(made.fd, sizeof(SharedBlock)) == 0) made.block = MapBlock(made.fd);
  if (!made.block || !InitBlock(made.block, true) || !Identify(&made)) {
    *error = ERROR_GEN_FAILURE;
    if (made.block) munmap(made.block, sizeof(SharedBlock));
    close(made.fd);
    unlink(temp.c_str());
    return false;
  }
  const int linked = link(temp.c_str(), path.c_str());
  const int link_errno = errno;
  unlink(temp.c_str());
  // Nobody here has taken the temporary mapping yet, so it may go.
  munmap(made.block, sizeof(SharedBlock));
  close(made.fd);
  if (linked != 0) {
    *error = link_errno == EEXIST ? 0 : ErrnoToError(link_errno);
    return false;
  }
  // Replaced already in between: start over with whatever is there now.
  if (!OpenExisting(path, m, error)) return false;
  if (m->dev != made.dev || m->ino != made.ino) {
    munmap(m->block, sizeof(SharedBlock));
    close(m->fd);
    *error = 0;
    return false;
  }
  return true;
}

// Opens the object under the name, publishing a new one when there is none.
bool OpenOrCreate(const std::string& path, Mapping* m, bool* existed, DWORD* error) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    *error = 0;
    if (OpenExisting(path, m, error)) {
      *existed = true;
      return true;
    }
    if (*error != 0) return false;
    if (CreateAndPublish(path, m, error)) {
      *existed = false;
      return true;
    }
    if (*error != 0) return false;
  }
  *error = ERROR_GEN_FAILURE;
  return false;
}

// A name's objects in this process, oldest first; the last is the current one.
struct Named {
  std::string path;
  std::mutex mutex;
  std::vector<Mapping> mappings;

  Mapping Current() {
    std::lock_guard lock(mutex);
    return mappings.back();
  }
  // The newest of its objects that the calling thread owns, or null.
  SharedBlock* Owned() {
    std::lock_guard lock(mutex);
    for (auto it = mappings.rbegin(); it != mappings.rend(); ++it) {
      if (OwnedByCaller(&it->block->mutex)) return it->block;
    }
    return nullptr;
  }
  // The object after `old`: the one another thread moved to already, else the one under the
  // name now.
  bool Successor(const Mapping& old, Mapping* next, DWORD* error) {
    std::lock_guard lock(mutex);
    if (mappings.back().block != old.block) {
      *next = mappings.back();
      return true;
    }
    bool existed = false;
    if (!OpenOrCreate(path, next, &existed, error)) return false;
    mappings.push_back(*next);
    return true;
  }
};

struct MutexObject final : kepra::posix::Object {
  explicit MutexObject(SharedBlock* b) : block(b) {}
  explicit MutexObject(Named* n) : named(n) {}
  SharedBlock* block = nullptr;  // unnamed
  Named* named = nullptr;
};

struct Registry {
  std::mutex mutex;
  std::map<std::string, Named*> names;  // for the process's life
  // Unnamed mutexes are never freed either: the kernel may still touch one at its owner's
  // exit through the robust list. Kept here, they stay reachable rather than leaked.
  std::vector<SharedBlock*> unnamed;
};

Registry& GetRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

struct Wait {
  DWORD milliseconds;
  timespec deadline{};

  explicit Wait(DWORD ms) : milliseconds(ms) {
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += static_cast<time_t>(ms / 1000);
    deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_nsec -= 1000000000L;
      ++deadline.tv_sec;
    }
  }

  int Take(pthread_mutex_t* mutex) const {
    if (milliseconds == INFINITE) return pthread_mutex_lock(mutex);
    if (milliseconds == 0) return pthread_mutex_trylock(mutex);
    return TimedLock(mutex, deadline);
  }
};

// 0 or EOWNERDEAD (made consistent, *abandoned set) when owned; else the error.
int Take(const Wait& wait, pthread_mutex_t* mutex, bool* abandoned) {
  const int rc = wait.Take(mutex);
  if (rc != EOWNERDEAD) return rc;
  pthread_mutex_consistent(mutex);
  *abandoned = true;
  return 0;
}

DWORD Result(int rc, bool abandoned) {
  switch (rc) {
    case 0:
      return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
    case ETIMEDOUT:
    case EBUSY:
      return WAIT_TIMEOUT;
    default:
      SetLastError(ERROR_GEN_FAILURE);
      return WAIT_FAILED;
  }
}

DWORD WaitNamed(Named& named, const Wait& wait) {
  bool abandoned = false;
  // A thread that owns it already takes it once more, wherever the name leads now.
  if (SharedBlock* owned = named.Owned())
    return Result(Take(wait, &owned->mutex, &abandoned), false);
  const Mapping current = named.Current();
  const bool superseded = Superseded(named.path, current);
  const int rc = Take(wait, &current.block->mutex, &abandoned);
  if (rc != 0) return Result(rc, false);
  if (!superseded && !Superseded(named.path, current)) return Result(0, abandoned);
  // Holding the old object, move to the one under the name.
  Mapping next;
  DWORD error = 0;
  if (!named.Successor(current, &next, &error)) {
    pthread_mutex_unlock(&current.block->mutex);
    SetLastError(error);
    return WAIT_FAILED;
  }
  const int next_rc = Take(wait, &next.block->mutex, &abandoned);
  pthread_mutex_unlock(&current.block->mutex);
  return Result(next_rc, abandoned);
}

}  // namespace

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initial_owner, LPCSTR name) {
  std::shared_ptr<MutexObject> object;
  bool existed = false;
  if (!name || !*name) {
    auto* block = new SharedBlock;
    if (!InitBlock(block, false)) {
      delete block;
      SetLastError(ERROR_GEN_FAILURE);
      return nullptr;
    }
    {
      Registry& registry = GetRegistry();
      std::lock_guard lock(registry.mutex);
      registry.unnamed.push_back(block);
    }
    object = std::make_shared<MutexObject>(block);
  } else {
    if (std::strchr(name, '/') || std::strlen(name) > 200) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    Registry& registry = GetRegistry();
    std::lock_guard lock(registry.mutex);
    Named*& named = registry.names[name];
    if (named) {
      existed = true;
    } else {
      Mapping m;
      DWORD error = 0;
      const std::string path = std::string("/dev/shm/") + name;
      if (!OpenOrCreate(path, &m, &existed, &error)) {
        registry.names.erase(name);
        SetLastError(error);
        return nullptr;
      }
      named = new Named;
      named->path = path;
      named->mappings.push_back(m);
    }
    object = std::make_shared<MutexObject>(named);
  }
  HANDLE handle = kepra::posix::AddHandle(std::move(object));
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
  const Wait wait(milliseconds);
  if (object->named) return WaitNamed(*object->named, wait);
  bool abandoned = false;
  return Result(Take(wait, &object->block->mutex, &abandoned), abandoned);
}

BOOL ReleaseMutex(HANDLE handle) {
  auto object = kepra::posix::FindHandleAs<MutexObject>(handle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  SharedBlock* block = object->named ? object->named->Owned() : object->block;
  if (!block || !OwnedByCaller(&block->mutex) || pthread_mutex_unlock(&block->mutex) != 0) {
    SetLastError(ERROR_NOT_OWNER);
    return FALSE;
  }
  return TRUE;
}
