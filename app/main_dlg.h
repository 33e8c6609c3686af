// The program's only window: shows the audio and MIDI devices and their states,
// switches the audio route between the full-duplex stream and ASIO, and edits the
// first 17 parameters of the current synth with vertical sliders.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "app/framework/dialog_base.h"

class DsoundDuplex;
class MidiPort;
class SynthRack;

class CMainDlg : public DialogBase {
 public:
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

  void OpenAudio(AudioRoute route);
  void SetupSliders();
  static int32_t SliderParamIndex(int id);
  void RefreshSliders();

  void setStateText(int id, bool active) const;
  // Runs the sound-file dialog; false when it was cancelled.
  bool askSoundFile(bool save, std::wstring& path) const;

  std::unique_ptr<DsoundDuplex> m_pDuplex;
  std::unique_ptr<MidiPort> m_pMidi;
  std::unique_ptr<SynthRack> m_pRack;
  int32_t m_nSlot = -1;
  int32_t m_nParamCount = -1;
  std::wstring m_strSoundPath;
  CheckBox m_checkAsio;
  HICON m_hIcon = nullptr;
};
