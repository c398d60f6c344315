// The page's messages: what is understood, and what is refused with a reason.
#include <gtest/gtest.h>

#include <string>

#include "protocol.h"

namespace kv = kepra_view;

namespace {

kv::Request Ok(const std::string& text) {
  const auto d = kv::DecodeRequest(text);
  EXPECT_TRUE(d.request.has_value()) << text << ": " << d.error;
  EXPECT_TRUE(d.error.empty());
  return d.request.value_or(kv::Request{});
}

std::string Refused(const std::string& text) {
  const auto d = kv::DecodeRequest(text);
  EXPECT_FALSE(d.request.has_value()) << text;
  EXPECT_FALSE(d.error.empty()) << text;
  return d.error;
}

}  // namespace

TEST(ViewMessages, UnderstandsEachOperation) {
  EXPECT_EQ(Ok(R"({"op":"state"})").op, kv::Op::kState);
  EXPECT_EQ(Ok(R"( { "op" : "cameras" , "id" : 7 } )").id, 7u);
  const auto pixel = Ok(R"({"op":"pixel","x":1279,"y":0})");
  EXPECT_EQ(pixel.op, kv::Op::kPixel);
  EXPECT_EQ(pixel.x, 1279u);
  EXPECT_EQ(pixel.y, 0u);
  EXPECT_EQ(Ok(R"({"op":"select","index":34})").index, 34u);

  const auto exposure = Ok(R"({"op":"set","name":"exposure_ms","value":12.5e0})");
  EXPECT_EQ(exposure.setting, kv::Setting::kExposureMs);
  EXPECT_EQ(exposure.values, std::vector<double>{12.5});
  const auto gain = Ok(R"({"op":"set","name":"gain","value":[2,1.5]})");
  EXPECT_EQ(gain.values, (std::vector<double>{2, 1.5}));
  // Booleans count as 0 and 1, also inside arrays; escapes in names are decoded.
  EXPECT_EQ(Ok(R"({"op":"set","name":"hdr","value":true})").values, std::vector<double>{1});
  EXPECT_EQ(Ok(R"({"op":"set","name":"strobe","value":[3,255,0,false]})").values,
            (std::vector<double>{3, 255, 0, 0}));
  EXPECT_EQ(Ok(R"({"op":"set","name":"hd\u0072","value":0})").setting, kv::Setting::kHdr);
  EXPECT_EQ(Ok(R"({"op":"set","name":"snapshot","value":[2147483647,1]})").values[0], 2147483647.0);
  EXPECT_EQ(
      Ok(R"({"op":"set","name":"frame_params","value":[0,0,1280,1024,12,2,2,3]})").values.size(),
      8u);
  EXPECT_EQ(Ok(R"({"op":"set","name":"frame_rate","value":-0.5})").values[0], -0.5);
}

TEST(ViewMessages, RefusesWhatIsNotOneFlatJsonObject) {
  for (const char* text : {"",
                           " ",
                           "[]",
                           "null",
                           "{",
                           "}",
                           "{\"op\":\"state\"",
                           "{\"op\" \"state\"}",
                           "{\"op\":\"state\",}",
                           "{op:\"state\"}",
                           "{'op':'state'}",
                           "{\"op\":\"state\"} {}",
                           "{\"op\":\"state\"}x",
                           "{\"op\":\"state\",\"op\":\"state\"}",
                           "{\"op\":{\"a\":1}}",
                           "{\"op\":\"st\nate\"}",
                           "{\"op\":\"state\\q\"}",
                           "{\"op\":\"\\u12\"}",
                           "{\"op\":null}",
                           "{\"op\":\"set\",\"name\":\"hdr\",\"value\":[[1]]}",
                           "{\"op\":\"set\",\"name\":\"hdr\",\"value\":tru}"}) {
    Refused(text);
  }
  EXPECT_EQ(Refused("{\"op\":\"state\",\"op\":\"cameras\"}"), "member \"op\" given twice");
  EXPECT_EQ(Refused(std::string(4097, ' ')), "message longer than 4096 bytes");
}

TEST(ViewMessages, RefusesNumbersJsonDoesNotHave) {
  for (const char* number : {"01", "1.", ".5", "+1", "1e", "1e+", "-", "0x10", "NaN", "Infinity",
                             "1e400", "-1e400", "1_0"}) {
    Refused(std::string(R"({"op":"set","name":"exposure_ms","value":)") + number + "}");
  }
}

