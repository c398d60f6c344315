// The POSIX platform layer (Windows semantics of handles, errors, devices and named mutexes),
// the device session above it (open counts, the lock's mutex, device paths, debug lines) and
// the library over the rig's loopback transport.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <optional>
#include <thread>

#include "device/device.h"
#include "kepra/kepra.h"
#include "loopback.h"
#include "platform/posix/handles.h"
#include "platform/win32.h"
#include "protocol/protocol.h"
#include "rig.h"
#include "server.h"

namespace {

using namespace kepra::device;
namespace io = kepra::protocol;

// Sets (or with nullptr unsets) an environment variable for its lifetime.
struct ScopedEnv {
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) saved_ = old;
    value ? setenv(name, value, 1) : unsetenv(name);
  }
  ~ScopedEnv() { saved_ ? setenv(name_, saved_->c_str(), 1) : unsetenv(name_); }
  const char* name_;
  std::optional<std::string> saved_;
};

std::string LockName(std::uint32_t index) {
  char name[9];
  LockMutexName(index, name);
  return name;
}

TEST(LockNames, AreVexolAndTwoDigits) {
  const std::pair<std::uint32_t, const char*> cases[] = {
      {0, "vexol_00"}, {7, "vexol_07"}, {9, "vexol_09"}, {10, "vexol_10"}, {34, "vexol_34"}};
  for (const auto& [index, expected] : cases) EXPECT_EQ(LockName(index), expected);
}

// Device files and named mutexes live in the device directory: each test has the rig's own.
std::string InDeviceDir(const std::string& name) {
  return std::string(std::getenv("KEPRA_DEVICE_DIR")) + "/" + name;
}

HANDLE OpenIndex(std::uint32_t index) {
  return CreateFileA(InDeviceDir(vcam::InterfaceName(index)).c_str(), GENERIC_READ | GENERIC_WRITE,
                     3, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

TEST(PosixHandles, UnknownHandlesFailWith6AndNeverCrash) {
  rig::Rig rig;
  rig.Plug(1);
  HANDLE h = OpenIndex(1);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(CloseHandle(h));
  std::uint8_t out[4];
  DWORD returned = 77;
  // A reused slot does not revive the stale handle.
  HANDLE second = OpenIndex(1);
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  EXPECT_NE(second, h);
  for (HANDLE bad : {h, static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE,
                     reinterpret_cast<HANDLE>(std::uintptr_t{0x1235}),
                     reinterpret_cast<HANDLE>(std::uintptr_t{0xFFFF0000})}) {
    SetLastError(0);
    EXPECT_FALSE(
        DeviceIoControl(bad, io::IOCTL_DEVICE_INDEX, nullptr, 0, out, 4, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(returned, 0u);
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(bad));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(bad, 0), WAIT_FAILED);
    EXPECT_FALSE(ReleaseMutex(bad));
  }
  EXPECT_TRUE(CloseHandle(second));
}

TEST(PosixDevice, RequestsFollowTheWireContract) {
  rig::Rig rig;
  auto camera = rig.Plug(2);
  HANDLE h = OpenIndex(2);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  std::uint8_t out[8] = {0, 0, 0, 0, 9, 9, 9, 9};
  DWORD returned = 0;
  SetLastError(1234);
  ASSERT_TRUE(DeviceIoControl(h, io::IOCTL_DEVICE_INDEX, nullptr, 0, out, 8, &returned, nullptr));
  EXPECT_EQ(returned, 4u);
  EXPECT_EQ(out[0], 2);
  EXPECT_EQ(out[4], 9);              // only the bytes returned are written
  EXPECT_EQ(GetLastError(), 1234u);  // success leaves the last error alone

  // A code the camera does not serve.
  EXPECT_FALSE(DeviceIoControl(h, 0x22FFFC, nullptr, 0, nullptr, 0, &returned, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);

  // Null buffers with a length fail before anything is sent.
  camera->ClearLog();
  EXPECT_FALSE(DeviceIoControl(h, io::IOCTL_SENSOR_REG, nullptr, 2, out, 2, &returned, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_NOACCESS);
  EXPECT_FALSE(
      DeviceIoControl(h, io::IOCTL_DEVICE_INDEX, nullptr, 0, nullptr, 4, &returned, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_NOACCESS);
  EXPECT_TRUE(camera->Log().empty());
  // bytes_returned may be omitted.
  EXPECT_TRUE(DeviceIoControl(h, io::IOCTL_DEVICE_INDEX, nullptr, 0, out, 4, nullptr, nullptr));
  EXPECT_TRUE(CloseHandle(h));
}

TEST(PosixDiscovery, DeviceDirectoryComesFromTheEnvironmentInOrder) {
  const struct {
    const char *dir, *xdg;
    std::string expected;
  } cases[] = {{"/a/b", "/run/x", "/a/b"},
               {nullptr, "/run/x", "/run/x/kepra"},
               {nullptr, nullptr, "/tmp/kepra-" + std::to_string(getuid())}};
  for (const auto& c : cases) {
    ScopedEnv dir("KEPRA_DEVICE_DIR", c.dir), xdg("XDG_RUNTIME_DIR", c.xdg);
    EXPECT_EQ(kepra::posix::DeviceDirectory(), c.expected);
  }
}

TEST(PosixDiscovery, DetailRecordFollowsTheWindowsSizeRules) {
  rig::Rig rig;
  rig.Plug(5);
  GUID guid{0x90bcde2c, 0xe6de, 0x4cf2, {0xb4, 0x3c, 0xd0, 0x85, 0x0c, 0x4d, 0x47, 0x05}};
  HDEVINFO set =
      SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(set, INVALID_HANDLE_VALUE);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 0, &data));
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 1, &data));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
  DWORD required = 0;
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  std::vector<std::uint8_t> memory(required);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(memory.data());
  detail->cbSize = required;  // the allocation size is wrong: only the fixed part is accepted
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr));
  EXPECT_EQ(std::string(detail->DevicePath), InDeviceDir(vcam::InterfaceName(5)));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
  EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
}

