// Settings of the test-only winmm: which MIDI devices exist and where their files live.
#pragma once

#include <string>
#include <vector>

namespace fake_winmm {

enum class OutputKind { Port, Synth, Mapper };

struct Config {
  std::string dir;          // folder of the event list and the logs, no trailing separator
  std::string eventsPath;   // event list that input device 0 plays
  std::string triggerPath;  // playback waits until this file exists; empty: play at once
  int inputCount = 1;
  static constexpr int kMaxInputs = 2;
  std::vector<OutputKind> outputs;
};

// Read once from the environment on first use:
//   FAKE_WINMM_DIR      folder for files (default: the folder of this DLL)
//   FAKE_WINMM_EVENTS   event list file, relative to the folder (default midi_in_events.txt)
//                       (input 0 also writes midi_in_stamps.log: the performance counter
//                       read right before each short message's callback)
//   FAKE_WINMM_TRIGGER  file name, relative to the folder; input plays once it exists
//   FAKE_WINMM_INPUTS   number of inputs, 0 to 2 (default 1); the second, "Virtual MIDI
//                       In 2", plays midi_in2_events.txt and logs to midi_in2.log
//   FAKE_WINMM_OUTPUTS  outputs in device order, comma separated: port, synth
//                       (default "synth,port": device 1 is the hardware port); "none"
const Config& config();

// A path inside the configured folder; absolute names are kept as they are.
std::string pathInDir(const std::string& name);

// Milliseconds since the DLL was loaded, for log lines.
long long millisSinceLoad();

}  // namespace fake_winmm
