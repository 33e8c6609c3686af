// The event lists are written by hand in the end-to-end tests; a list read wrongly would
// play other MIDI than the test asserts on, so malformed lines must be refused by line.
#include "event_list.h"

#include <gtest/gtest.h>

using fake_winmm::MidiEvent;
using fake_winmm::parseEventList;

TEST(MidiEventList, ShortMessagesSystemExclusiveAndBacklogNotices) {
  std::vector<MidiEvent> events;
  std::string error;
  ASSERT_TRUE(
      parseEventList("# comment\n"
                     "500 90 45 64  # note on\n"
                     "\n"
                     "600 c0 05\r\n"
                     "700 F0 01 02 F7 chunk 2\n"
                     "800 moredata 90 40 40\n",
                     events, error))
      << error;
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].atMs, 500u);
  EXPECT_EQ(events[0].kind, MidiEvent::Kind::Short);
  EXPECT_EQ(events[0].bytes, (std::vector<uint8_t>{0x90, 0x45, 0x64}));
  EXPECT_EQ(events[1].bytes, (std::vector<uint8_t>{0xC0, 0x05}));
  EXPECT_EQ(events[2].kind, MidiEvent::Kind::Sysex);
  EXPECT_EQ(events[2].chunk, 2u);
  EXPECT_EQ(events[2].bytes, (std::vector<uint8_t>{0xF0, 0x01, 0x02, 0xF7}));
  EXPECT_EQ(events[3].kind, MidiEvent::Kind::MoreData);
}

TEST(MidiEventList, GeneratedSysexHasTheAskedLengthAndFraming) {
  std::vector<MidiEvent> events;
  std::string error;
  ASSERT_TRUE(parseEventList("10 sysex 5000\n20 sysex 3\n", events, error)) << error;
  ASSERT_EQ(events[0].bytes.size(), 5000u);
  EXPECT_EQ(events[0].bytes.front(), 0xF0);
  EXPECT_EQ(events[0].bytes.back(), 0xF7);
  for (size_t i = 1; i + 1 < events[0].bytes.size(); ++i) ASSERT_LT(events[0].bytes[i], 0x80) << i;
  EXPECT_EQ(events[1].bytes, (std::vector<uint8_t>{0xF0, 0x7D, 0xF7}));
}

TEST(MidiEventList, EventsPlayInTimeOrderKeepingTheOrderOfEqualTimes) {
  std::vector<MidiEvent> events;
  std::string error;
  ASSERT_TRUE(parseEventList("300 80 45 00\n100 90 45 64\n100 B0 40 7F\n", events, error));
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].bytes[0], 0x90);
  EXPECT_EQ(events[1].bytes[0], 0xB0);
  EXPECT_EQ(events[2].bytes[0], 0x80);
}

TEST(MidiEventList, MalformedLinesAreRefusedWithTheirNumber) {
  const char* bad[] = {"x 90 45 64",       "10",         "10 90 45 64 12",   "10 1FF",     "10 zz",
                       "10 90 45 chunk 2", "10 sysex 2", "10 F0 F7 chunk 0", "10 moredata"};
  for (const char* line : bad) {
    std::vector<MidiEvent> events;
    std::string error;
    EXPECT_FALSE(parseEventList(std::string("0 90 45 64\n") + line + "\n", events, error)) << line;
    EXPECT_EQ(error.rfind("line 2:", 0), 0u) << line << " -> " << error;
    EXPECT_TRUE(events.empty()) << line;
  }
}
