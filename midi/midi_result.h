// The MIDI port's result codes: 0 for success, a small negative number for each kind
// of failure. The values are fixed: the window and stored logs rely on them, so a new
// meaning gets a new number. The gaps (-6, -8) are not used by the port.
#pragma once

#include <cstdint>

enum MidiResult : int32_t {
  MidiOk = 0,
  MidiDirectMusicFailed = -1,  // DirectMusic cannot be created or given a sound device
  MidiBadDeviceIndex = -2,     // a strict open asked for a device that does not exist
  MidiOutputUnavailable = -3,  // no usable output device, or it cannot be opened
  MidiInputUnavailable = -4,   // no input device or port, it cannot be opened, or none is open
  MidiNoRack = -5,             // input was asked for without a rack to receive it
  MidiInputStreamFailed = -7,  // the input's buffer or events cannot be set up, or it
                               // cannot be started or stopped
  MidiWorkerTerminated = -9,   // the input worker did not end in time and was terminated
};

// A short English text for a code ("unknown result" for a value not listed).
const char* midiResultText(int32_t code);
