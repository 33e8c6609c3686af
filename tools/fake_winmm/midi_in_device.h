// The virtual MIDI input: plays the event list from its own thread through the client's
// callback, short messages as MIM_DATA and system exclusive in the client's buffers as
// MIM_LONGDATA, as a hardware driver does.
#pragma once

#include "client_notify.h"
#include "device_log.h"
#include "event_list.h"

#include <atomic>
#include <deque>
#include <vector>

namespace fake_winmm {

class MidiInDevice {
 public:
  // Input 0 plays the configured event list; input n > 0 plays midi_in<n+1>_events.txt.
  explicit MidiInDevice(int index = 0);
  ~MidiInDevice();
  MidiInDevice(const MidiInDevice&) = delete;
  MidiInDevice& operator=(const MidiInDevice&) = delete;

  void capabilities(MIDIINCAPSW& caps) const;
  int index() const { return index_; }

  MMRESULT open(const ClientCallback& client, DWORD flags);
  MMRESULT close();
  MMRESULT prepare(MIDIHDR* header, UINT size);
  MMRESULT unprepare(MIDIHDR* header, UINT size);
  MMRESULT addBuffer(MIDIHDR* header, UINT size);
  MMRESULT start();
  MMRESULT stop();
  MMRESULT reset();
  bool isOpen() const { return open_; }
  // Pulled out: queued buffers go back, an open client gets MIM_CLOSE, and every call
  // on its handle but midiInClose answers MMSYSERR_NODRIVER until the client closes it.
  // Both answer whether anything changed.
  bool unplug();
  bool replug();
  bool present() const { return present_; }
  HMIDIIN handle() { return reinterpret_cast<HMIDIIN>(this); }

 private:
  static DWORD WINAPI playerMain(void* self);
  void play();
  bool waitForTrigger();
  void deliver(const MidiEvent& event, DWORD timestamp);
  void deliverSysex(const MidiEvent& event, DWORD timestamp);
  MIDIHDR* takeBuffer();
  DWORD elapsedMs();
  void halt();
  bool gone();

  int index_;
  std::string eventsPath_;
  DeviceLog log_;
  // The performance counter read right before each short message's callback, written
  // after the callback returns so the file never delays a delivery.
  DeviceLog stamps_;
  CRITICAL_SECTION lock_;      // guards the fields below
  CRITICAL_SECTION delivery_;  // held while the client's callback runs on the player thread
  HANDLE wake_ = nullptr;
  HANDLE thread_ = nullptr;
  DWORD threadId_ = 0;
  bool open_ = false;
  bool orphaned_ = false;  // open, but the device is gone
  std::atomic<bool> present_{true};
  bool running_ = false;
  bool quit_ = false;
  bool triggered_ = false;
  ClientCallback client_;
  std::deque<MIDIHDR*> queue_;
  std::vector<MidiEvent> events_;
  size_t next_ = 0;
  long long startMs_ = 0;  // when the current run began (ms since load)
  DWORD playedMs_ = 0;     // playing time of earlier runs
};

}  // namespace fake_winmm
