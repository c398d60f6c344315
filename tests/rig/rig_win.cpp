// The Windows side of the rig: kepra.dll is loaded unmodified and only its driver boundary is
// redirected, by patching the DLL's import table: device discovery (SetupDi*), CreateFileA,
// DeviceIoControl, CancelIoEx, CancelSynchronousIo and CloseHandle of camera handles, and
// OutputDebugStringA go to in-process
// virtual cameras; every other call, and every handle that is not a camera's, passes through
// to the system. Named mutexes, Sleep and the last error stay the system's own.
#define NOMINMAX
#include <windows.h>
// setupapi.h needs windows.h first.
#include <setupapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <span>
#include <stdexcept>
#include <vector>

#include "rig.h"

namespace rig {
namespace {

// The camera driver's interface class; the last byte is the device index.
constexpr GUID kClass = {
    0x90bcde2c, 0xe6de, 0x4cf2, {0xb4, 0x3c, 0xd0, 0x85, 0x0c, 0x4d, 0x47, 0x00}};
constexpr char kPathPrefix[] = "\\\\?\\kepra-virtcam#";

struct State {
  std::mutex mutex;
  std::map<std::uint32_t, std::shared_ptr<vcam::Camera>> cameras;
  std::map<HANDLE, std::shared_ptr<vcam::Camera>> handles;
  std::vector<std::string> lines;
  bool active = false;
};

State& GetState() {
  static State* state = new State;
  return *state;
}

bool IsCameraClass(const GUID* guid) {
  return guid && std::memcmp(guid, &kClass, offsetof(GUID, Data4) + 7) == 0;
}

std::shared_ptr<vcam::Camera> FindCamera(HANDLE h) {
  State& state = GetState();
  std::lock_guard lock(state.mutex);
  auto it = state.handles.find(h);
  return it == state.handles.end() ? nullptr : it->second;
}

// ---- The redirected functions ----------------------------------------------------------

// Device sets made by the rig are addresses in this array, one for each index, so that a
// foreign set is never mistaken for one.
std::uint8_t g_sets[256];
int SetIndex(HDEVINFO set) {
  const auto at = reinterpret_cast<std::uintptr_t>(set) - reinterpret_cast<std::uintptr_t>(g_sets);
  return at < sizeof g_sets ? static_cast<int>(at) : -1;
}

HDEVINFO WINAPI HookGetClassDevs(const GUID* guid, PCSTR enumerator, HWND parent, DWORD flags) {
  if (!IsCameraClass(guid) || !GetState().active) {
    return SetupDiGetClassDevsA(guid, enumerator, parent, flags);
  }
  return reinterpret_cast<HDEVINFO>(&g_sets[guid->Data4[7]]);
}

BOOL WINAPI HookEnumInterfaces(HDEVINFO set, PSP_DEVINFO_DATA device, const GUID* guid,
                               DWORD member, PSP_DEVICE_INTERFACE_DATA data) {
  const int index = SetIndex(set);
  if (index < 0) return SetupDiEnumDeviceInterfaces(set, device, guid, member, data);
  if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  State& state = GetState();
  std::lock_guard lock(state.mutex);
  auto it = state.cameras.find(static_cast<std::uint32_t>(index));
  if (member != 0 || it == state.cameras.end() || it->second->Unplugged()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  data->InterfaceClassGuid = *guid;
  data->Flags = SPINT_ACTIVE;
  data->Reserved = static_cast<ULONG_PTR>(index);
  return TRUE;
}

BOOL WINAPI HookInterfaceDetail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size,
                                PDWORD required, PSP_DEVINFO_DATA device) {
  const int index = SetIndex(set);
  if (index < 0) return SetupDiGetDeviceInterfaceDetailA(set, data, detail, size, required, device);
  char path[64];
  std::snprintf(path, sizeof path, "%s%02d", kPathPrefix, index);
  const DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                                          std::strlen(path) + 1);
  if (required) *required = needed;
  if (!detail) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (size < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(
      reinterpret_cast<char*>(detail) + offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath),
      path, std::strlen(path) + 1);
  return TRUE;
}

BOOL WINAPI HookDestroyList(HDEVINFO set) {
  return SetIndex(set) < 0 ? SetupDiDestroyDeviceInfoList(set) : TRUE;
}

HANDLE WINAPI HookCreateFile(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                             DWORD disposition, DWORD flags, HANDLE templ) {
  const std::size_t prefix = sizeof kPathPrefix - 1;
  if (!path || std::strncmp(path, kPathPrefix, prefix) != 0) {
    return CreateFileA(path, access, share, sa, disposition, flags, templ);
  }
  const std::uint32_t index = static_cast<std::uint32_t>(std::atoi(path + prefix));
  State& state = GetState();
  std::lock_guard lock(state.mutex);
  auto it = state.cameras.find(index);
  if (it == state.cameras.end() || it->second->Unplugged()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  // A real kernel object reserves a handle value no other object can have while it is open.
  HANDLE h = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (!h) return INVALID_HANDLE_VALUE;
  state.handles[h] = it->second;
  return h;
}

// Requests in flight on camera handles, so that a cancel (by handle or by thread) can end the
// camera's wait for them, as a driver completes a cancelled request.
struct InFlight {
  HANDLE handle;
  DWORD thread;
  std::atomic<bool> cancelled{false};
};
std::mutex g_flight_mutex;
std::vector<InFlight*> g_in_flight;

// Marks the requests that `match` selects; true when there was one.
template <typename Match>
bool CancelInFlight(Match match) {
  std::lock_guard lock(g_flight_mutex);
  bool any = false;
  for (InFlight* r : g_in_flight) {
    if (match(*r)) {
      r->cancelled = true;
      any = true;
    }
  }
  return any;
}

BOOL WINAPI HookCancelIoEx(HANDLE h, LPOVERLAPPED overlapped) {
  if (!FindCamera(h)) return CancelIoEx(h, overlapped);
  if (CancelInFlight([h](const InFlight& r) { return r.handle == h; })) return TRUE;
  SetLastError(ERROR_NOT_FOUND);
  return FALSE;
}

BOOL WINAPI HookCancelSynchronousIo(HANDLE thread) {
  const DWORD id = GetThreadId(thread);
  if (CancelInFlight([id](const InFlight& r) { return r.thread == id; })) return TRUE;
  return CancelSynchronousIo(thread);
}

BOOL WINAPI HookDeviceIoControl(HANDLE h, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                                DWORD out_size, LPDWORD returned, LPOVERLAPPED overlapped) {
  auto camera = FindCamera(h);
  if (!camera) return DeviceIoControl(h, code, in, in_size, out, out_size, returned, overlapped);
  if (returned) *returned = 0;
  if ((!in && in_size) || (!out && out_size)) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  // Once the camera is gone the driver fails the handle's requests without reaching it.
  if (camera->Unplugged()) {
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return FALSE;
  }
  InFlight request{h, GetCurrentThreadId()};
  {
    std::lock_guard lock(g_flight_mutex);
    g_in_flight.push_back(&request);
  }
  const auto result = camera->Serve(
      code, std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(in), in_size),
      std::span<std::uint8_t>(static_cast<std::uint8_t*>(out), out_size),
      [&request] { return request.cancelled.load(); });
  {
    std::lock_guard lock(g_flight_mutex);
    g_in_flight.erase(std::find(g_in_flight.begin(), g_in_flight.end(), &request));
  }
  if (!result.ok) {
    SetLastError(result.disconnect ? ERROR_DEVICE_NOT_CONNECTED : result.error);
    return FALSE;
  }
  if (returned) *returned = result.bytes;
  return TRUE;
}

BOOL WINAPI HookCloseHandle(HANDLE h) {
  {
    State& state = GetState();
    std::lock_guard lock(state.mutex);
    state.handles.erase(h);
  }
  return CloseHandle(h);
}

void WINAPI HookOutputDebugString(LPCSTR text) {
  State& state = GetState();
  std::lock_guard lock(state.mutex);
  state.lines.emplace_back(text ? text : "");
}

// ---- Import-table patching -------------------------------------------------------------

struct Redirect {
  const char* dll;
  const char* name;
  void* hook;
};

const Redirect kRedirects[] = {
    {"setupapi.dll", "SetupDiGetClassDevsA", reinterpret_cast<void*>(&HookGetClassDevs)},
    {"setupapi.dll", "SetupDiEnumDeviceInterfaces", reinterpret_cast<void*>(&HookEnumInterfaces)},
    {"setupapi.dll", "SetupDiGetDeviceInterfaceDetailA",
     reinterpret_cast<void*>(&HookInterfaceDetail)},
    {"setupapi.dll", "SetupDiDestroyDeviceInfoList", reinterpret_cast<void*>(&HookDestroyList)},
    {"kernel32.dll", "CreateFileA", reinterpret_cast<void*>(&HookCreateFile)},
    {"kernel32.dll", "DeviceIoControl", reinterpret_cast<void*>(&HookDeviceIoControl)},
    {"kernel32.dll", "CancelIoEx", reinterpret_cast<void*>(&HookCancelIoEx)},
    {"kernel32.dll", "CancelSynchronousIo", reinterpret_cast<void*>(&HookCancelSynchronousIo)},
    {"kernel32.dll", "CloseHandle", reinterpret_cast<void*>(&HookCloseHandle)},
    {"kernel32.dll", "OutputDebugStringA", reinterpret_cast<void*>(&HookOutputDebugString)},
};

// Points the DLL's import slots of the redirected functions at the hooks. Returns how many
// slots were patched.
int PatchImports(HMODULE module) {
  auto* base = reinterpret_cast<std::uint8_t*>(module);
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (!dir.VirtualAddress) return 0;
  int patched = 0;
  for (auto* desc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
       desc->Name; ++desc) {
    const char* dll = reinterpret_cast<const char*>(base + desc->Name);
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->FirstThunk);
    for (; names->u1.AddressOfData; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* by_name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      for (const Redirect& r : kRedirects) {
        if (_stricmp(dll, r.dll) != 0 ||
            std::strcmp(reinterpret_cast<const char*>(by_name->Name), r.name) != 0) {
          continue;
        }
        DWORD old;
        VirtualProtect(&slots->u1.Function, sizeof(void*), PAGE_READWRITE, &old);
        slots->u1.Function = reinterpret_cast<ULONG_PTR>(r.hook);
        VirtualProtect(&slots->u1.Function, sizeof(void*), old, &old);
        ++patched;
      }
    }
  }
  return patched;
}

void InstallOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    HMODULE dll = GetModuleHandleA("kepra.dll");
    if (!dll) throw std::runtime_error("kepra.dll is not loaded");
    const int patched = PatchImports(dll);
    if (patched != static_cast<int>(std::size(kRedirects))) {
      throw std::runtime_error("kepra.dll does not import the driver boundary as expected");
    }
  });
}

}  // namespace

struct Rig::Impl {};

Rig::Rig() : impl_(std::make_unique<Impl>()) {
  InstallOnce();
  State& state = GetState();
  std::lock_guard lock(state.mutex);
  state.cameras.clear();
  state.lines.clear();
  state.active = true;
}

Rig::~Rig() {
  State& state = GetState();
  std::lock_guard lock(state.mutex);
  for (auto& [index, camera] : state.cameras) camera->Unplug();
  state.cameras.clear();
  state.active = false;
}

std::shared_ptr<vcam::Camera> Rig::Plug(std::uint32_t index, vcam::CameraConfig config) {
  auto camera = std::make_shared<vcam::Camera>(index, config);
  camera->EnableLog(true);
  State& state = GetState();
  std::lock_guard lock(state.mutex);
  if (state.cameras.count(index)) throw std::runtime_error("cannot plug camera");
  state.cameras[index] = camera;
  return camera;
}

