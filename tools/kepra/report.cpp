#include "report.h"

#include <cinttypes>
#include <cmath>
#include <exception>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace kepra_tool {

namespace {
std::FILE* g_out = nullptr;
std::FILE* g_err = nullptr;
}  // namespace

std::FILE* Out() { return g_out ? g_out : stdout; }
std::FILE* Err() { return g_err ? g_err : stderr; }
void SetOutput(std::FILE* out, std::FILE* err) {
  g_out = out;
  g_err = err;
}

bool IsTerminal(std::FILE* file) {
#ifdef _WIN32
  return _isatty(_fileno(file)) != 0;
#else
  return isatty(fileno(file)) != 0;
#endif
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (byte < 0x20 || byte >= 0x7F) {
          // Bytes above ASCII stand for themselves as code points: the output stays valid
          // JSON whatever the camera put into a text field.
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

Report::Report(bool json) : json_(json) { levels_.push_back({false, true}); }

Report::~Report() {
  if (std::uncaught_exceptions() > 0) return;  // a failed command prints no half document
  if (json_) {
    out_ = "{" + out_ + "}\n";
  }
  std::fputs(out_.c_str(), Out());
}

void Report::Separator() {
  Level& level = levels_.back();
  if (!level.first && json_) out_ += ",";
  level.first = false;
}

void Report::Open(std::string_view key, char bracket) {
  const bool in_array = levels_.back().array;
  Separator();
  if (json_) {
    if (!in_array) out_ += JsonString(key) + ":";
    out_ += bracket;
  } else {
    out_ += std::string(2 * (levels_.size() - 1), ' ');
    out_ += in_array ? std::string("-") : std::string(key) + ":";
    out_ += "\n";
  }
  levels_.push_back({bracket == '[', true});
}

void Report::Close(char bracket) {
  if (levels_.size() > 1) levels_.pop_back();
  if (json_) out_ += bracket;
}

void Report::BeginObject(std::string_view key) { Open(key, '{'); }
void Report::EndObject() { Close('}'); }
void Report::BeginArray(std::string_view key) { Open(key, '['); }
void Report::EndArray() { Close(']'); }

void Report::Value(std::string_view key, const std::string& json_value, const std::string& text) {
  const bool in_array = levels_.back().array;
  Separator();
  if (json_) {
    if (!in_array) out_ += JsonString(key) + ":";
    out_ += json_value;
  } else {
    out_ += std::string(2 * (levels_.size() - 1), ' ');
    if (in_array) {
      out_ += "- " + text + "\n";
    } else {
      out_ += std::string(key) + ": " + text + "\n";
    }
  }
}

void Report::Str(std::string_view key, std::string_view value) {
  Value(key, JsonString(value), std::string(value));
}

void Report::UInt(std::string_view key, std::uint64_t value) {
  const std::string text = std::to_string(value);
  Value(key, text, text);
}

void Report::Int(std::string_view key, std::int64_t value) {
  const std::string text = std::to_string(value);
  Value(key, text, text);
}

void Report::Real(std::string_view key, double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.10g", value);
  Value(key, std::isfinite(value) ? std::string(text) : std::string("null"), text);
}

void Report::Bool(std::string_view key, bool value) {
  Value(key, value ? "true" : "false", value ? "yes" : "no");
}

void Report::Hex(std::string_view key, std::uint64_t value, int digits) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%0*" PRIX64, digits, value);
  Value(key, JsonString(text), text);
}

}  // namespace kepra_tool
