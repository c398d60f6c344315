// Named mutexes with Windows semantics over robust, recursive, process-shared pthread
// mutexes. The mutex of name N lives in the file N of the device directory: names are a
// namespace per directory, as the cameras are, so cameras of different directories never
// share a lock, and the file takes the directory's owner group and read/write bits, so only
// those who may use the directory's cameras can open (and hold) their locks.
//
// - Recursive for the owning thread; ReleaseMutex by another thread fails (ERROR_NOT_OWNER).
// - A thread or process that ends while owning it leaves it abandoned: the next wait owns it
//   and reports WAIT_ABANDONED (the kernel's robust-futex list makes this reliable even for
//   SIGKILL).
// - A process killed halfway through creating one never leaves a half-made object under the
//   name: the object is built under a private temporary name and published with link(),
//   which either installs the finished object or finds another process's. The creator then
//   maps it again through its final name, so that /proc/PID/maps (and lsof, fuser, cleaners
//   of the directory) show every process that uses it under that name.
// - The object under a name can still be removed or replaced behind our back (a careless
//   cleaner). Every wait first checks that the name still leads to the mapped object; when it
//   does not, the waiter takes the object it has (so a process still holding it keeps
//   everyone out), opens or publishes the one now under the name, takes that and lets the old
//   one go. Older objects are always taken before newer ones, so this cannot deadlock. When
//   the directory itself is gone, its cameras are too: the name moves, the same way, to the
//   directory the process finds cameras in now (a handle kept open across directories, as
//   when a close could not learn the camera's index); with no such directory the mapped
//   object stays the lock.
// - Waits run on CLOCK_MONOTONIC deadlines, so a step of the wall clock neither stretches
//   nor cuts them.
// - Which thread owns an object, and how often, is kept in the object beside the mutex by
//   the owner itself; a dead owner's entry is reset by the next taker, whom the mutex tells
//   of the death (EOWNERDEAD).
// - Mappings are never unmapped: the kernel must still find an owned mutex at thread exit to
//   mark it abandoned, whatever handles were closed meanwhile.
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/posix/handles.h"
#include "platform/posix/win32_posix.h"

namespace {

constexpr DWORD kErrorPathNotFound = 3;  // ERROR_PATH_NOT_FOUND: no device directory

constexpr std::uint64_t kMagic = 0x3258544d4152504bULL;  // "KPRAMTX2"

struct SharedBlock {
  std::atomic<std::uint64_t> magic;
  pthread_mutex_t mutex;
  // Written only by the thread that holds `mutex`: its thread id (0 when free) and how many
  // times it has taken it.
  std::atomic<pid_t> owner;
  std::uint32_t depth;
};
static_assert(std::atomic<pid_t>::is_always_lock_free, "shared between processes");

bool InitBlock(SharedBlock* block, bool shared) {
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) return false;
  bool ok = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
            pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
            pthread_mutexattr_setpshared(
                &attr, shared ? PTHREAD_PROCESS_SHARED : PTHREAD_PROCESS_PRIVATE) == 0 &&
            pthread_mutex_init(&block->mutex, &attr) == 0;
  pthread_mutexattr_destroy(&attr);
  block->owner.store(0, std::memory_order_relaxed);
  block->depth = 0;
  if (ok) block->magic.store(kMagic, std::memory_order_release);
  return ok;
}

SharedBlock* MapBlock(int fd) {
  void* memory = mmap(nullptr, sizeof(SharedBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return memory == MAP_FAILED ? nullptr : static_cast<SharedBlock*>(memory);
}

bool OwnedByCaller(const SharedBlock* block) {
  return block->owner.load(std::memory_order_relaxed) == gettid();
}

// Waits for the mutex until an absolute CLOCK_MONOTONIC deadline.
int TimedLock(pthread_mutex_t* mutex, const timespec& deadline) {
#if defined(__SANITIZE_THREAD__)
  // ThreadSanitizer learns of ownership inherited from a dead owner through lock and trylock,
  // not through a timed lock; its builds poll instead, with the same outcome.
  for (;;) {
    const int rc = pthread_mutex_trylock(mutex);
    if (rc != EBUSY) return rc;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec > deadline.tv_sec ||
        (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec)) {
      return ETIMEDOUT;
    }
    timespec pause{0, 200000};
    nanosleep(&pause, nullptr);
  }
#else
  return pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
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
    case ENOENT:
    case ENOTDIR:
      return kErrorPathNotFound;
    default:
      return ERROR_GEN_FAILURE;
  }
}

// One mapped object and the identity of its file.
struct Mapping {
  SharedBlock* block = nullptr;
  dev_t dev = 0;
  ino_t ino = 0;
};

