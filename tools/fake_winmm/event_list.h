// The timed list of MIDI input that the virtual input device plays.
//
// One event per line, '#' starts a comment:
//   <ms> <hex bytes>                 a short message (1 to 3 bytes), e.g. "500 90 45 64"
//   <ms> <hex bytes F0 ... F7>       system exclusive, as given
//   <ms> sysex <length>              system exclusive of <length> bytes: F0 7D, then the
//                                    pattern 00 01 .. 7F 00 .., then F7
//   <ms> moredata <hex bytes>        a short message reported as MIM_MOREDATA (input backlog)
// A system-exclusive line may end in "chunk <n>": the driver then fills at most n bytes
// into each buffer; otherwise every buffer is filled to its length. <ms> counts from
// midiInStart (or from the trigger file's appearance).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fake_winmm {

struct MidiEvent {
  enum class Kind { Short, Sysex, MoreData };
  uint32_t atMs = 0;
  Kind kind = Kind::Short;
  std::vector<uint8_t> bytes;
  uint32_t chunk = 0;  // 0: fill whole buffers
};

// Parses the whole text; on a malformed line returns false with the line number and the
// reason in `error`. Events come out ordered by time (stable for equal times).
bool parseEventList(const std::string& text, std::vector<MidiEvent>& events, std::string& error);

}  // namespace fake_winmm
