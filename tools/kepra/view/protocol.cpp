// A strict reader of the page's messages: one flat JSON object whose values are strings,
// numbers, booleans or arrays of numbers and booleans. Anything else is refused with a reason.
#include "protocol.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <map>

namespace kepra_view {

namespace {

struct Value {
  enum class Kind { kString, kNumber, kBool, kArray } kind = Kind::kNumber;
  std::string text;
  std::vector<double> numbers;  // kNumber, kBool (0/1): one; kArray: each element
};

constexpr std::size_t kMaxArray = 16;

class Reader {
 public:
  explicit Reader(std::string_view text) : s_(text) {}

  // The object's members, or an error in error_.
  bool Object(std::map<std::string, Value>& members) {
    Space();
    if (!Eat('{')) return Fail("a message is a JSON object");
    Space();
    if (Eat('}')) return End();
    for (;;) {
      std::string key;
      Space();
      if (!String(key)) return Fail(error_.empty() ? "expected a member name" : error_);
      Space();
      if (!Eat(':')) return Fail("expected ':' after \"" + key + "\"");
      Space();
      Value value;
      if (!ParseValue(value)) return false;
      if (!members.emplace(key, std::move(value)).second) {
        return Fail("member \"" + key + "\" given twice");
      }
      Space();
      if (Eat(',')) continue;
      if (Eat('}')) return End();
      return Fail("expected ',' or '}'");
    }
  }
  const std::string& error() const { return error_; }

