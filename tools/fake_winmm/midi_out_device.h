// A virtual MIDI output (hardware port or software synthesizer) that logs every message it
// is handed. Long messages complete at once.
#pragma once

#include "client_notify.h"
#include "device_log.h"
#include "fake_config.h"

#include <atomic>

namespace fake_winmm {

class MidiOutDevice {
 public:
  MidiOutDevice(OutputKind kind, const std::string& logName);
  ~MidiOutDevice();
  MidiOutDevice(const MidiOutDevice&) = delete;
  MidiOutDevice& operator=(const MidiOutDevice&) = delete;

  void capabilities(MIDIOUTCAPSW& caps) const;

  MMRESULT open(UINT device, const ClientCallback& client, DWORD flags);
  MMRESULT close();
  MMRESULT shortMessage(DWORD word);
  MMRESULT prepare(MIDIHDR* header, UINT size);
  MMRESULT unprepare(MIDIHDR* header, UINT size);
  MMRESULT longMessage(MIDIHDR* header, UINT size);
  MMRESULT reset();
  bool isOpen() const { return open_; }
  // Pulled out: every call on an open handle but midiOutClose answers
  // MMSYSERR_NODRIVER until the client closes it.
  // Both answer whether anything changed.
  bool unplug();
  bool replug();
  bool present() const { return present_; }
  HMIDIOUT handle() { return reinterpret_cast<HMIDIOUT>(this); }

 private:
  OutputKind kind_;
  DeviceLog log_;
  CRITICAL_SECTION lock_;
  bool gone();

  bool open_ = false;
  bool orphaned_ = false;
  std::atomic<bool> present_{true};
  ClientCallback client_;
};

}  // namespace fake_winmm
