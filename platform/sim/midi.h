// Simulated winmm MIDI: input and output devices that tests list, drive and watch.
// Input callbacks run on the thread of the test call that causes them, never while
// the simulation holds its own lock, so a callback may call back into winmm.
#pragma once

#include "platform/sim/base.h"
#include "platform/sim/mmtimer.h"

#include <cstdint>
#include <string>
#include <vector>

typedef struct HMIDIIN__* HMIDIIN;
typedef struct HMIDIOUT__* HMIDIOUT;
typedef HMIDIIN* LPHMIDIIN;
typedef HMIDIOUT* LPHMIDIOUT;
typedef UINT MMVERSION;

#define MAXPNAMELEN 32

#define MMSYSERR_BADDEVICEID 2u
#define MMSYSERR_ALLOCATED 4u
#define MMSYSERR_INVALHANDLE 5u
#define MMSYSERR_NODRIVER 6u
#define MMSYSERR_NOMEM 7u
#define MMSYSERR_INVALFLAG 10u
#define MMSYSERR_INVALPARAM 11u
#define MIDIERR_UNPREPARED 64u
#define MIDIERR_STILLPLAYING 65u
#define MIDIERR_NOTREADY 67u
#define MIDIERR_NODEVICE 68u

#define CALLBACK_TYPEMASK 0x00070000u
#define CALLBACK_NULL 0x00000000u
#define CALLBACK_WINDOW 0x00010000u
#define CALLBACK_THREAD 0x00020000u
#define CALLBACK_FUNCTION 0x00030000u
#define CALLBACK_EVENT 0x00050000u
#define MIDI_IO_STATUS 0x00000020u
#define MIDI_MAPPER (static_cast<UINT>(-1))

#define MIM_OPEN 0x3C1u
#define MIM_CLOSE 0x3C2u
#define MIM_DATA 0x3C3u
#define MIM_LONGDATA 0x3C4u
#define MIM_ERROR 0x3C5u
#define MIM_LONGERROR 0x3C6u
#define MIM_MOREDATA 0x3CCu
#define MOM_OPEN 0x3C7u
#define MOM_CLOSE 0x3C8u
#define MOM_DONE 0x3C9u

#define MOD_MIDIPORT 1
#define MOD_SYNTH 2
#define MOD_SQSYNTH 3
#define MOD_FMSYNTH 4
#define MOD_MAPPER 5
#define MOD_WAVETABLE 6
#define MOD_SWSYNTH 7

#define MHDR_DONE 0x00000001u
#define MHDR_PREPARED 0x00000002u
#define MHDR_INQUEUE 0x00000004u
#define MHDR_ISSTRM 0x00000008u

// The 64-bit Windows layout: 120 bytes.
typedef struct midihdr_tag {
  LPSTR lpData;
  DWORD dwBufferLength;
  DWORD dwBytesRecorded;
  DWORD_PTR dwUser;
  DWORD dwFlags;
  struct midihdr_tag* lpNext;
  DWORD_PTR reserved;
  DWORD dwOffset;
  DWORD_PTR dwReserved[8];
} MIDIHDR, *PMIDIHDR, *LPMIDIHDR;

typedef struct tagMIDIINCAPSA {
  WORD wMid;
  WORD wPid;
  MMVERSION vDriverVersion;
  CHAR szPname[MAXPNAMELEN];
  DWORD dwSupport;
} MIDIINCAPSA, *LPMIDIINCAPSA;

typedef struct tagMIDIOUTCAPSA {
  WORD wMid;
  WORD wPid;
  MMVERSION vDriverVersion;
  CHAR szPname[MAXPNAMELEN];
  WORD wTechnology;
  WORD wVoices;
  WORD wNotes;
  WORD wChannelMask;
  DWORD dwSupport;
} MIDIOUTCAPSA, *LPMIDIOUTCAPSA;

static_assert(sizeof(MIDIHDR) == 120, "MIDIHDR keeps the 64-bit Windows layout");
static_assert(sizeof(MIDIINCAPSA) == 44, "MIDIINCAPSA keeps the Windows layout");
static_assert(sizeof(MIDIOUTCAPSA) == 52, "MIDIOUTCAPSA keeps the Windows layout");

typedef void(CALLBACK* LPMIDICALLBACK)(HMIDIIN handle, UINT message, DWORD_PTR instance,
                                       DWORD_PTR param1, DWORD_PTR param2);

UINT midiInGetNumDevs();
MMRESULT midiInGetDevCapsA(UINT_PTR deviceId, LPMIDIINCAPSA caps, UINT size);
MMRESULT midiInOpen(LPHMIDIIN handle, UINT deviceId, DWORD_PTR callback, DWORD_PTR instance,
                    DWORD flags);
MMRESULT midiInClose(HMIDIIN handle);
MMRESULT midiInStart(HMIDIIN handle);
MMRESULT midiInStop(HMIDIIN handle);
MMRESULT midiInReset(HMIDIIN handle);
MMRESULT midiInPrepareHeader(HMIDIIN handle, LPMIDIHDR header, UINT size);
MMRESULT midiInUnprepareHeader(HMIDIIN handle, LPMIDIHDR header, UINT size);
MMRESULT midiInAddBuffer(HMIDIIN handle, LPMIDIHDR header, UINT size);
MMRESULT midiInGetID(HMIDIIN handle, LPUINT deviceId);

