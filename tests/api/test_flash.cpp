// The SPI flash as byte ranges (page reads, sector rewrites, the user area, failures on the way,
// two cameras written at once) and the firmware update (the carried image behind its version
// gate, images from files). Every write is checked against a full snapshot of the flash taken
// before it, with the expected change applied independently here; what a failed request leaves
// is the fault sweep's (the rows' FlashKept).
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "fixture.h"

namespace kt {

// The library's carried image, embedded into this suite from the same data file.
extern const unsigned char kCarriedImage[];
extern const std::size_t kCarriedImageSize;

namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kFlashBytes = 0x200000;
constexpr std::uint32_t kUserBase = 0x160000;
constexpr std::uint32_t kUserBytes = 0xA0000;

using Image = std::vector<std::uint8_t>;

Image Pattern(std::uint32_t seed, std::size_t size = kFlashBytes) {
  std::mt19937 generator(seed);
  Image bytes(size);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(generator());
  return bytes;
}

testing::AssertionResult SameBytes(const Image& got, const Image& expected) {
  if (got == expected) return testing::AssertionSuccess();
  if (got.size() != expected.size()) return testing::AssertionFailure() << "another size";
  const auto diff = std::mismatch(got.begin(), got.end(), expected.begin());
  return testing::AssertionFailure() << "byte " << diff.first - got.begin() << " is "
                                     << int{*diff.first} << ", not " << int{*diff.second};
}

Image CarriedImage() { return Image(kCarriedImage, kCarriedImage + kCarriedImageSize); }

class Flash : public CameraTest {
 protected:
  void SetUp() override {
    CameraTest::SetUp();
    before_ = Pattern(1);
    camera_->Flash().Poke(0, before_);
    camera_->ClearLog();
  }

  // The requests the camera received: code, input bytes, length asked for.
  using Request = std::tuple<std::uint32_t, Image, std::uint32_t>;
  std::vector<Request> Requests() const {
    std::vector<Request> requests;
    for (const auto& e : camera_->Log()) requests.emplace_back(e.code, e.in, e.out_size);
    return requests;
  }

  // The 513 requests that rewrite one sector: its 256 pages read in order, the sector erased,
  // its pages programmed with `after`'s content (the page's 256 bytes after its number).
  static void AddSectorRewrite(std::vector<Request>& to, std::uint32_t sector, const Image& after) {
    auto number = [](std::uint32_t n) {
      return Image{std::uint8_t(n), std::uint8_t(n >> 8), 0, 0};
    };
    for (std::uint32_t i = 0; i < 256; ++i) {
      to.emplace_back(io::IOCTL_SPI_READ_PAGE, number(sector * 256 + i), 256);
    }
    to.emplace_back(io::IOCTL_SPI_ERASE_SECTOR, number(sector), 0);
    for (std::uint32_t page = sector * 256; page < sector * 256 + 256; ++page) {
      Image in = number(page);
      in.insert(in.end(), after.begin() + page * 256, after.begin() + page * 256 + 256);
      to.emplace_back(io::IOCTL_SPI_WRITE_PAGE, in, 0);
    }
  }

  // The page or sector numbers of the requests of `code`: pages read, sectors erased.
  std::vector<std::uint32_t> Numbers(std::uint32_t code) const {
    std::vector<std::uint32_t> numbers;
    for (const auto& entry : camera_->Log()) {
      if (entry.code == code) numbers.push_back(entry.in[0] | entry.in[1] << 8 | entry.in[2] << 16);
    }
    return numbers;
  }

  Image before_;
};

// ---- Reading ----------------------------------------------------------------------------

TEST_F(Flash, ReadCostsOnePageRequestPerPageTouched) {
  // 0x1FF, 2: the last byte of page 1 and the first of page 2. 0x1FFF00, 256: page 8191 only.
  struct Range {
    std::uint32_t address, length;
  };
  const Range ranges[] = {{0, 1},          {0x1FF, 2},      {0xFF, 0x102},
                          {0x12345, 1000}, {0x1FFF00, 256}, {0x100000, 0x100000}};
  for (const Range& r : ranges) {
    SCOPED_TRACE(testing::Message()
                 << std::hex << "address 0x" << r.address << " length 0x" << r.length);
    camera_->ClearLog();
    Image got(r.length, 0xA5);
    ASSERT_EQ(CxReadSPIFlash(h(), r.address, got.data(), r.length), 1u);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), before_.begin() + r.address));
    std::vector<std::uint32_t> expected;
    for (std::uint32_t p = r.address >> 8; p <= (r.address + r.length - 1) >> 8; ++p) {
      expected.push_back(p);
    }
    EXPECT_EQ(Numbers(io::IOCTL_SPI_READ_PAGE), expected);
    EXPECT_EQ(Codes().size(), expected.size());  // nothing else: no lock
  }
}

// ---- Writing ----------------------------------------------------------------------------

