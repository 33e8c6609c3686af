#include "midi/midi_result.h"

const char* midiResultText(int32_t code) {
  switch (code) {
    case MidiOk:
      return "success";
    case MidiDirectMusicFailed:
      return "DirectMusic not available";
    case MidiBadDeviceIndex:
      return "device index out of range";
    case MidiOutputUnavailable:
      return "output unavailable";
    case MidiInputUnavailable:
      return "input unavailable, or not opened";
    case MidiNoRack:
      return "no rack";
    case MidiInputStreamFailed:
      return "input set-up, start or stop failed";
    case MidiWorkerTerminated:
      return "input worker had to be terminated";
  }
  return "unknown result";
}