// Opens an existing, fully published object. False with *error set when it fails; error 0
// means there is no object of that name.
bool OpenExisting(const std::string& path, Mapping* m, DWORD* error) {
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    *error = errno == ENOENT ? 0 : ErrnoToError(errno);
    return false;
  }
  struct stat st {};
  SharedBlock* block = nullptr;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
      st.st_size >= static_cast<off_t>(sizeof(SharedBlock))) {
    block = MapBlock(fd);
  }
  close(fd);
  if (!block || block->magic.load(std::memory_order_acquire) != kMagic) {
    // Another kind of object under this name, as Windows reports for a name clash.
    if (block) munmap(block, sizeof(SharedBlock));
    *error = ERROR_INVALID_HANDLE;
    return false;
  }
  *m = Mapping{block, st.st_dev, st.st_ino};
  return true;
}

// Gives a new object the directory's group and read/write bits. Without that group (the
// creator is no member) the group gets nothing rather than the creator's own group.
void TakeDirectoryPermissions(int fd, const struct stat& dir) {
  mode_t mode = dir.st_mode & 0666;
  if (fchown(fd, static_cast<uid_t>(-1), dir.st_gid) != 0) mode &= ~static_cast<mode_t>(0060);
  fchmod(fd, mode);
}

// Builds a new object under a temporary name, publishes it and maps it through its final
// name. False with *error 0 when another process published one first.
bool CreateAndPublish(const std::string& dir, const std::string& path, Mapping* m, DWORD* error) {
  static std::atomic<unsigned> counter{0};
  struct stat dir_st {};
  if (stat(dir.c_str(), &dir_st) != 0) {
    *error = ErrnoToError(errno);
    return false;
  }
  const std::string temp = dir + "/.kepra-mutex-" + std::to_string(getpid()) + "-" +
                           std::to_string(counter.fetch_add(1));
  const int fd = open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = ErrnoToError(errno);
    return false;
  }
  TakeDirectoryPermissions(fd, dir_st);
  Mapping made;
  struct stat st {};
  if (ftruncate(fd, sizeof(SharedBlock)) == 0 && fstat(fd, &st) == 0) {
    made = Mapping{MapBlock(fd), st.st_dev, st.st_ino};
  }
  close(fd);
  if (!made.block || !InitBlock(made.block, true)) {
    *error = ERROR_GEN_FAILURE;
    if (made.block) munmap(made.block, sizeof(SharedBlock));
    unlink(temp.c_str());
    return false;
  }
  const int linked = link(temp.c_str(), path.c_str());
  const int link_errno = errno;
  unlink(temp.c_str());
  // Nobody here has taken the temporary mapping yet, so it may go.
  munmap(made.block, sizeof(SharedBlock));
  if (linked != 0) {
    *error = link_errno == EEXIST ? 0 : ErrnoToError(link_errno);
    return false;
  }
  // Replaced already in between: start over with whatever is there now.
  if (!OpenExisting(path, m, error)) return false;
  if (m->dev != made.dev || m->ino != made.ino) {
    munmap(m->block, sizeof(SharedBlock));
    *error = 0;
    return false;
  }
  return true;
}