// One byte, two straddling a sector boundary, ranges that end on a boundary (the last one the
// flash's): each touched sector is read, erased and programmed whole, no other is, no lock.
TEST_F(Flash, AWriteRewritesTheSectorsItTouchesAndNothingElse) {
  const struct {
    std::uint32_t address, length;
    std::vector<std::uint32_t> sectors;
  } cases[] = {
      {0x12345, 1, {1}}, {0xFFFF, 2, {0, 1}}, {0x2FF00, 0x100, {2}}, {0x1F0000, 0x10000, {31}}};
  Image expected = before_;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << "address 0x" << c.address);
    Image data(c.length);
    for (std::uint32_t i = 0; i < c.length; ++i) {
      data[i] = static_cast<std::uint8_t>(~expected[c.address + i]);
    }
    camera_->ClearLog();
    ASSERT_EQ(CxWriteSPIFlash(h(), c.address, data.data(), c.length), 1u);
    std::copy(data.begin(), data.end(), expected.begin() + c.address);
    EXPECT_TRUE(SameBytes(camera_->Flash().Snapshot(), expected));
    std::vector<Request> rewrite;
    for (std::uint32_t sector : c.sectors) AddSectorRewrite(rewrite, sector, expected);
    EXPECT_TRUE(Requests() == rewrite);  // too long to print
  }
}

TEST_F(Flash, ARequestFailingAfterTheEraseLeavesThatSectorPartlyProgrammed) {
  // Sectors 3, 4 and 5; the tenth page program of sector 4 is refused.
  const std::uint32_t address = 0x3F000, length = 0x12000;
  const Image data = Pattern(3, length);
  FailNth(io::IOCTL_SPI_WRITE_PAGE, 256 + 10, 0x1F);
  EXPECT_EQ(CxWriteSPIFlash(h(), address, data.data(), length), 0u);
  EXPECT_EQ(kepra_GetLastError(), 0x1Fu);

  Image expected = before_;
  std::copy(data.begin(), data.begin() + 0x1000, expected.begin() + 0x3F000);  // sector 3 done
  std::copy(data.begin() + 0x1000, data.begin() + 0x1000 + 9 * 256,
            expected.begin() + 0x40000);  // sector 4: nine pages programmed
  std::fill(expected.begin() + 0x40000 + 9 * 256, expected.begin() + 0x50000, 0xFF);  // erased
  EXPECT_TRUE(SameBytes(camera_->Flash().Snapshot(), expected));  // sector 5 and the rest untouched
  const auto log = camera_->Log();
  EXPECT_EQ(log.size(), 513u + 257 + 10);  // nothing after the refused request
  EXPECT_FALSE(log.back().ok);
}

// ---- The user area ----------------------------------------------------------------------

class UserArea : public Flash {};

TEST_F(UserArea, IsTheFlashsLastTenSectorsReadAndRewrittenUnderTheLock) {
  std::uint8_t byte = 0;
  ASSERT_EQ(kepra_ReadFlash(h(), 0x9FFFF, &byte, 1), 1u);
  EXPECT_EQ(byte, before_[0x1FFFFF]);
  EXPECT_EQ(Numbers(io::IOCTL_SPI_READ_PAGE), std::vector<std::uint32_t>{0x1FFF});
  EXPECT_TRUE(Locked());

  camera_->ClearLog();
  Image got(kUserBytes, 0);
  ASSERT_EQ(kepra_ReadFlash(h(), 0, got.data(), kUserBytes), 1u);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), before_.begin() + kUserBase));
  EXPECT_EQ(Numbers(io::IOCTL_SPI_READ_PAGE).size(), kUserBytes / 256);
  EXPECT_TRUE(Locked());

  camera_->ClearLog();
  const Image data = Pattern(4, kUserBytes);
  ASSERT_EQ(kepra_WriteFlash(h(), 0, data.data(), kUserBytes), 1u);
  Image expected = before_;
  std::copy(data.begin(), data.end(), expected.begin() + kUserBase);
  EXPECT_TRUE(SameBytes(camera_->Flash().Snapshot(), expected));
  EXPECT_EQ(Numbers(io::IOCTL_SPI_ERASE_SECTOR),
            (std::vector<std::uint32_t>{22, 23, 24, 25, 26, 27, 28, 29, 30, 31}));
  EXPECT_TRUE(Locked());
  EXPECT_EQ(Codes().size(), 10u * 513 + 2);
}

// ---- Two cameras at once ----------------------------------------------------------------

