// The SPI flash as byte ranges: page reads, sector rewrites, the user area, failures on the
// way and two cameras written at once. Every write is checked against a full snapshot of the
// flash taken before it, with the expected change applied independently here.
#include <atomic>
#include <thread>

#include "flash_image.h"

namespace kt {
namespace {

class Flash : public CameraTest {
 protected:
  void SetUp() override {
    CameraTest::SetUp();
    before_ = Pattern(1);
    camera_->Flash().Poke(0, before_);
    camera_->ClearLog();
  }

  // Checks the 513 requests that rewrite one sector, starting at log[at]: its 256 pages read
  // in order, the sector erased, its 256 pages programmed with `after`'s content. Returns the
  // index after them.
  std::size_t ExpectSectorRewrite(const std::vector<vcam::LogEntry>& log, std::size_t at,
                                  std::uint32_t sector, const Image& after) {
    EXPECT_GE(log.size(), at + 513) << "sector " << sector;
    if (log.size() < at + 513) return log.size();
    auto expect = [&](const vcam::LogEntry& e, std::uint32_t code, std::uint32_t number,
                      const std::uint8_t* data, std::uint32_t out_size) {
      Image in = Bytes({static_cast<int>(number & 0xFF), static_cast<int>(number >> 8), 0, 0});
      if (data) in.insert(in.end(), data, data + 256);
      EXPECT_EQ(e.code, code);
      EXPECT_EQ(e.in, in) << "number " << number;
      EXPECT_EQ(e.out_size, out_size);
    };
    for (std::uint32_t i = 0; i < 256; ++i) {
      expect(log[at + i], io::IOCTL_SPI_READ_PAGE, sector * 256 + i, nullptr, 256);
    }
    expect(log[at + 256], io::IOCTL_SPI_ERASE_SECTOR, sector, nullptr, 0);
    for (std::uint32_t i = 0; i < 256; ++i) {
      const std::uint32_t page = sector * 256 + i;
      expect(log[at + 257 + i], io::IOCTL_SPI_WRITE_PAGE, page, &after[page * 256], 0);
    }
    return at + 513;
  }

  std::vector<std::uint32_t> PagesRead() const {
    std::vector<std::uint32_t> pages;
    for (const auto& entry : camera_->Log()) {
      if (entry.code == io::IOCTL_SPI_READ_PAGE) pages.push_back(Le32(entry.in));
    }
    return pages;
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
    EXPECT_EQ(PagesRead(), expected);
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
    const auto log = camera_->Log();
    EXPECT_EQ(log.size(), 513u * c.sectors.size());
    std::size_t next = 0;
    for (std::uint32_t sector : c.sectors) next = ExpectSectorRewrite(log, next, sector, expected);
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

TEST_F(UserArea, LastByteIsTheLastByteOfTheFlash) {
  std::uint8_t byte = 0;
  ASSERT_EQ(kepra_ReadFlash(h(), 0x9FFFF, &byte, 1), 1u);
  EXPECT_EQ(byte, before_[0x1FFFFF]);
  EXPECT_EQ(PagesRead(), std::vector<std::uint32_t>{0x1FFF});
  EXPECT_TRUE(Locked());
}

TEST_F(UserArea, WholeAreaReadAndRewritten) {
  Image got(kUserBytes, 0);
  ASSERT_EQ(kepra_ReadFlash(h(), 0, got.data(), kUserBytes), 1u);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), before_.begin() + kUserBase));
  EXPECT_EQ(PagesRead().size(), kUserBytes / 256);
  EXPECT_TRUE(Locked());

  camera_->ClearLog();
  const Image data = Pattern(4, kUserBytes);
  ASSERT_EQ(kepra_WriteFlash(h(), 0, data.data(), kUserBytes), 1u);
  Image expected = before_;
  std::copy(data.begin(), data.end(), expected.begin() + kUserBase);
  EXPECT_TRUE(SameBytes(camera_->Flash().Snapshot(), expected));
  std::vector<std::uint32_t> erased;
  for (const auto& entry : camera_->Log()) {
    if (entry.code == io::IOCTL_SPI_ERASE_SECTOR) erased.push_back(Le32(entry.in));
  }
  EXPECT_EQ(erased, (std::vector<std::uint32_t>{22, 23, 24, 25, 26, 27, 28, 29, 30, 31}));
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

}  // namespace
}  // namespace kt
