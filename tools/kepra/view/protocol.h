// The messages the page sends over its WebSocket, and the JSON the server answers with.
// Decoding is a pure function of the text so that it can be fuzzed and tested on its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kepra_view {

// Longest text message the server reads; longer ones are refused before decoding.
constexpr std::size_t kMaxMessageBytes = 4096;

enum class Op {
  kState,    // {"op":"state"}: the settings with their limits
  kSet,      // {"op":"set","name":N,"value":V}: V a number, a boolean or an array of them
  kPixel,    // {"op":"pixel","x":X,"y":Y}: the full-depth sample of the last frame
  kCameras,  // {"op":"cameras"}: the cameras present
  kSelect,   // {"op":"select","index":I}: view another camera
  kHold,     // {"op":"hold","on":B}: software trigger mode: the view stands still until...
  kTrigger,  // {"op":"trigger"}: ...the next frame that completes after this
  kRecord,   // {"op":"record","frames":N}: the next N frames to PNG files (0: stop)
};

// Most frames one recording may ask for.
constexpr std::uint32_t kMaxRecordFrames = 100000;

// Settings the page may change, with the number of values each takes.
enum class Setting {
  kExposureMs,   // ms
  kFrameRate,    // frames per second
  kGain,         // analog, digital
  kColourGain,   // gb, gr, b, r
  kFrameParams,  // x, y, width, height, bit depth, bin x, bin y, flags
  kReadoutMode,  // 0..3
  kHdr,          // on/off
  kStrobe,       // mode 0..3, off delay, on delay (0..255), inverted
  kStreamMode,   // 0 free running, 1 snapshot
  kSnapshot,     // timeout ms (0..0x7FFFFFFF), inverted
};

struct Request {
  Op op = Op::kState;
  std::optional<std::uint32_t> id;  // echoed in the reply
  Setting setting = Setting::kExposureMs;
  std::vector<double> values;  // kSet: checked for count, range and whole numbers
  std::uint32_t x = 0, y = 0;  // kPixel
  std::uint32_t index = 0;     // kSelect
  bool on = false;             // kHold
  std::uint32_t frames = 0;    // kRecord
};

// A request, or the reason the text is not one (then nothing may be done).
struct Decoded {
  std::optional<Request> request;
  std::string error;
};
Decoded DecodeRequest(std::string_view text);

const char* SettingName(Setting setting);

// Building the server's JSON replies.
std::string JsonString(std::string_view text);
std::string JsonNumber(double value);  // not finite: null

class JsonObject {
 public:
  JsonObject& Add(std::string_view key, std::string_view raw_json);
  JsonObject& Str(std::string_view key, std::string_view text) {
    return Add(key, JsonString(text));
  }
  JsonObject& Num(std::string_view key, double value) { return Add(key, JsonNumber(value)); }
  JsonObject& Bool(std::string_view key, bool value) { return Add(key, value ? "true" : "false"); }
  std::string Build() const { return "{" + body_ + "}"; }

 private:
  std::string body_;
};

}  // namespace kepra_view
