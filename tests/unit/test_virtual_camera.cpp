// The parts of the virtual camera other suites rely on: its SPI NOR flash (program only clears
// bits, erase sets a sector, a flash file is written through), the boot-image walk that decides
// whether it boots (the carried image and damaged copies), and the scene it renders (the same
// frame for the same seed and counter, brightness in proportion to exposure and gain).
// Each image is checked from a heap block of exactly its length, so that the sanitizers report
// a read past it.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "frames.h"
#include "fx3_image.h"
#include "nor_flash.h"

namespace {

using vcam::NorFlash;
using Bytes = std::vector<std::uint8_t>;
using Page = std::array<std::uint8_t, NorFlash::kPageSize>;

constexpr std::size_t kChipBytes = 2 * 1024 * 1024;
constexpr std::size_t kPageBytes = 256;
constexpr std::size_t kSectorBytes = 64 * 1024;

Bytes ReadFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// ---- the flash -------------------------------------------------------------------------------

Page Filled(std::uint8_t value) {
  Page p;
  p.fill(value);
  return p;
}

// Distinct bytes per page number and offset, so a misplaced page shows.
Page Pattern(std::uint32_t page) {
  Page p;
  for (std::size_t i = 0; i < p.size(); ++i)
    p[i] = static_cast<std::uint8_t>(page * 7 + i * 13 + 1);
  return p;
}

Page Read(const NorFlash& flash, std::uint32_t page) {
  Page p = Filled(0x5A);
  EXPECT_TRUE(flash.ReadPage(page, p.data())) << "page " << page;
  return p;
}

std::size_t CountNotErased(const Bytes& bytes) {
  return static_cast<std::size_t>(
      std::count_if(bytes.begin(), bytes.end(), [](auto b) { return b != 0xFF; }));
}

TEST(NorFlash, ProgramOnlyClearsBitsOfItsOwnPageOfAnErasedChip) {
  NorFlash flash;
  ASSERT_EQ(flash.Snapshot().size(), kChipBytes);
  EXPECT_EQ(CountNotErased(flash.Snapshot()), 0u);
  const Page data = Pattern(300);
  ASSERT_TRUE(flash.ProgramPage(300, data.data()));
  EXPECT_EQ(Read(flash, 300), data);
  // Nothing but those 256 bytes changed anywhere on the chip.
  Bytes expected(kChipBytes, 0xFF);
  std::copy(data.begin(), data.end(), expected.begin() + 300 * kPageBytes);
  EXPECT_EQ(flash.Snapshot(), expected);
  // A second program ANDs with the old content: bits never come back to one.
  ASSERT_TRUE(flash.ProgramPage(300, Filled(0xFF).data()));
  EXPECT_EQ(Read(flash, 300), data);
  ASSERT_TRUE(flash.ProgramPage(17, Filled(0xF0).data()));
  ASSERT_TRUE(flash.ProgramPage(17, Filled(0x3C).data()));
  EXPECT_EQ(Read(flash, 17), Filled(0x30));
  flash.Poke(4 * kPageBytes, Bytes(kPageBytes, 0x0F));
  ASSERT_TRUE(flash.ProgramPage(4, Filled(0x55).data()));
  EXPECT_EQ(Read(flash, 4), Filled(0x05));
}

TEST(NorFlash, EraseSetsItsSectorToFfAndLeavesNeighbours) {
  NorFlash flash;
  flash.Poke(0, Bytes(kChipBytes, 0x00));
  ASSERT_TRUE(flash.EraseSector(5));
  ASSERT_TRUE(flash.EraseSector(31));
  const Bytes content = flash.Snapshot();
  for (std::size_t sector : {5u, 31u}) {
    const auto begin = content.begin() + static_cast<std::ptrdiff_t>(sector * kSectorBytes);
    EXPECT_TRUE(std::all_of(begin, begin + kSectorBytes, [](std::uint8_t b) { return b == 0xFF; }));
  }
  EXPECT_EQ(CountNotErased(content), kChipBytes - 2 * kSectorBytes);
  ASSERT_TRUE(flash.ProgramPage(5 * 256, Pattern(5 * 256).data()));
  EXPECT_EQ(Read(flash, 5 * 256), Pattern(5 * 256));
}

TEST(NorFlash, AFlashFileIsWrittenThroughAndLoadsIntoAnotherChip) {
  char made[] = "/tmp/kepra_nor_XXXXXX";
  ASSERT_NE(mkdtemp(made), nullptr);
  const std::filesystem::path dir = made;
  const auto file = dir / "flash.bin";
  Bytes expected;
  {
    NorFlash first;
    ASSERT_TRUE(first.Attach(file));
    first.Poke(2 * kSectorBytes, Bytes(kSectorBytes, 0x00));
    ASSERT_TRUE(first.ProgramPage(3, Pattern(3).data()));
    ASSERT_TRUE(first.ProgramPage(8191, Pattern(8191).data()));
    ASSERT_TRUE(first.EraseSector(2));
    ASSERT_TRUE(first.ProgramPage(2 * 256 + 1, Pattern(513).data()));
    expected = first.Snapshot();
    // Already on disk while the first object is alive: no save-on-exit.
    EXPECT_EQ(ReadFile(file), expected);
  }
  NorFlash second;
  ASSERT_TRUE(second.Attach(file));
  EXPECT_EQ(second.Snapshot(), expected);
  // Save and load copy without attaching; a missing file loads as an erased chip.
  ASSERT_TRUE(second.Save(dir / "copy.bin"));
  NorFlash third;
  ASSERT_TRUE(third.Load(dir / "copy.bin"));
  EXPECT_EQ(third.Snapshot(), expected);
  EXPECT_FALSE(third.IsAttached());
  ASSERT_TRUE(third.Load(dir / "absent.bin"));
  EXPECT_EQ(CountNotErased(third.Snapshot()), 0u);
  EXPECT_FALSE(std::filesystem::exists(dir / "absent.bin"));
  std::filesystem::remove_all(dir);
}

// ---- boot images -----------------------------------------------------------------------------

constexpr std::size_t kCarriedImageBytes = 171976;  // 0x29FC8, the library's image length

std::uint32_t Le32(const Bytes& b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
         static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

void PutLe32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (std::size_t i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

vcam::Fx3Check CheckExact(const Bytes& image, std::size_t n) {
  std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[n]);
  std::copy_n(image.begin(), n, block.get());
  return vcam::CheckFx3Image(block.get(), n);
}
vcam::Fx3Check CheckExact(const Bytes& image) { return CheckExact(image, image.size()); }

const Bytes& CarriedImage() {
  static const Bytes image = ReadFile(KEPRA_FX3_IMAGE_PATH);
  return image;
}

// The carried image is one section: "CY", control, type, words, load address at 8, the words
// from 12, then the terminating record (0, entry) and the checksum.
TEST(Fx3Image, TheCarriedImageIsOneBootableSectionWhoseWordsSumToTheChecksum) {
  const Bytes& image = CarriedImage();
  ASSERT_EQ(image.size(), kCarriedImageBytes) << KEPRA_FX3_IMAGE_PATH;
  EXPECT_EQ(image[0], 'C');
  EXPECT_EQ(image[1], 'Y');
  EXPECT_EQ(image[2] & 0x01, 0) << "marked as a data image, which the boot loader does not run";
  EXPECT_NE((image[2] >> 4) & 0x03, 0x03) << "reserved SPI clock setting";
  EXPECT_EQ(image[2] & 0xC0, 0) << "reserved bits set";
  EXPECT_EQ(image[3], 0xB0);
  const std::size_t words = Le32(image, 4), end = 12 + 4 * words;
  ASSERT_EQ(end + 12, image.size()) << "not a single-section image";
  EXPECT_EQ(Le32(image, end), 0u) << "no terminating record after the section";
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < words; ++i) sum += Le32(image, 12 + 4 * i);
  EXPECT_EQ(Le32(image, end + 8), sum);

  const vcam::Fx3Check r = CheckExact(image);
  EXPECT_TRUE(r.valid) << r.reason;
  EXPECT_EQ(r.image_bytes, kCarriedImageBytes);
  EXPECT_EQ(r.checksum, sum);
  EXPECT_EQ(r.entry, Le32(image, end + 4));
  EXPECT_GE(r.entry, Le32(image, 8));
  EXPECT_LT(r.entry, Le32(image, 8) + 4 * words);
}

TEST(Fx3Image, DamagedCopiesOfTheCarriedImageDoNotBoot) {
  const Bytes& image = CarriedImage();
  ASSERT_EQ(image.size(), kCarriedImageBytes);
  const auto words = Le32(image, 4);
  const std::size_t end = 12 + 4 * std::size_t{words}, entry_at = end + 4;
  auto word = [](std::size_t pos, std::uint32_t value) {
    return [=](Bytes& b) { PutLe32(b, pos, value); };
  };
  auto flip = [](std::size_t pos) { return [=](Bytes& b) { b[pos] ^= 0x80; }; };
  const struct {
    const char* what;  // a word the reason names, or "" for any reason
    std::function<void(Bytes&)> apply;
  } damages[] = {
      {"checksum", flip(12)},
      {"checksum", flip(end - 1)},
      {"", [](Bytes& b) { b[1] = 'X'; }},    // the signature
      {"", [](Bytes& b) { b[2] |= 0x01; }},  // a data image
      // Section lengths past the end: +3 words leave no terminating record; the huge ones
      // overflow a 32-bit byte count (x4) or offset sum.
      {"", word(4, words + 3)},
      {"", word(4, 0x40000001u)},
      {"", word(4, 0xFFFFFFFFu)},
      {"entry", word(entry_at, 0x00004000u)},  // outside ITCM and SYSMEM
      {"entry", word(entry_at, 0x40080000u)},
  };
  for (const auto& d : damages) {
    Bytes bad = image;
    d.apply(bad);
    const vcam::Fx3Check r = CheckExact(bad);
    EXPECT_FALSE(r.valid) << &d - damages;
    EXPECT_NE(r.reason.find(d.what), std::string::npos) << r.reason;
  }
  // The last word of either memory is fine for the entry (the address is not summed).
  for (std::uint32_t entry : {0x00003FFCu, 0x4007FFFCu}) {
    Bytes edge = image;
    PutLe32(edge, entry_at, entry);
    EXPECT_TRUE(CheckExact(edge).valid) << std::hex << entry;
  }
  for (std::size_t len :
       {std::size_t{0}, std::size_t{3}, std::size_t{12}, end, end + 8, image.size() - 1}) {
    const vcam::Fx3Check r = CheckExact(image, len);
    EXPECT_FALSE(r.valid) << "accepted " << len << " bytes";
    EXPECT_EQ(r.image_bytes, 0u) << len;
  }
  EXPECT_FALSE(vcam::CheckFx3Image(nullptr, 0).valid);
  // Erased flash, and a section running through a whole flash dump into stale bytes.
  Bytes flash(kChipBytes, 0xFF);
  EXPECT_FALSE(CheckExact(flash).valid);
  std::copy(image.begin(), image.end(), flash.begin());
  PutLe32(flash, 4, 0x00080000u);  // 2 MiB of words
  EXPECT_FALSE(CheckExact(flash).valid);
}

// ---- the scene -------------------------------------------------------------------------------

double MeanOfScene(const vcam::SceneSettings& s) {
  std::vector<std::uint16_t> out(vcam::SceneWidth(s) * vcam::SceneHeight(s));
  vcam::RenderScene(s, out);
  return std::accumulate(out.begin(), out.end(), 0.0) / static_cast<double>(out.size());
}

TEST(Scene, SameSeedAndCounterGiveTheSameFrameOthersDiffer) {
  vcam::SceneSettings s;
  s.seed = 11;
  s.frame = 0xFFFFFF00u;
  std::vector<std::uint16_t> a(vcam::SceneWidth(s) * vcam::SceneHeight(s)), b(a.size());
  vcam::RenderScene(s, a);
  vcam::RenderScene(s, b);
  EXPECT_EQ(a, b);
  s.frame += 1;
  vcam::RenderScene(s, b);
  EXPECT_NE(a, b);
  s.frame -= 1;
  s.seed = 12;
  vcam::RenderScene(s, b);
  EXPECT_NE(a, b);
}

TEST(Scene, BrightnessIsProportionalToExposureAndGainBelowSaturation) {
  vcam::SceneSettings s;
  s.noise = false;
  s.exposure_lines = 400;
  const double base = MeanOfScene(s);
  // Radiance 0.1 .. 0.9 at 400 / 1000 of the reference exposure: below a fifth of full scale.
  EXPECT_GT(base, 0.02 * 1023);
  EXPECT_LT(base, 0.2 * 1023);
  s.exposure_lines = 800;
  EXPECT_NEAR(MeanOfScene(s) / base, 2.0, 0.01);
  s.exposure_lines = 400;
  s.line_length = 164;  // exposure counts lines x line length
  EXPECT_NEAR(MeanOfScene(s) / base, 2.0, 0.01);
  s.line_length = 82;
  s.analog_gain = 1.5;
  s.digital_gain = 1.25;
  EXPECT_NEAR(MeanOfScene(s) / base, 1.875, 0.01);
  // With noise the mean moves by far less than a percent; full gain saturates every sample.
  s = vcam::SceneSettings{};
  s.exposure_lines = 400;
  EXPECT_NEAR(MeanOfScene(s) / base, 1.0, 0.01);
  s.analog_gain = 8.0;
  s.digital_gain = 15.875;
  EXPECT_EQ(MeanOfScene(s), 1023.0);
}

}  // namespace
