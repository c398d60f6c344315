// The kepra tool against virtual cameras of the rig: on Linux the program, run as a child
// process (it finds the cameras through KEPRA_DEVICE_DIR, which the rig sets); on Windows the
// command layer, run in-process, where the rig redirects the DLL to its cameras. One table of
// command lines with their exit status and output; then the files the tool writes, decoded here
// with zlib and a few lines of our own (never the library that wrote them), against the frames a
// second camera of the same seed delivers through the library.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <regex>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include "frame_math.h"
#include "kepra/kepra.h"
#include "protocol/protocol.h"
#include "report.h"
#include "rig.h"
#ifdef _WIN32
#include <cstdio>

#include "cli.h"
#else
#include "process.h"
#endif

namespace kt {
extern const unsigned char kCarriedImage[];
extern const std::size_t kCarriedImageSize;
}  // namespace kt

namespace {

namespace fs = std::filesystem;
namespace io = kepra::protocol;
using Bytes = std::vector<std::uint8_t>;
using namespace std::string_view_literals;

const std::uint32_t kIndex = rig::TestIndex();

// Read whole: the decoders read files of several MiB, byte by byte far too slowly unoptimized.
template <class Container = std::string>
Container Read(const fs::path& path) {
  std::error_code missing;
  const auto size = fs::file_size(path, missing);
  if (missing) return {};
  Container content(size, 0);
  std::ifstream(path, std::ios::binary)
      .read(reinterpret_cast<char*>(content.data()), static_cast<std::streamsize>(content.size()));
  return content;
}

#ifdef _WIN32
// The command layer on a thread of this process, as the program would run it (in the
// process's working directory); its output goes to files, as a child's would.
class Runner {
 public:
  Runner(std::vector<std::string> args, const fs::path&, const fs::path& log)
      : out_(log), err_(log.string() + ".err") {
    thread_ = std::jthread([this, args] {
      std::vector<const char*> argv{"kepra"};
      for (const std::string& a : args) argv.push_back(a.c_str());
      std::FILE* out = std::fopen(out_.string().c_str(), "wb");
      std::FILE* err = std::fopen(err_.string().c_str(), "wb");
      status_ = kepra_tool::Run(static_cast<int>(argv.size()), argv.data(), out, err);
      std::fclose(out);
      std::fclose(err);
    });
  }
  std::string out() const { return Read(out_); }
  std::string err() const { return Read(err_); }
  // The tool's handler runs on this thread; it only sets a flag the grab loop polls.
  void Signal(int sig) const { std::raise(sig); }
  int Exit() {
    if (thread_.joinable()) thread_.join();
    return status_;
  }

 private:
  fs::path out_, err_;
  int status_ = -1;
  std::jthread thread_;  // last: joined before the members it writes go
};
#else
// The program, run in the scratch directory.
using Runner = kt::Process;
#endif

template <class Container>
void Write(const fs::path& path, const Container& content) {
  std::ofstream file(path, std::ios::binary);
  file.write(reinterpret_cast<const char*>(content.data()),
             static_cast<std::streamsize>(content.size()));
}

std::uint32_t Be32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}
std::uint32_t Le32(const std::uint8_t* p) {
  return std::uint32_t{p[3]} << 24 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0];
}
std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

struct Image {
  std::string error;  // empty when decoded
  std::uint32_t width = 0, height = 0, depth = 0, channels = 1;
  std::vector<std::uint16_t> samples;  // channels interleaved
};

Image Failed(std::string why) {
  Image img;
  img.error = std::move(why);
  return img;
}

// Grey or RGB PNG as the PNG format prescribes it: chunks with CRCs, IDAT through zlib, the five
// row filters, 16-bit samples big-endian.
Image DecodePng(const fs::path& path) {
  Image img;
  const Bytes b = Read<Bytes>(path);
  if (b.size() < 8 || std::memcmp(b.data(), "\x89PNG\r\n\x1A\n", 8) != 0) {
    return Failed("no PNG signature");
  }
  std::vector<std::uint8_t> compressed;
  bool ended = false;
  for (std::size_t at = 8; at + 12 <= b.size() && !ended;) {
    const std::uint32_t length = Be32(&b[at]);
    if (at + 12 + length > b.size()) break;
    const std::string type(b.begin() + at + 4, b.begin() + at + 8);
    const auto crc = static_cast<std::uint32_t>(crc32(0, &b[at + 4], length + 4));
    if (crc != Be32(&b[at + 8 + length])) return Failed("bad CRC in " + type);
    const std::uint8_t* data = &b[at + 8];
    if (type == "IHDR") {
      img.width = Be32(data);
      img.height = Be32(data + 4);
      img.depth = data[8];
      img.channels = data[9] == 2 ? 3 : 1;
      if ((data[9] != 0 && data[9] != 2) || data[12] != 0) return Failed("not grey/RGB or laced");
    } else if (type == "IDAT") {
      compressed.insert(compressed.end(), data, data + length);
    }
    ended = type == "IEND";
    at += 12 + length;
  }
  if (!ended) return Failed("no IEND");
  const std::size_t bytes = img.depth == 16 ? 2 : 1, bpp = bytes * img.channels;
  const std::size_t row = img.width * bpp;
  std::vector<std::uint8_t> raw(img.height * (row + 1));
  uLongf size = raw.size();
  if (uncompress(raw.data(), &size, compressed.data(), compressed.size()) != Z_OK ||
      size != raw.size()) {
    return Failed("IDAT does not inflate to the image size");
  }
  std::vector<std::uint8_t> prev(row, 0), cur(row);
  for (std::uint32_t y = 0; y < img.height; ++y) {
    const std::uint8_t filter = raw[y * (row + 1)];
    const std::uint8_t* in = &raw[y * (row + 1) + 1];
    if (filter > 4) return Failed("unknown filter");
    for (std::size_t i = 0; i < row; ++i) {
      const int a = i >= bpp ? cur[i - bpp] : 0, up = prev[i], c = i >= bpp ? prev[i - bpp] : 0;
      const int p = a + up - c, pa = std::abs(p - a), pb = std::abs(p - up), pc = std::abs(p - c);
      const int paeth = pa <= pb && pa <= pc ? a : (pb <= pc ? up : c);
      const int predictor[] = {0, a, up, (a + up) / 2, paeth};
      cur[i] = static_cast<std::uint8_t>(in[i] + predictor[filter]);
    }
    for (std::size_t x = 0; x < row / bytes; ++x) {
      img.samples.push_back(
          bytes == 2 ? static_cast<std::uint16_t>(cur[2 * x] << 8 | cur[2 * x + 1]) : cur[x]);
    }
    prev.swap(cur);
  }
  return img;
}

