// The device session's internals: open counts, the mutex table, the lock's recursion and its
// error codes, device paths.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "device/device.h"
#include "kepra/kepra.h"
#include "protocol/protocol.h"
#include "rig.h"

namespace {

using namespace kepra::device;
namespace io = kepra::protocol;

TEST(LockNames, AreVexolAndTwoDigits) {
  const std::pair<std::uint32_t, const char*> cases[] = {
      {0, "vexol_00"}, {7, "vexol_07"}, {9, "vexol_09"}, {10, "vexol_10"}, {34, "vexol_34"}};
  for (const auto& [index, expected] : cases) {
    char name[9];
    LockMutexName(index, name);
    EXPECT_STREQ(name, expected);
  }
}

const std::uint32_t kIndex = rig::TestIndex();

TEST(OpenCounts, OneMutexPerIndexSharedByItsHandles) {
  rig::Rig rig;
  rig.Plug(kIndex);
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

TEST(OpenCounts, AFailedOpenLeavesTheCountAlone) {
  rig::Rig rig;
  EXPECT_EQ(kepra_OpenDevice(13), KEPRA_INVALID_HANDLE);
  EXPECT_EQ(g_open_count[13], 0);
}

TEST(DevicePath, APathOf256CharactersOrMoreIsRefused) {
  rig::Rig rig;
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
  const std::string saved = std::getenv("KEPRA_DEVICE_DIR");
  setenv("KEPRA_DEVICE_DIR", deep.c_str(), 1);
  ASSERT_GE(deep.size() + 1 + name.size(), 256u);
  char path[kDevicePathSize];
  EXPECT_FALSE(CxGetDevicePath(InterfaceClass(15), path));
  EXPECT_EQ(kepra_OpenDevice(15), KEPRA_INVALID_HANDLE);
  setenv("KEPRA_DEVICE_DIR", saved.c_str(), 1);
  close(fd);
}

TEST(DevicePath, IsTheSocketOfTheIndexClass) {
  rig::Rig rig;
  rig.Plug(16);
  char path[kDevicePathSize];
  ASSERT_TRUE(CxGetDevicePath(InterfaceClass(16), path));
  EXPECT_EQ(std::string(path),
            std::string(std::getenv("KEPRA_DEVICE_DIR")) + "/90bcde2c-e6de-4cf2-b43c-d0850c4d4710");
  EXPECT_FALSE(CxGetDevicePath(InterfaceClass(17), path));
}

TEST(DebugPrint, WritesOneLineAndCutsOverlongText) {
  rig::Rig rig;
  CxDebugPrint("%s", "H is not valid");
  CxDebugPrint("%s", std::string(5000, 'x').c_str());
  const auto lines = rig.DebugLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "H is not valid");
  EXPECT_EQ(lines[1], std::string(2047, 'x'));
}

}  // namespace
