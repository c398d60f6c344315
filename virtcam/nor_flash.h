// The virtual camera's 2 MiB SPI NOR flash (W25Q16-class part), the chip the
// FX3 boots from. It behaves like the real part where software can tell:
// erased bytes read 0xFF, programming can only clear bits, erasing works on
// whole 64 KiB sectors. Optionally it also takes the part's typical time.
//
// All members are safe to call from several threads; each operation runs
// whole, before or after any other, as on a chip behind one SPI bus.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <span>
#include <vector>

namespace vcam {

class NorFlash {
 public:
  static constexpr std::uint32_t kPageSize = 256;
  static constexpr std::uint32_t kPageCount = 8192;
  static constexpr std::uint32_t kSectorSize = 64 * 1024;
  static constexpr std::uint32_t kSectorCount = 32;
  static constexpr std::uint32_t kPagesPerSector = kSectorSize / kPageSize;
  static constexpr std::uint32_t kSize = kPageCount * kPageSize;  // 2 MiB
  static constexpr std::uint8_t kErasedByte = 0xFF;
  // Typical figures from the part's datasheet class.
  static constexpr std::chrono::microseconds kPageProgramTime{700};
  static constexpr std::chrono::milliseconds kSectorEraseTime{150};

  struct Counters {
    std::uint64_t pages_read = 0;
    std::uint64_t pages_programmed = 0;
    std::uint64_t sectors_erased = 0;
  };

  // A fresh, fully erased chip held in memory only.
  NorFlash();
  ~NorFlash();
  NorFlash(const NorFlash&) = delete;
  NorFlash& operator=(const NorFlash&) = delete;

  // Page and sector numbers outside the chip, or a null buffer, give false
  // and change nothing. When attached to a file, false is also returned if
  // the change could not be written through; the chip then keeps its
  // previous content, so memory and file never disagree.
  bool ReadPage(std::uint32_t page, std::uint8_t out[kPageSize]) const;
  bool ProgramPage(std::uint32_t page, const std::uint8_t in[kPageSize]);  // new = old AND in
  bool EraseSector(std::uint32_t sector);                                  // sector to 0xFF

  // Realistic timing: each page program sleeps kPageProgramTime and each
  // sector erase kSectorEraseTime, with the chip busy (other calls wait).
  // Off by default so that tests run fast.
  void SetTiming(bool realistic);
  bool TimingEnabled() const;

  // Persistence. A flash file is exactly kSize bytes, the chip's content.
  // A missing file stands for a fresh erased chip. A file of any other size
  // is refused (false, nothing changed) rather than guessed at.
  //   Load:   replace the content with the file's.
  //   Save:   write the content to a file.
  //   Attach: Load, then write every later change through to the file at
  //           once (creating it if missing), so the content survives a
  //           restart of the process. Detach ends that.
  bool Load(const std::filesystem::path& file);
  bool Save(const std::filesystem::path& file) const;
  bool Attach(const std::filesystem::path& file);
  void Detach();
  bool IsAttached() const;

  Counters GetCounters() const;
  void ResetCounters();

  // Raw access for tests and set-up: the whole content, and a plain
  // overwrite of bytes (no AND, no erase needed, not counted). Poke throws
  // std::out_of_range past the end of the chip and std::runtime_error when
  // an attached file cannot be written.
  std::vector<std::uint8_t> Snapshot() const;
  // Reads the content in place, under the chip's lock (no 2 MiB copy).
  void Inspect(const std::function<void(std::span<const std::uint8_t>)>& read) const;
  void Poke(std::uint32_t addr, std::span<const std::uint8_t> bytes);

 private:
  bool WriteThroughLocked(std::uint32_t offset, const std::uint8_t* bytes, std::size_t count);
  static bool ReadFlashFile(const std::filesystem::path& file, std::vector<std::uint8_t>& out);
  static bool WriteFlashFile(const std::filesystem::path& file,
                             const std::vector<std::uint8_t>& content);

  mutable std::mutex mutex_;
  std::vector<std::uint8_t> content_;
  mutable Counters counters_;
  bool timing_ = false;
  std::fstream file_;  // open while attached
};

}  // namespace vcam