// Baseline grey or RGB TIFF, little-endian, uncompressed, one strip.
Image DecodeTiff(const fs::path& path) {
  Image img;
  const Bytes b = Read<Bytes>(path);
  if (b.size() < 8 || b[0] != 'I' || b[1] != 'I' || Le16(&b[2]) != 42) {
    return Failed("no little-endian TIFF header");
  }
  const std::uint32_t ifd = Le32(&b[4]);
  if (ifd + 2 > b.size()) return Failed("IFD outside the file");
  std::uint32_t tags[300] = {};
  const std::uint16_t count = Le16(&b[ifd]);
  for (std::uint16_t i = 0; i < count && ifd + 2 + 12 * (i + 1) <= b.size(); ++i) {
    const std::uint8_t* e = &b[ifd + 2 + 12 * i];
    const std::uint16_t tag = Le16(e), type = Le16(e + 2);
    if (tag < 300) tags[tag] = type == 3 ? Le16(e + 8) : Le32(e + 8);
  }
  img.width = tags[256];
  img.height = tags[257];
  img.channels = tags[277];
  img.depth = tags[258];
  const bool rgb = img.channels == 3 && tags[262] == 2 && tags[258] + 6 <= b.size();
  if (rgb) {
    // Three BitsPerSample values do not fit the entry: it holds their offset.
    img.depth = Le16(&b[tags[258]]);
    if (Le16(&b[tags[258] + 2]) != img.depth || Le16(&b[tags[258] + 4]) != img.depth) {
      return Failed("channels of different depths");
    }
  }
  if (tags[259] != 1 || !(rgb || (tags[262] == 1 && img.channels == 1)) ||
      tags[278] != img.height) {
    return Failed("not an uncompressed single-strip grey or RGB image");
  }
  const std::uint32_t bpp = img.depth == 16 ? 2 : 1;
  const std::uint64_t bytes = std::uint64_t{img.width} * img.height * img.channels * bpp;
  if (tags[279] != bytes || tags[273] + bytes > b.size()) return Failed("strip size or offset");
  for (std::uint64_t i = 0; i < bytes; i += bpp) {
    const std::uint8_t* p = &b[tags[273] + i];
    img.samples.push_back(bpp == 2 ? Le16(p) : *p);
  }
  return img;
}

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

// A value of a "key: value" line.
std::string Field(const std::string& text, const std::string& key) {
  const std::regex line("(^|\n)" + key + ": ([^\n]*)");
  std::smatch m;
  return std::regex_search(text, m, line) ? m[2].str() : "<missing " + key + ">";
}

class Tool : public ::testing::Test {
 protected:
  void SetUp() override {
    static int counter = 0;
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    dir_ = fs::temp_directory_path() /
           ("kepra-tool-test-" + std::to_string(stamp) + "-" + std::to_string(++counter));
    fs::create_directories(dir_);
    // The tool writes relative names into its working directory: this one (the Windows
    // runner shares the process's).
    previous_dir_ = fs::current_path();
    fs::current_path(dir_);
    camera_ = rig_.Plug(kIndex);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::current_path(previous_dir_, ignored);
    fs::remove_all(dir_, ignored);
  }

  // Starts the tool with `args` (after "-d INDEX" of the test camera unless told otherwise) in
  // the scratch directory.
  std::unique_ptr<Runner> Start(std::vector<std::string> args, bool with_device = true) {
    if (with_device) args.insert(args.begin(), {"-d", std::to_string(kIndex)});
#ifndef _WIN32
    args.insert(args.begin(), KEPRA_TOOL_PATH);
#endif
    // A program that did not start exits -1, which no row expects.
    return std::make_unique<Runner>(args, dir_, dir_ / (".run" + std::to_string(++runs_)));
  }
  static ToolRun Finish(Runner& runner) { return {runner.Exit(), runner.out(), runner.err()}; }
  ToolRun Kepra(std::vector<std::string> args, bool with_device = true) {
    return Finish(*Start(std::move(args), with_device));
  }

  // Everything a refused command must leave as it was: registers, clock and flash.
  auto Snapshot() {
    std::vector<std::uint16_t> registers;
    for (std::uint16_t a = 0; a < 256; ++a) registers.push_back(camera_->Register(a));
    return std::tuple(registers, camera_->Frequency(), camera_->Flash().Snapshot());
  }

