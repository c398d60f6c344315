// The exports' table (exports.h) run two ways.
//
// Argument checks: for each check of each row, its slots made bad (and the slots of every
// later check too, so that a check out of order shows) must give the row's refusal: result 0,
// its last error and debug line, no request (or only the lock's, for a check made under the
// lock), and nothing written to the caller's storage.
//
// Fault sweep: every request of every export failed in turn. For each export the request log
// of a successful run gives its N requests; then, for each position k of 1..N, a fresh camera
// fails the k-th request with a driver error, and another fresh camera is unplugged at it. The
// export must not crash, must fail unless the failing request is one it tolerates, must leave
// the right last error, must stop (only the documented cleanup may follow), must leave the
// camera as its row says, and must leave the device lock free.
//
// The sanitizer and Wine builds, many times slower, sweep a sample of each export's positions
// (KEPRA_SWEEP_SAMPLE per export, built in; 0 sweeps all), drawn from a seed the log prints;
// KEPRA_SWEEP_SEED=<seed> repeats a run's sample.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <iterator>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <string_view>

#include "exports.h"
#include "fixture.h"

namespace kt {
namespace {

using kx::Row;
using kx::Rows;

constexpr std::uint32_t kInjected = 0x1F;  // ERROR_GEN_FAILURE, as a driver would report it
constexpr std::uint32_t kNotConnected = KEPRA_ERROR_DEVICE_NOT_CONNECTED;
constexpr std::uint32_t kIndexRefused = KEPRA_STATUS_INVALID_PARAMETER;

// The slots of check `c` of `row` bad with its value case `v`, those of later checks bad with
// their first case; pointers point into a scratch area that must stay as it was. With `c` past
// the last check: good arguments, the row's own values and storage.
class TableArgs : public kx::Args {
 public:
  static constexpr std::uint8_t kFill = 0xA7;
  TableArgs(const Row& row, std::size_t c, std::size_t v, KEPRA_HANDLE h)
      : scratch_(c < row.checks.size() ? 1 << 16 : 0, kFill) {
    good_handle = h;
    for (std::size_t i = c; i < row.checks.size(); ++i) {
      const kx::Check& check = row.checks[i];
      for (std::size_t s = 0; s < check.slots.size(); ++s) {
        const int slot = check.slots[s];
        if (bad_.count(slot)) continue;
        const std::size_t which = i == c ? v : 0;
        bad_[slot] = check.values.empty() ? 0.0 : check.values[which][s];
      }
    }
  }
  KEPRA_HANDLE Handle(KEPRA_HANDLE good) override {
    return bad_.count(0) ? KEPRA_INVALID_HANDLE : good;
  }
  void* Pointer(int slot, void* good, std::size_t size) override {
    if (bad_.count(slot)) return nullptr;
    return !scratch_.empty() && size <= scratch_.size() ? scratch_.data() : good;
  }
  void* Record(int slot, void* good, std::size_t) override {
    return bad_.count(slot) ? nullptr : good;
  }
  void* Ref(int slot, void* good) override { return Record(slot, good, 0); }
  std::uint64_t Int(int slot, std::uint64_t good) override {
    return bad_.count(slot) ? static_cast<std::uint64_t>(bad_[slot]) : good;
  }
  std::uint32_t Length(int slot, std::uint32_t good) override {
    return static_cast<std::uint32_t>(Int(slot, good));
  }
  double Real(int slot, double good) override { return bad_.count(slot) ? bad_[slot] : good; }
  bool ScratchKept() const {
    return std::all_of(scratch_.begin(), scratch_.end(), [](std::uint8_t b) { return b == kFill; });
  }

