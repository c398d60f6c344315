// The virtual camera's own contract, served directly: state kept across a restart, lengths
// from clients validated, the driver log bounded, NOR timing on request.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "camera.h"
#include "driver/ioctl.h"

namespace {

namespace fs = std::filesystem;
namespace io = kepra::driver;
using Bytes = std::vector<std::uint8_t>;

class StateDir {
 public:
  StateDir() {
    std::random_device entropy;
    path_ = fs::temp_directory_path() / ("kepra-vcam-state-" + std::to_string(entropy()));
  }
  ~StateDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  std::string str() const { return path_.string(); }
  fs::path operator/(const char* name) const { return path_ / name; }

 private:
  fs::path path_;
};

vcam::Camera::Result Serve(vcam::Camera& camera, std::uint32_t code, const Bytes& in, Bytes& out) {
  return camera.Serve(code, in, out);
}

Bytes Le32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
          static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

TEST(VirtualCameraState, FlashAndIdentitySurviveARestart) {
  StateDir dir;
  vcam::CameraConfig config;
  config.state_dir = dir.str();
  Bytes program = Le32(4000);  // past the firmware a fresh flash holds
  for (int i = 0; i < 256; ++i) program.push_back(static_cast<std::uint8_t>(i ^ 0x5A));
  Bytes ident(78);
  for (int i = 0; i < 78; ++i) ident[i] = static_cast<std::uint8_t>(200 - i);
  {
    vcam::Camera camera(3, config);
    Bytes none;
    ASSERT_TRUE(Serve(camera, io::IOCTL_SPI_WRITE_PAGE, program, none).ok);
    ASSERT_TRUE(Serve(camera, io::IOCTL_SET_IDENTDATA, ident, none).ok);
  }
  EXPECT_EQ(fs::file_size(dir / "flash.bin"), 2u * 1024 * 1024);
  EXPECT_EQ(fs::file_size(dir / "ident.bin"), 78u);

  config.model_code = '7';  // the kept record wins over the configuration
  vcam::Camera again(3, config);
  Bytes page(256);
  ASSERT_TRUE(Serve(again, io::IOCTL_SPI_READ_PAGE, Le32(4000), page).ok);
  EXPECT_TRUE(std::equal(page.begin(), page.end(), program.begin() + 4));
  Bytes record(78);
  ASSERT_TRUE(Serve(again, io::IOCTL_IDENTDATA, {}, record).ok);
  EXPECT_EQ(record, ident);
}

TEST(VirtualCameraState, AFreshRecordCarriesModelAndSerial) {
  StateDir dir;
  vcam::CameraConfig config;
  config.state_dir = dir.str();
  config.model_code = '8';
  vcam::Camera camera(12, config);
  const vcam::IdentData ident = camera.Ident();
  EXPECT_EQ(ident[2], '8');
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(ident.data() + 6)), "VCAM0012");
  Bytes reply(20, 0xEE);
  ASSERT_TRUE(Serve(camera, io::IOCTL_CHECK_ID, {}, reply).ok);
  // "KEPRA VCAM0012" and NUL padding up to the length asked.
  Bytes expected(20, 0);
  std::memcpy(expected.data(), "KEPRA VCAM0012", 14);
  EXPECT_EQ(reply, expected);
}

TEST(VirtualCameraState, DamagedStateFilesAreRefused) {
  StateDir dir;
  vcam::CameraConfig config;
  config.state_dir = dir.str();
  fs::create_directories(dir.str());
  { std::ofstream(dir / "ident.bin", std::ios::binary) << "short"; }
  EXPECT_THROW(vcam::Camera(1, config), std::runtime_error);
  fs::remove(dir / "ident.bin");
  { std::ofstream(dir / "flash.bin", std::ios::binary) << "not two mebibytes"; }
  EXPECT_THROW(vcam::Camera(1, config), std::runtime_error);
}

TEST(VirtualCameraRequests, LengthsFromClientsAreValidated) {
  vcam::Camera camera(0);
  struct Case {
    const char* what;
    std::uint32_t code;
    Bytes in;
    std::size_t out;
    std::uint32_t error;
  };
  const Case cases[] = {
      {"read page, short input", io::IOCTL_SPI_READ_PAGE, {0, 0, 0}, 256, 87},
      {"read page, short output", io::IOCTL_SPI_READ_PAGE, Le32(0), 255, 122},
      {"read page, long output", io::IOCTL_SPI_READ_PAGE, Le32(0), 257, 87},
      {"read page 8192", io::IOCTL_SPI_READ_PAGE, Le32(8192), 256, 87},
      {"program, short entry", io::IOCTL_SPI_WRITE_PAGE, Bytes(259), 0, 87},
      {"program page 8192", io::IOCTL_SPI_WRITE_PAGE,
       [] {
         Bytes entry = Le32(8192);
         entry.resize(260, 0);
         return entry;
       }(),
       0, 87},
      {"erase sector 32", io::IOCTL_SPI_ERASE_SECTOR, Le32(32), 0, 87},
      {"erase, output", io::IOCTL_SPI_ERASE_SECTOR, Le32(0), 4, 87},
      {"identity, short output", io::IOCTL_IDENTDATA, {}, 77, 122},
      {"set identity, 77 bytes", io::IOCTL_SET_IDENTDATA, Bytes(77), 0, 87},
      {"driver version, short", io::IOCTL_DRIVER_VERSION, {}, 3, 122},
      {"firmware version, short", io::IOCTL_FW_VERSION, {}, 11, 122},
      {"USB speed, 5 bytes", io::IOCTL_USB_SPEED, {}, 5, 87},
      {"USB speed, 2 bytes", io::IOCTL_USB_SPEED, {}, 2, 122},
      {"driver log, 20 bytes", io::IOCTL_DRV_LOG_MSG, {}, 20, 122},
      {"reset with input", io::IOCTL_DEVICE_RESET, {1}, 0, 87},
      {"firmware error test with output", io::IOCTL_POST_TEST_FW_ERROR, {}, 1, 87},
  };
  for (const Case& c : cases) {
    Bytes out(c.out, 0xCD);
    const auto result = Serve(camera, c.code, c.in, out);
    EXPECT_FALSE(result.ok) << c.what;
    EXPECT_EQ(result.error, c.error) << c.what;
  }
  // Nothing of that reached the flash.
  EXPECT_EQ(camera.Flash().GetCounters().pages_programmed, 0u);
  EXPECT_EQ(camera.Flash().GetCounters().sectors_erased, 0u);
}

TEST(VirtualCameraRequests, DriverLogKeepsTheNewestLines) {
  vcam::Camera camera(0);
  Bytes out(3);
  for (int i = 0; i < 100; ++i) Serve(camera, io::IOCTL_DRIVER_VERSION, {}, out);
  const auto lines = camera.DriverLog();
  ASSERT_EQ(lines.size(), 64u);
  EXPECT_EQ(lines.front().rfind("37 ", 0), 0u) << lines.front();
  EXPECT_EQ(lines.back().rfind("100 ", 0), 0u) << lines.back();
  EXPECT_NE(lines.back().find("IOCTL_DRIVER_VERSION"), std::string::npos);
  EXPECT_NE(lines.back().find("error 122"), std::string::npos);
}

TEST(VirtualCameraRequests, NorTimingMakesAnEraseTakeTheChipsTime) {
  vcam::CameraConfig config;
  config.nor_timing = true;
  vcam::Camera camera(0, config);
  Bytes none;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(Serve(camera, io::IOCTL_SPI_ERASE_SECTOR, Le32(5), none).ok);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
}

}  // namespace