  rig::Rig rig_;
  std::shared_ptr<vcam::Camera> camera_;
  fs::path dir_, previous_dir_;
  int runs_ = 0;
};

// ---- the table -------------------------------------------------------------------------------

struct Row {
  std::vector<std::string> args;
  int status;
  std::string err;       // regular expression searched in stderr ("" : anything)
  std::string out = "";  // the same in stdout
  std::function<void(vcam::Camera&)> setup = {};

  std::string Line() const {
    std::string line;
    for (const std::string& a : args) line += " " + a;
    return line;
  }
  void Check(const ToolRun& run) const {
    SCOPED_TRACE(Line());
    EXPECT_EQ(run.status, status) << run.err;
    EXPECT_TRUE(std::regex_search(run.out, std::regex(out))) << run.out;
    EXPECT_TRUE(std::regex_search(run.err, std::regex(err))) << run.err;
  }
};

// Hand-made damage to the carried boot image: "CY", B0, one section of 42988 words at 4..,
// the terminating record, then the checksum at 171972.
void WriteDamaged(const fs::path& dir) {
  const std::vector<std::uint8_t> image(kt::kCarriedImage,
                                        kt::kCarriedImage + kt::kCarriedImageSize);
  Write(dir / "good.img", image);
  std::vector<std::uint8_t> bad = image;
  bad[1000] ^= 0x01;  // a data word changes, the stored sum does not
  Write(dir / "checksum.img", bad);
  bad = image;
  bad[0] = 'X';
  Write(dir / "signature.img", bad);
  Write(dir / "short.img", std::vector<std::uint8_t>(image.begin(), image.begin() + 100000));
  bad = image;
  bad.resize(image.size() + 7, 0xFF);
  Write(dir / "trailing.img", bad);
  std::vector<std::uint8_t> noise(100000);
  std::uint32_t x = 12345;
  for (auto& byte : noise) byte = static_cast<std::uint8_t>((x = x * 1103515245u + 12345u) >> 16);
  Write(dir / "random.img", noise);
  Write(dir / "empty.img", Bytes{});
}

