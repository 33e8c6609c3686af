// Simulated DirectSound full duplex: one capture ring and one render ring on the
// default devices, whose capture and play positions advance on a clock that tests
// drive (or that runs in real time). Notification events are signalled as the play
// position passes their offsets, or, as Wine's mixer does, in bursts after a whole
// period's stretch has been mixed. Every call can be made to fail, and the arguments
// of creation and of SetNotificationPositions are recorded.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/sim/base.h"
#include "platform/sim/com.h"

#ifndef WAVE_FORMAT_PCM
#define WAVE_FORMAT_PCM 1
#endif

typedef struct tWAVEFORMATEX {
  WORD wFormatTag;
  WORD nChannels;
  DWORD nSamplesPerSec;
  DWORD nAvgBytesPerSec;
  WORD nBlockAlign;
  WORD wBitsPerSample;
  WORD cbSize;
} WAVEFORMATEX, *LPWAVEFORMATEX;
typedef const WAVEFORMATEX* LPCWAVEFORMATEX;

typedef const GUID* LPCGUID;

typedef struct _DSBUFFERDESC {
  DWORD dwSize;
  DWORD dwFlags;
  DWORD dwBufferBytes;
  DWORD dwReserved;
  LPWAVEFORMATEX lpwfxFormat;
  GUID guid3DAlgorithm;
} DSBUFFERDESC, *LPDSBUFFERDESC;
typedef const DSBUFFERDESC* LPCDSBUFFERDESC;

typedef struct _DSCEFFECTDESC {
  DWORD dwSize;
  DWORD dwFlags;
  GUID guidDSCFXClass;
  GUID guidDSCFXInstance;
  DWORD dwReserved1;
  DWORD dwReserved2;
} DSCEFFECTDESC, *LPDSCEFFECTDESC;

typedef struct _DSCBUFFERDESC {
  DWORD dwSize;
  DWORD dwFlags;
  DWORD dwBufferBytes;
  DWORD dwReserved;
  LPWAVEFORMATEX lpwfxFormat;
  DWORD dwFXCount;
  LPDSCEFFECTDESC lpDSCFXDesc;
} DSCBUFFERDESC, *LPDSCBUFFERDESC;
typedef const DSCBUFFERDESC* LPCDSCBUFFERDESC;

typedef struct _DSBPOSITIONNOTIFY {
  DWORD dwOffset;
  HANDLE hEventNotify;
} DSBPOSITIONNOTIFY, *LPDSBPOSITIONNOTIFY;
typedef const DSBPOSITIONNOTIFY* LPCDSBPOSITIONNOTIFY;

#define DS_OK S_OK
#define DSERR_ALLOCATED (static_cast<HRESULT>(0x8878000Au))
#define DSERR_INVALIDPARAM E_INVALIDARG
#define DSERR_INVALIDCALL (static_cast<HRESULT>(0x88780032u))
#define DSERR_BUFFERLOST (static_cast<HRESULT>(0x88780096u))
#define DSERR_NODRIVER (static_cast<HRESULT>(0x88780078u))
#define DSERR_GENERIC E_FAIL

#define DSSCL_NORMAL 1
#define DSSCL_PRIORITY 2

#define DSBCAPS_LOCSOFTWARE 0x00000008u
#define DSBCAPS_CTRLPOSITIONNOTIFY 0x00000100u
#define DSBCAPS_GLOBALFOCUS 0x00008000u
#define DSBCAPS_GETCURRENTPOSITION2 0x00010000u

#define DSBSTATUS_PLAYING 0x00000001u
#define DSBSTATUS_BUFFERLOST 0x00000002u
#define DSBSTATUS_LOOPING 0x00000004u
#define DSCBSTATUS_CAPTURING 0x00000001u
#define DSCBSTATUS_LOOPING 0x00000002u

#define DSBLOCK_FROMWRITECURSOR 0x00000001u
#define DSBLOCK_ENTIREBUFFER 0x00000002u
#define DSCBLOCK_ENTIREBUFFER 0x00000001u
#define DSBPLAY_LOOPING 0x00000001u
#define DSCBSTART_LOOPING 0x00000001u

extern const IID IID_IDirectSoundNotify;

