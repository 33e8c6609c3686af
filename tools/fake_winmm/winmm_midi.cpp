// The MIDI device functions of the test-only winmm. Every other export is forwarded to the
// real winmm (renamed winmm_b.dll) by the module definition generated at build time.
#include "fake_config.h"
#include "midi_in_device.h"
#include "midi_out_device.h"
#include "plug_rules.h"

#include <memory>
#include <vector>

using namespace fake_winmm;

namespace {

struct Devices {
  std::vector<std::unique_ptr<MidiInDevice>> inputs;
  std::vector<std::unique_ptr<MidiOutDevice>> outputs;
  std::unique_ptr<MidiOutDevice> mapper;
};

void startPlugWatch(Devices& d);

Devices& devices() {
  static Devices all = [] {
    Devices d;
    const Config& c = config();
    for (int i = 0; i < c.inputCount; ++i) d.inputs.push_back(std::make_unique<MidiInDevice>(i));
    int ports = 0, synths = 0;
    for (OutputKind kind : c.outputs) {
      int& seen = kind == OutputKind::Port ? ports : synths;
      std::string name = kind == OutputKind::Port ? "midi_out_port" : "midi_out_synth";
      if (seen++ > 0) name += std::to_string(seen);
      d.outputs.push_back(std::make_unique<MidiOutDevice>(kind, name + ".log"));
    }
    if (!d.outputs.empty())
      d.mapper = std::make_unique<MidiOutDevice>(OutputKind::Mapper, "midi_out_mapper.log");
    return d;
  }();
  static const bool watching = (startPlugWatch(all), true);
  (void)watching;
  return all;
}

// The devices present now, in the order their ids count.
template <class Device>
std::vector<Device*> present(const std::vector<std::unique_ptr<Device>>& all) {
  std::vector<Device*> list;
  for (const auto& device : all)
    if (device->present()) list.push_back(device.get());
  return list;
}

template <class Device>
Device* presentAt(const std::vector<std::unique_ptr<Device>>& all, UINT_PTR id) {
  const std::vector<Device*> list = present(all);
  return id < list.size() ? list[id] : nullptr;
}

// The id of a present device, or -1.
template <class Device>
int idOf(const std::vector<std::unique_ptr<Device>>& all, const Device* device) {
  const std::vector<Device*> list = present(all);
  for (size_t i = 0; i < list.size(); ++i)
    if (list[i] == device) return static_cast<int>(i);
  return -1;
}

constexpr WPARAM kDevNodesChanged = 0x0007;  // DBT_DEVNODES_CHANGED

BOOL CALLBACK announceTo(HWND window, LPARAM) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process == GetCurrentProcessId()) PostMessageA(window, WM_DEVICECHANGE, kDevNodesChanged, 0);
  return TRUE;
}

struct PlugWatch {
  Devices* devices = nullptr;
  std::vector<PlugRule> rules;
  bool announce = false;
};

// Applies the plug rules every 10 ms: a device is present unless a rule pulls it out.
DWORD WINAPI plugWatchMain(void* context) {
  auto* watch = static_cast<PlugWatch*>(context);
  Devices& d = *watch->devices;
  for (;;) {
    const auto now = static_cast<uint32_t>(millisSinceLoad());
    std::vector<bool> inPulled(d.inputs.size(), false), outPulled(d.outputs.size(), false);
    for (const PlugRule& rule : watch->rules) {
      const bool pulled = rule.file.empty() ? pulledAt(rule, now)
                                            : GetFileAttributesA(pathInDir(rule.file).c_str()) !=
                                                  INVALID_FILE_ATTRIBUTES;
      std::vector<bool>& list = rule.output ? outPulled : inPulled;
      if (pulled && rule.device >= 0 && static_cast<size_t>(rule.device) < list.size())
        list[rule.device] = true;
    }
    bool changed = false;
    for (size_t i = 0; i < d.inputs.size(); ++i)
      changed |= inPulled[i] ? d.inputs[i]->unplug() : d.inputs[i]->replug();
    for (size_t i = 0; i < d.outputs.size(); ++i)
      changed |= outPulled[i] ? d.outputs[i]->unplug() : d.outputs[i]->replug();
    // As the system does when a device node comes or goes; only this process's
    // windows are told, which is all a test needs.
    if (changed && watch->announce) EnumWindows(&announceTo, 0);
    Sleep(10);
  }
}