 private:
  std::map<int, double> bad_;
  std::vector<std::uint8_t> scratch_;
};

// A line that reports a failed operation on the way out ("CxReadSensorReg failed", "...)
// fail!", with or without the line feed some families end their texts with).
std::string Text(std::string line) {
  if (!line.empty() && line.back() == '\n') line.pop_back();
  return line;
}
bool IsFailureLine(const std::string& line) {
  const std::string text = Text(line);
  return text.ends_with(" failed") || text.ends_with(" fail!");
}

class Exports : public CameraTest {};

TEST_F(Exports, RefuseBadArgumentsInTheirOrder) {
  for (const Row& row : Rows()) {
    for (std::size_t c = 0; c < row.checks.size(); ++c) {
      const kx::Check& check = row.checks[c];
      for (std::size_t v = 0; v < std::max<std::size_t>(1, check.values.size()); ++v) {
        SCOPED_TRACE(testing::Message() << row.name << " check " << c + 1 << " case " << v + 1);
        TableArgs args(row, c, v, h());
        camera_->ClearLog();
        kepra_SetLastError(kSentinel);
        EXPECT_EQ(row.call(args), 0u);
        const std::uint32_t error = kepra_GetLastError();
        if (check.error == kx::kAnyError) {
          EXPECT_NE(error, kSentinel);
        } else {
          EXPECT_EQ(error, check.error);
        }
        EXPECT_EQ(rig_.DebugLines(), check.line ? Lines{check.line} : Lines{});
        if (check.under_lock) {
          EXPECT_TRUE(Locked());
          EXPECT_TRUE(WorkRequests().empty());
        } else {
          EXPECT_TRUE(camera_->Log().empty());
        }
        EXPECT_TRUE(row.writes_when_refused || args.ScratchKept()) << "a refused call wrote";
      }
    }
  }
}

// ---- The sweep ---------------------------------------------------------------------------

#ifndef KEPRA_SWEEP_SAMPLE
#define KEPRA_SWEEP_SAMPLE 0
#endif

unsigned long EnvOr(const char* name, unsigned long fallback) {
  const char* value = std::getenv(name);
  return value && *value ? std::strtoul(value, nullptr, 0) : fallback;
}

// The positions 0..n-1 to sweep: all, or `per_export` of them drawn without repeats, in order.
std::vector<std::size_t> Positions(std::size_t n, unsigned long per_export, std::mt19937& draw) {
  std::vector<std::size_t> all(n), picked;
  std::iota(all.begin(), all.end(), std::size_t{0});
  if (per_export == 0 || per_export >= n) return all;
  std::sample(all.begin(), all.end(), std::back_inserter(picked), per_export, draw);
  return picked;
}

// What this process has open: on Linux its descriptors (sockets and pipes by kind, as they
// differ only by inode number) and what they refer to; the handle count is checked on Linux.
std::multiset<std::string> OpenDescriptors() {
  std::multiset<std::string> open;
#if !defined(_WIN32)
  std::error_code ec;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    const std::string target = std::filesystem::read_symlink(fd.path(), ec).string();
    if (ec || target.starts_with("/proc/")) continue;  // the listing's own descriptor
    const bool kind = target.starts_with("socket:") || target.starts_with("pipe:");
    open.insert(kind ? target.substr(0, target.find(':')) : target);
  }
#endif
  return open;
}

// A call run on a thread of its own that stays alive, still owning whatever it failed to
// release, until `Finish` lets it end.
class Worker {
 public:
  Worker(const Row& row, KEPRA_HANDLE h)
      : thread_([this, &row, h, finish = finish_.get_future()] {
          kepra_SetLastError(kSentinel);
          TableArgs args(row, row.checks.size(), 0, h);
          const std::uint32_t r = row.call(args);
          done_.set_value({r, kepra_GetLastError()});
          finish.wait();
        }) {}
  ~Worker() { Finish(); }
  // Waits for the call; false if it took longer than 20 s (a hang).
  bool Wait(std::uint32_t* result, std::uint32_t* error) {
    if (outcome_.wait_for(std::chrono::seconds(20)) != std::future_status::ready) return false;
    std::tie(*result, *error) = outcome_.get();
    return true;
  }
  void Finish() {
    if (!thread_.joinable()) return;
    finish_.set_value();
    thread_.join();
  }

 private:
  std::promise<std::pair<std::uint32_t, std::uint32_t>> done_;
  std::future<std::pair<std::uint32_t, std::uint32_t>> outcome_ = done_.get_future();
  std::promise<void> finish_;
  std::thread thread_;
};

// Whether a buffer of `size` bytes fits a size of the protocol's request table.
bool Fits(std::uint32_t documented, std::size_t size) {
  if (documented == io::kCaller) return true;
  if (documented == io::kPerEntry) return size % 5 == 0;
  return size == documented;
}

class FaultSweep : public ::testing::Test {
 protected:
  void TearDown() override { rig_.Unplug(kIndex); }

  std::shared_ptr<vcam::Camera> Fresh() {
    rig_.Unplug(kIndex);
    camera_ = rig_.Plug(kIndex);
    return camera_;
  }

