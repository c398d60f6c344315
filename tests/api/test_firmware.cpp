// Firmware update: the carried image behind its version gate and images from files. What a
// failed request leaves in the flash is the fault sweep's (the rows' FlashKept).
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "flash_image.h"

namespace kt {

// The library's carried image, embedded into this suite from the same data file.
extern const unsigned char kCarriedImage[];
extern const std::size_t kCarriedImageSize;

namespace {

namespace fs = std::filesystem;

Image CarriedImage() { return Image(kCarriedImage, kCarriedImage + kCarriedImageSize); }

class Firmware : public CameraTest {
 protected:
  void SetUp() override {
    CameraTest::SetUp();
    before_ = Pattern(11);
    camera_->Flash().Poke(0, before_);
    camera_->ClearLog();
    fs::create_directory(dir_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
    CameraTest::TearDown();
  }

  // A path in the test's own temporary directory, and a file there holding `content`.
  std::string Path(const char* name) const { return (dir_ / name).string(); }
  std::string File(const char* name, const Image& content) const {
    std::ofstream(dir_ / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()),
               static_cast<std::streamsize>(content.size()));
    return Path(name);
  }

  std::size_t FlashRequests() const {
    std::size_t count = 0;
    for (const auto& entry : camera_->Log()) {
      count += entry.code == io::IOCTL_SPI_READ_PAGE || entry.code == io::IOCTL_SPI_WRITE_PAGE ||
               entry.code == io::IOCTL_SPI_ERASE_SECTOR;
    }
    return count;
  }

  std::vector<std::uint32_t> ErasedSectors() const {
    std::vector<std::uint32_t> sectors;
    for (const auto& entry : camera_->Log()) {
      if (entry.code == io::IOCTL_SPI_ERASE_SECTOR) sectors.push_back(Le32(entry.in));
    }
    return sectors;
  }

  // `content` written from address 0 over `before_`.
  Image WrittenOver(const Image& content) const {
    Image expected = before_;
    std::copy(content.begin(), content.end(), expected.begin());
    return expected;
  }

  Image before_;
  const fs::path dir_ = fs::temp_directory_path() / ("kepra-fw-" + std::to_string(kIndex) + "-" +
                                                     std::to_string(std::random_device{}()));
};

TEST_F(Firmware, CarriedImageIsWrittenWholeFromAddressZero) {
  const Image image = CarriedImage();
  ASSERT_EQ(image.size(), 171976u);  // 0x29FC8: sectors 0 to 2, the last one in part
  ASSERT_EQ(kepra_UpdateFW(h()), 1u);

  // The version query goes first, without the lock; then the locked write.
  const auto codes = Codes();
  ASSERT_GE(codes.size(), 3u);
  EXPECT_EQ(codes[0], io::IOCTL_FW_VERSION);
  EXPECT_EQ(codes[1], io::IOCTL_DEVICE_INDEX);
  EXPECT_EQ(codes.back(), io::IOCTL_DEVICE_INDEX);
  EXPECT_EQ(ErasedSectors(), (std::vector<std::uint32_t>{0, 1, 2}));
  EXPECT_EQ(FlashRequests(), 3u * 513);

  // Everything past the image, from 0x29FC8 to the end of sector 2 and beyond, is as before.
  EXPECT_TRUE(SameBytes(camera_->Flash().Snapshot(), WrittenOver(image)));

  // And the camera boots it after a reset.
  ASSERT_EQ(kepra_DeviceReset(h()), 1u);
  const auto lines = camera_->DriverLog();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find("camera boots"), std::string::npos) << lines.back();
}

TEST_F(Firmware, OtherFirmwareVersionsAreRefusedWithoutAFlashRequest) {
  struct Version {
    std::uint16_t third, fourth;
  };
  for (const Version v : {Version{1, 5}, Version{2, 6}, Version{0x0101, 0x0006}}) {
    SCOPED_TRACE(testing::Message() << v.third << "/" << v.fourth);
    vcam::FirmwareVersion version;
    version.third = v.third;
    version.fourth = v.fourth;
    camera_->SetFirmware(version);
    camera_->ClearLog();
    EXPECT_EQ(kepra_UpdateFW(h()), 0u);
    EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_PRODUCT_VERSION);
    EXPECT_EQ(Codes(), std::vector<std::uint32_t>{io::IOCTL_FW_VERSION});
  }
  EXPECT_TRUE(SameBytes(camera_->Flash().Snapshot(), before_));
}

