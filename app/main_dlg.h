// The program's only window: shows the audio and MIDI devices and their states,
// switches the audio route between the system's route (DirectSound or WASAPI, as
// chosen) and ASIO, and edits the
// first 17 parameters of the current synth with vertical sliders.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/audio_route.h"
#include "app/computer_keys.h"
#include "app/device_settings.h"
#include "app/framework/dialog_base.h"
#include "app/midi_device_plan.h"

class AsioHost;
class MidiPort;
class Recorder;
class SynthRack;

class CMainDlg : public DialogBase {
 public:
  // kDuplex: the system's route the choices name (DirectSound or WASAPI).
  enum class AudioRoute { kDuplex, kAsio };

  explicit CMainDlg(HWND parent = nullptr);
  ~CMainDlg() override;

 protected:
  BOOL OnInitDialog() override;
  void DoDataExchange(DataExchange& dx) override;
  bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

 private:
  // Handlers; those returning bool answer whether the message is done (false:
  // default processing follows).
  bool OnSysCommand(UINT id, LPARAM lParam);
  bool OnPaint();
  HICON OnQueryDragIcon() const { return m_hIcon; }
  void OnDestroy();
  void OnTimer(UINT_PTR id);
  void OnAsioCheck();
  void OnAsioPanel();
  void OnVScroll(UINT code, UINT pos, HWND control);
  void OnHScroll(UINT code, UINT pos, HWND control);
  void OnSave();
  void OnLoad();

  // Opens and starts `route` and shows its device names and states; true when it runs.
  bool OpenAudio(AudioRoute route);
  // The audio route's loss and its retries (main_dlg_audio.cpp).
  bool StartAudioRoute(AudioRoute route, std::wstring& inName, std::wstring& outName,
                       bool& driverMissing);
  void CloseAudio();
  bool AudioRouteLost() const;
  void WatchAudioRoute();
  void ShowAudioRoute(bool active, bool driverMissing);
  void ShowAudioLost() const;
  // The ASIO driver did not answer a call in time and is not asked again in this run:
  // shown instead of a retry, which could only wait on it again. True when so.
  bool ShowAsioNotAnswering();
  // Shows the route lost and opens it again from kAudioRetryMs after `now` on.
  void MarkAudioLost(ULONGLONG now);
  void ScheduleAudioRetry(ULONGLONG now);
  // The route with the window's choices; `retry` for a lost route opened again.
  AudioRouteSetup RouteSetup(AudioRoute route, bool retry, bool& driverMissing) const;
  // WASAPI endpoints that came, went or became the default: a route on the default
  // follows it, one whose chosen endpoint is back opens on it (from the timer).
  void FollowWasapiEndpoints();
  // Opens the route again after a move; one that does not open is retried as a lost
  // route is, under the names it had.
  void ReopenAudioRoute();
  // Opens the full-duplex route again with a longer ring, once, if its ring was outrun.
  void GrowOutrunDuplexRing();
  void RestartStuckCapture();
  void ReopenAsioOnRequest();
  void SetupSliders();
  static int32_t SliderParamIndex(int id);
  void RefreshSliders();

  // The on-screen keyboard and the computer's keys (main_dlg_keys.cpp).
  void OpenKeyboard();
  void CloseKeyboard();
  // A key message before the dialog sees it: true when it played the keyboard.
  bool TakeKey(const MSG& message);
  static LRESULT CALLBACK KeyHook(int code, WPARAM wParam, LPARAM lParam);
  // A note of the window's own: to the rack, and to the MIDI output while the keys
  // play notes. Velocity 0 ends it.
  void PlayNote(int32_t note, int32_t velocity);
  void PlayKeys(const ComputerKeys::Outcome& outcome);
  void ReleaseKeys();
  void OnKeysPlayNotes();
  void RefreshKeyboard();
  void ShowKeyboardCaption() const;

  void setStateText(int id, bool active) const;
  // Runs the sound-file dialog; false when it was cancelled.
  bool askSoundFile(bool save, std::wstring& path) const;

