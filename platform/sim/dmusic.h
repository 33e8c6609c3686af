// Simulated DirectMusic: the IDirectMusic8 object with its port list, input ports
// that deliver events a test queues, and the event buffers they are read into.
// Only the methods the MIDI port calls are declared.
#pragma once

#include "platform/sim/base.h"
#include "platform/sim/com.h"

#include <cstdint>
#include <string>
#include <vector>

typedef LONGLONG REFERENCE_TIME;
typedef REFERENCE_TIME* LPREFERENCE_TIME;

#define DMUS_MAX_DESCRIPTION 0x80
#define DMUS_PC_INPUTCLASS 0x0
#define DMUS_PC_OUTPUTCLASS 0x1
#define DMUS_PC_EXTERNAL 0x00000002
#define DMUS_PORT_WINMM_DRIVER 0x0

#define DMUS_E_DSOUND_NOT_SET (static_cast<HRESULT>(0x88780139u))
#define DMUS_E_BUFFER_FULL (static_cast<HRESULT>(0x88780184u))
#define DMUS_E_NOT_INIT (static_cast<HRESULT>(0x88780162u))

typedef struct _DMUS_PORTCAPS {
  DWORD dwSize;
  DWORD dwFlags;
  GUID guidPort;
  DWORD dwClass;
  DWORD dwType;
  DWORD dwMemorySize;
  DWORD dwMaxChannelGroups;
  DWORD dwMaxVoices;
  DWORD dwMaxAudioChannels;
  DWORD dwEffectFlags;
  WCHAR wszDescription[DMUS_MAX_DESCRIPTION];
} DMUS_PORTCAPS, *LPDMUS_PORTCAPS;

typedef struct _DMUS_PORTPARAMS8 {
  DWORD dwSize;
  DWORD dwValidParams;
  DWORD dwVoices;
  DWORD dwChannelGroups;
  DWORD dwAudioChannels;
  DWORD dwSampleRate;
  DWORD dwEffectFlags;
  BOOL fShare;
  DWORD dwFeatures;
} DMUS_PORTPARAMS8, *LPDMUS_PORTPARAMS8, DMUS_PORTPARAMS, *LPDMUS_PORTPARAMS;

typedef struct _DMUS_BUFFERDESC {
  DWORD dwSize;
  DWORD dwFlags;
  GUID guidBufferFormat;
  DWORD cbBuffer;
} DMUS_BUFFERDESC, *LPDMUS_BUFFERDESC;

static_assert(sizeof(DMUS_PORTPARAMS8) == 36, "DMUS_PORTPARAMS8 keeps the Windows layout");
static_assert(sizeof(DMUS_BUFFERDESC) == 28, "DMUS_BUFFERDESC keeps the Windows layout");

struct IDirectSound;

struct IDirectMusicBuffer : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Flush() = 0;
  virtual HRESULT STDMETHODCALLTYPE PackUnstructured(REFERENCE_TIME time, DWORD channelGroup,
                                                     DWORD length, LPBYTE data) = 0;
  virtual HRESULT STDMETHODCALLTYPE ResetReadPtr() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNextEvent(LPREFERENCE_TIME time, LPDWORD channelGroup,
                                                 LPDWORD length, LPBYTE* data) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetUsedBytes(LPDWORD used) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMaxBytes(LPDWORD max) = 0;
};
typedef IDirectMusicBuffer IDirectMusicBuffer8;
typedef IDirectMusicBuffer* LPDIRECTMUSICBUFFER;

struct IDirectMusicPort : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetReadNotificationHandle(HANDLE event) = 0;
  virtual HRESULT STDMETHODCALLTYPE Read(LPDIRECTMUSICBUFFER buffer) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetCaps(LPDMUS_PORTCAPS caps) = 0;
  virtual HRESULT STDMETHODCALLTYPE Activate(BOOL active) = 0;
};
typedef IDirectMusicPort IDirectMusicPort8;
typedef IDirectMusicPort* LPDIRECTMUSICPORT;

struct IDirectMusic : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE EnumPort(DWORD index, LPDMUS_PORTCAPS caps) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateMusicBuffer(LPDMUS_BUFFERDESC desc,
                                                      LPDIRECTMUSICBUFFER* buffer,
                                                      LPUNKNOWN outer) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreatePort(REFCLSID port, LPDMUS_PORTPARAMS params,
                                               LPDIRECTMUSICPORT* created, LPUNKNOWN outer) = 0;
  virtual HRESULT STDMETHODCALLTYPE Activate(BOOL enable) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetDirectSound(IDirectSound* directSound, HWND window) = 0;
};
struct IDirectMusic8 : IDirectMusic {};

extern const CLSID CLSID_DirectMusic;
extern const IID IID_IDirectMusic;
extern const IID IID_IDirectMusic8;
extern const IID IID_IDirectMusicPort;
extern const IID IID_IDirectMusicBuffer;

// Port descriptions are UTF-16; the program's narrow text is the ANSI code page.
// The simulated ANSI code page is Latin-1 (as MultiByteToWideChar's): a character
// outside it becomes `defaultChar` ('?' when null), one per character, also for a
// surrogate pair. `wideChars` -1 converts up to and with the terminating zero.
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideChars, LPSTR text,
                        int textBytes, LPCSTR defaultChar, LPBOOL usedDefault);

namespace sim {

struct DirectMusicPortInfo {
  GUID guid{};
  DWORD portClass = DMUS_PC_INPUTCLASS;
  // UTF-8; the port reports it as UTF-16 code units in wszDescription.
  std::string description;
};

// Registers CLSID_DirectMusic with the simulated COM (again after sim::resetCom).
void installDirectMusic();
void setDirectMusicPorts(std::vector<DirectMusicPortInfo> ports);

enum class DirectMusicCall {
  SetDirectSound,
  EnumPort,
  CreatePort,
  CreateMusicBuffer,
  PortActivate,
  PortRead,
  PortGetCaps,
  SetReadNotificationHandle,
  Count
};
// The next `count` calls of `call` answer `result` and do nothing else.
void failDirectMusicCall(DirectMusicCall call, int count = 1, HRESULT result = E_FAIL);
int directMusicCallCount(DirectMusicCall call);

// Input on the port created last. Queued events move into the reader's buffer at
// its next Read; queuing signals the read notification handle while the port is active.
void queueDirectMusicEvent(const std::vector<uint8_t>& bytes);
int queuedDirectMusicEventCount();
bool directMusicPortActive();
HANDLE directMusicReadNotification();
// The GUID CreatePort was asked for last, and its parameters' dwSize.
GUID lastCreatedPortGuid();

// Misbehaving implementations, for tests of the reader:
// GetUsedBytes answers this value instead of the truth (0: the truth).
void reportDirectMusicUsedBytes(DWORD used);
// GetNextEvent answers S_OK with a zero length instead of S_FALSE once the
// buffer is exhausted, forever.
void zeroLengthEventsForever(bool on);
// The next `count` Reads that find nothing waiting answer S_OK with an empty buffer
// instead of S_FALSE.
void emptyReadsAnswerOk(int count);
// Read blocks (as a termination point) until released: a reader that hangs.
void blockDirectMusicRead(bool on);
int directMusicBlockedReads();

// Releases the simulation's own references and restores every default.
// Interfaces the code under test still holds stay valid.
void resetDirectMusic();
// Live objects (DirectMusic, ports, buffers): 0 once every reference is released.
int liveDirectMusicObjects();

}  // namespace sim