// A camera booted from a half-written image runs its boot loader until a second update.
TEST_F(Firmware, AnInterruptedUpdateLeavesABootLoaderThatASecondUpdateRecovers) {
  // The programming of page 300 (sector 1) fails: sector 0 holds the new start of the image,
  // sector 1 is erased and only partly programmed.
  vcam::Fault fault;
  fault.code = io::IOCTL_SPI_WRITE_PAGE;
  fault.nth = 300;
  camera_->AddFault(fault);
  EXPECT_EQ(kepra_UpdateFW(h()), 0u);
  ASSERT_EQ(kepra_DeviceReset(h()), 1u);

  std::uint16_t v1 = 9, v2 = 9, v3 = 9, v4 = 9;
  std::uint8_t v5 = 9;
  ASSERT_EQ(kepra_GetFWVersion(h(), &v1, &v2, &v3, &v4, &v5), 1u);
  EXPECT_EQ(v1, 0);
  EXPECT_EQ(v2, 0);
  EXPECT_EQ(v3, 1);
  EXPECT_EQ(v4, 6);
  kepra_CameraInfoEx ex{};
  ASSERT_EQ(kepra_GetCameraInfoEx(h(), &ex), 1u);
  EXPECT_EQ(ex.ModelCode, 0);
  kepra_CameraInfo info{};
  ASSERT_EQ(kepra_GetCameraInfo(h(), &info), 1u);
  EXPECT_STREQ(info.ModelName, "KEPRA-Axx unflashed");
  std::vector<std::uint8_t> buffer(64);
  EXPECT_EQ(kepra_GetFrame16(h(), buffer.data(), 64), 0u);
  EXPECT_EQ(kepra_GetLastError(), 21u /* ERROR_NOT_READY */);

  ASSERT_EQ(kepra_UpdateFW(h()), 1u);
  ASSERT_EQ(kepra_DeviceReset(h()), 1u);
  const vcam::FirmwareVersion configured;
  ASSERT_EQ(kepra_GetFWVersion(h(), &v1, &v2, &v3, &v4, &v5), 1u);
  EXPECT_EQ(v1, configured.first);
  EXPECT_EQ(v2, configured.second);
  ASSERT_EQ(kepra_GetCameraInfo(h(), &info), 1u);
  EXPECT_STREQ(info.ModelName, "KEPRA-A1 Mono");
  EXPECT_EQ(kepra_GetFrame16(h(), buffer.data(), 64), 1u);
}

// ---- From a file ------------------------------------------------------------------------

TEST_F(Firmware, FileContentIsWrittenFromAddressZero) {
  const Image content = Pattern(12, 300);
  ASSERT_EQ(kepra_UpdateFWFromFile(h(), File("content", content).c_str()), 1u);
  EXPECT_EQ(ErasedSectors(), std::vector<std::uint32_t>{0});
  EXPECT_EQ(FlashRequests(), 513u);
  EXPECT_TRUE(SameBytes(camera_->Flash().Snapshot(), WrittenOver(content)));
}

TEST_F(Firmware, FileErrors) {
  kepra_SetLastError(kSentinel);
  EXPECT_EQ(kepra_UpdateFWFromFile(h(), Path("missing").c_str()), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_READ_FAULT);
  EXPECT_TRUE(camera_->Log().empty());

  ASSERT_TRUE(fs::create_directory(Path("directory")));
  EXPECT_EQ(kepra_UpdateFWFromFile(h(), Path("directory").c_str()), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_READ_FAULT);

  // One byte too many would reach the user area: refused before anything is sent.
  const Image oversized(KEPRA_FIRMWARE_REGION_SIZE + 1, 0x5A);
  EXPECT_EQ(kepra_UpdateFWFromFile(h(), File("oversized", oversized).c_str()), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(camera_->Log().empty());

  EXPECT_EQ(kepra_UpdateFWFromFile(h(), nullptr), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(camera_->Log().empty());

  // The whole firmware region is accepted.
  const Image region = Pattern(13, KEPRA_FIRMWARE_REGION_SIZE);
  ASSERT_EQ(kepra_UpdateFWFromFile(h(), File("full", region).c_str()), 1u);
  EXPECT_EQ(ErasedSectors().size(), 22u);
  before_ = WrittenOver(region);
  camera_->ClearLog();

  // An empty file is refused by the flash write, under the lock.
  EXPECT_EQ(kepra_UpdateFWFromFile(h(), File("empty", Image{}).c_str()), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_ADDRESS);
  EXPECT_EQ(Codes(), (std::vector<std::uint32_t>{io::IOCTL_DEVICE_INDEX, io::IOCTL_DEVICE_INDEX}));
  EXPECT_TRUE(SameBytes(camera_->Flash().Snapshot(), before_));
}

TEST_F(Firmware, HandleIsExaminedOnlyByTheLockAfterTheFileWasRead) {
  EXPECT_EQ(kepra_UpdateFWFromFile(KEPRA_INVALID_HANDLE, Path("missing").c_str()), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_READ_FAULT);
  EXPECT_EQ(kepra_UpdateFWFromFile(KEPRA_INVALID_HANDLE, File("file", Pattern(14, 64)).c_str()),
            0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_STATUS_INVALID_HANDLE);
  EXPECT_TRUE(camera_->Log().empty());
}

}  // namespace
}  // namespace kt
