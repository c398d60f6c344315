// profile save / load: every setting of a camera in a JSON file, as the values `kepra set`
// takes, applied in an order in which each one is valid when it goes in.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <utility>

#include "tool.h"

namespace kepra_tool {

namespace {

constexpr const char* kFormat = "kepra profile 1";

// The clock sets the line time, the frame parameters the frame; the exposure may lengthen the
// frame, so the frame time follows it; the rest is independent.
constexpr const char* kOrder[] = {
    "clock", "frame-params", "readout-mode", "hdr",      "exposure-lines", "frame-time",
    "gain",  "colour-gain",  "stream-mode",  "snapshot", "strobe",         "bad-pixel-fix",
};

std::string OnOff(bool on) { return on ? "on" : "off"; }

std::string Real(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);  // round-trips exactly
  return text;
}

// The current value of every setting of the profile, in the order above.
std::vector<std::pair<std::string, std::string>> ReadSettings(kepra::Camera& c) {
  std::vector<std::pair<std::string, std::string>> values;
  const auto u = [](std::uint32_t v) { return std::to_string(v); };
  values.emplace_back("clock", u(Run([&] { return c.Clock(); }).value));
  const kepra_FrameParams p = Run([&] { return c.FrameParams(); });
  values.emplace_back("frame-params", u(p.X) + "," + u(p.Y) + "," + u(p.Width) + "," + u(p.Height) +
                                          "," + u(p.BitDepth) + "," + u(p.BinX) + "," + u(p.BinY) +
                                          "," + u(p.Flags));
  values.emplace_back("readout-mode", u(Run([&] { return c.ReadoutMode(); })));
  values.emplace_back("hdr", OnOff(Run([&] { return c.Hdr(); })));
  values.emplace_back("exposure-lines", u(Run([&] { return c.ExposureLines(); })));
  values.emplace_back("frame-time", u(Run([&] { return c.FrameTime(); })));
  const kepra::Gain gain = Run([&] { return c.Gain(); });
  values.emplace_back("gain", Real(gain.analog) + "," + Real(gain.digital));
  if (Run([&] { return c.Info(); }).Color) {
    const kepra::ColourGain g = Run([&] { return c.ColourGain(); });
    values.emplace_back("colour-gain",
                        Real(g.gb) + "," + Real(g.gr) + "," + Real(g.b) + "," + Real(g.r));
  }
  values.emplace_back("stream-mode", u(Run([&] { return c.StreamMode(); })));
  const kepra::Snapshot snapshot = Run([&] { return c.Snapshot(); });
  values.emplace_back("snapshot", u(snapshot.timeout_ms) + "," + OnOff(snapshot.inverted));
  const kepra::Strobe strobe = Run([&] { return c.Strobe(); });
  values.emplace_back("strobe", u(strobe.mode) + "," + u(strobe.off_delay) + "," +
                                    u(strobe.on_delay) + "," + OnOff(strobe.inverted));
  values.emplace_back("bad-pixel-fix", OnOff(Run([&] { return c.FixBadPixels(); })));
  return values;
}

// A flat JSON object of strings: what a profile is. Throws a usage error that says where the
// text stops being one.
class ProfileParser {
 public:
  ProfileParser(std::string text, std::string path)
      : text_(std::move(text)), path_(std::move(path)) {}

  std::vector<std::pair<std::string, std::string>> Parse() {
    std::vector<std::pair<std::string, std::string>> members;
    Expect('{');
    if (Peek() == '}') {
      ++at_;
    } else {
      for (;;) {
        std::string key = String();
        Expect(':');
        members.emplace_back(std::move(key), String());
        if (Peek() == ',') {
          ++at_;
          continue;
        }
        if (Peek() != '}') Fail("expected ',' or '}'");
        ++at_;
        break;
      }
    }
    if (Peek() != '\0') Fail("text after the object");
    return members;
  }