TEST(DebugLines, AreOneLineEachCutAt2047AndDroppedQuietlyWithoutAListener) {
  {
    rig::Rig rig;
    CxDebugPrint("%s", "H is not valid");
    CxDebugPrint("%s", std::string(5000, 'x').c_str());
    EXPECT_EQ(rig.DebugLines(),
              (std::vector<std::string>{"H is not valid", std::string(2047, 'x')}));
  }
  ScopedEnv nowhere("KEPRA_DEVICE_DIR", "/nonexistent/kepra");
  SetLastError(42);
  const double start = rig::NowMs();
  for (int i = 0; i < 100; ++i) OutputDebugStringA("nobody hears this");
  EXPECT_LT(rig::NowMs() - start, 1000.0);
  EXPECT_EQ(GetLastError(), 42u);
}

// ---- the device session ----------------------------------------------------------------------

const std::uint32_t kIndex = rig::TestIndex();

TEST(OpenCounts, OneMutexPerIndexSharedByItsHandles) {
  rig::Rig rig;
  rig.Plug(kIndex);
  EXPECT_EQ(kepra_OpenDevice(kIndex + 1), KEPRA_INVALID_HANDLE);
  EXPECT_EQ(g_open_count[kIndex + 1], 0);  // a failed open leaves the count alone
  KEPRA_HANDLE a = kepra_OpenDevice(kIndex);
  ASSERT_NE(a, KEPRA_INVALID_HANDLE);
  EXPECT_EQ(g_open_count[kIndex], 1);
  HANDLE mutex = g_lock_mutex[kIndex];
  KEPRA_HANDLE b = kepra_OpenDevice(kIndex);
  ASSERT_NE(b, KEPRA_INVALID_HANDLE);
  EXPECT_EQ(g_open_count[kIndex], 2);
  EXPECT_EQ(g_lock_mutex[kIndex], mutex);
  EXPECT_EQ(kepra_CloseDevice(a), 1u);
  EXPECT_EQ(g_open_count[kIndex], 1);
  // Still open. The mutex is machine-wide: a process of another suite that died holding it
  // leaves it abandoned, which is owned all the same.
  const DWORD wait = WaitForSingleObject(mutex, 0);
  EXPECT_TRUE(wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) << wait;
  ReleaseMutex(mutex);
  EXPECT_EQ(kepra_CloseDevice(b), 1u);
  EXPECT_EQ(g_open_count[kIndex], 0);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_FAILED);  // closed with the last handle
}