  // Another thread takes the lock: a locked export on a second handle of a live camera completes
  // well before the lock's 5000 ms timeout (1 s was too tight on a loaded machine: 1,961 ms seen).
  void ExpectLockFree(const std::string& where) {
    if (!camera_ || camera_->Unplugged()) Fresh();
    Handle second(kIndex);
    ASSERT_TRUE(second.ok()) << where;
    std::uint32_t frame_time = 0;
    const double start = rig::NowMs();
    const std::uint32_t ok =
        std::async(std::launch::async, kepra_GetFrameTime, second.get(), &frame_time).get();
    const double took = rig::NowMs() - start;
    EXPECT_EQ(ok, 1u) << where << ": lock not free";
    EXPECT_LT(took, 4000.0) << where << ": lock not free";
  }

  // And another process too.
  void ExpectLockFreeForProcess(const std::string& where) {
    rig::Child holder(
        {rig::HelperPath("kepra-test-lockholder"), std::to_string(kIndex), "hold-ms", "0"});
    ASSERT_TRUE(holder.started());
    const double start = rig::NowMs();
    EXPECT_TRUE(holder.WaitForLine("released", 4000)) << where;
    EXPECT_LT(rig::NowMs() - start, 3000.0) << where;
    EXPECT_EQ(holder.Wait(), 0) << where;
  }

  std::vector<vcam::LogEntry> Learn(const Row& row) {
    Fresh();
    Handle h(kIndex);
    EXPECT_TRUE(h.ok());
    camera_->ClearLog();
    rig_.DebugLines();
    Worker worker(row, h.get());
    std::uint32_t result = 0, error = 0;
    EXPECT_TRUE(worker.Wait(&result, &error)) << row.name << " hangs";
    EXPECT_EQ(result, 1u) << row.name << " fails without a fault (last error " << error << ")";
    EXPECT_EQ(rig_.DebugLines(), Lines{}) << row.name << " writes debug lines without a fault";
    worker.Finish();
    return camera_->Log();
  }

  // Valid arguments and a failed request: only the short stack of "... failed" lines of the
  // operations it ended (or the documented refusal it turns into), none at all when the first
  // request, the lock's, failed, and from the quiet families only the lines of the frame-length
  // update they run; a failed register primitive is named first.
  static void ExpectDebugLines(const Row& row, const std::vector<vcam::LogEntry>& good,
                               std::size_t k, bool unplug, const Lines& lines,
                               const std::string& where) {
    if (k == 0 && kx::IsIndex(good[0])) {
      EXPECT_EQ(lines, Lines{}) << where << ": debug lines when the lock failed";
      return;
    }
    // Once the camera is gone, the steps that go on after a tolerated failure fail as well,
    // each with its own stack.
    EXPECT_LE(lines.size(), unplug ? 8u : 4u) << where << ": more debug lines than failure stacks";
    const bool refusal = row.documented(good, k) != 0;
    // Of the quiet rows only the frame-parameter setter runs the frame-length update.
    if (row.quiet && row.tolerated != kx::InFrameLengthUpdate) {
      EXPECT_EQ(lines, Lines{}) << where << ": debug lines from a family that writes none";
      return;
    }
    for (const std::string& line : lines) {
      if (row.quiet) {
        EXPECT_TRUE(line == "CxReadSensorReg failed" || line == "CxReadSensorRegs failed" ||
                    line == "CxGetFramerateRegs failed")
            << where << ": debug line \"" << line << "\" from a family that writes none";
      } else {
        EXPECT_TRUE(IsFailureLine(line) || (refusal && Text(line).ends_with(" is NULL")))
            << where << ": debug line \"" << line << "\"";
      }
    }
    if (lines.empty() || row.tolerated(good, k) || refusal) return;
    if (good[k].code == io::IOCTL_SENSOR_REG && good[k].in.size() == 2) {
      EXPECT_EQ(Text(lines.front()), "CxReadSensorReg failed") << where;
    } else if (good[k].code == io::IOCTL_SENSOR_REG && good[k].in.size() == 4) {
      EXPECT_EQ(Text(lines.front()), "CxWriteSensorReg failed") << where;
    }
  }

