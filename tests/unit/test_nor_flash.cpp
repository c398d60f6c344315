// The virtual camera's SPI NOR flash: chip semantics, geometry limits,
// persistence to a flash file, timing and thread safety.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
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

// ---- range checks: refused requests change and count nothing ----

TEST(NorFlash, RequestsPastTheLastPageOrSectorAreRefused) {
  NorFlash flash;
  const Page data = Pattern(8191);
  EXPECT_TRUE(flash.ProgramPage(8191, data.data()));
  const auto before = flash.Snapshot();
  EXPECT_TRUE(
      std::equal(data.begin(), data.end(), before.end() - static_cast<std::ptrdiff_t>(kPageBytes)));
  const auto counted = flash.GetCounters();
  for (std::uint32_t page : {8192u, 0x10000u, std::numeric_limits<std::uint32_t>::max()}) {
    Page out = Filled(0x5A);
    EXPECT_FALSE(flash.ReadPage(page, out.data())) << page;
    EXPECT_EQ(out, Filled(0x5A)) << "buffer written for refused page " << page;
    EXPECT_FALSE(flash.ProgramPage(page, Filled(0x00).data())) << page;
  }
  for (std::uint32_t sector : {32u, 256u, std::numeric_limits<std::uint32_t>::max()}) {
    EXPECT_FALSE(flash.EraseSector(sector)) << sector;
  }
  EXPECT_FALSE(flash.ReadPage(0, nullptr));
  EXPECT_FALSE(flash.ProgramPage(0, nullptr));
  EXPECT_EQ(flash.Snapshot(), before);
  const auto after = flash.GetCounters();
  EXPECT_EQ(after.pages_read, counted.pages_read);
  EXPECT_EQ(after.pages_programmed, counted.pages_programmed);
  EXPECT_EQ(after.sectors_erased, 0u);
}

TEST(NorFlash, PokeRefusesBytesPastTheEnd) {
  NorFlash flash;
  const std::vector<std::uint8_t> two(2, 0x11);
  EXPECT_THROW(flash.Poke(NorFlash::kSize - 1, two), std::out_of_range);
  EXPECT_THROW(flash.Poke(NorFlash::kSize + 1, {}), std::out_of_range);
  EXPECT_THROW(flash.Poke(std::numeric_limits<std::uint32_t>::max(), two), std::out_of_range);
  EXPECT_EQ(CountNotErased(flash.Snapshot()), 0u);
  flash.Poke(NorFlash::kSize - 2, two);
  EXPECT_EQ(CountNotErased(flash.Snapshot()), 2u);
}

// ---- counters ----

