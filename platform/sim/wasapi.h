// Simulated WASAPI: the MMDevice enumerator with a render and a capture endpoint (more
// can be added), their property stores (the friendly name) and audio clients whose
// device clock tests drive one period at a time. A render stream plays what was
// released into its buffer and signals its event once per period; a capture stream is
// handed one packet per period. Exclusive mode accepts the formats a test names, and
// refusals, misaligned buffer sizes, a missing capture endpoint and a device that goes
// away can be had on demand.
#pragma once

#include <string>
#include <vector>

#include "platform/sim/base.h"
#include "platform/sim/com.h"
#include "platform/sim/dsound.h"

typedef LONGLONG REFERENCE_TIME;
typedef unsigned short VARTYPE;

#ifndef WAVE_FORMAT_IEEE_FLOAT
#define WAVE_FORMAT_IEEE_FLOAT 3
#endif
#define WAVE_FORMAT_EXTENSIBLE 0xFFFE

typedef struct {
  WAVEFORMATEX Format;
  union {
    WORD wValidBitsPerSample;
    WORD wSamplesPerBlock;
    WORD wReserved;
  } Samples;
  DWORD dwChannelMask;
  GUID SubFormat;
} WAVEFORMATEXTENSIBLE, *PWAVEFORMATEXTENSIBLE;

#define SPEAKER_FRONT_LEFT 0x1u
#define SPEAKER_FRONT_RIGHT 0x2u
#define SPEAKER_FRONT_CENTER 0x4u
#define KSAUDIO_SPEAKER_MONO SPEAKER_FRONT_CENTER
#define KSAUDIO_SPEAKER_STEREO (SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT)

extern const GUID KSDATAFORMAT_SUBTYPE_PCM;
extern const GUID KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;

typedef struct _tagpropertykey {
  GUID fmtid;
  DWORD pid;
} PROPERTYKEY;
typedef const PROPERTYKEY& REFPROPERTYKEY;
extern const PROPERTYKEY PKEY_Device_FriendlyName;

#define VT_EMPTY 0
#define VT_LPWSTR 31
typedef struct tagPROPVARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LPWSTR pwszVal;
    ULONGLONG uhVal;
  };
} PROPVARIANT;
inline void PropVariantInit(PROPVARIANT* value) {
  std::memset(value, 0, sizeof(PROPVARIANT));
}
HRESULT PropVariantClear(PROPVARIANT* value);

LPVOID CoTaskMemAlloc(size_t bytes);
void CoTaskMemFree(LPVOID memory);

#define STGM_READ 0x00000000u

typedef enum { eRender = 0, eCapture = 1, eAll = 2 } EDataFlow;
typedef enum { eConsole = 0, eMultimedia = 1, eCommunications = 2 } ERole;

#define DEVICE_STATE_ACTIVE 0x1u
#define DEVICE_STATE_DISABLED 0x2u
#define DEVICE_STATE_NOTPRESENT 0x4u
#define DEVICE_STATE_UNPLUGGED 0x8u

typedef enum { AUDCLNT_SHAREMODE_SHARED = 0, AUDCLNT_SHAREMODE_EXCLUSIVE = 1 } AUDCLNT_SHAREMODE;

#define AUDCLNT_STREAMFLAGS_EVENTCALLBACK 0x00040000u
#define AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY 0x1u
#define AUDCLNT_BUFFERFLAGS_SILENT 0x2u
#define AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR 0x4u

#define AUDCLNT_ERR(n) (static_cast<HRESULT>(0x88890000u | (n)))
#define AUDCLNT_E_NOT_INITIALIZED AUDCLNT_ERR(0x001u)
#define AUDCLNT_E_ALREADY_INITIALIZED AUDCLNT_ERR(0x002u)
#define AUDCLNT_E_DEVICE_INVALIDATED AUDCLNT_ERR(0x004u)
#define AUDCLNT_E_NOT_STOPPED AUDCLNT_ERR(0x005u)
#define AUDCLNT_E_BUFFER_TOO_LARGE AUDCLNT_ERR(0x006u)
#define AUDCLNT_E_OUT_OF_ORDER AUDCLNT_ERR(0x007u)
#define AUDCLNT_E_UNSUPPORTED_FORMAT AUDCLNT_ERR(0x008u)
#define AUDCLNT_E_INVALID_SIZE AUDCLNT_ERR(0x009u)
#define AUDCLNT_E_DEVICE_IN_USE AUDCLNT_ERR(0x00Au)
#define AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED AUDCLNT_ERR(0x00Eu)
#define AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED AUDCLNT_ERR(0x019u)
#define AUDCLNT_S_BUFFER_EMPTY (static_cast<HRESULT>(0x08890001u))
#define E_NOTFOUND (static_cast<HRESULT>(0x80070490u))