UINT midiOutGetNumDevs();
MMRESULT midiOutGetDevCapsA(UINT_PTR deviceId, LPMIDIOUTCAPSA caps, UINT size);
MMRESULT midiOutOpen(LPHMIDIOUT handle, UINT deviceId, DWORD_PTR callback, DWORD_PTR instance,
                     DWORD flags);
MMRESULT midiOutClose(HMIDIOUT handle);
MMRESULT midiOutReset(HMIDIOUT handle);
MMRESULT midiOutShortMsg(HMIDIOUT handle, DWORD message);
MMRESULT midiOutLongMsg(HMIDIOUT handle, LPMIDIHDR header, UINT size);
MMRESULT midiOutPrepareHeader(HMIDIOUT handle, LPMIDIHDR header, UINT size);
MMRESULT midiOutUnprepareHeader(HMIDIOUT handle, LPMIDIHDR header, UINT size);
MMRESULT midiOutGetID(HMIDIOUT handle, LPUINT deviceId);

namespace sim {

struct MidiInDevice {
  std::string name;
};
struct MidiOutDevice {
  std::string name;
  WORD technology = MOD_MIDIPORT;
};

// The installed devices; none until a test sets them. Changing them closes nothing.
void setMidiInDevices(std::vector<MidiInDevice> devices);
void setMidiOutDevices(std::vector<MidiOutDevice> devices);

// Every winmm MIDI call, for failure injection and counting.
enum class MidiCall {
  InGetDevCaps,
  InOpen,
  InClose,
  InStart,
  InStop,
  InReset,
  InPrepareHeader,
  InUnprepareHeader,
  InAddBuffer,
  InGetID,
  OutGetDevCaps,
  OutOpen,
  OutClose,
  OutReset,
  OutShortMsg,
  OutLongMsg,
  OutPrepareHeader,
  OutUnprepareHeader,
  OutGetID,
  Count
};

// The next `count` calls of `call` answer `result` and do nothing else. With
// MIDIERR_STILLPLAYING this is a driver that is still busy for that many calls.
void failMidiCall(MidiCall call, int count = 1, MMRESULT result = MMSYSERR_ERROR);
int midiCallCount(MidiCall call);

// The flags and device of the last successful midiInOpen / midiOutOpen.
DWORD lastMidiInOpenFlags();
UINT lastMidiInOpenDevice();
UINT lastMidiOutOpenDevice();
bool midiInIsOpen();
bool midiInIsStarted();
bool midiOutIsOpen();

// Input. Each fires the callback of the open input on the calling thread and
// answers false when there is no open input with a function callback.
bool midiInFire(UINT message, DWORD_PTR param1, DWORD_PTR param2 = 0);
// MIM_DATA with the packed message, only while the input is started.
bool midiInSendShort(DWORD message);
// Fills the oldest queued buffer with the bytes (at most its length) and hands it
// back with MIM_LONGDATA; false when the input is not started or no buffer is queued.
bool midiInSendSysex(const uint8_t* bytes, DWORD count);
// Hands back the oldest queued buffer with the given message and byte count as
// reported, whatever its length: lets a test play a misbehaving driver.
bool midiInReturnBuffer(UINT message, DWORD bytesRecorded);
int midiInQueuedBufferCount();
// A driver that hands buffers back only some time after midiInReset has returned:
// while set, a reset keeps the queued buffers (still in the queue) until
// midiInReturnLateBuffers hands them back; that answers how many it returned.
void setMidiInResetReturnsLate(bool late);
int midiInReturnLateBuffers();

// A device pulled out while the program runs: it leaves the list (the devices after
// it move down one place), every open handle on it hands its queued buffers back,
// an input's callback gets MIM_CLOSE, and every later call on such a handle fails
// with MMSYSERR_NODRIVER (midiInClose and midiOutClose still free it). False when
// there is no device at `index`.
bool unplugMidiIn(size_t index);
bool unplugMidiOut(size_t index);
// A device plugged in at `index` (at most the device count); later devices move up.
bool plugMidiIn(size_t index, MidiInDevice device);
bool plugMidiOut(size_t index, MidiOutDevice device);

// Output. A long message stays with the driver for this many midiOutUnprepareHeader
// calls (answered MIDIERR_STILLPLAYING) before it is done; 0 by default.
void setMidiOutLongMsgPolls(int polls);
std::vector<DWORD> sentShortMessages();
std::vector<std::vector<uint8_t>> sentLongMessages();

// Headers prepared on a device and not unprepared since: memory a driver may still
// write to. Reading each one's flags lets a sanitizer catch a header freed under the
// driver. Headers left prepared by earlier tests are not counted.
int midiHeadersHeldByDrivers();

// Closes every handle and restores the defaults: no devices, no failures, empty logs.
void resetMidi();

}  // namespace sim