TEST_F(Flash, TwoCamerasAreWrittenFromTwoThreadsAtOnce) {
  auto other = rig_.Plug(kIndex + 1);
  Handle second(kIndex + 1);
  ASSERT_TRUE(second.ok());
  const Image other_before = Pattern(5);
  other->Flash().Poke(0, other_before);
  const Image data_a = Pattern(6, 0x30000), data_b = Pattern(7, 0x30000);

  std::atomic<int> ready{0};
  std::uint32_t result_a = 0, result_b = 0;
  auto write = [&ready](KEPRA_HANDLE h, const Image& data, std::uint32_t* result) {
    ready.fetch_add(1);
    while (ready.load() < 2) std::this_thread::yield();
    // Unaligned start: four sectors each, read and merged in the call's own sector image.
    *result = CxWriteSPIFlash(h, 0x8000, data.data(), static_cast<std::uint32_t>(data.size()));
  };
  std::thread a(write, h(), std::cref(data_a), &result_a);
  std::thread b(write, second.get(), std::cref(data_b), &result_b);
  a.join();
  b.join();
  EXPECT_EQ(result_a, 1u);
  EXPECT_EQ(result_b, 1u);
  Image expected_a = before_, expected_b = other_before;
  std::copy(data_a.begin(), data_a.end(), expected_a.begin() + 0x8000);
  std::copy(data_b.begin(), data_b.end(), expected_b.begin() + 0x8000);
  EXPECT_TRUE(SameBytes(camera_->Flash().Snapshot(), expected_a));
  EXPECT_TRUE(SameBytes(other->Flash().Snapshot(), expected_b));
}

// ---- Firmware update --------------------------------------------------------------------

class Firmware : public Flash {
 protected:
  void SetUp() override {
    Flash::SetUp();
    fs::create_directory(dir_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
    Flash::TearDown();
  }

  // A path in the test's own temporary directory, and a file there holding `content`.
  std::string Path(const char* name) const { return (dir_ / name).string(); }
  std::string File(const char* name, const Image& content) const {
    std::ofstream(dir_ / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()),
               static_cast<std::streamsize>(content.size()));
    return Path(name);
  }

  // `content` written from address 0 over `before_`.
  Image WrittenOver(const Image& content) const {
    Image expected = before_;
    std::copy(content.begin(), content.end(), expected.begin());
    return expected;
  }

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
  EXPECT_EQ(Numbers(io::IOCTL_SPI_ERASE_SECTOR), (std::vector<std::uint32_t>{0, 1, 2}));
  EXPECT_EQ(WorkRequests().size(), 1 + 3u * 513);

  // Everything past the image, from 0x29FC8 to the end of sector 2 and beyond, is as before.
  EXPECT_TRUE(SameBytes(camera_->Flash().Snapshot(), WrittenOver(image)));

  // And the camera boots it after a reset.
  ASSERT_EQ(kepra_DeviceReset(h()), 1u);
  const auto lines = camera_->DriverLog();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find("camera boots"), std::string::npos) << lines.back();
}

TEST_F(Firmware, OtherFirmwareVersionsAreRefusedWithoutAFlashRequest) {
  using Pair = std::pair<std::uint16_t, std::uint16_t>;
  for (const auto& [third, fourth] : {Pair{1, 5}, Pair{2, 6}, Pair{0x0101, 0x0006}}) {
    SCOPED_TRACE(testing::Message() << third << "/" << fourth);
    camera_->SetFirmware({.third = third, .fourth = fourth});
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
  camera_->AddFault({.nth = 300, .code = io::IOCTL_SPI_WRITE_PAGE});
  EXPECT_EQ(kepra_UpdateFW(h()), 0u);
  ASSERT_EQ(kepra_DeviceReset(h()), 1u);

  std::uint16_t v1 = 9, v2 = 9, v3 = 9, v4 = 9;
  std::uint8_t v5 = 9;
  ASSERT_EQ(kepra_GetFWVersion(h(), &v1, &v2, &v3, &v4, &v5), 1u);
  EXPECT_EQ((std::vector<int>{v1, v2, v3, v4}), (std::vector<int>{0, 0, 1, 6}));
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

// The file is read before the handle is examined (by the lock): a missing file is a read fault
// whatever the handle.
TEST_F(Firmware, FileErrors) {
  kepra_SetLastError(kSentinel);
  EXPECT_EQ(kepra_UpdateFWFromFile(KEPRA_INVALID_HANDLE, Path("missing").c_str()), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_READ_FAULT);
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

  // The whole firmware region is accepted and written from address 0.
  const Image region = Pattern(13, KEPRA_FIRMWARE_REGION_SIZE);
  ASSERT_EQ(kepra_UpdateFWFromFile(h(), File("full", region).c_str()), 1u);
  EXPECT_EQ(WorkRequests().size(), 22u * 513);
  before_ = WrittenOver(region);
  EXPECT_TRUE(SameBytes(camera_->Flash().Snapshot(), before_));
  camera_->ClearLog();

  // An empty file is refused by the flash write, under the lock.
  EXPECT_EQ(kepra_UpdateFWFromFile(h(), File("empty", Image{}).c_str()), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_ADDRESS);
  EXPECT_EQ(Codes(), (std::vector<std::uint32_t>{io::IOCTL_DEVICE_INDEX, io::IOCTL_DEVICE_INDEX}));
  EXPECT_TRUE(SameBytes(camera_->Flash().Snapshot(), before_));
}

}  // namespace
}  // namespace kt