TEST(DevicePath, IsTheSocketOfTheIndexClassUnlessItsPathReaches256Characters) {
  rig::Rig rig;
  rig.Plug(16);
  char path[kDevicePathSize];
  ASSERT_TRUE(CxGetDevicePath(InterfaceClass(16), path));
  EXPECT_EQ(std::string(path), InDeviceDir("90bcde2c-e6de-4cf2-b43c-d0850c4d4710"));
  EXPECT_FALSE(CxGetDevicePath(InterfaceClass(17), path));
  // A device directory so deep that the socket's full path is too long for the buffer; the
  // socket is bound by a relative name from inside it.
  std::string deep = std::getenv("KEPRA_DEVICE_DIR");
  while (deep.size() < 230) deep += "/" + std::string(40, 'd');
  std::filesystem::create_directories(deep);
  const std::string cwd = std::filesystem::current_path();
  ASSERT_EQ(chdir(deep.c_str()), 0);
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string name = "90bcde2c-e6de-4cf2-b43c-d0850c4d4715";
  std::memcpy(address.sun_path, name.c_str(), name.size() + 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(chdir(cwd.c_str()), 0);
  ScopedEnv deep_dir("KEPRA_DEVICE_DIR", deep.c_str());
  ASSERT_GE(deep.size() + 1 + name.size(), 256u);
  EXPECT_FALSE(CxGetDevicePath(InterfaceClass(15), path));
  EXPECT_EQ(kepra_OpenDevice(15), KEPRA_INVALID_HANDLE);
  close(fd);
}

// The public API over the loopback transport, chosen at run time: it reaches in-process
// cameras without sockets (the rig's directory only holds the lock objects and debug lines),
// and every handle it opens is closed through it.
TEST(Loopback, ServesThePublicApiAndClosesEveryHandleItOpened) {
  rig::Rig rig;
  kepra::driver::Use(&rig::loopback::Transport());
  auto camera = std::make_shared<vcam::Camera>(kIndex);
  camera->EnableLog(true);
  rig::loopback::Attach(camera);
  const std::shared_ptr<void> restore(nullptr, [camera](void*) {
    camera->Unplug();
    kepra::driver::Use(nullptr);
  });
  EXPECT_EQ(kepra_OpenDevice(kIndex == 34 ? 33 : kIndex + 1), KEPRA_INVALID_HANDLE);
  KEPRA_HANDLE h = kepra_OpenDevice(kIndex);
  ASSERT_NE(h, KEPRA_INVALID_HANDLE);
  ASSERT_EQ(kepra_WriteSensorReg(h, 0x20, 0x1AB), 1u);
  EXPECT_EQ(camera->Register(0x20), 0x1AB);
  std::uint16_t value = 0;
  camera->SetRegister(0x0E, 0x321);
  ASSERT_EQ(kepra_ReadSensorReg(h, 0x0E, &value), 1u);
  EXPECT_EQ(value, 0x321);
  // A stream grabs on a handle of its own, and its stop cancels a grab that waits for a
  // trigger which never comes.
  ASSERT_EQ(kepra_SetStreamMode(h, KEPRA_STREAM_SNAPSHOT), 1u);
  ASSERT_EQ(kepra_SetSnapshotParams(h, 0, 0), 1u);
  kepra_StreamConfig config = {sizeof config, 16, 2, KEPRA_STREAM_OLDEST_FIRST, 1, 0, nullptr};
  KEPRA_STREAM s = kepra_OpenStream(h, &config);
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(kepra_StartStream(s), 1u);
  EXPECT_EQ(rig::loopback::OpenHandles(), 2u);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  auto stop = std::async(std::launch::async, [s] { return kepra_StopStream(s); });
  const bool prompt = stop.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  if (!prompt) camera->Trigger();  // so that the test can end
  EXPECT_TRUE(prompt) << "the stop waited for a trigger";
  EXPECT_EQ(stop.get(), 1u);
  EXPECT_EQ(kepra_CloseStream(s), 1u);
  EXPECT_EQ(rig::loopback::OpenHandles(), 1u);
  EXPECT_EQ(kepra_CloseDevice(h), 1u);
  EXPECT_EQ(rig::loopback::OpenHandles(), 0u);
}

// ---- Named mutexes ----------------------------------------------------------------------

TEST(PosixMutex, CreationReportsAnExistingNameRefusesAForeignObjectAndIgnoresHalfMadeOnes) {
  rig::Rig rig;
  SetLastError(99);
  HANDLE a = CreateMutexA(nullptr, FALSE, "made");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  HANDLE b = CreateMutexA(nullptr, FALSE, "made");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_NE(a, b);
  EXPECT_TRUE(std::filesystem::exists(InDeviceDir("made")));
  CloseHandle(a);
  CloseHandle(b);
  // A file that is no mutex under the name.
  std::ofstream(InDeviceDir("foreign")) << "not a mutex";
  EXPECT_EQ(CreateMutexA(nullptr, FALSE, "foreign"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  // A creator killed before publishing leaves only its private temporary object behind.
  std::ofstream(InDeviceDir(".kepra-mutex-999999-0")).put('x');
  HANDLE m = CreateMutexA(nullptr, FALSE, "halfmade");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
  ReleaseMutex(m);
  CloseHandle(m);
}

// Named and unnamed mutexes alike.
class PosixMutexKinds : public ::testing::TestWithParam<bool> {
 protected:
  HANDLE Make() { return CreateMutexA(nullptr, FALSE, GetParam() ? "kind" : nullptr); }
  rig::Rig rig_;
};
INSTANTIATE_TEST_SUITE_P(NamedAndUnnamed, PosixMutexKinds, ::testing::Bool());

TEST_P(PosixMutexKinds, IsRecursiveAndOnlyItsOwnerMayReleaseIt) {
  HANDLE m = Make();
  ASSERT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
  ASSERT_EQ(WaitForSingleObject(m, 100), WAIT_OBJECT_0);
  std::thread([&] {
    EXPECT_EQ(WaitForSingleObject(m, 50), WAIT_TIMEOUT);
    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(m));
    EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
  }).join();
  EXPECT_TRUE(ReleaseMutex(m));
  std::thread([&] { EXPECT_EQ(WaitForSingleObject(m, 50), WAIT_TIMEOUT); }).join();  // still held
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_FALSE(ReleaseMutex(m));
  std::thread([&] {
    EXPECT_EQ(WaitForSingleObject(m, 50), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(m));
  }).join();
  CloseHandle(m);
}

TEST(PosixMutex, AThreadEndingWhileOwningItAbandonsItEvenWithItsHandleClosed) {
  rig::Rig rig;
  HANDLE m = CreateMutexA(nullptr, FALSE, "abandon");
  std::thread([&] { EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0); }).join();
  EXPECT_EQ(WaitForSingleObject(m, 1000), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);  // normal again
  EXPECT_TRUE(ReleaseMutex(m));
  std::thread([&] {
    HANDLE mine = CreateMutexA(nullptr, FALSE, "abandon");
    EXPECT_EQ(WaitForSingleObject(mine, 0), WAIT_OBJECT_0);
    CloseHandle(mine);  // closing the handle does not release it; ending the thread does
  }).join();
  EXPECT_EQ(WaitForSingleObject(m, 1000), WAIT_ABANDONED);
  ReleaseMutex(m);
  CloseHandle(m);
}

// A device directory of a given mode in /tmp, where other users can reach it if the mode
// lets them; the mutex names of this process follow it while it lives.
struct ModeDir {
  explicit ModeDir(mode_t mode) : env("KEPRA_DEVICE_DIR", path.c_str()) { chmod(name, mode); }
  ~ModeDir() { std::filesystem::remove_all(path, ignored); }
  char name[23] = "/tmp/kepra-mode-XXXXXX";
  std::string path = mkdtemp(name) ? name : "";
  ScopedEnv env;
  std::error_code ignored;
};

TEST(PosixMutex, TheObjectTakesItsDirectorysGroupAndReadWriteBits) {
  const struct {
    mode_t dir, object;
  } cases[] = {{0700, 0600}, {0750, 0640}, {0770, 0660}, {0777, 0666}};
  // Root can give the directory any group; others the one they have.
  const gid_t group = geteuid() == 0 ? 4242 : getegid();
  for (const auto& c : cases) {
    ModeDir dir(c.dir);
    ASSERT_FALSE(dir.path.empty());
    ASSERT_EQ(chown(dir.path.c_str(), static_cast<uid_t>(-1), group), 0);
    const mode_t old_umask = umask(0077);  // the creator's umask has no say
    HANDLE m = CreateMutexA(nullptr, FALSE, "modes");
    umask(old_umask);
    ASSERT_NE(m, nullptr) << std::oct << c.dir;
    struct stat st {};
    ASSERT_EQ(stat((dir.path + "/modes").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.object) << std::oct << c.dir;
    EXPECT_EQ(st.st_gid, group);
    CloseHandle(m);
  }
}

// Exit status of the lock holder run as user and group 65534 on lock `index` of the device
// directory: 0 when it took the lock, 3 when it could not open it.
int TakeAsAnotherUser(std::uint32_t index) {
  const std::string helper = rig::HelperPath("kepra-test-lockholder");
  const std::string arg = std::to_string(index);
  const pid_t pid = fork();
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(9);
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, 1);
    execl(helper.c_str(), helper.c_str(), arg.c_str(), "exit", nullptr);
    _exit(10);
  }
  int status = -1;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(PosixMutex, OnlyThoseWhoMayWriteTheDirectoryTakeItsLocks) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  const std::uint32_t index = kIndex;
  const std::string name = LockName(index);
  for (const mode_t mode : {0700, 0755, 0777}) {
    ModeDir dir(mode);
    HANDLE m = CreateMutexA(nullptr, FALSE, name.c_str());  // made by the directory's owner first
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(TakeAsAnotherUser(index), mode == 0777 ? 0 : 3) << std::oct << mode;
    CloseHandle(m);
  }
}

// A handle kept while its directory went away (a close that could not learn the camera's
// index keeps it) takes the lock of the directory the process finds cameras in now.
TEST(PosixMutex, AHandleWhoseDirectoryWentTakesTheLockOfTheCurrentOne) {
  const std::uint32_t index = kIndex;
  const std::string name = LockName(index);
  HANDLE m = nullptr;
  {
    ModeDir gone(0700);
    m = CreateMutexA(nullptr, FALSE, name.c_str());
    ASSERT_NE(m, nullptr);
  }
  ModeDir now(0700);
  rig::Child holder({rig::HelperPath("kepra-test-lockholder"), std::to_string(index), "hold"});
  ASSERT_TRUE(holder.WaitForLine("locked"));
  EXPECT_EQ(WaitForSingleObject(m, 200), WAIT_TIMEOUT);
  holder.Kill();
  holder.Wait();
  EXPECT_EQ(WaitForSingleObject(m, 1000), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(m));
  CloseHandle(m);
}

}  // namespace
