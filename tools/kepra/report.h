// Output of the read commands: "key: value" lines for people, one JSON document with --json.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace kepra_tool {

// Where the commands print: results on Out(), progress and messages on Err(). Standard output
// and error unless the command layer was run with others (a test that runs it in-process).
std::FILE* Out();
std::FILE* Err();
void SetOutput(std::FILE* out, std::FILE* err);
// Whether `file` is a terminal (progress bars are redrawn in place there).
bool IsTerminal(std::FILE* file);

// JSON string literal of `text`, quotes included; control characters and bytes that are not
// printable ASCII are escaped, so any byte string gives valid JSON.
std::string JsonString(std::string_view text);

class Report {
 public:
  explicit Report(bool json);
  ~Report();  // prints what was built
  Report(const Report&) = delete;
  Report& operator=(const Report&) = delete;

  // Keys are ignored inside arrays.
  void BeginObject(std::string_view key = {});
  void EndObject();
  void BeginArray(std::string_view key);
  void EndArray();
  void Str(std::string_view key, std::string_view value);
  void UInt(std::string_view key, std::uint64_t value);
  void Int(std::string_view key, std::int64_t value);
  void Real(std::string_view key, double value);  // not finite: null in JSON
  void Bool(std::string_view key, bool value);
  void Hex(std::string_view key, std::uint64_t value, int digits);  // a string in JSON

 private:
  void Value(std::string_view key, const std::string& json_value, const std::string& text);
  void Open(std::string_view key, char bracket);
  void Close(char bracket);
  void Separator();

  bool json_;
  std::string out_;
  struct Level {
    bool array;
    bool first;
  };
  std::vector<Level> levels_;
};

}  // namespace kepra_tool
