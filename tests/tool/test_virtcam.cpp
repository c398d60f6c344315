// kepra-virtcam, the daemon, as users run it: its command line, its sockets, its signals, its
// unplug and replug, with the kepra tool (and the first_contact example) as its clients.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "process.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::uint32_t kIndex = kt::TestIndex();
using kt::Process;

class Daemon : public ::testing::Test {
 protected:
  void SetUp() override {
    static int counter = 0;
    dir_ = fs::temp_directory_path() /
           ("kepra-virtcam-test-" + std::to_string(getpid()) + "-" + std::to_string(++counter));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  std::unique_ptr<Process> Virtcam(std::vector<std::string> args) {
    args.insert(args.begin(), {KEPRA_VIRTCAM_PATH, "--dir", (dir_ / "dev").string()});
    return std::make_unique<Process>(args, dir_, dir_ / ("virtcam" + std::to_string(++runs_)));
  }
  // Runs the tool against the daemon's directory to its end.
  Process& Kepra(std::vector<std::string> args) {
    args.insert(args.begin(), KEPRA_TOOL_PATH);
    tools_.push_back(std::make_unique<Process>(
        args, dir_, dir_ / ("kepra" + std::to_string(++runs_)), dir_ / "dev"));
    tools_.back()->Exit(30000);
    return *tools_.back();
  }
  std::string Camera() const { return std::to_string(kIndex); }

  fs::path dir_;
  int runs_ = 0;
  std::vector<std::unique_ptr<Process>> tools_;
};

TEST_F(Daemon, CommandLineTable) {
  struct Row {
    std::vector<std::string> args;
    int status;
    std::string err, out = "";  // regular expressions
  };
  const std::vector<Row> rows = {
      {{"--help"}, 0, "^$", "usage: .*kepra-virtcam .*--camera INDEX\\[:MODEL\\]"},
      {{"--version"}, 0, "^$", "^kepra-virtcam [0-9]+\\.[0-9]+\\.[0-9]+\n$"},
      {{"--camera", "28:45"},
       2,
       "--camera 28:45: '45' names no model; models: 4 \\(A1 Mono\\), 5 \\(A1 Color\\)",
       "^$"},
      {{"--camera", "3:9"}, 2, "'9' names no model"},
      {{"--camera", "35"}, 2, "--camera 35: the index is not 0..34"},
      {{"--camera", "3x"}, 2, "the index is not 0..34"},
      {{"--camera", "3", "--camera", "3"}, 2, "camera 3 is given twice"},
      {{"--replug-after", "100"}, 2, "--replug-after needs --unplug-after-frames"},
      {{"--frobnicate"}, 2, "unknown or incomplete option '--frobnicate'"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.args[0] + (row.args.size() > 1 ? " " + row.args[1] : ""));
    auto daemon = Virtcam(row.args);
    EXPECT_EQ(daemon->Exit(), row.status) << daemon->err();
    EXPECT_TRUE(std::regex_search(daemon->out(), std::regex(row.out))) << daemon->out();
    EXPECT_TRUE(std::regex_search(daemon->err(), std::regex(row.err))) << daemon->err();
  }
}

TEST_F(Daemon, SigtermStopsItWhileClientsWaitForATriggerOrAStall) {
  auto daemon = Virtcam({"--camera", Camera()});
  ASSERT_TRUE(daemon->WaitFor("firmware running")) << daemon->err();
  // Snapshot mode with no timeout: a frame request waits for a trigger that never comes.
  ASSERT_EQ(Kepra({"-d", Camera(), "set", "snapshot", "0,off"}).Exit(), 0);
  ASSERT_EQ(Kepra({"-d", Camera(), "set", "stream-mode", "1"}).Exit(), 0);
  Process waiting({KEPRA_TOOL_PATH, "-d", Camera(), "grab", "--no-save"}, dir_, dir_ / "waiting",
                  dir_ / "dev");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_EQ(waiting.Exit(0), -1) << "the grab should still wait for its trigger";
  const auto start = Clock::now();
  daemon->Signal(SIGTERM);
  // A generous bound: the daemon used to wait for ever.
  EXPECT_EQ(daemon->Exit(5000), 0) << daemon->err();
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  std::printf("[ virtcam  ] stopped %.0f ms after SIGTERM (goal: under 1000 ms)\n", ms);
  EXPECT_TRUE(daemon->WaitFor("kepra-virtcam: stopping", 0));
  // The client learns that its camera went away.
  EXPECT_EQ(waiting.Exit(), 1) << waiting.err();

  // A request the daemon stalls on purpose ends as well.
  auto stalling = Virtcam({"--camera", Camera(), "--stall", "600000"});
  ASSERT_TRUE(stalling->WaitFor("firmware running")) << stalling->err();
  Process stalled({KEPRA_TOOL_PATH, "-d", Camera(), "get", "hdr"}, dir_, dir_ / "stalled",
                  dir_ / "dev");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_EQ(stalled.Exit(0), -1) << "the request should still be stalled";
  stalling->Signal(SIGTERM);
  EXPECT_EQ(stalling->Exit(5000), 0) << stalling->err();
  EXPECT_EQ(stalled.Exit(), 1) << stalled.err();
}

TEST_F(Daemon, FirstContactLeavesTheCameraAsItFoundIt) {
  auto daemon = Virtcam({"--camera", Camera(), "--unpaced"});
  ASSERT_TRUE(daemon->WaitFor("firmware running")) << daemon->err();
  const std::string before = Kepra({"-d", Camera(), "regs", "dump", "0", "256"}).out();
  ASSERT_EQ(before.size(), 256u * 22);  // "0x0000  65535  0xFFFF\n" per register
  Process example({KEPRA_FIRST_CONTACT_PATH, Camera()}, dir_, dir_ / "example", dir_ / "dev");
  ASSERT_EQ(example.Exit(), 0) << example.err();
  EXPECT_NE(example.out().find("read through the other: 480"), std::string::npos) << example.out();
  EXPECT_EQ(Kepra({"-d", Camera(), "regs", "dump", "0", "256"}).out(), before);
}

}  // namespace
