// The main window's MIDI devices: opening the chosen ones, showing their names and
// states, and following them as they go away and come back.
#include "app/engines.h"
#include "app/main_dlg.h"
#include "app/resource.h"
#include "app/settings_dlg.h"

#include <string>
#include <vector>

namespace {

// The devices taken for "(first available)": output 1 is the first hardware port
// behind the MIDI mapper on most systems; with one output only, that one.
constexpr int kMidiInDevice = 0;
constexpr int kMidiOutDevice = 1;
constexpr int kSysexRingBytes = 50000;

}  // namespace

void CMainDlg::OpenMidi() {
  const std::vector<std::wstring> inNames = DeviceLists::midiInputNames();
  const std::vector<std::wstring> outNames = DeviceLists::midiOutputNames();
  m_midiIn.choice = m_choices.midiInput;
  m_midiOut.choice = m_choices.midiOutput;
  const MidiSideTarget in = midiSideTarget(inNames, m_midiIn.choice, kMidiInDevice, !m_midiIn.lost);
  const MidiSideTarget out =
      midiSideTarget(outNames, m_midiOut.choice, kMidiOutDevice, !m_midiOut.lost);

  // The output may be missing or a synthesizer; input still works without it.
  MidiOpenOptions options{.inDevice = in.index,
                          .outDevice = out.index,
                          .inputApi = MidiInputApi::Winmm,
                          .strictDevice = true,
                          .portsOnly = true,
                          .sysexRingBytes = kSysexRingBytes};
  int32_t midiResult = m_pMidi->open(m_pRack.get(), hwnd(), options);
  if (midiResult == MidiOutputUnavailable || midiResult == MidiBadDeviceIndex) {
    options.outDevice = kNoMidiDevice;
    midiResult = m_pMidi->open(m_pRack.get(), hwnd(), options);
  }
  const bool inputRunning = midiResult == MidiOk && m_pMidi->start() == MidiOk;

  const int inOpen = inputRunning ? m_pMidi->openInputDevice() : kNoMidiDevice;
  const int outOpen = m_pMidi->openOutputDevice();
  noteMidiSideOpened(m_midiIn, inNames, in.index, inOpen);
  noteMidiSideOpened(m_midiOut, outNames, out.index, outOpen);
  ShowMidiSide(IDC_MIDI_IN_NAME, IDC_MIDI_IN_STATE, m_midiIn, inNames, inOpen, in.missing);
  ShowMidiSide(IDC_MIDI_OUT_NAME, IDC_MIDI_OUT_STATE, m_midiOut, outNames, outOpen, out.missing);
  m_bMidiWaiting = midiSideWaiting(inNames, m_midiIn, kMidiInDevice) ||
                   midiSideWaiting(outNames, m_midiOut, kMidiOutDevice);
}

void CMainDlg::OpenMidiOutput() {
  const std::vector<std::wstring> outNames = DeviceLists::midiOutputNames();
  m_midiOut.choice = m_choices.midiOutput;
  const MidiSideTarget out =
      midiSideTarget(outNames, m_midiOut.choice, kMidiOutDevice, !m_midiOut.lost);
  m_pMidi->reopenOutput(out.index, true);
  const int outOpen = m_pMidi->openOutputDevice();
  noteMidiSideOpened(m_midiOut, outNames, out.index, outOpen);
  ShowMidiSide(IDC_MIDI_OUT_NAME, IDC_MIDI_OUT_STATE, m_midiOut, outNames, outOpen, out.missing);
  m_bMidiWaiting = midiSideWaiting(DeviceLists::midiInputNames(), m_midiIn, kMidiInDevice) ||
                   midiSideWaiting(outNames, m_midiOut, kMidiOutDevice);
}

void CMainDlg::ShowMidiSide(int nameId, int stateId, const MidiSide& side,
                            const std::vector<std::wstring>& names, int openIndex,
                            bool missing) const {
  setStateText(stateId, openIndex >= 0);
  // Names can lie outside the ANSI code page: the line is set in UTF-16.
  SetDlgItemTextW(hwnd(), nameId, midiSideLine(names, side, openIndex, missing).c_str());
}

void CMainDlg::OnDeviceChange() {
  m_midiWatch.deviceChanged(GetTickCount64());
}

void CMainDlg::WatchMidi() {
  if (!m_pMidi) return;
  // Noticed on the MIDI thread or by a send; acted on here, where closing may block.
  if ((m_pMidi->inputLost() && m_pMidi->hasWinmmInput()) ||
      (m_pMidi->outputLost() && m_pMidi->hasOutput())) {
    CloseLostMidi();
  }
  if (m_midiWatch.due(GetTickCount64(), m_bMidiWaiting)) CheckMidiDevices();
}

void CMainDlg::CloseLostMidi() {
  const bool inLost = m_pMidi->inputLost() && m_pMidi->hasWinmmInput();
  const bool outLost = m_pMidi->outputLost() && m_pMidi->hasOutput();
  m_pMidi->closeLostDevices();
  const std::vector<std::wstring> inNames = DeviceLists::midiInputNames();
  const std::vector<std::wstring> outNames = DeviceLists::midiOutputNames();
  if (inLost) {
    noteMidiSideLost(m_midiIn);
    ShowMidiSide(IDC_MIDI_IN_NAME, IDC_MIDI_IN_STATE, m_midiIn, inNames, kNoMidiDevice, false);
  }
  if (outLost) {
    noteMidiSideLost(m_midiOut);
    ShowMidiSide(IDC_MIDI_OUT_NAME, IDC_MIDI_OUT_STATE, m_midiOut, outNames, kNoMidiDevice, false);
  }
  m_bMidiWaiting = true;
}

void CMainDlg::CheckMidiDevices() {
  const std::vector<std::wstring> inNames = DeviceLists::midiInputNames();
  const std::vector<std::wstring> outNames = DeviceLists::midiOutputNames();
  const MidiSideCheck in =
      checkMidiSide(inNames, m_midiIn, kMidiInDevice, m_pMidi->currentInputPlace());
  const MidiSideCheck out =
      checkMidiSide(outNames, m_midiOut, kMidiOutDevice, m_pMidi->currentOutputPlace());
  // An open device's key follows its place, which identical names make its occurrence.
  if (m_midiIn.open) m_midiIn.key = in.key;
  if (m_midiOut.open) m_midiOut.key = out.key;
  // A device the list no longer shows is gone, whether or not its driver said so.
  if (in.gone) m_pMidi->markInputLost();
  if (out.gone) m_pMidi->markOutputLost();
  if (in.gone || out.gone) CloseLostMidi();
  if (in.reopen) {
    OpenMidi();
  } else if (out.reopen) {
    OpenMidiOutput();
  } else {
    m_bMidiWaiting = midiSideWaiting(inNames, m_midiIn, kMidiInDevice) ||
                     midiSideWaiting(outNames, m_midiOut, kMidiOutDevice);
  }
}