struct IDirectSoundBuffer8 : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetCurrentPosition(LPDWORD playCursor, LPDWORD writeCursor) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetStatus(LPDWORD status) = 0;
  virtual HRESULT STDMETHODCALLTYPE Lock(DWORD offset, DWORD bytes, LPVOID* audio1, LPDWORD bytes1,
                                         LPVOID* audio2, LPDWORD bytes2, DWORD flags) = 0;
  virtual HRESULT STDMETHODCALLTYPE Play(DWORD reserved1, DWORD priority, DWORD flags) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetCurrentPosition(DWORD position) = 0;
  virtual HRESULT STDMETHODCALLTYPE Stop() = 0;
  virtual HRESULT STDMETHODCALLTYPE Unlock(LPVOID audio1, DWORD bytes1, LPVOID audio2,
                                           DWORD bytes2) = 0;
  virtual HRESULT STDMETHODCALLTYPE Restore() = 0;
};
typedef IDirectSoundBuffer8* LPDIRECTSOUNDBUFFER8;

struct IDirectSoundCaptureBuffer8 : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetCurrentPosition(LPDWORD capturePosition,
                                                       LPDWORD readPosition) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetStatus(LPDWORD status) = 0;
  virtual HRESULT STDMETHODCALLTYPE Lock(DWORD offset, DWORD bytes, LPVOID* audio1, LPDWORD bytes1,
                                         LPVOID* audio2, LPDWORD bytes2, DWORD flags) = 0;
  virtual HRESULT STDMETHODCALLTYPE Start(DWORD flags) = 0;
  virtual HRESULT STDMETHODCALLTYPE Stop() = 0;
  virtual HRESULT STDMETHODCALLTYPE Unlock(LPVOID audio1, DWORD bytes1, LPVOID audio2,
                                           DWORD bytes2) = 0;
};
typedef IDirectSoundCaptureBuffer8* LPDIRECTSOUNDCAPTUREBUFFER8;

struct IDirectSoundNotify : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetNotificationPositions(DWORD count,
                                                             LPCDSBPOSITIONNOTIFY positions) = 0;
};
typedef IDirectSoundNotify* LPDIRECTSOUNDNOTIFY;

struct IDirectSoundFullDuplex : IUnknown {};
typedef IDirectSoundFullDuplex* LPDIRECTSOUNDFULLDUPLEX;

typedef BOOL(CALLBACK* LPDSENUMCALLBACKA)(LPGUID guid, LPCSTR description, LPCSTR module,
                                          LPVOID context);

HRESULT DirectSoundFullDuplexCreate(LPCGUID captureDevice, LPCGUID renderDevice,
                                    LPCDSCBUFFERDESC captureDesc, LPCDSBUFFERDESC renderDesc,
                                    HWND window, DWORD level, LPDIRECTSOUNDFULLDUPLEX* duplex,
                                    LPDIRECTSOUNDCAPTUREBUFFER8* captureBuffer,
                                    LPDIRECTSOUNDBUFFER8* renderBuffer, LPUNKNOWN outer);
typedef BOOL(CALLBACK* LPDSENUMCALLBACKW)(LPGUID guid, LPCWSTR description, LPCWSTR module,
                                          LPVOID context);

HRESULT DirectSoundEnumerateA(LPDSENUMCALLBACKA callback, LPVOID context);
HRESULT DirectSoundCaptureEnumerateA(LPDSENUMCALLBACKA callback, LPVOID context);
// The descriptions decoded from UTF-8 (the A calls pass the bytes as they are).
HRESULT DirectSoundEnumerateW(LPDSENUMCALLBACKW callback, LPVOID context);
HRESULT DirectSoundCaptureEnumerateW(LPDSENUMCALLBACKW callback, LPVOID context);