std::string environmentText(const char* name) {
  char buffer[1024];
  const DWORD n = GetEnvironmentVariableA(name, buffer, sizeof buffer);
  return n == 0 || n >= sizeof buffer ? std::string() : std::string(buffer, n);
}

void startPlugWatch(Devices& d) {
  auto* watch = new PlugWatch;  // lives as long as the process
  watch->devices = &d;
  watch->announce = environmentText("FAKE_WINMM_PLUG_ANNOUNCE") == "1";
  std::string error;
  if (!parsePlugRules(environmentText("FAKE_WINMM_PLUG"),
                      environmentText("FAKE_WINMM_PLUG_SCHEDULE"), watch->rules, error)) {
    DeviceLog(pathInDir("fake_winmm.log")).line("plug rules ignored: " + error);
    watch->rules.clear();
  }
  if (watch->rules.empty()) {
    delete watch;
    return;
  }
  HANDLE thread = CreateThread(nullptr, 0, &plugWatchMain, watch, 0, nullptr);
  if (thread) CloseHandle(thread);
}

MidiInDevice* openInput(HMIDIIN handle) {
  for (auto& in : devices().inputs)
    if (handle == in->handle() && in->isOpen()) return in.get();
  return nullptr;
}

// A device id or the handle of an open input.
MidiInDevice* inputById(UINT_PTR id) {
  Devices& d = devices();
  if (id < d.inputs.size()) return presentAt(d.inputs, id);
  return openInput(reinterpret_cast<HMIDIIN>(id));
}

MidiOutDevice* outputByHandle(HMIDIOUT handle) {
  Devices& d = devices();
  for (auto& out : d.outputs)
    if (handle == out->handle()) return out.get();
  if (d.mapper && handle == d.mapper->handle()) return d.mapper.get();
  return nullptr;
}

MidiOutDevice* openOutput(HMIDIOUT handle) {
  MidiOutDevice* out = outputByHandle(handle);
  return out && out->isOpen() ? out : nullptr;
}

// A device id, a handle of an open device, or MIDI_MAPPER.
MidiOutDevice* outputById(UINT_PTR id) {
  Devices& d = devices();
  if (id < d.outputs.size()) return presentAt(d.outputs, id);
  if (MidiOutDevice* out = openOutput(reinterpret_cast<HMIDIOUT>(id))) return out;
  if (id == MIDI_MAPPER || id == UINT_PTR(-1)) return d.mapper.get();
  return nullptr;
}

void narrowName(const WCHAR* wide, CHAR* narrow, int size) {
  if (!WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow, size, nullptr, nullptr)) narrow[0] = 0;
}

template <typename T>
void copyCaps(const T& caps, void* target, UINT size) {
  memcpy(target, &caps, size < sizeof caps ? size : sizeof caps);
}

}  // namespace

