#include "recorder.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "imaging.h"

namespace kepra_view {

namespace {

// Frames waiting for the writer; more would hold tens of megabytes per frame of a big sensor.
constexpr std::size_t kQueueLimit = 8;

std::string Stamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
  return text;
}

}  // namespace

Recorder::Recorder(std::string base_dir) : base_dir_(std::move(base_dir)) {
  writer_ = std::thread([this] { Write(); });
}

Recorder::~Recorder() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  wake_.notify_all();
  writer_.join();
}

std::string Recorder::Start(std::uint32_t index, std::uint32_t frames) {
  namespace fs = std::filesystem;
  Stop();
  // A new folder per recording, so that nothing already there is overwritten.
  const std::string stem = "kepra-" + std::to_string(index) + "-" + Stamp();
  fs::path folder;
  std::error_code ec;
  for (int attempt = 0;; ++attempt) {
    folder = fs::path(base_dir_) / (attempt ? stem + "-" + std::to_string(attempt) : stem);
    if (fs::create_directory(folder, ec)) break;
    if (ec || attempt == 99) {
      return "cannot make a folder for the recording in " + base_dir_ + ": " +
             (ec ? ec.message() : "too many recordings this second");
    }
  }
  std::lock_guard lock(mutex_);
  status_ = RecordingStatus{};
  status_.active = frames > 0;
  status_.wanted = frames;
  status_.folder = folder.string();
  taken_ = 0;
  have_counter_ = false;
  return {};
}

void Recorder::Stop() {
  std::lock_guard lock(mutex_);
  status_.active = false;
  queue_.clear();
}

void Recorder::Offer(const std::shared_ptr<const Frame>& frame) {
  {
    std::lock_guard lock(mutex_);
    if (!status_.active || taken_ == status_.wanted) return;
    if (queue_.size() >= kQueueLimit) {
      ++status_.missed;
      return;
    }
    ++taken_;
    queue_.push_back(frame);
  }
  wake_.notify_all();
}

RecordingStatus Recorder::Status() const {
  std::lock_guard lock(mutex_);
  return status_;
}

void Recorder::Write() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return quit_ || !queue_.empty(); });
    if (quit_) return;
    const auto frame = queue_.front();
    queue_.pop_front();
    const std::string folder = status_.folder;
    const std::uint32_t number = status_.written + 1;
    lock.unlock();

    std::string error;
    const std::string png =
        EncodePng16(frame->samples.data(), frame->width, frame->height, frame->bit_depth, error);
    char name[64];
    std::snprintf(name, sizeof name, "frame-%06u-counter-%u.png", number, frame->counter);
    const auto path = std::filesystem::path(folder) / name;
    if (!png.empty()) {
      std::ofstream out(path, std::ios::binary);
      out.write(png.data(), static_cast<std::streamsize>(png.size()));
      out.close();
      if (!out) error = "cannot write " + path.string();
    }

    lock.lock();
    if (folder != status_.folder) continue;  // a new recording started meanwhile
    if (!error.empty()) {
      status_.error = error;
      status_.active = false;
      queue_.clear();
      continue;
    }
    ++status_.written;
    if (have_counter_) {
      const auto step = static_cast<std::int32_t>(frame->counter - last_counter_);
      if (step > 1) status_.gaps += static_cast<std::uint32_t>(step - 1);
    }
    have_counter_ = true;
    last_counter_ = frame->counter;
    if (status_.written == status_.wanted) status_.active = false;
  }
}

}  // namespace kepra_view
