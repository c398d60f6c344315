// The carried FX3 boot image (src/firmware/kepra_fx3.img) and the boot-image
// walk that the virtual camera uses to decide whether it boots.
//
// Build with -DKEPRA_FX3_IMAGE_PATH="\"/path/to/kepra_fx3.img\"" (a string
// literal). Meant to run under -fsanitize=address,undefined: every check of
// a damaged image gets a heap buffer of exactly the damaged length, so any
// read past it is reported.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fx3_image.h"

#ifndef KEPRA_FX3_IMAGE_PATH
#error "define KEPRA_FX3_IMAGE_PATH as a string literal naming kepra_fx3.img"
#endif

namespace {

using vcam::CheckFx3Image;
using vcam::Fx3Check;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kCarriedImageBytes = 171976;  // 0x29FC8, the library's image length
constexpr std::size_t kFlashBytes = 2 * 1024 * 1024;

std::uint32_t Le32(const Bytes& b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
         static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

void PutLe32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i)
    b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

void AppendLe32(Bytes& b, std::uint32_t v) {
  b.resize(b.size() + 4);
  PutLe32(b, b.size() - 4, v);
}

// Checks the first `n` bytes of `image` from a heap block of exactly n bytes.
Fx3Check CheckExact(const Bytes& image, std::size_t n) {
  std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[n]);
  std::copy_n(image.begin(), n, block.get());
  return CheckFx3Image(block.get(), n);
}

Fx3Check CheckExact(const Bytes& image) { return CheckExact(image, image.size()); }

const Bytes& CarriedImage() {
  static const Bytes image = [] {
    std::ifstream in(KEPRA_FX3_IMAGE_PATH, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }();
  return image;
}

// Field offsets of a single-section image of N words.
struct Layout {
  std::size_t words;
  std::size_t data = 12;
  std::size_t end_record() const { return data + 4 * words; }
  std::size_t checksum() const { return end_record() + 8; }
};

Layout SingleSectionLayout(const Bytes& image) { return Layout{Le32(image, 4)}; }

// An independent image writer for hand-made cases.
struct Section {
  std::uint32_t address;
  std::vector<std::uint32_t> words;
};

Bytes BuildImage(const std::vector<Section>& sections, std::uint32_t entry, std::uint8_t ctl = 0x20,
                 std::uint8_t type = 0xB0) {
  Bytes b{'C', 'Y', ctl, type};
  std::uint32_t sum = 0;
  for (const Section& s : sections) {
    AppendLe32(b, static_cast<std::uint32_t>(s.words.size()));
    AppendLe32(b, s.address);
    for (std::uint32_t w : s.words) {
      AppendLe32(b, w);
      sum += w;
    }
  }
  AppendLe32(b, 0);
  AppendLe32(b, entry);
  AppendLe32(b, sum);
  return b;
}

std::vector<std::uint32_t> Words(std::size_t n, std::uint32_t seed) {
  std::vector<std::uint32_t> w(n);
  for (std::size_t i = 0; i < n; ++i)
    w[i] = seed * 2654435761u + static_cast<std::uint32_t>(i) * 40503u;
  return w;
}

// ---- the carried image itself ----

TEST(Fx3CarriedImage, IsOneBootableSectionWhoseWordsSumToTheChecksum) {
  const Bytes& image = CarriedImage();
  ASSERT_EQ(image.size(), kCarriedImageBytes)
      << "cannot read or wrong length: " << KEPRA_FX3_IMAGE_PATH;
  EXPECT_EQ(image[0], 'C');
  EXPECT_EQ(image[1], 'Y');
  EXPECT_EQ(image[2] & 0x01, 0) << "marked as a data image, which the boot loader does not run";
  EXPECT_NE((image[2] >> 4) & 0x03, 0x03) << "reserved SPI clock setting";
  EXPECT_EQ(image[2] & 0xC0, 0) << "reserved bits set";
  EXPECT_EQ(image[3], 0xB0);
  const Layout at = SingleSectionLayout(image);
  ASSERT_EQ(4 + 8 + 4 * at.words + 8 + 4, image.size()) << "not a single-section image";
  EXPECT_EQ(Le32(image, at.end_record()), 0u) << "no terminating record after the section";
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < at.words; ++i) sum += Le32(image, at.data + 4 * i);
  EXPECT_EQ(Le32(image, at.checksum()), sum);

  const Fx3Check r = CheckExact(image);
  EXPECT_TRUE(r.valid) << r.reason;
  EXPECT_EQ(r.image_bytes, kCarriedImageBytes);
  EXPECT_EQ(r.checksum, sum);
  EXPECT_EQ(r.entry, Le32(image, at.end_record() + 4));
  const std::uint32_t load = Le32(image, 8);
  EXPECT_GE(r.entry, load);
  EXPECT_LT(r.entry, load + 4 * at.words);
}

// ---- damaged copies of the carried image ----

