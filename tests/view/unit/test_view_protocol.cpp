// The page's messages: what is understood, and what is refused with a reason.
#include <gtest/gtest.h>

#include <string>

#include "protocol.h"

namespace kv = kepra_view;

namespace {

kv::Request Ok(const std::string& text) {
  const auto d = kv::DecodeRequest(text);
  EXPECT_TRUE(d.request.has_value() && d.error.empty()) << text << ": " << d.error;
  return d.request.value_or(kv::Request{});
}

std::string Refused(const std::string& text) {
  const auto d = kv::DecodeRequest(text);
  EXPECT_FALSE(d.request.has_value() || d.error.empty()) << text;
  return d.error;
}

}  // namespace

TEST(ViewMessages, UnderstandsEachOperation) {
  EXPECT_EQ(Ok(R"({"op":"state"})").op, kv::Op::kState);
  EXPECT_EQ(Ok(R"( { "op" : "cameras" , "id" : 7 } )").id, 7u);
  const auto pixel = Ok(R"({"op":"pixel","x":1279,"y":0})");
  EXPECT_EQ(pixel.op, kv::Op::kPixel);
  EXPECT_EQ(pixel.x, 1279u);
  EXPECT_EQ(Ok(R"({"op":"select","index":34})").index, 34u);
  const auto exposure = Ok(R"({"op":"set","name":"exposure_ms","value":12.5e0})");
  EXPECT_EQ(exposure.setting, kv::Setting::kExposureMs);
  EXPECT_EQ(exposure.values, std::vector<double>{12.5});
  // Booleans count as 0 and 1, also inside arrays; escapes in names are decoded.
  EXPECT_EQ(Ok(R"({"op":"set","name":"strobe","value":[3,255,0,false]})").values,
            (std::vector<double>{3, 255, 0, 0}));
  EXPECT_EQ(Ok(R"({"op":"set","name":"hd\u0072","value":true})").setting, kv::Setting::kHdr);
  EXPECT_EQ(Ok(R"({"op":"set","name":"snapshot","value":[2147483647,1]})").values[0], 2147483647.0);
  EXPECT_EQ(Ok(R"({"op":"set","name":"frame_rate","value":-0.5})").values[0], -0.5);
  EXPECT_TRUE(Ok(R"({"op":"hold","on":true,"id":3})").on);
  EXPECT_FALSE(Ok(R"({"op":"hold","on":false})").on);
  EXPECT_EQ(Ok(R"({"op":"trigger"})").op, kv::Op::kTrigger);
  EXPECT_EQ(Ok(R"({"op":"record","frames":100000})").frames, 100000u);
  EXPECT_EQ(Ok(R"({"op":"record","frames":0})").frames, 0u);
}

TEST(ViewMessages, RefusesWhatIsNotOneFlatJsonObjectOfJsonNumbers) {
  // Not one object; then nested values, strings and literals JSON does not have.
  for (const std::string text : {"", " ", "[]", "null", "{", "}", R"({"op":"state")",
                                 R"({"op" "state"})", R"({"op":"state",})", R"({op:"state"})",
                                 "{'op':'state'}", R"({"op":"state"} {})", R"({"op":"state"}x)"}) {
    Refused(text);
  }
  for (const std::string text :
       {R"({"op":{"a":1}})", "{\"op\":\"st\tate\"}", R"({"op":"state\q"})", R"({"op":"\u12"})",
        R"({"op":null})", R"({"op":"set","name":"hdr","value":[[1]]})",
        R"({"op":"set","name":"hdr","value":tru})"}) {
    Refused(text);
  }
  for (const char* number : {"01", "1.", ".5", "+1", "1e", "1e+", "-", "0x10", "NaN", "Infinity",
                             "1e400", "-1e400", "1_0"}) {
    Refused(std::string(R"({"op":"set","name":"exposure_ms","value":)") + number + "}");
  }
}