// Opens the object under the name, publishing a new one when there is none.
bool OpenOrCreate(const std::string& dir, const std::string& path, Mapping* m, bool* existed,
                  DWORD* error) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    *error = 0;
    if (OpenExisting(path, m, error)) {
      *existed = true;
      return true;
    }
    if (*error != 0) return false;
    if (CreateAndPublish(dir, path, m, error)) {
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
  std::string name;
  std::mutex mutex;
  std::string dir;   // under mutex
  std::string path;  // under mutex
  std::vector<Mapping> mappings;

  // Whether the name no longer leads to `m`: removed or replaced, or its directory is gone
  // while the process finds cameras in another one (whose lock it then is). A name we cannot
  // examine counts as unchanged.
  bool Superseded(const Mapping& m) {
    std::lock_guard lock(mutex);
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) return st.st_dev != m.dev || st.st_ino != m.ino;
    if (errno != ENOENT) return false;
    if (stat(dir.c_str(), &st) == 0) return true;
    try {
      const std::string now = kepra::posix::DeviceDirectory();
      return now != dir && stat(now.c_str(), &st) == 0;
    } catch (const std::bad_alloc&) {
      return false;
    }
  }

  Mapping Current() {
    std::lock_guard lock(mutex);
    return mappings.back();
  }
  // The newest of its objects that the calling thread owns, or null.
  SharedBlock* Owned() {
    std::lock_guard lock(mutex);
    for (auto it = mappings.rbegin(); it != mappings.rend(); ++it) {
      if (OwnedByCaller(it->block)) return it->block;
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
    mappings.reserve(mappings.size() + 1);  // the new mapping is never lost to an allocation
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0) {
      dir = kepra::posix::DeviceDirectory();
      path = dir + "/" + name;
    }
    if (!OpenOrCreate(dir, path, next, &existed, error)) return false;
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
  std::map<std::string, Named*> names;  // by path, for the process's life
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
    clock_gettime(CLOCK_MONOTONIC, &deadline);
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

// 0 when owned (*abandoned set when a dead owner left it); else the error.
int Take(const Wait& wait, SharedBlock* block, bool* abandoned) {
  const int rc = wait.Take(&block->mutex);
  const pid_t self = gettid();
  if (rc == EOWNERDEAD) {
    pthread_mutex_consistent(&block->mutex);
    *abandoned = true;
  } else if (rc != 0) {
    return rc;
  } else if (block->owner.load(std::memory_order_relaxed) == self) {
    // Taken again by its owner: a dead owner would have been reported above.
    ++block->depth;
    return 0;
  }
  block->depth = 1;
  block->owner.store(self, std::memory_order_relaxed);
  return 0;
}

// Releases once; false when the calling thread does not own it.
bool Release(SharedBlock* block) {
  if (!OwnedByCaller(block)) return false;
  const std::uint32_t depth = block->depth;
  if (--block->depth == 0) block->owner.store(0, std::memory_order_relaxed);
  if (pthread_mutex_unlock(&block->mutex) == 0) return true;
  // The entry of a dead thread whose id came back: not ours after all.
  block->depth = depth;
  block->owner.store(gettid(), std::memory_order_relaxed);
  return false;
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
  if (SharedBlock* owned = named.Owned()) return Result(Take(wait, owned, &abandoned), abandoned);
  const Mapping current = named.Current();
  const bool superseded = named.Superseded(current);
  const int rc = Take(wait, current.block, &abandoned);
  if (rc != 0) return Result(rc, false);
  if (!superseded && !named.Superseded(current)) return Result(0, abandoned);
  // Holding the old object, move to the one under the name.
  Mapping next;
  DWORD error = 0;
  bool moved = false;
  try {
    moved = named.Successor(current, &next, &error);
  } catch (const std::bad_alloc&) {
    error = ERROR_NOT_ENOUGH_MEMORY;
  }
  if (!moved) {
    Release(current.block);
    SetLastError(error);
    return WAIT_FAILED;
  }
  const int next_rc = Take(wait, next.block, &abandoned);
  Release(current.block);
  return Result(next_rc, abandoned);
}

}  // namespace

namespace {

HANDLE CreateMutexObject(BOOL initial_owner, LPCSTR name) {
  std::shared_ptr<MutexObject> object;
  bool existed = false;
  if (!name || !*name) {
    auto block = std::make_unique<SharedBlock>();
    if (!InitBlock(block.get(), false)) {
      SetLastError(ERROR_GEN_FAILURE);
      return nullptr;
    }
    Registry& registry = GetRegistry();
    {
      std::lock_guard lock(registry.mutex);
      registry.unnamed.push_back(block.get());
    }
    object = std::make_shared<MutexObject>(block.release());
  } else {
    if (std::strchr(name, '/') || std::strlen(name) > 200) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    // The directory is read at each creation, as discovery reads it: a camera's lock is
    // made right after its device file was found there.
    const std::string dir = kepra::posix::DeviceDirectory();
    const std::string path = dir + "/" + name;
    Registry& registry = GetRegistry();
    std::lock_guard lock(registry.mutex);
    auto found = registry.names.find(path);
    Named* named = found == registry.names.end() ? nullptr : found->second;
    if (named) {
      existed = true;
    } else {
      // Everything that allocates comes before the object is mapped.
      auto made = std::make_unique<Named>();
      made->name = name;
      made->dir = dir;
      made->path = path;
      made->mappings.reserve(1);
      Named*& entry = registry.names[path];
      Mapping m;
      DWORD error = 0;
      if (!OpenOrCreate(dir, path, &m, &existed, &error)) {
        registry.names.erase(path);
        SetLastError(error);
        return nullptr;
      }
      made->mappings.push_back(m);
      entry = named = made.release();
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

}  // namespace

// Like every function of this layer it reports a failed allocation as Windows does, with
// ERROR_NOT_ENOUGH_MEMORY, rather than throwing into the library.
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initial_owner, LPCSTR name) {
  try {
    return CreateMutexObject(initial_owner, name);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
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
  return Result(Take(wait, object->block, &abandoned), abandoned);
}

BOOL ReleaseMutex(HANDLE handle) {
  auto object = kepra::posix::FindHandleAs<MutexObject>(handle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  SharedBlock* block = object->named ? object->named->Owned() : object->block;
  if (!block || !Release(block)) {
    SetLastError(ERROR_NOT_OWNER);
    return FALSE;
  }
  return TRUE;
}