 private:
  [[noreturn]] void Fail(const std::string& what) {
    Usage(path_ + " is not a profile (a JSON object of strings): " + what + " at byte " +
          std::to_string(at_));
  }
  char Peek() {
    while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) ++at_;
    return at_ < text_.size() ? text_[at_] : '\0';
  }
  void Expect(char c) {
    if (Peek() != c) Fail(std::string("expected '") + c + "'");
    ++at_;
  }
  std::string String() {
    Expect('"');
    std::string out;
    for (;;) {
      if (at_ >= text_.size()) Fail("unterminated string");
      const char c = text_[at_++];
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) Fail("control character in a string");
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at_ >= text_.size()) Fail("unterminated string");
      const char e = text_[at_++];
      static const std::map<char, char> kEscapes = {{'"', '"'},  {'\\', '\\'}, {'/', '/'},
                                                    {'b', '\b'}, {'f', '\f'},  {'n', '\n'},
                                                    {'r', '\r'}, {'t', '\t'}};
      if (const auto it = kEscapes.find(e); it != kEscapes.end()) {
        out += it->second;
      } else if (e == 'u' && at_ + 4 <= text_.size()) {
        const unsigned long code = std::strtoul(text_.substr(at_, 4).c_str(), nullptr, 16);
        if (code == 0 || code > 0x7F) Fail("\\u escape outside printable ASCII");
        out += static_cast<char>(code);
        at_ += 4;
      } else {
        Fail("bad escape");
      }
    }
  }

  std::string text_, path_;
  std::size_t at_ = 0;
};

}  // namespace

int ProfileSave(const Options& options, const std::string& path) {
  Camera camera(options.device);
  const kepra_CameraInfo info = Run([&] { return camera.cpp().Info(); });
  std::string json =
      "{\n  \"format\": " + JsonString(kFormat) + ",\n  \"model\": " + JsonString(info.ModelName);
  for (const auto& [name, value] : ReadSettings(camera.cpp())) {
    json += ",\n  " + JsonString(name) + ": " + JsonString(value);
  }
  json += "\n}\n";
  const std::string temporary = path + ".part";
  {
    std::ofstream file(temporary, std::ios::binary);
    file << json;
    if (!file.flush()) {
      std::remove(temporary.c_str());
      throw ToolError(kExitFailed, "cannot write " + temporary + ": " + std::strerror(errno));
    }
  }
  std::remove(path.c_str());  // Windows renames onto no existing file
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    throw ToolError(kExitFailed, "cannot rename " + temporary + " to " + path);
  }
  std::fprintf(Out(), "profile of camera %u (%s) saved to %s\n", options.device, info.ModelName,
               path.c_str());
  return kExitOk;
}

int ProfileLoad(const Options& options, const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) Usage("cannot open " + path + ": " + std::strerror(errno));
  std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  std::map<std::string, std::string> members;
  for (auto& [key, value] : ProfileParser(std::move(text), path).Parse()) {
    if (!members.emplace(key, value).second) Usage(path + ": \"" + key + "\" appears twice");
  }
  if (members["format"] != kFormat) {
    Usage(path + ": \"format\" is not \"" + std::string(kFormat) + "\"");
  }
  const std::string model = members["model"];
  members.erase("format");
  members.erase("model");
  // Every value is parsed and checked before the camera is touched.
  std::vector<std::pair<std::string, SettingFn>> actions;
  for (const char* name : kOrder) {
    const auto it = members.find(name);
    if (it == members.end()) continue;
    try {
      actions.emplace_back(name, SettingAction(name, it->second));
    } catch (const ToolError& e) {
      throw ToolError(e.status, path + ": " + e.what());
    }
    members.erase(it);
  }
  if (!members.empty()) {
    Usage(path + ": \"" + members.begin()->first + "\" is not a setting a profile holds");
  }
  Camera camera(options.device);
  const kepra_CameraInfo info = Run([&] { return camera.cpp().Info(); });
  if (model != info.ModelName) {
    Usage(path + " is a profile of a " + model + ", the camera is a " + info.ModelName +
          "; nothing was changed");
  }
  for (std::size_t i = 0; i < actions.size(); ++i) {
    try {
      actions[i].second(camera.cpp());
    } catch (const ToolError& e) {
      std::string message = path + ": " + e.what();
      if (i > 0) message += " (the settings before " + actions[i].first + " were applied)";
      throw ToolError(e.status, message);
    }
  }
  std::fprintf(Out(), "profile %s loaded into camera %u (%zu settings)\n", path.c_str(),
               options.device, actions.size());
  return kExitOk;
}

}  // namespace kepra_tool