TEST(ViewMessages, NamesWhatIsWrongWithAnOperationOrItsValues) {
  const std::pair<std::string, std::string> cases[] = {
      {"{\"op\":\"state\",\"op\":\"cameras\"}", "member \"op\" given twice"},
      {std::string(4097, ' '), "message longer than 4096 bytes"},
      {R"({"id":1})", "\"op\" (a string) is missing"},
      {R"({"op":"firmware_update"})", "unknown op"},
      {R"({"op":"state","x":1})", "unexpected member for this op"},
      {R"({"op":"state","id":-1})", "\"id\" must be a whole number from 0 to 4294967295"},
      {R"({"op":"select","index":35})", "\"index\" must be a whole number from 0 to 34"},
      {R"({"op":"select"})", "\"index\" is missing"},
      {R"({"op":"pixel","x":1.5,"y":0})", "\"x\" must be a whole number from 0 to 65535"},
      {R"({"op":"pixel","x":"1","y":0})", "\"x\" must be a whole number from 0 to 65535"},
      {R"({"op":"set","name":"exposure","value":1})", "unknown setting \"exposure\""},
      {R"({"op":"set","value":1})", "\"name\" (a string) is missing"},
      {R"({"op":"set","name":"hdr","value":"on"})",
       "\"value\" (a number, boolean or array) is missing"},
      {R"({"op":"set","name":"gain","value":2})", "gain takes 2 values"},
      {R"({"op":"set","name":"gain","value":[1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17]})",
       "array longer than 16 elements"},
      {R"({"op":"set","name":"exposure_ms","value":[1,2]})", "exposure_ms takes 1 value"},
      {R"({"op":"set","name":"colour_gain","value":[]})", "colour_gain takes 4 values"},
      {R"({"op":"set","name":"readout_mode","value":4})",
       "readout_mode value 1 must be a whole number from 0 to 3"},
      {R"({"op":"set","name":"strobe","value":[0,256,0,0]})",
       "strobe value 2 must be a whole number from 0 to 255"},
      {R"({"op":"set","name":"strobe","value":[0,0,0,2]})",
       "strobe value 4 must be a whole number from 0 to 1"},
      {R"({"op":"set","name":"frame_params","value":[0,0,1280,1024,10,1,1,0.5]})",
       "frame_params value 8 must be a whole number from 0 to 65535"},
      {R"({"op":"set","name":"snapshot","value":[2147483648,0]})",
       "snapshot value 1 must be a whole number from 0 to 2147483647"},
      {R"({"op":"set","name":"stream_mode","value":-1})",
       "stream_mode value 1 must be a whole number from 0 to 1"},
      // "on" is a boolean, not a number that looks like one.
      {R"({"op":"hold","on":1})", "\"on\" (true or false) is missing"},
      {R"({"op":"trigger","frames":1})", "unexpected member for this op"},
      {R"({"op":"record","frames":100001})", "\"frames\" must be a whole number from 0 to 100000"},
      {R"({"op":"record","frames":2.5})", "\"frames\" must be a whole number from 0 to 100000"},
      // Where the files go is the command line's choice, never the page's.
      {R"({"op":"record","frames":1,"folder":"/etc"})", "unexpected member for this op"},
  };
  for (const auto& [text, error] : cases) EXPECT_EQ(Refused(text), error) << text;
}

TEST(ViewMessages, RepliesAreValidJson) {
  EXPECT_EQ(kv::JsonString("a\"b\\c\n\x01\xff"), R"("a\"b\\c\u000a\u0001\u00ff")");
  EXPECT_EQ(kv::JsonNumber(0.1), "0.1");
  // A wall-clock time in ms keeps its fraction (frame headers carry such times).
  EXPECT_EQ(kv::JsonNumber(1796559439447.625), "1796559439447.625");
  EXPECT_EQ(kv::JsonNumber(-2.5e-7), "-2.5e-07");
  EXPECT_EQ(kv::JsonNumber(1.0 / 0.0), "null");
  EXPECT_EQ(kv::JsonObject().Str("a", "x").Num("b", 2).Bool("c", false).Build(),
            R"({"a":"x","b":2,"c":false})");
}