// Every command line with its exit status and messages, each on a fresh camera; a command that
// fails leaves registers, clock and flash as they were.
TEST_F(Tool, CommandTable) {
  const std::string me = std::to_string(kIndex);
  const std::string limits = "is outside the camera's limits ";
  const std::string bad_image = "is not an FX3 boot image the camera can start: ";
  WriteDamaged(dir_);
  Write(dir_ / "syntax.json", "{\"format\": \"x\" \"model\"}"sv);
  Write(dir_ / "unknown.json", "{\"format\": \"kepra profile 1\", \"shutter\": \"1\"}"sv);
  Write(dir_ / "clock.json",
        "{\"format\": \"kepra profile 1\", \"model\": \"KEPRA-A1 Mono\", \"clock\": \"3\", "
        "\"gain\": \"2,2\"}"sv);
  Write(dir_ / "gain.json", "{\"format\": \"kepra profile 1\", \"gain\": \"2\"}"sv);
  // Camera states some rows start from.
  const auto beef = [](vcam::Camera& c) { c.SetRegister(0x20, 0xBEEF); };
  const auto unknown_sensor = [](vcam::Camera& c) { c.SetRegister(127, 0x0700); };
  const auto old_firmware = [](vcam::Camera& c) { c.SetFirmware({1, 0, 1, 5, 0}); };
  const std::vector<Row> rows = {
      // Help and usage.
      {{"--help"}, 0, "", "grab"},
      {{"frobnicate"}, 2, ""},
      {{"get", "no-such-setting"}, 2, "unknown setting 'no-such-setting'; known:.* exposure-ms"},
      {{"get", "led"}, 2, "led can only be set"},
      {{"-d", std::to_string(kIndex + 2), "info"}, 3, "no camera at device index"},
      // Reading.
      {{"list"}, 0, "", "index: " + me + "\n +model: KEPRA-A1 Mono\n +width: 1280\n +height: 1024"},
      {{"--json", "info"}, 0, "", "\"lines_min\":2,\"lines_max\":65534"},
      {{"info"}, 0, "", "driver:\n  version: 0\\.1\\.96\n  supported: yes"},
      {{"regs", "write", "0x20", "0xBEEF"}, 0, "", "^$"},
      {{"regs", "dump", "0x20", "1"}, 0, "", "^0x0020  48879  0xBEEF\n$", beef},
      // Values outside the camera's limits: refused with the limits, nothing changed.
      {{"set", "exposure-ms", "3000"},
       2,
       "exposure-ms 3000 " + limits + "[0-9.]+ \\.\\. [0-9.]+ ms; nothing was changed"},
      {{"set", "exposure-lines", "1"}, 2, "exposure-lines 1 " + limits + "2 \\.\\. 65534 lines"},
      {{"set", "exposure-time", "100"}, 2, "exposure-time 100 " + limits},
      {{"set", "frame-rate", "1000"}, 2, "frame-rate 1000 " + limits},
      {{"set", "frame-time", "10"}, 2, "frame-time 10 " + limits},
      {{"set", "frame-time", "134148099"}, 2, limits + "[0-9]+ \\.\\. 134148098"},
      {{"set", "gain", "9,1"}, 2, "analog gain 9 " + limits + "1 \\.\\. 8"},
      {{"set", "gain", "1,16"}, 2, "digital gain 16 " + limits + "1 \\.\\. 15.875"},
      {{"set", "colour-gain", "1,1,0.2,1"},
       2,
       "colour gain b 0.2 " + limits + "0.25 \\.\\. 3.96875"},
      {{"set", "clock", "3"}, 2, "clock 3 " + limits + "4 \\.\\. 114 MHz"},
      // Every value the help declares invalid exits 2.
      {{"set", "readout-mode", "4"}, 2, "readout-mode: 4 is above 3"},
      {{"set", "frame-rate", "fast"}, 2, "not a finite number"},
      {{"set", "hdr", "maybe"}, 2, "not on or off"},
      {{"set", "gain", "2"}, 2, "expected 2 comma-separated values"},
      {{"set", "strobe", "4,0,0,on"}, 2, "strobe mode: 4 is above 3"},
      {{"regs", "read", "0x10000"}, 2, "above 65535"},
      // Frame parameters: the bad field is named.
      {{"set", "frame-params", "0,0,1280,1024,9,1,1,0"}, 2, "depth 9 is not 8, 10 or 12"},
      {{"set", "frame-params", "0,0,1280,1024,10,3,1,0"}, 2, "binx 3 is not 1, 2 or 4"},
      {{"set", "frame-params", "0,0,1280,1022,10,1,4,0"}, 2, "1022 is not a multiple of biny 4"},
      {{"set", "frame-params", "0,0,1280,1024,10,1,1,4"}, 2, "frame-params: flags 4"},
      {{"set", "frame-params", "8,0,1280,1024,10,1,1,0"},
       2,
       "x \\+ width = 1288 is beyond the sensor's 1280 columns"},
      {{"set", "frame-params", "0,2,1280,1024,10,1,1,0"},
       2,
       "y \\+ height = 1026 is beyond the sensor's 1024 rows"},
      // Readout mode 3 where the sensor has none: refused with what to do instead.
      {{"set", "readout-mode", "3"}, 2, "readout mode 3 is not available .*use 0, 1 or 2"},
      // An unknown sensor variant fails without an error code of the library's; a stale one
      // (183 from the lock's mutex) must not be blamed.
      {{"set", "readout-mode", "1"},
       1,
       "kepra_SetReadoutMode failed without an error code: the sensor variant 0x0700 "
       "\\(register 127\\) has no known readout modes",
       "",
       unknown_sensor},
      // A failed request names the operation, the code and its text.
      {{"get", "exposure-lines"},
       1,
       "kepra_GetExposure failed: last error 31 ERROR_GEN_FAILURE: the camera or its driver "
       "failed the request",
       "^$",
       [](vcam::Camera& c) {
         vcam::Fault fault;
         fault.code = io::IOCTL_SENSOR_REG;
         fault.error = 31;
         fault.times = -1;
         c.AddFault(fault);
       }},
      // Files.
      {{"flash", "write", "-f", "."}, 2, "kepra: \\. is a directory, not a file\n$"},
      {{"flash", "write", "-f", "missing.bin"}, 2, "cannot open missing.bin: No such file"},
      {{"grab", "-n", "3", "-o", "same.png"}, 2, "'same.png' has no %d"},
      {{"grab", "-o", "f%d.jpg"}, 2, "does not end in .png, .tif or .tiff"},
      {{"grab", "-o", "f%s.png"}, 2, "may hold one %d"},
      {{"grab", "--depth", "12"}, 2, ""},
      {{"grab", "--debayer"}, 2, "--debayer: the camera's frames are no colour mosaic"},
      // Profiles are checked before anything is sent.
      {{"profile", "load", "syntax.json"},
       2,
       "syntax.json is not a profile \\(a JSON object of strings\\): expected ',' or '}' at "
       "byte 15"},
      {{"profile", "load", "unknown.json"},
       2,
       "unknown.json: \"shutter\" is not a setting a profile holds"},
      {{"profile", "load", "clock.json"},
       2,
       "clock.json: clock 3 is outside the camera's limits 4 \\.\\. 114 MHz; nothing was changed"},
      {{"profile", "load", "gain.json"},
       2,
       "gain.json: gain \\(analog,digital\\): expected 2 comma-separated values"},
      // Boot images are checked before anything is written.
      {{"firmware", "update", "--file", "checksum.img"},
       2,
       "checksum.img " + bad_image +
           "checksum mismatch.*Nothing was written; --force writes it anyway"},
      {{"firmware", "update", "--file", "signature.img"}, 2, "no \"CY\" signature"},
      {{"firmware", "update", "--file", "short.img"}, 2, "section 1 runs past the end"},
      {{"firmware", "update", "--file", "trailing.img"},
       2,
       "7 bytes follow the checksum \\(the image ends at byte 171976\\)"},
      {{"firmware", "update", "--file", "random.img"}, 2, "random.img " + bad_image},
      {{"firmware", "update", "--file", "empty.img"}, 2, "is empty"},
      {{"firmware", "update", "--file", "good.img"},
       0,
       "",
       "updated and verified \\(171976 bytes\\)"},
      {{"reset"}, 0, "", "camera " + me + " reset"},
      {{"firmware", "update"},
       0,
       "verifying: sector 3 of 3 done",
       "firmware updated and verified \\(171976 bytes\\)"},
      {{"firmware", "update"},
       1,
       "kepra_UpdateFW failed: last error 1638 ERROR_PRODUCT_VERSION: .*: the carried "
       "firmware is not for this camera's firmware version; nothing was written",
       "",
       old_firmware},
      // Known errors come with what to do.
      {{"grab", "--no-save"},
       1,
       "grabbing frame 0 failed: last error 121 ERROR_SEM_TIMEOUT: no trigger came within the "
       "snapshot timeout: in snapshot mode \\(stream-mode 1\\) a frame waits for a trigger",
       "",
       [](vcam::Camera& c) {
         vcam::DriverSettings settings = c.Settings();
         settings.stream_mode = 1;
         settings.snapshot = 50;  // ms
         c.SetSettings(settings);
       }},
  };
  for (const Row& row : rows) {
    rig_.Unplug(kIndex);
    camera_ = rig_.Plug(kIndex);
    if (row.setup) row.setup(*camera_);
    const auto before = Snapshot();
    row.Check(Kepra(row.args, row.args[0] != "-d"));
    EXPECT_TRUE(row.status == 0 || Snapshot() == before) << "a refused" << row.Line();
  }
}

