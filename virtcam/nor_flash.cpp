#include "nor_flash.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

namespace vcam {

NorFlash::NorFlash() : content_(kSize, kErasedByte) {}

NorFlash::~NorFlash() = default;

bool NorFlash::ReadPage(std::uint32_t page, std::uint8_t out[kPageSize]) const {
  if (page >= kPageCount || out == nullptr) return false;
  std::lock_guard lock(mutex_);
  std::copy_n(content_.begin() + std::size_t{page} * kPageSize, kPageSize, out);
  ++counters_.pages_read;
  return true;
}

bool NorFlash::ProgramPage(std::uint32_t page, const std::uint8_t in[kPageSize]) {
  if (page >= kPageCount || in == nullptr) return false;
  std::lock_guard lock(mutex_);
  const std::size_t offset = std::size_t{page} * kPageSize;
  std::array<std::uint8_t, kPageSize> merged;
  for (std::uint32_t i = 0; i < kPageSize; ++i) {
    // A program pulse can only take cells from 1 to 0.
    merged[i] = static_cast<std::uint8_t>(content_[offset + i] & in[i]);
  }
  if (!WriteThroughLocked(static_cast<std::uint32_t>(offset), merged.data(), merged.size()))
    return false;
  std::copy(merged.begin(), merged.end(), content_.begin() + offset);
  ++counters_.pages_programmed;
  if (timing_) std::this_thread::sleep_for(kPageProgramTime);
  return true;
}

bool NorFlash::EraseSector(std::uint32_t sector) {
  if (sector >= kSectorCount) return false;
  std::lock_guard lock(mutex_);
  const std::size_t offset = std::size_t{sector} * kSectorSize;
  static const std::vector<std::uint8_t> kErasedSector(kSectorSize, kErasedByte);
  if (!WriteThroughLocked(static_cast<std::uint32_t>(offset), kErasedSector.data(), kSectorSize))
    return false;
  std::fill_n(content_.begin() + offset, kSectorSize, kErasedByte);
  ++counters_.sectors_erased;
  if (timing_) std::this_thread::sleep_for(kSectorEraseTime);
  return true;
}

void NorFlash::SetTiming(bool realistic) {
  std::lock_guard lock(mutex_);
  timing_ = realistic;
}

bool NorFlash::TimingEnabled() const {
  std::lock_guard lock(mutex_);
  return timing_;
}

bool NorFlash::ReadFlashFile(const std::filesystem::path& file, std::vector<std::uint8_t>& out) {
  std::error_code ec;
  const bool exists = std::filesystem::exists(file, ec);
  if (ec) return false;
  if (!exists) {
    out.assign(kSize, kErasedByte);
    return true;
  }
  const auto size = std::filesystem::file_size(file, ec);
  if (ec || size != kSize) return false;
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  out.resize(kSize);
  in.read(reinterpret_cast<char*>(out.data()), kSize);
  return in.gcount() == static_cast<std::streamsize>(kSize);
}

bool NorFlash::WriteFlashFile(const std::filesystem::path& file,
                              const std::vector<std::uint8_t>& content) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(reinterpret_cast<const char*>(content.data()),
            static_cast<std::streamsize>(content.size()));
  out.flush();
  return static_cast<bool>(out);
}

bool NorFlash::Load(const std::filesystem::path& file) {
  std::vector<std::uint8_t> loaded;
  if (!ReadFlashFile(file, loaded)) return false;
  std::lock_guard lock(mutex_);
  if (!WriteThroughLocked(0, loaded.data(), loaded.size())) return false;
  content_.swap(loaded);
  return true;
}

bool NorFlash::Save(const std::filesystem::path& file) const {
  std::vector<std::uint8_t> copy = Snapshot();
  return WriteFlashFile(file, copy);
}

bool NorFlash::Attach(const std::filesystem::path& file) {
  std::vector<std::uint8_t> loaded;
  if (!ReadFlashFile(file, loaded)) return false;
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) {
    if (ec || !WriteFlashFile(file, loaded)) return false;
  }
  std::fstream stream(file, std::ios::binary | std::ios::in | std::ios::out);
  if (!stream) return false;
  std::lock_guard lock(mutex_);
  content_.swap(loaded);
  file_ = std::move(stream);
  return true;
}

void NorFlash::Detach() {
  std::lock_guard lock(mutex_);
  if (file_.is_open()) file_.close();
}

bool NorFlash::IsAttached() const {
  std::lock_guard lock(mutex_);
  return file_.is_open();
}

bool NorFlash::WriteThroughLocked(std::uint32_t offset, const std::uint8_t* bytes,
                                  std::size_t count) {
  if (!file_.is_open()) return true;
  file_.clear();  // a failed earlier write must not block this one
  file_.seekp(offset);
  file_.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(count));
  // Flushed per change so that a killed process leaves the file current.
  file_.flush();
  return static_cast<bool>(file_);
}

NorFlash::Counters NorFlash::GetCounters() const {
  std::lock_guard lock(mutex_);
  return counters_;
}

void NorFlash::ResetCounters() {
  std::lock_guard lock(mutex_);
  counters_ = Counters{};
}

std::vector<std::uint8_t> NorFlash::Snapshot() const {
  std::lock_guard lock(mutex_);
  return content_;
}

void NorFlash::Inspect(const std::function<void(std::span<const std::uint8_t>)>& read) const {
  std::lock_guard lock(mutex_);
  read(content_);
}

void NorFlash::Poke(std::uint32_t addr, std::span<const std::uint8_t> bytes) {
  if (addr > kSize || bytes.size() > kSize - addr) {
    throw std::out_of_range("NorFlash::Poke: range past the end of the flash");
  }
  std::lock_guard lock(mutex_);
  if (!WriteThroughLocked(addr, bytes.data(), bytes.size())) {
    throw std::runtime_error("NorFlash::Poke: cannot write the flash file");
  }
  std::copy(bytes.begin(), bytes.end(), content_.begin() + addr);
}

}  // namespace vcam