extern const CLSID CLSID_MMDeviceEnumerator;
extern const IID IID_IMMDeviceEnumerator;
extern const IID IID_IAudioClient;
extern const IID IID_IAudioClient3;
extern const IID IID_IAudioRenderClient;
extern const IID IID_IAudioCaptureClient;
extern const IID IID_IAudioClock;
extern const IID IID_IMMNotificationClient;

struct IPropertyStore : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetValue(REFPROPERTYKEY key, PROPVARIANT* value) = 0;
};

struct IMMDevice : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD context, PROPVARIANT* parameters,
                                             void** object) = 0;
  virtual HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD access, IPropertyStore** store) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetId(LPWSTR* id) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetState(DWORD* state) = 0;
};

struct IMMDeviceCollection : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetCount(UINT* count) = 0;
  virtual HRESULT STDMETHODCALLTYPE Item(UINT index, IMMDevice** device) = 0;
};

struct IMMNotificationClient : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR id, DWORD state) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR id) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR id) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role,
                                                           LPCWSTR id) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR id, const PROPERTYKEY key) = 0;
};

struct IMMDeviceEnumerator : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow flow, DWORD stateMask,
                                                       IMMDeviceCollection** devices) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow flow, ERole role,
                                                            IMMDevice** device) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR id, IMMDevice** device) = 0;
  virtual HRESULT STDMETHODCALLTYPE
  RegisterEndpointNotificationCallback(IMMNotificationClient* client) = 0;
  virtual HRESULT STDMETHODCALLTYPE
  UnregisterEndpointNotificationCallback(IMMNotificationClient* client) = 0;
};

struct IAudioClient : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE mode, DWORD flags,
                                               REFERENCE_TIME bufferDuration,
                                               REFERENCE_TIME periodicity,
                                               const WAVEFORMATEX* format, LPCGUID session) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* frames) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME* latency) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32* frames) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE mode,
                                                      const WAVEFORMATEX* format,
                                                      WAVEFORMATEX** closest) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** format) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME* defaultPeriod,
                                                    REFERENCE_TIME* minimumPeriod) = 0;
  virtual HRESULT STDMETHODCALLTYPE Start() = 0;
  virtual HRESULT STDMETHODCALLTYPE Stop() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
  virtual HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetService(REFIID iid, void** service) = 0;
};

struct IAudioClient2 : IAudioClient {};

struct IAudioClient3 : IAudioClient2 {
  virtual HRESULT STDMETHODCALLTYPE GetSharedModeEnginePeriod(const WAVEFORMATEX* format,
                                                              UINT32* defaultFrames,
                                                              UINT32* fundamentalFrames,
                                                              UINT32* minimumFrames,
                                                              UINT32* maximumFrames) = 0;
  virtual HRESULT STDMETHODCALLTYPE InitializeSharedAudioStream(DWORD flags, UINT32 periodFrames,
                                                                const WAVEFORMATEX* format,
                                                                LPCGUID session) = 0;
};

struct IAudioRenderClient : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetBuffer(UINT32 frames, BYTE** data) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames, DWORD flags) = 0;
};

struct IAudioCaptureClient : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags,
                                              UINT64* devicePosition, UINT64* counterPosition) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) = 0;
};

// The render stream's clock: the position in frames played since the stream started
// (its frequency is the byte rate, as shared streams on Windows answer, so a position
// counts bytes), and the counter, in 100 ns units, at the tick that played the last one.
struct IAudioClock : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetFrequency(UINT64* frequency) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPosition(UINT64* position, UINT64* counterPosition) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetCharacteristics(DWORD* characteristics) = 0;
};

// MMCSS: the simulated task handle is the thread's registration; the task name is kept.
HANDLE AvSetMmThreadCharacteristicsW(LPCWSTR task, LPDWORD taskIndex);
BOOL AvRevertMmThreadCharacteristics(HANDLE task);