// ---- set: what it caused ----------------------------------------------------------------------

TEST_F(Tool, SetReportsTheFrameRateAnExposureLowered) {
  const ToolRun longer = Kepra({"set", "exposure-lines", "20000"});
  ASSERT_EQ(longer.status, 0) << longer.err;
  EXPECT_EQ(Field(longer.out, "exposure_lines"), "20000");
  const double now = std::stod(Field(longer.out, "frame_rate"));
  const double was = std::stod(Field(longer.out, "frame_rate_was"));
  EXPECT_LT(now, was);
  // The frame is not shortened again by a shorter exposure: no side effect to report.
  const ToolRun shorter = Kepra({"set", "exposure-lines", "500"});
  ASSERT_EQ(shorter.status, 0) << shorter.err;
  EXPECT_EQ(shorter.out, "exposure_lines: 500\n");
  // The reported rate is the one the camera now has.
  const ToolRun rate = Kepra({"get", "frame-rate"});
  EXPECT_NEAR(std::stod(Field(rate.out, "frame_rate")), now, now * 1e-6);
}

// ---- profiles -----------------------------------------------------------------------------

// Settings away from their defaults, saved from one camera and loaded into a fresh one: the
// second camera ends with the same registers, clock and driver settings as the first.
TEST_F(Tool, AProfileCarriesEverySettingToAFreshCamera) {
  const std::vector<std::vector<std::string>> changes = {
      {"clock", "40"},           {"frame-params", "16,8,640,480,12,2,2,1"},
      {"readout-mode", "1"},     {"hdr", "on"},
      {"exposure-lines", "700"}, {"frame-rate", "5"},
      {"gain", "2,1.5"},         {"stream-mode", "1"},
      {"snapshot", "250,on"},    {"strobe", "2,3,4,on"},
      {"bad-pixel-fix", "on"},
  };
  for (const auto& change : changes) {
    const ToolRun run = Kepra({"set", change[0], change[1]});
    ASSERT_EQ(run.status, 0) << change[0] << ": " << run.err;
  }
  ASSERT_EQ(Kepra({"profile", "save", "p.json"}).status, 0);
  const auto fresh = rig_.Plug(kIndex + 1);
  ASSERT_NE(fresh->Register(0x0E), camera_->Register(0x0E));  // the exposure differs before
  const ToolRun load =
      Kepra({"-d", std::to_string(kIndex + 1), "profile", "load", "p.json"}, false);
  ASSERT_EQ(load.status, 0) << load.err;
  EXPECT_NE(load.out.find("(11 settings)"), std::string::npos) << load.out;
  for (std::uint16_t a = 0; a < 256; ++a) {
    EXPECT_EQ(fresh->Register(a), camera_->Register(a)) << "register " << a;
  }
  EXPECT_EQ(fresh->Frequency(), camera_->Frequency());
  const auto driver = [](const vcam::DriverSettings& s) {
    return std::tuple(s.frame_params, s.hdr, s.snapshot, s.stream_mode, s.fix_bad_pixels);
  };
  EXPECT_EQ(driver(fresh->Settings()), driver(camera_->Settings()));
  // Another model's profile is refused.
  rig_.Unplug(kIndex + 1);
  vcam::CameraConfig colour;
  colour.model_code = '5';
  rig_.Plug(kIndex + 1, colour);
  const ToolRun refused =
      Kepra({"-d", std::to_string(kIndex + 1), "profile", "load", "p.json"}, false);
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.err.find("is a profile of a KEPRA-A1 Mono, the camera is a KEPRA-A1 Color"),
            std::string::npos)
      << refused.err;
}

// ---- grab: the files against the camera's own frames -----------------------------------------

class Grab : public Tool {
 protected:
  void SetUp() override {
    Tool::SetUp();
    Fresh();
  }
  void TearDown() override {
    kepra_CloseDevice(reference_);
    Tool::TearDown();
  }
  // Both cameras as new: the tool's stream grabs ahead of the frames it saves, so each run
  // starts from the first frame again.
  void Fresh(vcam::CameraConfig config = {}, bool small = true) {
    if (reference_ != KEPRA_INVALID_HANDLE) kepra_CloseDevice(reference_);
    // The reference camera has the same seed, its counters the same start.
    for (const std::uint32_t index : {kIndex, kIndex + 1}) {
      rig_.Unplug(index);
      const auto camera = rig_.Plug(index, config);
      if (small) {  // a binned region: 320 x 256 sensor pixels binned 2 x 4 = 160 x 64
        vcam::DriverSettings settings = camera->Settings();
        settings.frame_params = {0, 0, 0, 0, 0x40, 1, 0, 1, 10, 0, 2, 0, 4,
                                 0, 0, 0, 0, 0,    0, 0, 0, 0,  0, 0, 0, 0};
        camera->SetSettings(settings);
      }
      if (index == kIndex) camera_ = camera;
    }
    reference_ = kepra_OpenDevice(kIndex + 1);
    ASSERT_NE(reference_, KEPRA_INVALID_HANDLE);
  }
  // The next frame of the reference camera as the library delivers it, scaled as the tool
  // writes it at `depth` bits: 8-bit samples as they are, the ten-bit ones to the top of 16.
  std::vector<std::uint16_t> Reference(unsigned depth, std::size_t pixels = 160 * 64) {
    std::vector<std::uint16_t> frame(pixels);
    const auto size = static_cast<std::uint32_t>(pixels);
    if (depth == 8) {
      std::vector<std::uint8_t> bytes(pixels);
      EXPECT_EQ(kepra_GetFrame8(reference_, bytes.data(), size), 1u);
      std::copy(bytes.begin(), bytes.end(), frame.begin());
    } else {
      EXPECT_EQ(kepra_GetFrame16(reference_, frame.data(), size * 2), 1u);
      for (auto& v : frame) v = static_cast<std::uint16_t>(v << 6);
    }
    return frame;
  }