 private:
  bool End() {
    Space();
    if (pos_ != s_.size()) return Fail("text after the object");
    return true;
  }
  bool Fail(const std::string& why) {
    if (error_.empty()) error_ = why;
    return false;
  }
  void Space() {
    while (pos_ < s_.size() &&
           (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r')) {
      ++pos_;
    }
  }
  bool Eat(char c) {
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool Word(std::string_view word) {
    if (s_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  bool ParseValue(Value& value) {
    if (pos_ >= s_.size()) return Fail("a value is missing");
    const char c = s_[pos_];
    if (c == '"') {
      value.kind = Value::Kind::kString;
      return String(value.text);
    }
    if (c == '[') {
      ++pos_;
      value.kind = Value::Kind::kArray;
      Space();
      if (Eat(']')) return true;
      for (;;) {
        Space();
        double element = 0;
        if (!Scalar(element)) return Fail("array elements are numbers or booleans");
        if (value.numbers.size() == kMaxArray) return Fail("array longer than 16 elements");
        value.numbers.push_back(element);
        Space();
        if (Eat(',')) continue;
        if (Eat(']')) return true;
        return Fail("expected ',' or ']' in an array");
      }
    }
    double number = 0;
    const bool is_bool = c == 't' || c == 'f';
    if (!Scalar(number)) return Fail("unknown value (strings, numbers, booleans, arrays only)");
    value.kind = is_bool ? Value::Kind::kBool : Value::Kind::kNumber;
    value.numbers.push_back(number);
    return true;
  }

  bool Scalar(double& out) {
    if (Word("true")) {
      out = 1;
      return true;
    }
    if (Word("false")) {
      out = 0;
      return true;
    }
    return Number(out);
  }

  // JSON number grammar, then a locale-free conversion.
  bool Number(double& out) {
    const std::size_t start = pos_;
    Eat('-');
    if (pos_ >= s_.size() || s_[pos_] < '0' || s_[pos_] > '9') return false;
    if (!Eat('0')) Digits();
    if (Eat('.') && !Digits()) return Fail("a digit must follow the decimal point");
    if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
      ++pos_;
      if (!Eat('+')) Eat('-');
      if (!Digits()) return Fail("a digit must follow the exponent");
    }
    const char* first = s_.data() + start;
    const char* last = s_.data() + pos_;
    const auto result = std::from_chars(first, last, out);
    if (result.ec != std::errc() || result.ptr != last || !std::isfinite(out)) {
      return Fail("number out of range");
    }
    return true;
  }
  bool Digits() {
    const std::size_t start = pos_;
    while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
    return pos_ > start;
  }

  bool String(std::string& out) {
    if (!Eat('"')) return false;
    while (pos_ < s_.size()) {
      const auto c = static_cast<unsigned char>(s_[pos_++]);
      if (c == '"') return true;
      if (c < 0x20) return Fail("control character in a string");
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      if (pos_ >= s_.size()) break;
      const char e = s_[pos_++];
      static constexpr std::string_view kFrom = "\"\\/bfnrt", kTo = "\"\\/\b\f\n\r\t";
      if (const auto at = kFrom.find(e); at != std::string_view::npos) {
        out += kTo[at];
      } else if (e == 'u') {
        unsigned code = 0;
        if (s_.size() - pos_ < 4 ||
            std::from_chars(s_.data() + pos_, s_.data() + pos_ + 4, code, 16).ptr !=
                s_.data() + pos_ + 4) {
          return Fail("bad \\u escape");
        }
        pos_ += 4;
        // Names and values the server knows are ASCII: other code points never match one.
        out += code < 0x80 ? static_cast<char>(code) : '?';
      } else {
        return Fail("bad escape in a string");
      }
    }
    return Fail("unterminated string");
  }

  std::string_view s_;
  std::size_t pos_ = 0;
  std::string error_;
};

struct SettingInfo {
  Setting setting;
  const char* name;
  std::size_t count;
  // Per value: whole-number limits, or real (NaN limits: any finite number).
  std::array<double, 8> min, max;
  std::array<bool, 8> whole;
};

constexpr double kAny = NAN;
const std::array<SettingInfo, 10>& SettingTable() {
  static const std::array<SettingInfo, 10> table = {{
      {Setting::kExposureMs, "exposure_ms", 1, {kAny}, {kAny}, {false}},
      {Setting::kFrameRate, "frame_rate", 1, {kAny}, {kAny}, {false}},
      {Setting::kGain, "gain", 2, {kAny, kAny}, {kAny, kAny}, {false, false}},
      {Setting::kColourGain,
       "colour_gain",
       4,
       {kAny, kAny, kAny, kAny},
       {kAny, kAny, kAny, kAny},
       {false, false, false, false}},
      {Setting::kFrameParams,
       "frame_params",
       8,
       {0, 0, 0, 0, 0, 0, 0, 0},
       {65535, 65535, 65535, 65535, 65535, 65535, 65535, 65535},
       {true, true, true, true, true, true, true, true}},
      {Setting::kReadoutMode, "readout_mode", 1, {0}, {3}, {true}},
      {Setting::kHdr, "hdr", 1, {0}, {1}, {true}},
      {Setting::kStrobe, "strobe", 4, {0, 0, 0, 0}, {3, 255, 255, 1}, {true, true, true, true}},
      {Setting::kStreamMode, "stream_mode", 1, {0}, {1}, {true}},
      {Setting::kSnapshot, "snapshot", 2, {0, 0}, {2147483647.0, 1}, {true, true}},
  }};
  return table;
}

bool WholeIn(double v, double lo, double hi) { return v >= lo && v <= hi && std::floor(v) == v; }

std::string CheckValues(const SettingInfo& info, const std::vector<double>& values) {
  if (values.size() != info.count) {
    return std::string(info.name) + " takes " + std::to_string(info.count) +
           (info.count == 1 ? " value" : " values");
  }
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (!info.whole[i]) continue;
    if (!WholeIn(values[i], info.min[i], info.max[i])) {
      char text[160];
      std::snprintf(text, sizeof text, "%s value %zu must be a whole number from %.0f to %.0f",
                    info.name, i + 1, info.min[i], info.max[i]);
      return text;
    }
  }
  return {};
}

std::optional<std::uint32_t> WholeMember(const std::map<std::string, Value>& m,
                                         const std::string& key, double max, std::string& error) {
  const auto it = m.find(key);
  if (it == m.end()) {
    error = "\"" + key + "\" is missing";
    return std::nullopt;
  }
  if (it->second.kind != Value::Kind::kNumber || !WholeIn(it->second.numbers[0], 0, max)) {
    char text[120];
    std::snprintf(text, sizeof text, "\"%s\" must be a whole number from 0 to %.0f", key.c_str(),
                  max);
    error = text;
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(it->second.numbers[0]);
}

}  // namespace

const char* SettingName(Setting setting) {
  for (const auto& info : SettingTable()) {
    if (info.setting == setting) return info.name;
  }
  return "?";
}

Decoded DecodeRequest(std::string_view text) {
  Decoded out;
  if (text.size() > kMaxMessageBytes) {
    out.error = "message longer than 4096 bytes";
    return out;
  }
  std::map<std::string, Value> m;
  Reader reader(text);
  if (!reader.Object(m)) {
    out.error = reader.error();
    return out;
  }
  Request r;
  if (m.count("id")) {
    const auto id = WholeMember(m, "id", 4294967295.0, out.error);
    if (!id) return out;
    r.id = id;
  }
  const auto op = m.find("op");
  if (op == m.end() || op->second.kind != Value::Kind::kString) {
    out.error = "\"op\" (a string) is missing";
    return out;
  }
  std::vector<std::string> allowed{"op", "id"};
  const std::string& name = op->second.text;
  if (name == "state") {
    r.op = Op::kState;
  } else if (name == "cameras") {
    r.op = Op::kCameras;
  } else if (name == "select") {
    r.op = Op::kSelect;
    const auto index = WholeMember(m, "index", 34, out.error);
    if (!index) return out;
    r.index = *index;
    allowed.push_back("index");
  } else if (name == "pixel") {
    r.op = Op::kPixel;
    const auto x = WholeMember(m, "x", 65535, out.error);
    if (!x) return out;
    const auto y = WholeMember(m, "y", 65535, out.error);
    if (!y) return out;
    r.x = *x;
    r.y = *y;
    allowed.insert(allowed.end(), {"x", "y"});
  } else if (name == "hold") {
    r.op = Op::kHold;
    const auto on = m.find("on");
    if (on == m.end() || on->second.kind != Value::Kind::kBool) {
      out.error = "\"on\" (true or false) is missing";
      return out;
    }
    r.on = on->second.numbers[0] != 0;
    allowed.push_back("on");
  } else if (name == "trigger") {
    r.op = Op::kTrigger;
  } else if (name == "record") {
    r.op = Op::kRecord;
    const auto frames = WholeMember(m, "frames", kMaxRecordFrames, out.error);
    if (!frames) return out;
    r.frames = *frames;
    allowed.push_back("frames");
  } else if (name == "set") {
    r.op = Op::kSet;
    const auto setting = m.find("name");
    if (setting == m.end() || setting->second.kind != Value::Kind::kString) {
      out.error = "\"name\" (a string) is missing";
      return out;
    }
    const SettingInfo* info = nullptr;
    for (const auto& candidate : SettingTable()) {
      if (setting->second.text == candidate.name) info = &candidate;
    }
    if (!info) {
      out.error = "unknown setting " + JsonString(setting->second.text);
      return out;
    }
    const auto value = m.find("value");
    if (value == m.end() || value->second.kind == Value::Kind::kString) {
      out.error = "\"value\" (a number, boolean or array) is missing";
      return out;
    }
    if (out.error = CheckValues(*info, value->second.numbers); !out.error.empty()) return out;
    r.setting = info->setting;
    r.values = value->second.numbers;
    allowed.insert(allowed.end(), {"name", "value"});
  } else {
    out.error = "unknown op";
    return out;
  }
  for (const auto& [key, unused] : m) {
    if (std::find(allowed.begin(), allowed.end(), key) == allowed.end()) {
      out.error = "unexpected member for this op";
      return out;
    }
  }
  out.request = std::move(r);
  return out;
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20 || c >= 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

std::string JsonNumber(double value) {
  if (!std::isfinite(value)) return "null";
  // The shortest text that reads back as the same number: wall-clock times in milliseconds
  // need 13 digits and more.
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}

JsonObject& JsonObject::Add(std::string_view key, std::string_view raw_json) {
  if (!body_.empty()) body_ += ',';
  body_ += JsonString(key);
  body_ += ':';
  body_ += raw_json;
  return *this;
}

}  // namespace kepra_view