namespace sim {

// Calls that can be made to fail.
enum class DsoundCall {
  FullDuplexCreate,
  QueryNotify,
  SetNotificationPositions,
  GetStatus,
  Restore,
  RenderLock,
  CaptureLock,
  SetCurrentPosition,
  Play,
  CaptureStart,
  RenderStop,
  CaptureStop,
  CapturePosition,
  RenderPosition,
  EnumerateRender,
  EnumerateCapture,
};

// The next `count` calls of `call` fail with `result`.
void failDsound(DsoundCall call, int count = 1, HRESULT result = DSERR_GENERIC);

// What DirectSoundFullDuplexCreate was given (descriptions copied with their formats).
struct DsoundCreateCall {
  bool captureDeviceNull = false;
  bool renderDeviceNull = false;
  DSCBUFFERDESC captureDesc{};
  WAVEFORMATEX captureFormat{};
  DSBUFFERDESC renderDesc{};
  WAVEFORMATEX renderFormat{};
  HWND window = nullptr;
  DWORD level = 0;
  bool outerNull = false;
};
int dsoundCreateCount();
DsoundCreateCall lastDsoundCreate();
// The positions given to the render ring's notification interface.
std::vector<DSBPOSITIONNOTIFY> dsoundNotificationPositions();

// Advances the device clock by `frames`: the render ring's play position moves on
// while it plays (signalling the notification positions it passes and recording what
// it plays), the capture ring fills while it captures.
void advanceDsound(DWORD frames);
// Wine's mixer, for one audio period: it mixes `frames` of the render ring at once (the
// play position jumps to the end of that stretch and the stretch counts as played), and
// only then signals, one by one in ascending order with the wrap, every notification
// offset inside the stretch. `between` runs after each signal but the last, so a test can
// let the worker run while the rest of the burst is still to come. The capture ring fills
// by the same stretch.
void mixDsoundStretch(DWORD frames, const std::function<void()>& between = {});
// The write cursor that the render ring's GetCurrentPosition reports runs this many bytes
// ahead of the play cursor (Wine: 10 ms).
void setDsoundWriteLead(DWORD bytes);
// Advances the capture ring alone: a capture clock running ahead of the render clock.
void advanceDsoundCapture(DWORD frames);
// While held, the render clock runs without the capture ring filling: a capture period
// handed over late (advanceDsoundCapture delivers it).
void holdDsoundCapture(bool on);
// While set, a notification is signalled when the play position reaches its offset
// (it then stands on it), not only once it has moved past it.
void setDsoundSignalAtOffset(bool on);
// Runs the clock in real time on a thread of its own until switched off.
void setDsoundRealTime(bool on);
// The real-time clock moves the render ring at `percent` of the pace, the capture ring
// at full pace (Wine's mixer with its sink suspended: about 67). Set before the clock runs.
void setDsoundRenderPace(int percent);

// Captured sample n (counting interleaved samples since the device was created).
void setDsoundCaptureSource(std::function<int16_t(uint64_t n)> source);
// The capture position runs this many bytes ahead of the read position.
void setDsoundCaptureLead(DWORD bytes);

// Everything the render ring has played since creation, as interleaved samples.
std::vector<int16_t> dsoundPlayed();
// The render ring's present content.
std::vector<uint8_t> dsoundRenderRing();
DWORD dsoundPlayPosition();
DWORD dsoundCaptureReadPosition();
bool dsoundRenderPlaying();
bool dsoundCapturing();
int dsoundRenderLockCount();
int dsoundCaptureLockCount();

// The render buffer reports itself lost until restored.
void loseDsoundRenderBuffer();
// The device goes away: the present stream never plays again. Wine's way (calls still
// answer, the clock just no longer moves it, nothing is signalled) or Windows' (the
// stream's calls fail with `callsFail`). New full-duplex objects cannot be created until
// the device comes back; the old stream stays dead then, a new one plays.
void removeDsoundDevice(HRESULT callsFail = S_OK);
// While set, the render ring plays on but its notifications are no longer signalled.
void silenceDsoundNotifications(bool on);
void returnDsoundDevice();
// While set, render Lock blocks (a stuck driver); TerminateThread still ends the caller.
void blockDsoundRenderLock(bool block);
// Only a render Lock at this offset blocks; blockDsoundRenderLock(false) ends it.
void blockDsoundRenderLockAt(DWORD offset);
// True while a caller waits inside a blocked render Lock.
bool dsoundRenderLockBlocked();

// Descriptions of the default devices; the enumerations also list one device each.
void setDsoundDescriptions(const std::string& capture, const std::string& render);

// COM references held on simulated DirectSound objects (0 when all are released).
int liveDsoundReferences();

void resetDsound();

}  // namespace sim