  // One position, one kind of fault.
  void Sweep(const Row& row, const std::vector<vcam::LogEntry>& good, std::size_t k, bool unplug) {
    const std::string where = std::string(row.name) + " request " + std::to_string(k + 1) + "/" +
                              std::to_string(good.size()) + (unplug ? " unplugged" : " failed");
    Fresh();
    Handle h(kIndex);
    ASSERT_TRUE(h.ok()) << where;
    camera_->ClearLog();
    camera_->AddFault({.action = unplug ? vcam::Fault::Action::kUnplug : vcam::Fault::Action::kFail,
                       .nth = k + 1,
                       .error = kInjected});
    rig_.DebugLines();
    const auto before = row.state ? camera_->Flash().Snapshot() : std::vector<std::uint8_t>{};

    Worker worker(row, h.get());
    std::uint32_t result = 0, error = 0;
    ASSERT_TRUE(worker.Wait(&result, &error)) << where << ": hangs";
    const std::vector<vcam::LogEntry> log = camera_->Log();
    ExpectDebugLines(row, good, k, unplug, rig_.DebugLines(), where);
    ASSERT_GT(log.size(), k) << where;
    for (std::size_t i = 0; i < k; ++i) {
      ASSERT_EQ(log[i].code, good[i].code) << where << ": request " << i + 1 << " differs";
      ASSERT_EQ(log[i].in, good[i].in) << where << ": request " << i + 1 << " differs";
    }
    if (row.state) {
      EXPECT_EQ(row.state(*camera_, before, log), "") << where << ": what the camera was left";
    }
    const vcam::LogEntry& failed = log[k];
    ASSERT_EQ(failed.code, good[k].code) << where;
    ASSERT_FALSE(failed.ok) << where << ": the fault did not hit";

    // A device-index request is either a lock's or a release's. The releases at the end come
    // after all the work: their failure leaves the result at 1. A failed lock stops the export
    // (0xC000000D; only the releases of outer locks follow); a failed release in between lets
    // the work go on.
    const bool index = kx::IsIndex(failed);
    const bool final_release =
        index && std::all_of(good.begin() + static_cast<long>(k) + 1, good.end(), kx::IsIndex);
    const bool worked_after = std::any_of(log.begin() + static_cast<long>(k) + 1, log.end(),
                                          [](const vcam::LogEntry& e) { return !kx::IsIndex(e); });
    // Once the camera is gone every later request fails as well, so a tolerated failure
    // leaves the result at 1 only when all that follows is tolerated too.
    bool release = final_release || row.tolerated(good, k);
    for (std::size_t j = k + 1; unplug && release && !final_release && j < good.size(); ++j) {
      release = kx::IsIndex(good[j]) || row.tolerated(good, j);
    }
    if (index && !final_release && worked_after && result == 1) release = true;
    // The release also fails when the camera is gone, so the lock stays with the calling
    // thread until it ends (an abandoned lock, taken at once by the next owner).
    const bool lock_kept = unplug || (index && release);

    if (release) {
      EXPECT_EQ(result, 1u) << where << ": a tolerated failure made it fail";
    } else {
      EXPECT_EQ(result, 0u) << where << ": succeeded although a request failed";
      std::uint32_t expected = kInjected;
      if (!unplug && row.documented(good, k)) expected = row.documented(good, k);
      // Once the camera is gone, the release of a lock taken before k fails too.
      const bool held = std::any_of(good.begin(), good.begin() + static_cast<long>(k), kx::IsIndex);
      if (unplug) expected = held ? kIndexRefused : kNotConnected;
      if (index) expected = kIndexRefused;  // the lock, or the release after it
      EXPECT_EQ(error, expected) << where << ": last error";
      // Nothing but lock bookkeeping and the documented cleanup after the failed request.
      for (std::size_t i = k + 1; i < log.size(); ++i) {
        if (unplug) {
          EXPECT_FALSE(log[i].ok) << where << ": request served after the unplug";
        }
        EXPECT_TRUE(kx::IsIndex(log[i]) || row.cleanup(failed, log[i]))
            << where << ": request " << i + 1 << " (code 0x" << std::hex << log[i].code
            << ") sent after the failure";
      }
    }
    if (!lock_kept) ExpectLockFree(where + " (owner alive)");
    worker.Finish();
    if (lock_kept) ExpectLockFree(where + " (owner ended)");
    ++swept_;
  }

