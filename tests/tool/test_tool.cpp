// The kepra tool, run as a child process against virtual cameras of the rig (the child finds
// them through KEPRA_DEVICE_DIR, which the rig sets). Expected values come from the camera's
// registers and settings, read in the test, or from the documented encodings.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "driver/ioctl.h"
#include "frame_math.h"
#include "kepra/kepra.h"
#include "report.h"
#include "rig.h"

extern char** environ;

namespace kt {
extern const unsigned char kCarriedImage[];
extern const std::size_t kCarriedImageSize;
}  // namespace kt

namespace {

namespace fs = std::filesystem;
namespace io = kepra::driver;

std::uint32_t TestIndex() {
  const char* value = std::getenv("KEPRA_TEST_INDEX");
  const unsigned long index = value ? std::strtoul(value, nullptr, 10) : 7;
  return index < 33 ? static_cast<std::uint32_t>(index) : 7;
}
const std::uint32_t kIndex = TestIndex();
constexpr double kTick = 15.999554533002907;  // sensor-clock periods per line-length unit

std::string ReadText(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::vector<std::uint8_t> ReadBytes(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void WriteBytes(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream file(path, std::ios::binary);
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

// A value of a flat "key: value" line or of a JSON member "key":value (up to , or }).
std::string JsonValue(const std::string& json, const std::string& key) {
  const std::string marker = "\"" + key + "\":";
  const std::size_t at = json.find(marker);
  if (at == std::string::npos) return "<missing " + key + ">";
  const std::size_t start = at + marker.size();
  const std::size_t end = json.find_first_of(",}", start);
  return json.substr(start, end - start);
}

class Tool : public ::testing::Test {
 protected:
  void SetUp() override {
    static int counter = 0;
    dir_ = fs::temp_directory_path() /
           ("kepra-tool-test-" + std::to_string(getpid()) + "-" + std::to_string(++counter));
    fs::create_directories(dir_);
    camera_ = rig_.Plug(kIndex);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // Runs the tool with `args` (the device index of the test camera first unless given).
  ToolRun Kepra(std::vector<std::string> args, bool with_device = true) {
    if (with_device) args.insert(args.begin(), {"-d", std::to_string(kIndex)});
    args.insert(args.begin(), KEPRA_TOOL_PATH);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string out = (dir_ / "stdout").string(), err = (dir_ / "stderr").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    ToolRun run;
    const std::string cwd = fs::current_path().string();
    fs::current_path(dir_);  // relative output files land in the scratch directory
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    fs::current_path(cwd);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
      ADD_FAILURE() << "cannot start " << argv[0];
      return run;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = ReadText(out);
    run.err = ReadText(err);
    return run;
  }

  // Runs a command that must succeed and returns its standard output.
  std::string Ok(const std::vector<std::string>& args) {
    const ToolRun run = Kepra(args);
    EXPECT_EQ(run.status, 0) << args[0] << ": " << run.err;
    return run.out;
  }

  void FailCode(std::uint32_t code, std::uint32_t error = 31, int times = -1) {
    vcam::Fault fault;
    fault.code = code;
    fault.error = error;
    fault.times = times;
    camera_->AddFault(fault);
  }

  std::uint32_t LineLength() const { return camera_->Register(4) & 0x7FF; }

  rig::Rig rig_;
  std::shared_ptr<vcam::Camera> camera_;
  fs::path dir_;
};

// ---- list and info -----------------------------------------------------------------------

TEST_F(Tool, ListShowsEveryCameraWithModelAndSize) {
  vcam::CameraConfig colour_config;
  colour_config.model_code = '5';
  rig_.Plug(kIndex + 1, colour_config);
  // The model names as the library reports them in this process.
  auto model = [](std::uint32_t index) {
    KEPRA_HANDLE h = kepra_OpenDevice(index);
    kepra_CameraInfo info{};
    EXPECT_EQ(kepra_GetCameraInfo(h, &info), 1u);
    kepra_CloseDevice(h);
    return std::string(info.ModelName);
  };
  const std::string mono = model(kIndex), colour = model(kIndex + 1);
  ASSERT_NE(mono, colour);

  const std::string json = Ok({"--json", "list"});
  EXPECT_NE(json.find("{\"index\":" + std::to_string(kIndex) + ",\"model\":\"" + mono +
                      "\",\"width\":1280,\"height\":1024,\"colour\":false}"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("{\"index\":" + std::to_string(kIndex + 1) + ",\"model\":\"" + colour +
                      "\",\"width\":1280,\"height\":1024,\"colour\":true}"),
            std::string::npos)
      << json;
  EXPECT_EQ(JsonValue(json, "count"), "2");

  const std::string text = Ok({"list"});
  EXPECT_NE(text.find("model: " + colour), std::string::npos) << text;
}

TEST_F(Tool, InfoReportsIdentityVersionsSpeedAndTiming) {
  camera_->SetFrequency(48);
  const std::string json = Ok({"info", "--json"});
  ASSERT_EQ(json.front(), '{');
  EXPECT_EQ(json.substr(json.size() - 2), "}\n");
  EXPECT_EQ(JsonValue(json, "width"), "1280");
  EXPECT_EQ(JsonValue(json, "height"), "1024");
  EXPECT_EQ(JsonValue(json, "model_code"), "\"0x34\"");  // '4'
  EXPECT_NE(json.find("\"firmware\":{\"version\":\"1.0.1.6.0\"}"), std::string::npos) << json;
  EXPECT_NE(json.find("\"driver\":{\"version\":\"0.1.96\",\"supported\":true}"), std::string::npos)
      << json;
  EXPECT_EQ(JsonValue(json, "speed_code"), "3");
  EXPECT_EQ(JsonValue(json, "signalling_bytes_per_s"), "500000000");
  EXPECT_EQ(JsonValue(json, "clock_mhz"), "48");
  const std::uint32_t frame_time = LineLength() * camera_->Register(12);
  EXPECT_EQ(JsonValue(json, "current"), std::to_string(frame_time));  // frame_time comes first
  EXPECT_EQ(JsonValue(json, "max"), "134148098");
  EXPECT_EQ(JsonValue(json, "lines"), std::to_string(camera_->Register(14)));
  EXPECT_EQ(JsonValue(json, "lines_min"), "2");
  EXPECT_EQ(JsonValue(json, "lines_max"), "65534");

  // Another driver version is reported as unsupported, and is not a failure of the command.
  camera_->SetDriverVersion(0x00010061);
  const std::string other = Ok({"--json", "info"});
  EXPECT_NE(other.find("\"driver\":{\"version\":\"0.1.97\",\"supported\":false}"),
            std::string::npos)
      << other;
  EXPECT_NE(Ok({"info"}).find("supported: no"), std::string::npos);
}

// ---- get and set -------------------------------------------------------------------------

TEST_F(Tool, ExposureInItsThreeUnitsReachesRegister14) {
  Ok({"set", "exposure-lines", "480"});
  EXPECT_EQ(camera_->Register(14), 480);
  EXPECT_EQ(Ok({"get", "exposure-lines"}), "exposure_lines: 480\n");

  const std::uint32_t ll = LineLength();
  const std::uint32_t mhz = camera_->Frequency();
  Ok({"set", "exposure-time", "1599955"});
  EXPECT_EQ(camera_->Register(14), std::llround(1599955 / (ll * kTick)));
  const auto periods = static_cast<std::uint32_t>(std::trunc(camera_->Register(14) * ll * kTick));
  EXPECT_EQ(Ok({"get", "exposure-time"}), "exposure_time: " + std::to_string(periods) + "\n");

  const std::string set = Ok({"--json", "set", "exposure-ms", "5"});
  const long lines = std::llround(5.0 * mhz * 1000 / (ll * kTick));
  EXPECT_EQ(camera_->Register(14), lines);
  const double ms = std::trunc(lines * ll * kTick) / (mhz * 1000.0);
  EXPECT_NEAR(std::stod(JsonValue(set, "exposure_ms")), ms, 1e-6) << set;
}

TEST_F(Tool, FrameRateAndFrameTimeFollowTheTimingRegisters) {
  Ok({"set", "frame-rate", "20"});
  const double rate = camera_->Frequency() * 1e6 / (LineLength() * camera_->Register(12) * kTick);
  EXPECT_NEAR(rate, 20.0, 0.05);
  EXPECT_NEAR(std::stod(JsonValue(Ok({"get", "frame-rate", "--json"}), "frame_rate")), rate, 1e-6);

  Ok({"set", "frame-time", "200000"});
  const std::uint32_t product = LineLength() * camera_->Register(12);
  EXPECT_NEAR(product, 200000.0, 200000.0 * 0.01);
  EXPECT_EQ(Ok({"get", "frame-time"}), "frame_time: " + std::to_string(product) + "\n");

  Ok({"set", "frame-rate", "min"});
  EXPECT_EQ(LineLength() * camera_->Register(12), 134148098u);  // 2047 * 65534
}

TEST_F(Tool, GainsUseTheDocumentedCodes) {
  Ok({"set", "gain", "2,1.5"});
  EXPECT_EQ(camera_->Register(17), 0x0220);
  camera_->SetRegister(17, 0x0540);
  EXPECT_EQ(Ok({"get", "gain"}), "analog: 6\ndigital: 2\n");

  Ok({"set", "colour-gain", "1,2,1,2"});
  EXPECT_EQ(camera_->Register(54), 0x80C0);
  EXPECT_EQ(camera_->Register(55), 0x80C0);
  camera_->SetRegister(55, 0x0000);
  const std::string json = Ok({"--json", "get", "colour-gain"});
  EXPECT_EQ(json, "{\"gb\":1,\"gr\":2,\"b\":0.25,\"r\":0.25}\n");
}

TEST_F(Tool, ReadoutStrobeAndSnapshotReachTheCamera) {
  camera_->SetRegister(7, 0x0500);
  camera_->SetRegister(11, 0x0035);
  Ok({"set", "strobe", "2,0x12,0x34,on"});
  EXPECT_EQ(camera_->Register(5), 0x3412);
  EXPECT_EQ(camera_->Register(7), 0x4500);
  EXPECT_EQ(camera_->Register(11), 0x00B5);
  EXPECT_EQ(Ok({"--json", "get", "strobe"}),
            "{\"mode\":2,\"off_delay\":18,\"on_delay\":52,\"inverted\":true}\n");

  Ok({"set", "readout-mode", "2"});
  EXPECT_EQ((camera_->Register(11) >> 4) & 3, 2);
  EXPECT_EQ(Ok({"get", "readout-mode"}), "readout_mode: 2\n");

  Ok({"set", "snapshot", "1000,off"});
  EXPECT_EQ(camera_->Settings().snapshot, 1000u);
  Ok({"set", "snapshot", "0,on"});
  EXPECT_EQ(camera_->Settings().snapshot, 0x80000000u);
  EXPECT_EQ(Ok({"get", "snapshot"}), "timeout_ms: 0\ninverted: yes\n");
}

TEST_F(Tool, DriverKeptSettingsRoundTrip) {
  Ok({"set", "hdr", "on"});
  EXPECT_EQ(camera_->Settings().hdr, 1);
  EXPECT_EQ(Ok({"get", "hdr"}), "hdr: yes\n");

  Ok({"set", "events", "0x05,0x0F"});
  EXPECT_EQ(camera_->Settings().events_state, 0x05);
  EXPECT_EQ(Ok({"get", "events"}), "events: 5\n");

  Ok({"set", "stream-mode", "3"});
  EXPECT_EQ(camera_->Settings().stream_mode, 3u);
  EXPECT_EQ(Ok({"get", "stream-mode"}), "stream_mode: 3\n");

  Ok({"set", "led", "on"});
  EXPECT_EQ(camera_->Settings().front_led, 1);
  Ok({"set", "led", "0"});
  EXPECT_EQ(camera_->Settings().front_led, 0);

  Ok({"set", "clock", "48"});
  EXPECT_EQ(camera_->Frequency(), 48u);
  EXPECT_EQ(Ok({"get", "clock"}), "clock_mhz: 48\n");

  Ok({"set", "frame-params", "16,8,640,512,12,2,2,1"});
  const vcam::FrameParams p = camera_->Settings().frame_params;
  const std::vector<std::uint8_t> expected = {16, 0, 8, 0, 0x80, 2, 0, 2, 12, 0, 2, 0, 2,
                                              0,  1, 0, 0, 0,    0, 0, 0, 0,  0, 0, 0, 0};
  EXPECT_EQ(std::vector<std::uint8_t>(p.begin(), p.end()), expected);

  Ok({"set", "bad-pixel-fix", "on"});
  EXPECT_EQ(camera_->Settings().fix_bad_pixels, 1);
}

// ---- registers -------------------------------------------------------------------------------

TEST_F(Tool, RegistersReadWriteAndDump) {
  Ok({"regs", "write", "0x20", "0xBEEF"});
  EXPECT_EQ(camera_->Register(0x20), 0xBEEF);
  camera_->SetRegister(0x21, 7);
  EXPECT_EQ(Ok({"--json", "regs", "read", "33"}),
            "{\"address\":\"0x0021\",\"value\":7,\"hex\":\"0x0007\"}\n");
  EXPECT_EQ(Ok({"regs", "dump", "0x20", "2"}), "0x0020  48879  0xBEEF\n0x0021      7  0x0007\n");
  const std::string json = Ok({"--json", "regs", "dump", "0x20", "2"});
  EXPECT_EQ(json,
            "{\"registers\":[{\"address\":\"0x0020\",\"value\":48879},"
            "{\"address\":\"0x0021\",\"value\":7}]}\n");
}

// ---- grab ------------------------------------------------------------------------------------

struct PngHeader {
  bool signature = false;
  std::uint32_t width = 0, height = 0;
  int bit_depth = 0, colour_type = -1;
};

PngHeader ReadPngHeader(const fs::path& path) {
  const std::vector<std::uint8_t> bytes = ReadBytes(path);
  PngHeader h;
  if (bytes.size() < 33) return h;
  const std::uint8_t signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  h.signature = std::equal(std::begin(signature), std::end(signature), bytes.begin()) &&
                std::string(bytes.begin() + 12, bytes.begin() + 16) == "IHDR";
  auto be32 = [&](std::size_t at) {
    return std::uint32_t{bytes[at]} << 24 | std::uint32_t{bytes[at + 1]} << 16 |
           std::uint32_t{bytes[at + 2]} << 8 | bytes[at + 3];
  };
  h.width = be32(16);
  h.height = be32(20);
  h.bit_depth = bytes[24];
  h.colour_type = bytes[25];
  return h;
}

TEST_F(Tool, GrabWritesGreyPngFilesOfTheFrameGeometry) {
  // A binned region keeps the files small: 320 x 256 sensor pixels binned 2 x 4.
  vcam::DriverSettings settings = camera_->Settings();
  settings.frame_params = {0, 0, 0, 0, 0x40, 1, 0, 1, 10, 0, 2, 0, 4,
                           0, 0, 0, 0, 0,    0, 0, 0, 0,  0, 0, 0, 0};
  camera_->SetSettings(settings);

  const std::string json = Ok({"--json", "grab", "-n", "3", "--depth", "16", "-o", "f_%03d.png"});
  for (const char* name : {"f_000.png", "f_001.png", "f_002.png"}) {
    const PngHeader h = ReadPngHeader(dir_ / name);
    EXPECT_TRUE(h.signature) << name;
    EXPECT_EQ(h.width, 160u) << name;
    EXPECT_EQ(h.height, 64u) << name;
    EXPECT_EQ(h.bit_depth, 16) << name;
    EXPECT_EQ(h.colour_type, 0) << name;
  }
  EXPECT_FALSE(fs::exists(dir_ / "f_003.png"));
  EXPECT_EQ(JsonValue(json, "frames"), "3");
  EXPECT_EQ(JsonValue(json, "first_file"), "\"f_000.png\"");
  EXPECT_NE(JsonValue(json, "frame_rate").find_first_of("0123456789"), std::string::npos);

  const std::string text = Ok({"grab", "-n", "4", "--depth", "8", "--ex", "-o", "e%d.png"});
  for (const char* name : {"e0.png", "e1.png", "e2.png", "e3.png"}) {
    const PngHeader h = ReadPngHeader(dir_ / name);
    EXPECT_TRUE(h.signature) << name;
    EXPECT_EQ(h.width, 160u);
    EXPECT_EQ(h.height, 64u);
    EXPECT_EQ(h.bit_depth, 8);
  }
  // Unpaced, the camera produces one frame per request, so consecutive counters follow each
  // other: nothing dropped, nothing out of order.
  EXPECT_NE(text.find("\ndropped: 0\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nout_of_order: 0\n"), std::string::npos) << text;
  // The counters really advanced: 3 plain frames, then 4 Ex frames from the first counter.
  EXPECT_EQ(camera_->LastFrameCounter(), vcam::Camera::kFirstFrameCounter + 3 + 4 - 1);
  // The Ex requests asked for the record and the samples: 4096 + 160 * 64 bytes.
  bool ex_seen = false;
  for (const vcam::LogEntry& entry : camera_->Log()) {
    if (entry.code == io::IOCTL_GET_FRAME_EX8) {
      ex_seen = true;
      EXPECT_EQ(entry.out_size, 4096u + 160 * 64);
    }
  }
  EXPECT_TRUE(ex_seen);
}

TEST(ToolFrameMath, GeometryScalingCountersAndFileNames) {
  using namespace kepra_tool;
  const auto g = FrameGeometry(1280, 1024, 2, 4);
  ASSERT_TRUE(g);
  EXPECT_EQ(g->width, 640u);
  EXPECT_EQ(g->height, 256u);
  EXPECT_FALSE(FrameGeometry(1280, 1024, 0, 1));
  EXPECT_FALSE(FrameGeometry(1, 1024, 2, 1));

  EXPECT_EQ(ScaleTo16(1023, 10), 0xFFC0);
  EXPECT_EQ(ScaleTo16(4095, 12), 0xFFF0);
  EXPECT_EQ(ScaleTo16(255, 8), 0xFF00);
  EXPECT_EQ(ScaleTo16(1, 10), 64);

  EXPECT_EQ(DroppedBetween(0xFFFFFF00u, 0xFFFFFF01u), 0u);
  EXPECT_EQ(DroppedBetween(0xFFFFFFFFu, 0u), 0u);  // through the wrap-around
  EXPECT_EQ(DroppedBetween(0xFFFFFFFEu, 2u), 3u);  // ...FF, 0, 1 lost
  EXPECT_EQ(DroppedBetween(10u, 10u), 0u);
  EXPECT_EQ(DroppedBetween(10u, 9u), 0u);

  EXPECT_EQ(FramePath("frame_%04d.png", 7), "frame_0007.png");
  EXPECT_EQ(FramePath("f%d-%%.png", 12345), "f12345-%.png");
  EXPECT_EQ(FramePath("plain.png", 3), "plain.png");
  EXPECT_FALSE(FramePath("f%s.png", 1));
  EXPECT_FALSE(FramePath("f%d%d.png", 1));
  EXPECT_FALSE(FramePath("f%", 1));
}

TEST(ToolJson, StringsAreEscaped) {
  using kepra_tool::JsonString;
  EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(JsonString("line\n\t\x01"), "\"line\\n\\t\\u0001\"");
  EXPECT_EQ(JsonString("\xC3\xA9"), "\"\\u00c3\\u00a9\"");
}

// ---- flash and firmware ------------------------------------------------------------------

TEST_F(Tool, FlashWriteAndReadRoundTripInTheUserArea) {
  std::vector<std::uint8_t> data(70000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + 3);
  WriteBytes(dir_ / "in.bin", data);
  Ok({"flash", "write", "-a", "0x1000", "-f", "in.bin"});
  const std::vector<std::uint8_t> flash = camera_->Flash().Snapshot();
  ASSERT_GE(flash.size(), KEPRA_FLASH_SIZE);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin() + KEPRA_USER_AREA_BASE + 0x1000));

  Ok({"flash", "read", "-a", "0x1000", "-l", "70000", "-f", "out.bin"});
  EXPECT_EQ(ReadBytes(dir_ / "out.bin"), data);
  // The whole flash by flash address reaches the same bytes.
  Ok({"flash", "read", "--whole", "-a", std::to_string(KEPRA_USER_AREA_BASE + 0x1000), "-l", "16",
      "-f", "whole.bin"});
  EXPECT_EQ(ReadBytes(dir_ / "whole.bin"),
            std::vector<std::uint8_t>(data.begin(), data.begin() + 16));
  EXPECT_EQ(Ok({"--json", "flash", "dump", "-a", "0x1000", "-l", "4"}),
            "{\"address\":\"0x001000\",\"length\":4,\"hex\":\"030a1118\"}\n");
  // A range past the end of the user area is refused before anything is sent.
  WriteBytes(dir_ / "tail.bin", std::vector<std::uint8_t>(32, 0));
  camera_->ClearLog();
  const ToolRun past =
      Kepra({"flash", "write", "-a", std::to_string(KEPRA_USER_AREA_SIZE - 16), "-f", "tail.bin"});
  EXPECT_EQ(past.status, 2) << past.err;
  EXPECT_TRUE(camera_->Log().empty());
}

TEST_F(Tool, FirmwareUpdateWritesAndVerifiesTheCarriedImage) {
  const ToolRun run = Kepra({"firmware", "update"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<std::uint8_t> flash = camera_->Flash().Snapshot();
  ASSERT_GE(flash.size(), kt::kCarriedImageSize);
  EXPECT_TRUE(
      std::equal(kt::kCarriedImage, kt::kCarriedImage + kt::kCarriedImageSize, flash.begin()));
  // 171976 bytes: three 64 KiB sectors, each verified.
  EXPECT_NE(run.err.find("verifying: sector 3 of 3 done"), std::string::npos) << run.err;

  // A camera of another firmware version is refused and left alone.
  camera_->SetFirmware(vcam::FirmwareVersion{1, 0, 1, 5, 0});
  const ToolRun refused = Kepra({"firmware", "update"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("1638 ERROR_PRODUCT_VERSION"), std::string::npos) << refused.err;
  EXPECT_NE(refused.err.find("nothing was written"), std::string::npos) << refused.err;
}

TEST_F(Tool, FirmwareFromAFileGoesInSectorBySector) {
  std::vector<std::uint8_t> image(2 * 0x10000 + 100);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i % 251);
  WriteBytes(dir_ / "fw.img", image);
  const ToolRun run = Kepra({"firmware", "update", "--file", "fw.img"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("writing: sector 3 of 3 done"), std::string::npos) << run.err;
  const std::vector<std::uint8_t> flash = camera_->Flash().Snapshot();
  EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));

  // Too large for the firmware region: refused before the camera sees a request.
  WriteBytes(dir_ / "big.img", std::vector<std::uint8_t>(KEPRA_FIRMWARE_REGION_SIZE + 1, 0x5A));
  camera_->ClearLog();
  const ToolRun big = Kepra({"firmware", "update", "--file", "big.img"});
  EXPECT_EQ(big.status, 2);
  EXPECT_NE(big.err.find("nothing was written"), std::string::npos) << big.err;
  EXPECT_TRUE(camera_->Log().empty());
  EXPECT_EQ(camera_->Flash().Snapshot(), flash);

  // An erase that fails in the second sector leaves an incomplete image, and the tool says so.
  vcam::Fault fault;
  fault.code = io::IOCTL_SPI_ERASE_SECTOR;
  fault.nth = 2;
  fault.error = 31;
  camera_->AddFault(fault);
  const ToolRun broken = Kepra({"firmware", "update", "--file", "fw.img"});
  EXPECT_EQ(broken.status, 1);
  EXPECT_NE(broken.err.find("sector 2 of 3 failed (CxWriteSPIFlash: last error 31 "
                            "ERROR_GEN_FAILURE): the camera's firmware is incomplete; run the "
                            "update again before resetting the camera"),
            std::string::npos)
      << broken.err;
}

// ---- errors and exit statuses --------------------------------------------------------------

TEST_F(Tool, ExitStatusesTellNoCameraBadValueAndFailedOperation) {
  const ToolRun none = Kepra({"-d", std::to_string(kIndex + 2), "info"}, false);
  EXPECT_EQ(none.status, 3);
  EXPECT_NE(none.err.find("no camera at device index"), std::string::npos) << none.err;

  camera_->ClearLog();
  for (const std::vector<std::string>& bad : {std::vector<std::string>{"set", "frame-rate", "fast"},
                                              {"set", "hdr", "maybe"},
                                              {"set", "gain", "2"},
                                              {"set", "readout-mode", "4"},
                                              {"set", "exposure-lines", "-1"},
                                              {"get", "led"},
                                              {"get", "no-such-setting"},
                                              {"grab", "--depth", "12"},
                                              {"grab", "-o", "f%s.png"},
                                              {"regs", "read", "0x10000"},
                                              {"frobnicate"}}) {
    const ToolRun run = Kepra(bad);
    EXPECT_EQ(run.status, 2) << bad[0] << " " << (bad.size() > 1 ? bad[1] : "") << ": " << run.err;
  }
  // Every one of them was refused before the camera was opened.
  EXPECT_TRUE(camera_->Log().empty());
}

TEST_F(Tool, AFailedRequestNamesTheOperationAndTheError) {
  FailCode(io::IOCTL_SENSOR_REG, 31);
  const ToolRun run = Kepra({"get", "exposure-lines"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("kepra_GetExposure failed: last error 31 ERROR_GEN_FAILURE"),
            std::string::npos)
      << run.err;
  EXPECT_TRUE(run.out.empty()) << run.out;
  camera_->ClearFaults();

  camera_->Unplug();
  const ToolRun gone = Kepra({"--json", "get", "hdr"});
  // A camera gone after discovery: the handle opens, the first request fails.
  EXPECT_EQ(gone.status, 1);
  EXPECT_NE(gone.err.find("kepra_GetHDR failed: last error "), std::string::npos) << gone.err;
  EXPECT_TRUE(gone.out.empty()) << gone.out;
}

}  // namespace
