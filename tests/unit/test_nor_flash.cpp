// The virtual camera's SPI NOR flash, which the flash and firmware suites rely on: program
// only clears bits, erase sets a sector, persistence to a flash file.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "nor_flash.h"

namespace {

using vcam::NorFlash;
using Page = std::array<std::uint8_t, NorFlash::kPageSize>;

constexpr std::size_t kChipBytes = 2 * 1024 * 1024;
constexpr std::size_t kPageBytes = 256;
constexpr std::size_t kSectorBytes = 64 * 1024;

Page Filled(std::uint8_t value) {
  Page p;
  p.fill(value);
  return p;
}

// Distinct bytes per page number and offset, so a misplaced page shows.
Page Pattern(std::uint32_t page) {
  Page p;
  for (std::size_t i = 0; i < p.size(); ++i) {
    p[i] = static_cast<std::uint8_t>((page * 7 + i * 13 + 1) & 0xFF);
  }
  return p;
}

Page Read(const NorFlash& flash, std::uint32_t page) {
  Page p = Filled(0x5A);
  EXPECT_TRUE(flash.ReadPage(page, p.data())) << "page " << page;
  return p;
}

std::vector<std::uint8_t> ReadFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
}

std::size_t CountNotErased(const std::vector<std::uint8_t>& bytes) {
  return static_cast<std::size_t>(
      std::count_if(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b != 0xFF; }));
}

// ---- chip semantics ----

TEST(NorFlash, FreshChipIsErasedEverywhere) {
  NorFlash flash;
  const auto content = flash.Snapshot();
  ASSERT_EQ(content.size(), kChipBytes);
  EXPECT_EQ(CountNotErased(content), 0u);
  EXPECT_EQ(Read(flash, 8191), Filled(0xFF));
}

TEST(NorFlash, ProgramOnlyClearsBitsOfItsOwnPage) {
  NorFlash flash;
  const Page data = Pattern(300);
  ASSERT_TRUE(flash.ProgramPage(300, data.data()));
  EXPECT_EQ(Read(flash, 300), data);
  // Nothing but those 256 bytes changed anywhere on the chip.
  const auto content = flash.Snapshot();
  EXPECT_EQ(CountNotErased(content),
            static_cast<std::size_t>(
                std::count_if(data.begin(), data.end(), [](std::uint8_t b) { return b != 0xFF; })));
  EXPECT_TRUE(std::equal(data.begin(), data.end(), content.begin() + 300 * kPageBytes));
  // A second program ANDs with the old content: bits never come back to one.
  ASSERT_TRUE(flash.ProgramPage(300, Filled(0xFF).data()));
  EXPECT_EQ(Read(flash, 300), data);
  ASSERT_TRUE(flash.ProgramPage(17, Filled(0xF0).data()));
  ASSERT_TRUE(flash.ProgramPage(17, Filled(0x3C).data()));
  EXPECT_EQ(Read(flash, 17), Filled(0x30));
  flash.Poke(4 * kPageBytes, std::vector<std::uint8_t>(kPageBytes, 0x0F));
  ASSERT_TRUE(flash.ProgramPage(4, Filled(0x55).data()));
  EXPECT_EQ(Read(flash, 4), Filled(0x05));
}

TEST(NorFlash, EraseSetsItsSectorToFfAndLeavesNeighbours) {
  NorFlash flash;
  flash.Poke(0, std::vector<std::uint8_t>(kChipBytes, 0x00));
  ASSERT_TRUE(flash.EraseSector(5));
  ASSERT_TRUE(flash.EraseSector(31));
  const auto content = flash.Snapshot();
  for (std::size_t sector : {5u, 31u}) {
    const auto begin = content.begin() + static_cast<std::ptrdiff_t>(sector * kSectorBytes);
    EXPECT_TRUE(std::all_of(begin, begin + kSectorBytes, [](std::uint8_t b) { return b == 0xFF; }));
  }
  EXPECT_EQ(CountNotErased(content), kChipBytes - 2 * kSectorBytes);
  const Page data = Pattern(5 * 256);
  ASSERT_TRUE(flash.ProgramPage(5 * 256, data.data()));
  EXPECT_EQ(Read(flash, 5 * 256), data);
}

// ---- persistence ----

class NorFlashFile : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    dir_ = std::filesystem::temp_directory_path() /
           ("kepra_nor_" + std::to_string(rd()) + "_" + std::to_string(rd()));
    ASSERT_TRUE(std::filesystem::create_directories(dir_));
    file_ = dir_ / "flash.bin";
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::filesystem::path dir_;
  std::filesystem::path file_;
};

TEST_F(NorFlashFile, EveryChangeIsWrittenThroughAndSeenByASecondObject) {
  std::vector<std::uint8_t> expected;
  {
    NorFlash first;
    ASSERT_TRUE(first.Attach(file_));
    first.Poke(2 * kSectorBytes, std::vector<std::uint8_t>(kSectorBytes, 0x00));
    ASSERT_TRUE(first.ProgramPage(3, Pattern(3).data()));
    ASSERT_TRUE(first.ProgramPage(8191, Pattern(8191).data()));
    ASSERT_TRUE(first.EraseSector(2));
    ASSERT_TRUE(first.ProgramPage(2 * 256 + 1, Pattern(513).data()));
    expected = first.Snapshot();
    // Already on disk while the first object is alive: no save-on-exit.
    EXPECT_EQ(ReadFile(file_), expected);
  }
  NorFlash second;
  ASSERT_TRUE(second.Attach(file_));
  EXPECT_EQ(second.Snapshot(), expected);
}

TEST_F(NorFlashFile, SaveThenLoadRestoresTheContentAndAMissingFileIsErased) {
  NorFlash a;
  ASSERT_TRUE(a.ProgramPage(4000, Pattern(4000).data()));
  ASSERT_TRUE(a.Save(file_));
  EXPECT_EQ(ReadFile(file_), a.Snapshot());
  NorFlash b;
  ASSERT_TRUE(b.Load(file_));
  EXPECT_EQ(b.Snapshot(), a.Snapshot());
  EXPECT_FALSE(b.IsAttached());
  ASSERT_TRUE(b.Load(dir_ / "absent.bin"));
  EXPECT_EQ(CountNotErased(b.Snapshot()), 0u);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "absent.bin"));
}

// ---- timing ----

// ---- concurrency ----

}  // namespace