  rig::Rig rig_;
  std::shared_ptr<vcam::Camera> camera_;
  int swept_ = 0;
};

TEST_F(FaultSweep, EveryRequestOfEveryExport) {
  // A handle open throughout, so the index's lock mutex stays open and descriptors can be
  // compared before and after.
  Fresh();
  Handle keeper(kIndex);
  ASSERT_TRUE(keeper.ok());
  // The library's debug channel opens with its first line and stays open: open it first.
  std::uint32_t unused;
  EXPECT_EQ(kepra_GetFrameTime(KEPRA_INVALID_HANDLE, &unused), 0u);
  EXPECT_EQ(rig_.DebugLines(), Lines{"H is not valid"});
  const std::multiset<std::string> descriptors = OpenDescriptors();
  const unsigned long per_export = EnvOr("KEPRA_SWEEP_SAMPLE", KEPRA_SWEEP_SAMPLE);
  const auto seed = static_cast<std::uint32_t>(EnvOr("KEPRA_SWEEP_SEED", std::random_device{}()));
  if (per_export != 0) {
    std::printf("fault sweep: %lu positions of each export, KEPRA_SWEEP_SEED=%u\n", per_export,
                seed);
  }
  std::mt19937 draw(seed);
  std::size_t positions = 0;
  std::map<const io::ControlCode*, int> forms;  // bit 0: the read form was sent, bit 1: the write
  const char* only = std::getenv("KEPRA_SWEEP_ONLY");  // one export's row, by name
  for (const Row& row : Rows()) {
    if (only && *only && row.name != std::string_view(only)) continue;
    if (row.sweep == 0) continue;
    const std::vector<vcam::LogEntry> good = Learn(row);
    // Every request has a form the protocol's table documents for its code.
    for (const vcam::LogEntry& e : good) {
      const io::ControlCode* known = io::FindControlCode(e.code);
      ASSERT_NE(known, nullptr) << row.name << ": undocumented code 0x" << std::hex << e.code;
      const bool get = Fits(known->get_in, e.in.size()) && Fits(known->get_out, e.out_size);
      const bool set = Fits(known->set_in, e.in.size()) && Fits(known->set_out, e.out_size);
      EXPECT_TRUE(get || set) << row.name << ": " << known->name << " with " << e.in.size()
                              << " bytes in, " << e.out_size << " out";
      forms[known] |= (get ? 1 : 0) | (set ? 2 : 0);
    }
    // A locked export releases the lock last; an unlocked one sends no device-index request.
    const bool locked = std::any_of(good.begin(), good.end(), kx::IsIndex);
    EXPECT_EQ(locked, row.locked) << row.name << (row.locked ? " takes no lock" : " locks");
    EXPECT_TRUE(!locked || kx::IsIndex(good.back())) << row.name << " works after its release";
    positions += good.size();
    unsigned long sample = per_export;
    if (row.sweep > 0 && (sample == 0 || sample > static_cast<unsigned long>(row.sweep))) {
      sample = static_cast<unsigned long>(row.sweep);
    }
    std::vector<std::size_t> picks = Positions(good.size(), sample, draw);
    // A sampled row's first requests (version query, lock, first reads) are always swept.
    for (std::size_t k = 0; row.sweep > 0 && k < std::min<std::size_t>(8, good.size()); ++k) {
      picks.push_back(k);
    }
    std::sort(picks.begin(), picks.end());
    picks.erase(std::unique(picks.begin(), picks.end()), picks.end());
    for (std::size_t k : picks) {
      for (bool unplug : {false, true}) {
        Sweep(row, good, k, unplug);
        if (HasFatalFailure()) return;
      }
    }
    ExpectLockFreeForProcess(row.name);
  }
  // And each form the table lists for a code the exports send is one they send.
  for (const auto& [code, seen] : forms) {
    if (only && *only) break;
    // The speed's 4-byte form goes out without the detail pointer, which the row passes.
    if (code->code == io::IOCTL_USB_SPEED) continue;
    EXPECT_EQ(seen, 3) << code->name << ": a documented form no export sends";
  }
  Fresh();
  // Fewer is fine: the keeper's connection to an unplugged camera may have been dropped.
  const std::multiset<std::string> after = OpenDescriptors();
  for (const std::string& kind : std::set<std::string>(after.begin(), after.end())) {
    EXPECT_LE(after.count(kind), descriptors.count(kind)) << "leaked: " << kind;
  }
  std::printf(
      "fault sweep: %zu exports, %d of %zu request positions swept (driver error and "
      "unplug)\n",
      Rows().size(), swept_ / 2, positions);
  std::filesystem::remove(kx::FirmwareFile());
}

}  // namespace
}  // namespace kt