TEST(ViewMessages, ChecksOperationsAndTheirMembers) {
  EXPECT_EQ(Refused(R"({"id":1})"), "\"op\" (a string) is missing");
  EXPECT_EQ(Refused(R"({"op":"flash"})"), "unknown op");
  EXPECT_EQ(Refused(R"({"op":"firmware_update"})"), "unknown op");
  EXPECT_EQ(Refused(R"({"op":"state","x":1})"), "unexpected member for this op");
  EXPECT_EQ(Refused(R"({"op":"state","id":-1})"),
            "\"id\" must be a whole number from 0 to 4294967295");
  EXPECT_EQ(Refused(R"({"op":"select","index":35})"),
            "\"index\" must be a whole number from 0 to 34");
  EXPECT_EQ(Refused(R"({"op":"select"})"), "\"index\" is missing");
  EXPECT_EQ(Refused(R"({"op":"pixel","x":1.5,"y":0})"),
            "\"x\" must be a whole number from 0 to 65535");
  EXPECT_EQ(Refused(R"({"op":"pixel","x":"1","y":0})"),
            "\"x\" must be a whole number from 0 to 65535");
  EXPECT_EQ(Refused(R"({"op":"set","name":"exposure","value":1})"), "unknown setting \"exposure\"");
  EXPECT_EQ(Refused(R"({"op":"set","value":1})"), "\"name\" (a string) is missing");
  EXPECT_EQ(Refused(R"({"op":"set","name":"hdr"})"),
            "\"value\" (a number, boolean or array) is missing");
  EXPECT_EQ(Refused(R"({"op":"set","name":"hdr","value":"on"})"),
            "\"value\" (a number, boolean or array) is missing");
}

TEST(ViewMessages, ChecksCountAndRangeOfSettingValues) {
  EXPECT_EQ(Refused(R"({"op":"set","name":"gain","value":2})"), "gain takes 2 values");
  EXPECT_EQ(Refused(R"({"op":"set","name":"exposure_ms","value":[1,2]})"),
            "exposure_ms takes 1 value");
  EXPECT_EQ(Refused(R"({"op":"set","name":"colour_gain","value":[]})"),
            "colour_gain takes 4 values");
  EXPECT_EQ(Refused(R"({"op":"set","name":"readout_mode","value":4})"),
            "readout_mode value 1 must be a whole number from 0 to 3");
  EXPECT_EQ(Refused(R"({"op":"set","name":"strobe","value":[0,256,0,0]})"),
            "strobe value 2 must be a whole number from 0 to 255");
  EXPECT_EQ(Refused(R"({"op":"set","name":"strobe","value":[0,0,0,2]})"),
            "strobe value 4 must be a whole number from 0 to 1");
  EXPECT_EQ(Refused(R"({"op":"set","name":"frame_params","value":[0,0,1280,1024,10,1,1,0.5]})"),
            "frame_params value 8 must be a whole number from 0 to 65535");
  EXPECT_EQ(Refused(R"({"op":"set","name":"snapshot","value":[2147483648,0]})"),
            "snapshot value 1 must be a whole number from 0 to 2147483647");
  EXPECT_EQ(Refused(R"({"op":"set","name":"stream_mode","value":-1})"),
            "stream_mode value 1 must be a whole number from 0 to 1");
  Refused(R"({"op":"set","name":"gain","value":[1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17]})");
}

TEST(ViewMessages, RepliesAreValidJson) {
  EXPECT_EQ(kv::JsonString("a\"b\\c\n\x01\xff"), R"("a\"b\\c\u000a\u0001\u00ff")");
  EXPECT_EQ(kv::JsonNumber(0.1), "0.1");
  // A wall-clock time in ms keeps its fraction (frame headers carry such times).
  EXPECT_EQ(kv::JsonNumber(1796559439447.625), "1796559439447.625");
  EXPECT_EQ(kv::JsonNumber(-2.5e-7), "-2.5e-07");
  EXPECT_EQ(kv::JsonNumber(30), "30");
  EXPECT_EQ(kv::JsonNumber(1.0 / 0.0), "null");
  EXPECT_EQ(kv::JsonObject().Str("a", "x").Num("b", 2).Bool("c", false).Build(),
            R"({"a":"x","b":2,"c":false})");
}

TEST(ViewMessages, SoftwareTriggerAndRecording) {
  const auto hold = Ok(R"({"op":"hold","on":true,"id":3})");
  EXPECT_EQ(hold.op, kv::Op::kHold);
  EXPECT_TRUE(hold.on);
  EXPECT_FALSE(Ok(R"({"op":"hold","on":false})").on);
  EXPECT_EQ(Ok(R"({"op":"trigger"})").op, kv::Op::kTrigger);
  const auto record = Ok(R"({"op":"record","frames":100000})");
  EXPECT_EQ(record.op, kv::Op::kRecord);
  EXPECT_EQ(record.frames, 100000u);
  EXPECT_EQ(Ok(R"({"op":"record","frames":0})").frames, 0u);

  // "on" is a boolean, not a number that looks like one.
  EXPECT_EQ(Refused(R"({"op":"hold","on":1})"), "\"on\" (true or false) is missing");
  EXPECT_EQ(Refused(R"({"op":"hold"})"), "\"on\" (true or false) is missing");
  EXPECT_EQ(Refused(R"({"op":"trigger","frames":1})"), "unexpected member for this op");
  EXPECT_EQ(Refused(R"({"op":"record","frames":100001})"),
            "\"frames\" must be a whole number from 0 to 100000");
  EXPECT_EQ(Refused(R"({"op":"record","frames":2.5})"),
            "\"frames\" must be a whole number from 0 to 100000");
  // Where the files go is the command line's choice, never the page's.
  EXPECT_EQ(Refused(R"({"op":"record","frames":1,"folder":"/etc"})"),
            "unexpected member for this op");
}