extern "C" {

UINT WINAPI midiInGetNumDevs() {
  return static_cast<UINT>(present(devices().inputs).size());
}

MMRESULT WINAPI midiInGetDevCapsW(UINT_PTR id, LPMIDIINCAPSW caps, UINT size) {
  if (!caps) return MMSYSERR_INVALPARAM;
  MidiInDevice* in = inputById(id);
  if (!in) return MMSYSERR_BADDEVICEID;
  MIDIINCAPSW wide;
  in->capabilities(wide);
  copyCaps(wide, caps, size);
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInGetDevCapsA(UINT_PTR id, LPMIDIINCAPSA caps, UINT size) {
  if (!caps) return MMSYSERR_INVALPARAM;
  MIDIINCAPSW wide;
  MMRESULT result = midiInGetDevCapsW(id, &wide, sizeof wide);
  if (result != MMSYSERR_NOERROR) return result;
  MIDIINCAPSA narrow = {};
  narrow.wMid = wide.wMid;
  narrow.wPid = wide.wPid;
  narrow.vDriverVersion = wide.vDriverVersion;
  narrowName(wide.szPname, narrow.szPname, MAXPNAMELEN);
  narrow.dwSupport = wide.dwSupport;
  copyCaps(narrow, caps, size);
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInOpen(LPHMIDIIN handle, UINT id, DWORD_PTR callback, DWORD_PTR instance,
                           DWORD flags) {
  if (!handle) return MMSYSERR_INVALPARAM;
  *handle = nullptr;
  MidiInDevice* in = presentAt(devices().inputs, id);
  if (!in) return MMSYSERR_BADDEVICEID;
  MMRESULT result = checkCallback(flags, callback);
  if (result != MMSYSERR_NOERROR) return result;
  result = in->open(ClientCallback{callback, instance, flags}, flags);
  if (result == MMSYSERR_NOERROR) *handle = in->handle();
  return result;
}

MMRESULT WINAPI midiInClose(HMIDIIN handle) {
  MidiInDevice* in = openInput(handle);
  return in ? in->close() : MMSYSERR_INVALHANDLE;
}

MMRESULT WINAPI midiInPrepareHeader(HMIDIIN handle, LPMIDIHDR header, UINT size) {
  MidiInDevice* in = openInput(handle);
  return in ? in->prepare(header, size) : MMSYSERR_INVALHANDLE;
}

MMRESULT WINAPI midiInUnprepareHeader(HMIDIIN handle, LPMIDIHDR header, UINT size) {
  MidiInDevice* in = openInput(handle);
  return in ? in->unprepare(header, size) : MMSYSERR_INVALHANDLE;
}

MMRESULT WINAPI midiInAddBuffer(HMIDIIN handle, LPMIDIHDR header, UINT size) {
  MidiInDevice* in = openInput(handle);
  return in ? in->addBuffer(header, size) : MMSYSERR_INVALHANDLE;
}

MMRESULT WINAPI midiInStart(HMIDIIN handle) {
  MidiInDevice* in = openInput(handle);
  return in ? in->start() : MMSYSERR_INVALHANDLE;
}

MMRESULT WINAPI midiInStop(HMIDIIN handle) {
  MidiInDevice* in = openInput(handle);
  return in ? in->stop() : MMSYSERR_INVALHANDLE;
}

MMRESULT WINAPI midiInReset(HMIDIIN handle) {
  MidiInDevice* in = openInput(handle);
  return in ? in->reset() : MMSYSERR_INVALHANDLE;
}

MMRESULT WINAPI midiInGetID(HMIDIIN handle, LPUINT id) {
  if (!id) return MMSYSERR_INVALPARAM;
  MidiInDevice* in = openInput(handle);
  if (!in) return MMSYSERR_INVALHANDLE;
  const int position = idOf(devices().inputs, static_cast<const MidiInDevice*>(in));
  if (position < 0) return MMSYSERR_NODRIVER;
  *id = static_cast<UINT>(position);
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInMessage(HMIDIIN handle, UINT, DWORD_PTR, DWORD_PTR) {
  return openInput(handle) ? MMSYSERR_NOTSUPPORTED : MMSYSERR_INVALHANDLE;
}

UINT WINAPI midiOutGetNumDevs() {
  return static_cast<UINT>(present(devices().outputs).size());
}

MMRESULT WINAPI midiOutGetDevCapsW(UINT_PTR id, LPMIDIOUTCAPSW caps, UINT size) {
  if (!caps) return MMSYSERR_INVALPARAM;
  MidiOutDevice* out = outputById(id);
  if (!out) return MMSYSERR_BADDEVICEID;
  MIDIOUTCAPSW wide;
  out->capabilities(wide);
  copyCaps(wide, caps, size);
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutGetDevCapsA(UINT_PTR id, LPMIDIOUTCAPSA caps, UINT size) {
  if (!caps) return MMSYSERR_INVALPARAM;
  MIDIOUTCAPSW wide;
  MMRESULT result = midiOutGetDevCapsW(id, &wide, sizeof wide);
  if (result != MMSYSERR_NOERROR) return result;
  MIDIOUTCAPSA narrow = {};
  narrow.wMid = wide.wMid;
  narrow.wPid = wide.wPid;
  narrow.vDriverVersion = wide.vDriverVersion;
  narrowName(wide.szPname, narrow.szPname, MAXPNAMELEN);
  narrow.wTechnology = wide.wTechnology;
  narrow.wVoices = wide.wVoices;
  narrow.wNotes = wide.wNotes;
  narrow.wChannelMask = wide.wChannelMask;
  narrow.dwSupport = wide.dwSupport;
  copyCaps(narrow, caps, size);
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutOpen(LPHMIDIOUT handle, UINT id, DWORD_PTR callback, DWORD_PTR instance,
                            DWORD flags) {
  if (!handle) return MMSYSERR_INVALPARAM;
  *handle = nullptr;
  Devices& d = devices();
  MidiOutDevice* out = id < d.outputs.size() ? presentAt(d.outputs, id)
                       : id == MIDI_MAPPER   ? d.mapper.get()
                                             : nullptr;
  if (!out) return MMSYSERR_BADDEVICEID;
  MMRESULT result = checkCallback(flags, callback);
  if (result != MMSYSERR_NOERROR) return result;
  result = out->open(id, ClientCallback{callback, instance, flags}, flags);
  if (result == MMSYSERR_NOERROR) *handle = out->handle();
  return result;
}

MMRESULT WINAPI midiOutClose(HMIDIOUT handle) {
  MidiOutDevice* out = openOutput(handle);
  return out ? out->close() : MMSYSERR_INVALHANDLE;
}

MMRESULT WINAPI midiOutShortMsg(HMIDIOUT handle, DWORD word) {
  MidiOutDevice* out = openOutput(handle);
  return out ? out->shortMessage(word) : MMSYSERR_INVALHANDLE;
}

MMRESULT WINAPI midiOutPrepareHeader(HMIDIOUT handle, LPMIDIHDR header, UINT size) {
  MidiOutDevice* out = openOutput(handle);
  return out ? out->prepare(header, size) : MMSYSERR_INVALHANDLE;
}

MMRESULT WINAPI midiOutUnprepareHeader(HMIDIOUT handle, LPMIDIHDR header, UINT size) {
  MidiOutDevice* out = openOutput(handle);
  return out ? out->unprepare(header, size) : MMSYSERR_INVALHANDLE;
}

MMRESULT WINAPI midiOutLongMsg(HMIDIOUT handle, LPMIDIHDR header, UINT size) {
  MidiOutDevice* out = openOutput(handle);
  return out ? out->longMessage(header, size) : MMSYSERR_INVALHANDLE;
}

MMRESULT WINAPI midiOutReset(HMIDIOUT handle) {
  MidiOutDevice* out = openOutput(handle);
  return out ? out->reset() : MMSYSERR_INVALHANDLE;
}

MMRESULT WINAPI midiOutGetID(HMIDIOUT handle, LPUINT id) {
  if (!id) return MMSYSERR_INVALPARAM;
  MidiOutDevice* out = openOutput(handle);
  if (!out) return MMSYSERR_INVALHANDLE;
  Devices& d = devices();
  *id = MIDI_MAPPER;
  if (out == d.mapper.get()) return MMSYSERR_NOERROR;
  const int position = idOf(d.outputs, static_cast<const MidiOutDevice*>(out));
  if (position < 0) return MMSYSERR_NODRIVER;
  *id = static_cast<UINT>(position);
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutMessage(HMIDIOUT handle, UINT, DWORD_PTR, DWORD_PTR) {
  return openOutput(handle) ? MMSYSERR_NOTSUPPORTED : MMSYSERR_INVALHANDLE;
}

MMRESULT WINAPI midiOutGetVolume(HMIDIOUT handle, LPDWORD volume) {
  if (!volume) return MMSYSERR_INVALPARAM;
  if (!openOutput(handle)) return MMSYSERR_INVALHANDLE;
  *volume = 0xFFFFFFFF;
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutSetVolume(HMIDIOUT handle, DWORD) {
  return openOutput(handle) ? MMSYSERR_NOTSUPPORTED : MMSYSERR_INVALHANDLE;
}

MMRESULT WINAPI midiOutCachePatches(HMIDIOUT handle, UINT, LPWORD, UINT) {
  return openOutput(handle) ? MMSYSERR_NOTSUPPORTED : MMSYSERR_INVALHANDLE;
}

MMRESULT WINAPI midiOutCacheDrumPatches(HMIDIOUT handle, UINT, LPWORD, UINT) {
  return openOutput(handle) ? MMSYSERR_NOTSUPPORTED : MMSYSERR_INVALHANDLE;
}

MMRESULT WINAPI midiConnect(HMIDI, HMIDIOUT, LPVOID) {
  return MMSYSERR_NOTSUPPORTED;
}

MMRESULT WINAPI midiDisconnect(HMIDI, HMIDIOUT, LPVOID) {
  return MMSYSERR_NOTSUPPORTED;
}

}  // extern "C"