namespace sim {

// One sample format as a device takes it: container bits, valid bits, float or
// integer, and the rate (channels follow the endpoint's mix format).
struct WasapiFormat {
  int bits = 32;
  int validBits = 32;
  bool isFloat = true;
  DWORD rate = 48000;
  bool operator==(const WasapiFormat&) const = default;
};

// Calls that can be made to fail (the next `count` calls answer `result`).
enum class WasapiCall {
  CreateEnumerator,
  DefaultEndpoint,
  Activate,
  Initialize,
  InitializeShared,
  GetBuffer,
  Start,
};
void failWasapi(WasapiCall call, int count = 1, HRESULT result = E_FAIL);

// The default endpoints: "{render}" ("Speakers (Sim)") and "{capture}" ("Microphone
// (Sim)"), both 48000 Hz stereo float in shared mode. Another endpoint of `flow`:
void addWasapiEndpoint(EDataFlow flow, const std::wstring& id, const std::wstring& name);
// The mix format's rate and channels of the default endpoint of `flow`.
void setWasapiMixFormat(EDataFlow flow, DWORD rate, WORD channels);
// Without a capture endpoint there is no default one and none is listed.
void setWasapiCapturePresent(bool present);
// The capture endpoint answers every format with AUDCLNT_E_UNSUPPORTED_FORMAT.
void setWasapiCaptureRefusesFormat(bool refuses);
// What exclusive mode accepts on the render endpoint (default: 32-bit float at 48000).
void setWasapiExclusiveFormats(const std::vector<WasapiFormat>& formats);
// Every exclusive Initialize of the render endpoint answers `result` (S_OK: none).
void setWasapiExclusiveRefusal(HRESULT result);
// Exclusive buffers must be a multiple of `frames` (0: any size); others answer
// AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED and GetBufferSize then gives the next aligned size.
void setWasapiAlignment(UINT32 frames);
// Whether the render endpoint's client offers IAudioClient3 (default: yes), and the
// smallest shared period it allows in frames (default 128; the default period is 10 ms).
void setWasapiClient3(bool offered, UINT32 minimumFrames = 128);

// The exclusive formats IsFormatSupported was asked about, in order.
std::vector<WasapiFormat> wasapiExclusiveQueries();
// Initialize calls (both kinds) on the render endpoint.
int wasapiRenderInitializeCount();
// What the render stream was initialised with: mode, format and buffer and period
// (frames), and whether it was by InitializeSharedAudioStream.
struct WasapiStreamInfo {
  bool open = false;
  AUDCLNT_SHAREMODE mode = AUDCLNT_SHAREMODE_SHARED;
  WasapiFormat format;
  WORD channels = 0;
  UINT32 bufferFrames = 0;
  UINT32 periodFrames = 0;
  bool sharedStream = false;
  bool eventDriven = false;
};
WasapiStreamInfo wasapiRenderStream();
WasapiStreamInfo wasapiCaptureStream();

// One period of the device clock: the render stream plays a period from its buffer
// (an underrun plays silence and is counted), the capture stream is handed a packet of
// as many frames, and the render stream's event is signalled.
void tickWasapi();
// Captured sample n (counting interleaved samples since the capture stream started).
void setWasapiCaptureSource(float (*source)(uint64_t n));
// While held, ticks hand no capture packets over; releasing hands them all at once.
void holdWasapiCapture(bool hold);
// The next capture packet carries AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY.
void markWasapiDiscontinuity();
// The clock's readings of the next ticks name a counter this much later than the tick
// (a sound service that reads its position late).
void lagWasapiClock(int64_t ticks);
// While set, ticks signal nothing: a stalled device.
void silenceWasapiEvents(bool silent);
// The endpoints go away: every call on their streams answers
// AUDCLNT_E_DEVICE_INVALIDATED, and the event is still signalled by ticks.
void invalidateWasapiDevice();

// Everything the render stream has played, as raw bytes of its format, and underruns.
std::vector<uint8_t> wasapiPlayed();
int wasapiUnderruns();
// Calls of the render stream's GetCurrentPadding (a worker that spins makes many).
int wasapiPaddingCalls();
// The MMCSS task the last registered thread asked for, and registrations held.
std::wstring wasapiMmcssTask();
int wasapiMmcssRegistrations();

// Raises the notification callbacks registered with any enumerator.
void notifyWasapiDefaultChanged(EDataFlow flow);
void notifyWasapiStateChanged(const std::wstring& id, DWORD state);

// COM references held on simulated WASAPI objects (0 when all are released), and
// CoTaskMemAlloc blocks not freed.
int liveWasapiReferences();
int liveCoTaskMemBlocks();

// Restores the defaults and registers the enumerator's class with simulated COM.
void resetWasapi();

}  // namespace sim