  KEPRA_HANDLE reference_ = KEPRA_INVALID_HANDLE;
};

// Each file holds the frame the reference camera delivers: eight bits as they are, the ten-bit
// samples in the top bits of sixteen (the low six clear).
TEST_F(Grab, PngAndTiffFilesHoldTheFrames) {
  const struct {
    std::vector<std::string> args;
    std::vector<std::string> files;
    unsigned depth;
  } cases[] = {
      {{"-n", "3", "--depth", "16", "-o", "f_%03d.png"},
       {"f_000.png", "f_001.png", "f_002.png"},
       16},
      {{"-n", "2", "--depth", "8", "--ex", "-o", "e%d.png"}, {"e0.png", "e1.png"}, 8},
      {{"-n", "2", "-o", "t%d.tif"}, {"t0.tif", "t1.tif"}, 16},
  };
  for (const auto& c : cases) {
    Fresh();
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "grab");
    const ToolRun run = Kepra(args);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Field(run.out, "frames"), std::to_string(c.files.size()));
    EXPECT_EQ(Field(run.out, "files"), std::to_string(c.files.size()));
    EXPECT_EQ(Field(run.out, "first_file"), c.files.front());
    EXPECT_EQ(Field(run.out, "last_file"), c.files.back());
    for (const std::string& name : c.files) {
      SCOPED_TRACE(name);
      const fs::path path = dir_ / name;
      const Image img = path.extension() == ".png" ? DecodePng(path) : DecodeTiff(path);
      ASSERT_EQ(img.error, "");
      EXPECT_EQ(img.width, 160u);
      EXPECT_EQ(img.height, 64u);
      EXPECT_EQ(img.depth, c.depth);
      EXPECT_EQ(img.samples, Reference(c.depth));
    }
  }
  EXPECT_FALSE(fs::exists(dir_ / "f_003.png"));
}