TEST(Fx3CheckRejects, DamagedCopiesOfTheCarriedImage) {
  const Bytes& image = CarriedImage();
  ASSERT_EQ(image.size(), kCarriedImageBytes);
  const Layout at = SingleSectionLayout(image);
  const auto words = static_cast<std::uint32_t>(at.words);
  const std::size_t entry_at = at.end_record() + 4;
  struct Damage {
    const char* what;  // a word the reason names, or "" for any reason
    std::function<void(Bytes&)> apply;
  };
  auto byte = [](std::size_t pos, std::uint8_t value) { return [=](Bytes& b) { b[pos] = value; }; };
  auto word = [](std::size_t pos, std::uint32_t value) {
    return [=](Bytes& b) { PutLe32(b, pos, value); };
  };
  auto flip = [](std::size_t pos) { return [=](Bytes& b) { b[pos] ^= 0x80; }; };
  const Damage damages[] = {
      {"checksum", flip(at.data)},
      {"checksum", flip(image.size() / 2)},
      {"checksum", flip(at.end_record() - 1)},
      {"checksum", flip(image.size() - 1)},
      {"", byte(1, 'X')},  // the signature
      {"", byte(0, 0x00)},
      {"", byte(3, 0xB1)},                   // another image type
      {"", [](Bytes& b) { b[2] |= 0x01; }},  // a data image
      // Section lengths past the end: +3 words leave no terminating record; the huge ones
      // overflow a 32-bit byte count (x4) or offset sum.
      {"", word(4, words + 1)},
      {"", word(4, words + 3)},
      {"", word(4, 0x3FFFFFFFu)},
      {"", word(4, 0x40000001u)},
      {"", word(4, 0xFFFFFFFFu)},
      {"entry", word(entry_at, 0x00004000u)},  // outside ITCM and SYSMEM
      {"entry", word(entry_at, 0x3FFFFFFCu)},
      {"entry", word(entry_at, 0x40080000u)},
  };
  for (const Damage& d : damages) {
    Bytes bad = image;
    d.apply(bad);
    const Fx3Check r = CheckExact(bad);
    EXPECT_FALSE(r.valid) << &d - damages;
    EXPECT_NE(r.reason.find(d.what), std::string::npos) << r.reason;
  }
  // The edges of both memories are fine for the entry (the address is not summed).
  for (std::uint32_t entry : {0x00000000u, 0x00003FFCu, 0x40000000u, 0x4007FFFCu}) {
    Bytes edge = image;
    PutLe32(edge, entry_at, entry);
    EXPECT_TRUE(CheckExact(edge).valid) << std::hex << entry;
  }
  // Truncated copies, each in a heap block of exactly its length.
  for (std::size_t len : {std::size_t{0}, std::size_t{3}, at.data, at.end_record(), at.checksum(),
                          image.size() - 1}) {
    const Fx3Check r = CheckExact(image, len);
    EXPECT_FALSE(r.valid) << "accepted " << len << " bytes";
    EXPECT_EQ(r.image_bytes, 0u) << len;
  }
  EXPECT_FALSE(CheckFx3Image(nullptr, 0).valid);
  // Erased flash, and a section running through a whole flash dump into stale bytes.
  EXPECT_FALSE(CheckExact(Bytes(kFlashBytes, 0xFF)).valid);
  Bytes flash(kFlashBytes, 0xFF);
  std::copy(image.begin(), image.end(), flash.begin());
  PutLe32(flash, 4, 0x00080000u);  // 2 MiB of words
  EXPECT_FALSE(CheckExact(flash).valid);
}

// ---- hand-made images ----

TEST(Fx3CheckHandMade, SeveralSectionsAreSummedTogether) {
  const Section itcm{0x00000100, Words(16, 1)};
  const Section sysmem{0x40003000, Words(40, 2)};
  const Bytes image = BuildImage({itcm, sysmem}, 0x40003000);
  const Fx3Check r = CheckExact(image);
  EXPECT_TRUE(r.valid) << r.reason;
  EXPECT_EQ(r.image_bytes, image.size());
  EXPECT_EQ(r.entry, 0x40003000u);
  EXPECT_EQ(r.checksum, Le32(image, image.size() - 4));

  // A checksum over the first section only is wrong.
  std::uint32_t first_only = 0;
  for (std::uint32_t w : itcm.words) first_only += w;
  Bytes bad = image;
  PutLe32(bad, bad.size() - 4, first_only);
  EXPECT_FALSE(CheckExact(bad).valid);
}

TEST(Fx3CheckHandMade, SectionsMustLoadIntoMemory) {
  struct Case {
    std::uint32_t address;
    std::size_t words;
  };
  for (const Case& c : {Case{0x40080000, 1},     // just past SYSMEM
                        Case{0x4007FFFC, 2},     // straddles the end of SYSMEM
                        Case{0x00003FFC, 2},     // straddles the end of ITCM
                        Case{0x3FFFFFFC, 2},     // starts below SYSMEM
                        Case{0xFFFFFFFC, 2},     // wraps past 4 GiB
                        Case{0x40000002, 4}}) {  // not word aligned
    const Bytes image = BuildImage({{c.address, Words(c.words, 5)}}, 0x40000000);
    EXPECT_FALSE(CheckExact(image).valid) << std::hex << c.address;
  }
  EXPECT_TRUE(CheckExact(BuildImage({{0x4007FFF8, Words(2, 6)}}, 0x4007FFF8)).valid);
  EXPECT_TRUE(CheckExact(BuildImage({{0x00003FF8, Words(2, 7)}}, 0x00003FF8)).valid);
}

TEST(Fx3CheckHandMade, AnImageWithNoSectionDoesNotBoot) {
  const Bytes image = BuildImage({}, 0x40000000);
  ASSERT_EQ(image.size(), 16u);
  EXPECT_FALSE(CheckExact(image).valid);
}

}  // namespace