TEST(NorFlashCounters, CountEachSuccessfulOperationUntilReset) {
  NorFlash flash;
  Page out;
  for (std::uint32_t p = 0; p < 3; ++p) ASSERT_TRUE(flash.ReadPage(p, out.data()));
  for (std::uint32_t p = 0; p < 5; ++p) ASSERT_TRUE(flash.ProgramPage(p, out.data()));
  ASSERT_TRUE(flash.EraseSector(0));
  ASSERT_TRUE(flash.EraseSector(2));
  flash.Poke(0, std::vector<std::uint8_t>(10, 0));  // raw set-up is not chip traffic
  const auto c = flash.GetCounters();
  EXPECT_EQ(c.pages_read, 3u);
  EXPECT_EQ(c.pages_programmed, 5u);
  EXPECT_EQ(c.sectors_erased, 2u);
  flash.ResetCounters();
  const auto z = flash.GetCounters();
  EXPECT_EQ(z.pages_read + z.pages_programmed + z.sectors_erased, 0u);
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

TEST_F(NorFlashFile, AttachingAMissingFileCreatesAnErasedChip) {
  NorFlash flash;
  flash.Poke(0, std::vector<std::uint8_t>(kPageBytes, 0x00));  // replaced by the fresh chip
  ASSERT_TRUE(flash.Attach(file_));
  EXPECT_TRUE(flash.IsAttached());
  EXPECT_EQ(CountNotErased(ReadFile(file_)), 0u);
  EXPECT_EQ(CountNotErased(flash.Snapshot()), 0u);
}

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

TEST_F(NorFlashFile, DetachStopsWritingThrough) {
  NorFlash flash;
  ASSERT_TRUE(flash.Attach(file_));
  ASSERT_TRUE(flash.ProgramPage(0, Filled(0x00).data()));
  flash.Detach();
  EXPECT_FALSE(flash.IsAttached());
  ASSERT_TRUE(flash.ProgramPage(1, Filled(0x00).data()));
  const auto on_disk = ReadFile(file_);
  ASSERT_EQ(on_disk.size(), kChipBytes);
  EXPECT_EQ(on_disk[0], 0x00);
  EXPECT_EQ(on_disk[kPageBytes], 0xFF);
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

TEST_F(NorFlashFile, AFileOfTheWrongSizeIsRefusedAndLeftAlone) {
  for (std::size_t size : {std::size_t{0}, std::size_t{1000}, kChipBytes - 1, kChipBytes + 1}) {
    {
      std::ofstream out(file_, std::ios::binary | std::ios::trunc);
      const std::vector<char> bytes(size, 0x12);
      out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    NorFlash flash;
    flash.Poke(0, std::vector<std::uint8_t>{0xAB});
    const auto before = flash.Snapshot();
    EXPECT_FALSE(flash.Load(file_)) << size;
    EXPECT_FALSE(flash.Attach(file_)) << size;
    EXPECT_FALSE(flash.IsAttached());
    EXPECT_EQ(flash.Snapshot(), before) << size;
    EXPECT_EQ(std::filesystem::file_size(file_), size);
  }
}

// ---- timing ----

TEST(NorFlashTiming, OnlyWhenOnEraseAndProgramTakeTheChipsTime) {
  NorFlash flash;
  EXPECT_FALSE(flash.TimingEnabled());
  auto start = std::chrono::steady_clock::now();
  for (std::uint32_t s = 0; s < NorFlash::kSectorCount; ++s) ASSERT_TRUE(flash.EraseSector(s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, NorFlash::kSectorEraseTime);

  flash.SetTiming(true);
  start = std::chrono::steady_clock::now();
  ASSERT_TRUE(flash.EraseSector(3));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
  start = std::chrono::steady_clock::now();
  for (std::uint32_t p = 0; p < 10; ++p) ASSERT_TRUE(flash.ProgramPage(p, Filled(0x00).data()));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::microseconds(7000));
  // Refused requests do not occupy the chip.
  start = std::chrono::steady_clock::now();
  EXPECT_FALSE(flash.EraseSector(32));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
}

// ---- concurrency ----

TEST(NorFlashThreads, ConcurrentProgramsLoseNoBitsAndReadsSeeWholePages) {
  NorFlash flash;
  constexpr std::uint32_t kPages = 64;
  constexpr int kWriters = 8;
  std::vector<std::thread> threads;
  // Each writer clears its own bit in every byte of the pages; a lost
  // read-modify-write would leave some bit set.
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&flash, w] {
      const Page data = Filled(static_cast<std::uint8_t>(~(1u << w)));
      for (std::uint32_t p = 0; p < kPages; ++p) flash.ProgramPage(p, data.data());
    });
  }
  // Every program writes one value to a whole page, so a page read in the
  // middle of one must never mix two values.
  bool torn = false;
  std::thread reader([&flash, &torn] {
    Page out;
    for (int round = 0; round < 200; ++round) {
      for (std::uint32_t p = 0; p < kPages; ++p) {
        flash.ReadPage(p, out.data());
        if (std::any_of(out.begin(), out.end(), [&](std::uint8_t b) { return b != out[0]; }))
          torn = true;
      }
    }
  });
  for (auto& t : threads) t.join();
  reader.join();
  EXPECT_FALSE(torn);
  const auto content = flash.Snapshot();
  EXPECT_TRUE(std::all_of(content.begin(), content.begin() + kPages * kPageBytes,
                          [](std::uint8_t b) { return b == 0x00; }));
  EXPECT_EQ(flash.GetCounters().pages_programmed, std::uint64_t{kPages} * kWriters);
  EXPECT_EQ(flash.GetCounters().pages_read, std::uint64_t{kPages} * 200);
}

}  // namespace