TEST_F(Grab, NoSaveCountsFramesAndWritesNothing) {
  // "--ex" is still accepted from older scripts.
  const ToolRun run = Kepra({"grab", "-n", "5", "--ex", "--no-save", "-o", "x.png"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Field(run.out, "frames"), "5");
  EXPECT_EQ(Field(run.out, "files"), "0");
  EXPECT_EQ(Field(run.out, "mosaic"), "none");
  // The camera lost nothing: its counters came without gaps.
  EXPECT_EQ(Field(run.out, "skipped"), "0");
  EXPECT_GE(std::stoull(Field(run.out, "received")), 5u);
  EXPECT_FALSE(fs::exists(dir_ / "x.png"));
  // One frame still gives a rate.
  const ToolRun one = Kepra({"grab", "--no-save"});
  EXPECT_GT(std::stod(Field(one.out, "frame_rate")), 0.0) << one.out;
  EXPECT_GT(std::stod(Field(one.out, "configured_frame_rate")), 0.0) << one.out;
}

TEST_F(Grab, CtrlCFinishesTheFilesAndPrintsTheSummary) {
  const auto grab = Start({"grab", "-n", "0", "-o", "c%05d.png"});
  // Wait for a few finished files, then interrupt.
  for (int i = 0; i < 1000 && !fs::exists(dir_ / "c00003.png"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  grab->Signal(SIGINT);
  const ToolRun run = Finish(*grab);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Field(run.out, "interrupted"), "yes");
  const std::uint64_t frames = std::stoull(Field(run.out, "frames"));
  EXPECT_GE(frames, 4u);
  EXPECT_EQ(Field(run.out, "files"), std::to_string(frames));
  std::uint64_t pngs = 0;
  for (const auto& entry : fs::directory_iterator(dir_)) {
    const std::string name = entry.path().filename().string();
    EXPECT_EQ(name.find(".part"), std::string::npos) << name;
    if (entry.path().extension() != ".png") continue;
    ++pngs;
    EXPECT_EQ(DecodePng(entry.path()).error, "") << name;  // complete, not truncated
  }
  EXPECT_EQ(pngs, frames);
}

TEST_F(Grab, ACountedGrabCutShortExits130) {
  camera_->SetPaced(true);
  const auto grab = Start({"grab", "-n", "100000", "--no-save"});
  // Its Ctrl-C handler is in place before its first frame request; twenty frames make the
  // rate's jitter small.
  for (int i = 0; i < 3000 && camera_->FramesServed() < 20; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  grab->Signal(SIGINT);
  const ToolRun run = Finish(*grab);
  EXPECT_EQ(run.status, 130) << run.err;
  EXPECT_EQ(Field(run.out, "interrupted"), "yes");
  // Paced, the camera delivers no faster than its frame rate (arrival jitter aside).
  EXPECT_LE(std::stod(Field(run.out, "frame_rate")),
            std::stod(Field(run.out, "configured_frame_rate")) * 1.1)
      << run.out;
}

// --debayer on an RGGB camera (model 5), full frames: every pixel keeps its own sample in
// its own colour's channel, each missing colour lies within the range of that colour's
// neighbours (a mean of them), and the red and blue parts of the scene come out red and blue.
TEST_F(Grab, DebayeredFramesKeepTheMosaicAndColourTheScene) {
  vcam::CameraConfig config;
  config.model_code = '5';
  for (const bool deep : {false, true}) {
    SCOPED_TRACE(deep ? "16-bit TIFF" : "8-bit PNG");
    Fresh(config, false);
    const std::string name = deep ? "rgb.tif" : "rgb.png";
    const ToolRun run = Kepra({"grab", "--debayer", "--depth", deep ? "16" : "8", "-o", name});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Field(run.out, "mosaic"), "RGGB");
    const Image img = deep ? DecodeTiff(dir_ / name) : DecodePng(dir_ / name);
    ASSERT_EQ(img.error, "");
    ASSERT_EQ(img.channels, 3u);
    const std::uint32_t w = img.width, h = img.height;
    ASSERT_EQ(w, 1280u);
    ASSERT_EQ(h, 1024u);
    // The same frame, as the mosaic the library delivers.
    const std::vector<std::uint16_t> raw = Reference(deep ? 16 : 8, std::size_t{w} * h);
    // RGGB: red on even columns of even rows, blue on odd columns of odd rows.
    const auto colour = [](std::uint32_t x, std::uint32_t y) {
      return x % 2 == 0 && y % 2 == 0 ? 0 : (x % 2 == 1 && y % 2 == 1 ? 2 : 1);
    };
    std::size_t changed = 0, outside = 0, red = 0, blue = 0;
    for (std::uint32_t y = 0; y < h; ++y) {
      for (std::uint32_t x = 0; x < w; ++x) {
        const std::uint16_t* px = &img.samples[(std::size_t{y} * w + x) * 3];
        const int own = colour(x, y);
        changed += px[own] != raw[std::size_t{y} * w + x];
        for (int c = 0; c < 3; ++c) {
          if (c == own) continue;
          int lo = 1 << 16, hi = -1;
          for (std::uint32_t ny = y ? y - 1 : 0; ny <= y + 1 && ny < h; ++ny) {
            for (std::uint32_t nx = x ? x - 1 : 0; nx <= x + 1 && nx < w; ++nx) {
              if (colour(nx, ny) != c) continue;
              lo = std::min<int>(lo, raw[std::size_t{ny} * w + nx]);
              hi = std::max<int>(hi, raw[std::size_t{ny} * w + nx]);
            }
          }
          outside += px[c] < lo || px[c] > hi;
        }
        red += px[0] > 2 * px[2];
        blue += px[2] > 2 * px[0];
      }
    }
    EXPECT_EQ(changed, 0u);
    EXPECT_EQ(outside, 0u);
    EXPECT_GT(red, std::size_t{w} * h / 200);
    EXPECT_GT(blue, std::size_t{w} * h / 200);
  }
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
  Write(dir_ / "in.bin", data);
  ASSERT_EQ(Kepra({"flash", "write", "-a", "0x1000", "-f", "in.bin"}).status, 0);
  const std::vector<std::uint8_t> flash = camera_->Flash().Snapshot();
  EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin() + KEPRA_USER_AREA_BASE + 0x1000));
  ASSERT_EQ(Kepra({"flash", "read", "-a", "0x1000", "-l", "70000", "-f", "out.bin"}).status, 0);
  EXPECT_EQ(Read<Bytes>(dir_ / "out.bin"), data);
  // A range past the end of the user area is refused before anything is sent.
  Write(dir_ / "tail.bin", std::vector<std::uint8_t>(32, 0));
  camera_->ClearLog();
  const ToolRun past =
      Kepra({"flash", "write", "-a", std::to_string(KEPRA_USER_AREA_SIZE - 16), "-f", "tail.bin"});
  EXPECT_EQ(past.status, 2) << past.err;
  EXPECT_TRUE(camera_->Log().empty());
}

TEST_F(Tool, AForcedBadImageLeavesTheCameraInItsBootLoaderUntilAGoodOneGoesIn) {
  WriteDamaged(dir_);
  ASSERT_TRUE(camera_->Booted());
  const ToolRun forced = Kepra({"firmware", "update", "--file", "checksum.img", "--force"});
  ASSERT_EQ(forced.status, 0) << forced.err;
  ASSERT_EQ(Kepra({"reset"}).status, 0);
  EXPECT_FALSE(camera_->Booted());
  ASSERT_EQ(Kepra({"firmware", "update", "--file", "good.img"}).status, 0);
  ASSERT_EQ(Kepra({"reset"}).status, 0);
  EXPECT_TRUE(camera_->Booted());
  const std::vector<std::uint8_t> flash = camera_->Flash().Snapshot();
  EXPECT_TRUE(
      std::equal(kt::kCarriedImage, kt::kCarriedImage + kt::kCarriedImageSize, flash.begin()));
}