void Rig::Unplug(std::uint32_t index) {
  State& state = GetState();
  std::lock_guard lock(state.mutex);
  auto it = state.cameras.find(index);
  if (it == state.cameras.end()) return;
  it->second->Unplug();
  state.cameras.erase(it);
}

std::vector<std::string> Rig::DebugLines() {
  State& state = GetState();
  std::lock_guard lock(state.mutex);
  std::vector<std::string> taken;
  taken.swap(state.lines);
  return taken;
}

// ---- Helper processes --------------------------------------------------------------------

struct Child::Impl {
  PROCESS_INFORMATION process{};
  HANDLE out = nullptr;
  std::string buffer;
  bool started = false;
};

Child::Child(const std::vector<std::string>& args) : impl_(std::make_unique<Impl>()) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE read_end, write_end;
  if (!CreatePipe(&read_end, &write_end, &sa, 0)) return;
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  std::string command;
  for (const auto& arg : args) command += "\"" + arg + "\" ";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write_end;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  impl_->started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                  nullptr, &startup, &impl_->process) != FALSE;
  CloseHandle(write_end);
  impl_->out = read_end;
}

Child::~Child() {
  if (impl_->started) {
    Kill();
    Wait();
    CloseHandle(impl_->process.hProcess);
    CloseHandle(impl_->process.hThread);
  }
  if (impl_->out) CloseHandle(impl_->out);
}

bool Child::started() const { return impl_->started; }
long Child::pid() const { return static_cast<long>(impl_->process.dwProcessId); }

bool Child::WaitForLine(const std::string& line, int timeout_ms) {
  const double deadline = NowMs() + timeout_ms;
  for (;;) {
    std::size_t pos = impl_->buffer.find(line + "\n");
    if (pos == std::string::npos) pos = impl_->buffer.find(line + "\r\n");
    if (pos != std::string::npos) {
      impl_->buffer.erase(0, pos + line.size() + 1);
      return true;
    }
    if (NowMs() > deadline) return false;
    DWORD available = 0;
    if (!PeekNamedPipe(impl_->out, nullptr, 0, nullptr, &available, nullptr)) return false;
    if (available == 0) {
      Sleep(5);
      continue;
    }
    char chunk[256];
    DWORD got = 0;
    if (!ReadFile(impl_->out, chunk, sizeof chunk, &got, nullptr) || got == 0) return false;
    impl_->buffer.append(chunk, got);
  }
}

void Child::Kill() {
  if (impl_->started) TerminateProcess(impl_->process.hProcess, 137);
}

int Child::Wait() {
  if (!impl_->started) return -1;
  WaitForSingleObject(impl_->process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(impl_->process.hProcess, &code);
  return static_cast<int>(code);
}

std::string HelperPath(const std::string& name) {
  char self[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string path(self, n);
  const auto slash = path.find_last_of("\\/");
  return (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + name;
}

}  // namespace rig
