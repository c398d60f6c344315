#include "platform/posix/handles.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace kepra::posix {
namespace {

// A handle value encodes its slot and the slot's generation, so that a handle whose slot
// was freed and reused is recognised as stale instead of reaching the new object.
constexpr unsigned kSlotBits = 16;
constexpr std::uintptr_t kSlotMask = (std::uintptr_t{1} << kSlotBits) - 1;
constexpr std::uintptr_t kGenerationLimit = std::uintptr_t{1}
                                            << (sizeof(std::uintptr_t) * 8 - kSlotBits - 3);

struct Slot {
  std::uintptr_t generation = 1;
  std::shared_ptr<Object> object;
};

struct Table {
  std::mutex mutex;
  std::vector<Slot> slots;
  std::vector<std::size_t> free_slots;
  std::size_t live = 0;
};

Table& GetTable() {
  static Table* table = new Table;  // never destroyed: handles may be used during exit
  return *table;
}

HANDLE Encode(std::size_t slot, std::uintptr_t generation) {
  return reinterpret_cast<HANDLE>(((generation << kSlotBits) | (slot + 1)) << 2);
}

bool Decode(HANDLE handle, std::size_t* slot, std::uintptr_t* generation) {
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  if (handle == INVALID_HANDLE_VALUE || (value & 3) != 0) return false;
  const std::uintptr_t body = value >> 2;
  if ((body & kSlotMask) == 0) return false;
  *slot = (body & kSlotMask) - 1;
  *generation = body >> kSlotBits;
  return true;
}

}  // namespace

HANDLE AddHandle(std::shared_ptr<Object> object) {
  Table& table = GetTable();
  std::lock_guard lock(table.mutex);
  std::size_t slot;
  if (!table.free_slots.empty()) {
    slot = table.free_slots.back();
    table.free_slots.pop_back();
  } else {
    if (table.slots.size() >= kSlotMask) return nullptr;
    slot = table.slots.size();
    // Room for every slot in the free list, so that closing a handle never allocates.
    table.free_slots.reserve(slot + 1);
    table.slots.emplace_back();
  }
  table.slots[slot].object = std::move(object);
  ++table.live;
  return Encode(slot, table.slots[slot].generation);
}

std::shared_ptr<Object> FindHandle(HANDLE handle) {
  std::size_t slot;
  std::uintptr_t generation;
  if (!Decode(handle, &slot, &generation)) return nullptr;
  Table& table = GetTable();
  std::lock_guard lock(table.mutex);
  if (slot >= table.slots.size() || table.slots[slot].generation != generation) return nullptr;
  return table.slots[slot].object;
}

bool RemoveHandle(HANDLE handle) {
  std::size_t slot;
  std::uintptr_t generation;
  if (!Decode(handle, &slot, &generation)) return false;
  std::shared_ptr<Object> doomed;  // released outside the table lock
  Table& table = GetTable();
  {
    std::lock_guard lock(table.mutex);
    if (slot >= table.slots.size()) return false;
    Slot& entry = table.slots[slot];
    if (entry.generation != generation || !entry.object) return false;
    doomed = std::move(entry.object);
    entry.generation = (entry.generation + 1) % kGenerationLimit;
    if (entry.generation == 0) entry.generation = 1;
    table.free_slots.push_back(slot);
    --table.live;
  }
  return true;
}

std::size_t HandleCount() {
  Table& table = GetTable();
  std::lock_guard lock(table.mutex);
  return table.live;
}

std::string DeviceDirectory() {
  if (const char* dir = std::getenv("KEPRA_DEVICE_DIR"); dir && *dir) return dir;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
    return std::string(runtime) + "/kepra";
  }
  return "/tmp/kepra-" + std::to_string(getuid());
}

std::string InterfaceFileName(const GUID& g) {
  char name[40];
  std::snprintf(name, sizeof name, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return name;
}

}  // namespace kepra::posix

// Closes any handle of this layer: device files of whichever transport, mutexes, device sets.
BOOL CloseHandle(HANDLE handle) {
  if (!kepra::posix::RemoveHandle(handle)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