  // The devices the user chose and the engine's health (main_dlg_settings.cpp).
  void OnSettings();
  // Opens and starts MIDI on the chosen devices and shows their names and states. A
  // side whose device was lost does not fall back to another device.
  void OpenMidi();
  // Stops MIDI input and audio, sets the chosen MIDI timing, and reopens both.
  void ApplyMidiTiming();
  // Opens the chosen output again while the input goes on, so its notes keep sounding.
  void OpenMidiOutput();
  // MIDI devices that come and go (main_dlg_midi.cpp): acts on a loss the port
  // noticed, and reads the device lists again when they may have changed.
  void WatchMidi();
  void OnDeviceChange();
  void CloseLostMidi();
  void CheckMidiDevices();
  void ShowMidiSide(int nameId, int stateId, const MidiSide& side,
                    const std::vector<std::wstring>& names, int openIndex, bool missing) const;
  // Loads the chosen ASIO driver without buffers; enables the ASIO box if it works.
  void ProbeAsio();
  // The driver index the ASIO route opens; `missing` tells that the chosen one is gone.
  int AsioDriverIndex(bool& missing) const;
  // Adds to a name line that the chosen device was not found.
  void NoteMissingDevice(int id, const std::wstring& chosen) const;
  void RefreshHealthLine();

  // Recording what plays to a WAV file (main_dlg_record.cpp).
  void SetupRecording();
  void OnRecord();
  void OnRecordFormat();
  void OnRecordFolder();
  // In the format the running route renders, or the one given (rate above 0).
  bool StartRecording(int32_t rate = 0, int32_t channels = 0);
  // Clears the rack's tap and lets the writer end the file; waits for it briefly.
  void StopRecording();
  void RefreshRecording();
  void EndRecordingAtExit();
  // The folder recordings go to: the chosen one, or the Music folder's Tonbrik.
  std::wstring RecordFolder() const;
  // The rate and channel count the running route renders; false when none runs.
  bool RecordFormatNow(int32_t& rate, int32_t& channels) const;
  void ShowRecordEnd(const Recorder& recorder, bool ended);
  void ShowRecordStatus(const std::wstring& text) const;

  // The ASIO host, closed while the route is the system's.
  std::unique_ptr<AsioHost> m_pAsio;
  // The engines of the route playing now. Those whose worker did not end when closed are
  // kept in it, with the rack, until it does; the system route is not opened again
  // meanwhile.
  AudioRouteHost m_route;
  std::unique_ptr<MidiPort> m_pMidi;
  std::unique_ptr<SynthRack> m_pRack;
  int32_t m_nSlot = -1;
  int32_t m_nParamCount = -1;
  std::wstring m_strSoundPath;
  CheckBox m_checkAsio;
  HICON m_hIcon = nullptr;
  DeviceChoices m_choices;
  MidiSide m_midiIn;
  MidiSide m_midiOut;
  MidiDeviceWatch m_midiWatch;
  // A side waits for its device: the lists are read again on a steady beat.
  bool m_bMidiWaiting = false;
  // The last route opened, and whether it started.
  AudioRoute m_audioRoute = AudioRoute::kDuplex;
  bool m_bAudioRunning = false;
  // The route's device went away; it is opened again every few seconds until it
  // plays, under the names it had (m_strAudioInName, m_strAudioOutName).
  bool m_bAudioLost = false;
  ULONGLONG m_nAudioRetryAt = 0;
  ULONGLONG m_nAudioLostAt = 0;        // when the present outage began
  ULONGLONG m_nAudioRetryDelayMs = 0;  // the wait before the next try
  // A retry opened the ASIO route: it is shown playing once the driver calls back (a
  // stalled driver opens and starts, but does not). Whether the chosen driver was missing.
  bool m_bAudioRetryMissing = false;
  // The full-duplex ring was outrun once and is opened with more blocks from then on.
  bool m_bDuplexRingGrown = false;
  // Reopenings for a stuck capture since the route was last opened for another reason.
  int m_nCaptureRestarts = 0;
  std::wstring m_strAudioInName;
  std::wstring m_strAudioOutName;
  std::string m_strHealth;
  // The recording under way, and those whose writer is still closing its file.
  std::unique_ptr<Recorder> m_pRecorder;
  std::vector<std::unique_ptr<Recorder>> m_endingRecorders;
  std::wstring m_strRecordName;
  std::wstring m_strRecordNote;
  // When the recording began, the stretches without sound (the route lost or not
  // playing) so far, and whether one lasts now.
  ULONGLONG m_nRecordStartedAt = 0;
  // The last recording's format, for one begun while no route plays.
  int32_t m_nRecordRate = 0;
  int32_t m_nRecordChannels = 0;
  int32_t m_nRecordGaps = 0;
  bool m_bRecordInGap = false;
  // The computer's keys, the hook that hands them to the window before the dialog
  // manager, and the check box that turns them off.
  ComputerKeys m_keys;
  HHOOK m_hKeyHook = nullptr;
  CheckBox m_checkKeys;
};
