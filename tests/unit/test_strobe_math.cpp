// The snapshot encoding, the strobe register values, the events-state update and the event
// search, as pure functions.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "core/strobe_math.h"

namespace kepra::core {
namespace {

TEST(Snapshot, EncodesTheWorkedExamples) {
  EXPECT_EQ(EncodeSnapshot(500, true), 0xFFFFFE0Cu);
  EXPECT_EQ(EncodeSnapshot(0, true), 0x80000000u);
  EXPECT_EQ(EncodeSnapshot(0, false), 0u);
}

TEST(Snapshot, EveryTimeoutUpTo0x7FFFFFFFReadsBackAsSet) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<std::uint32_t> any(0, 0x7FFFFFFF);
  std::vector<std::uint32_t> timeouts = {0, 1, 2, 499, 500, 0x7FFFFFFE, 0x7FFFFFFF};
  for (int i = 0; i < 2000; ++i) timeouts.push_back(any(rng));
  for (std::uint32_t t : timeouts) {
    for (bool inverted : {false, true}) {
      // Reference: the value as a signed 64-bit number, brought into 32 bits.
      const std::int64_t signed_value =
          !inverted ? t : (t == 0 ? -0x80000000LL : -static_cast<std::int64_t>(t));
      const auto expected = static_cast<std::uint32_t>(signed_value & 0xFFFFFFFF);
      const std::uint32_t value = EncodeSnapshot(t, inverted);
      ASSERT_EQ(value, expected) << t << " " << inverted;
      const SnapshotParams back = DecodeSnapshot(value);
      ASSERT_EQ(back.timeout_ms, t) << t << " " << inverted;
      ASSERT_EQ(back.inverted, inverted) << t << " " << inverted;
    }
  }
}

TEST(StrobeRegisters, DelaysModeAndInvertedKeepTheOtherBits) {
  EXPECT_EQ(StrobeDelays(0x12, 0x34), 0x3412);
  EXPECT_EQ(WithStrobeMode(0x0035, 2), 0x00B5);
  EXPECT_EQ(WithStrobeMode(0xFFFF, 0), 0xFF3F);
  EXPECT_EQ(WithStrobeInverted(0x0500, true), 0x4500);
  EXPECT_EQ(WithStrobeInverted(0x4500, false), 0x0500);
  EXPECT_EQ(WithStrobeInverted(0xFFFF, false), 0xBFFF);
}

TEST(EventsState, WorkedExamples) {
  EXPECT_EQ(NextEventsState(0x25, 0x01, 0x03), 0x25);
  EXPECT_EQ(NextEventsState(0x25, 0x02, 0x03), 0x26);
  EXPECT_EQ(NextEventsState(0x35, 0x11, 0xF0), 0x24);  // no bit of 0-3 selected
}

TEST(EventsState, FollowsTheBitTableForEveryInput) {
  // Bit by bit: selected (Mask bits 0-3 only) takes the bit of Bit; unselected keeps the
  // state unless Bit has it set, which clears it.
  for (unsigned state = 0; state < 256; ++state) {
    for (unsigned bit = 0; bit < 256; ++bit) {
      for (unsigned mask = 0; mask < 256; ++mask) {
        unsigned expected = 0;
        for (unsigned i = 0; i < 8; ++i) {
          const bool m = i < 4 && (mask >> i & 1);
          const bool b = bit >> i & 1;
          const bool s = state >> i & 1;
          const bool out = m ? b : (!b && s);
          expected |= static_cast<unsigned>(out) << i;
        }
        const auto got =
            NextEventsState(static_cast<std::uint8_t>(state), static_cast<std::uint8_t>(bit),
                            static_cast<std::uint8_t>(mask));
        if (got != expected) {
          FAIL() << "state " << state << " bit " << bit << " mask " << mask << ": " << int{got}
                 << " != " << expected;
        }
      }
    }
  }
}

// A frame-information record with the given event bytes; the bytes before the events are
// filled with a pattern that would match if they were searched.
std::vector<std::uint8_t> Record(const std::vector<std::uint8_t>& events, std::size_t count) {
  std::vector<std::uint8_t> record(48 + events.size(), 0x05);
  record[26] = static_cast<std::uint8_t>(count);
  record[27] = static_cast<std::uint8_t>(count >> 8);
  for (std::size_t i = 0; i < events.size(); ++i) record[48 + i] = events[i];
  return record;
}

TEST(FindEvent, ACountBeyondTheRecordSearchesOnlyTheRecord) {
  // Found by fuzzing: a count of 0xFFFF read past a 4096-byte record.
  std::vector<std::uint8_t> record(4096, 0x00);
  record[26] = 0xFF;
  record[27] = 0xFF;
  record[48 + 3999] = 0x01;
  EXPECT_EQ(FindEvent(record.data(), 0x01, 0x01), 3999);
  EXPECT_EQ(FindEvent(record.data(), 0x02, 0x02), -1);
}

TEST(FindEvent, WorkedExamples) {
  const auto record = Record({0x00, 0x05, 0x07}, 3);
  EXPECT_EQ(FindEvent(record.data(), 0x05, 0x05), 1);
  EXPECT_EQ(FindEvent(record.data(), 0x05, 0x00), 0);  // no bit compared: the first matches
  EXPECT_EQ(FindEvent(record.data(), 0x02, 0x02), 2);
  EXPECT_EQ(FindEvent(record.data(), 0x08, 0x08), -1);
  // Bits of Bit outside Mask do not count.
  EXPECT_EQ(FindEvent(record.data(), 0xF4, 0x04), 1);
}

TEST(FindEvent, SearchesOnlyTheCountedEvents) {
  EXPECT_EQ(FindEvent(Record({0x05, 0x05}, 0).data(), 0x05, 0x05), -1);
  EXPECT_EQ(FindEvent(Record({0x00, 0x00, 0x05}, 2).data(), 0x05, 0x05), -1);
  EXPECT_EQ(FindEvent(Record({}, 0).data(), 0x00, 0x00), -1);
}

TEST(FindEvent, CountIsLittleEndianSixteenBits) {
  std::vector<std::uint8_t> events(300, 0x00);
  events[299] = 0x80;
  EXPECT_EQ(FindEvent(Record(events, 300).data(), 0x80, 0x80), 299);
  // With only the low byte of 300 (44) the match would be out of reach.
  EXPECT_EQ(FindEvent(Record(events, 44).data(), 0x80, 0x80), -1);
}

}  // namespace
}  // namespace kepra::core