TEST_F(Tool, AnUpdateThatFailsMidwaySaysTheFirmwareIsIncomplete) {
  WriteDamaged(dir_);
  vcam::Fault fault;
  fault.code = io::IOCTL_SPI_ERASE_SECTOR;
  fault.nth = 2;
  fault.error = 31;
  camera_->AddFault(fault);
  const ToolRun broken = Kepra({"firmware", "update", "--file", "good.img"});
  EXPECT_EQ(broken.status, 1);
  EXPECT_NE(broken.err.find("sector 2 of 3 failed (CxWriteSPIFlash failed: last error 31 "
                            "ERROR_GEN_FAILURE"),
            std::string::npos)
      << broken.err;
  EXPECT_NE(broken.err.find("run the update again before resetting the camera"), std::string::npos);
}

#ifndef _WIN32
// ---- kepra-virtcam, the daemon, as users run it ----------------------------------------------

// Its command line and its signals, with the tool (and the first_contact example) as clients in
// the daemon's own device directory.
class Daemon : public Tool {
 protected:
  std::unique_ptr<kt::Process> Virtcam(std::vector<std::string> args) {
    args.insert(args.begin(), {KEPRA_VIRTCAM_PATH, "--dir", (dir_ / "dev").string()});
    return std::make_unique<kt::Process>(args, dir_, dir_ / ("virtcam" + std::to_string(++runs_)));
  }
  // Runs the tool against the daemon's directory to its end.
  kt::Process& Client(std::vector<std::string> args) {
    args.insert(args.begin(), KEPRA_TOOL_PATH);
    clients_.push_back(std::make_unique<kt::Process>(
        args, dir_, dir_ / ("client" + std::to_string(++runs_)), dir_ / "dev"));
    clients_.back()->Exit(30000);
    return *clients_.back();
  }
  static std::string Camera() { return std::to_string(kIndex); }
  // Waits until a client holds a socket: it found the daemon's camera and connected. A SIGTERM
  // before that would leave it no camera to find (exit 3) instead of one that went away.
  static bool Connected(const kt::Process& client) {
    const fs::path fds = "/proc/" + std::to_string(client.pid()) + "/fd";
    for (int i = 0; i < 1000; ++i) {
      std::error_code ec;
      for (const auto& fd : fs::directory_iterator(fds, ec)) {
        if (fs::read_symlink(fd.path(), ec).string().rfind("socket:", 0) == 0) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  std::vector<std::unique_ptr<kt::Process>> clients_;
};

TEST_F(Daemon, CommandLineTable) {
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
    auto daemon = Virtcam(row.args);
    row.Check({daemon->Exit(), daemon->out(), daemon->err()});
  }
}

TEST_F(Daemon, SigtermStopsItWhileClientsWaitForATriggerOrAStall) {
  auto daemon = Virtcam({"--camera", Camera()});
  ASSERT_TRUE(daemon->WaitFor("firmware running")) << daemon->err();
  // Snapshot mode with no timeout: a frame request waits for a trigger that never comes.
  ASSERT_EQ(Client({"-d", Camera(), "set", "snapshot", "0,off"}).Exit(), 0);
  ASSERT_EQ(Client({"-d", Camera(), "set", "stream-mode", "1"}).Exit(), 0);
  kt::Process waiting({KEPRA_TOOL_PATH, "-d", Camera(), "grab", "--no-save"}, dir_,
                      dir_ / "waiting", dir_ / "dev");
  ASSERT_TRUE(Connected(waiting));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_EQ(waiting.Exit(0), -1) << "the grab should still wait for its trigger";
  const auto start = std::chrono::steady_clock::now();
  daemon->Signal(SIGTERM);
  // A generous bound: the daemon used to wait for ever.
  EXPECT_EQ(daemon->Exit(5000), 0) << daemon->err();
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  std::printf("[ virtcam  ] stopped %.0f ms after SIGTERM (goal: under 1000 ms)\n", ms);
  EXPECT_TRUE(daemon->WaitFor("kepra-virtcam: stopping", 0));
  // The client learns that its camera went away.
  EXPECT_EQ(waiting.Exit(), 1) << waiting.err();

  // A request the daemon stalls on purpose ends as well.
  auto stalling = Virtcam({"--camera", Camera(), "--stall", "600000"});
  ASSERT_TRUE(stalling->WaitFor("firmware running")) << stalling->err();
  kt::Process stalled({KEPRA_TOOL_PATH, "-d", Camera(), "get", "hdr"}, dir_, dir_ / "stalled",
                      dir_ / "dev");
  ASSERT_TRUE(Connected(stalled));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_EQ(stalled.Exit(0), -1) << "the request should still be stalled";
  stalling->Signal(SIGTERM);
  EXPECT_EQ(stalling->Exit(5000), 0) << stalling->err();
  EXPECT_EQ(stalled.Exit(), 1) << stalled.err();
}

TEST_F(Daemon, FirstContactLeavesTheCameraAsItFoundIt) {
  auto daemon = Virtcam({"--camera", Camera(), "--unpaced"});
  ASSERT_TRUE(daemon->WaitFor("firmware running")) << daemon->err();
  const std::string before = Client({"-d", Camera(), "regs", "dump", "0", "256"}).out();
  ASSERT_EQ(before.size(), 256u * 22);  // "0x0000  65535  0xFFFF\n" per register
  kt::Process example({KEPRA_FIRST_CONTACT_PATH, Camera()}, dir_, dir_ / "example", dir_ / "dev");
  ASSERT_EQ(example.Exit(), 0) << example.err();
  EXPECT_NE(example.out().find("read through the other: 480"), std::string::npos) << example.out();
  EXPECT_EQ(Client({"-d", Camera(), "regs", "dump", "0", "256"}).out(), before);
}

#endif

}  // namespace
