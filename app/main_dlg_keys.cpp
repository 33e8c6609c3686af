// The main window's keyboard: the strip below the synthesizer, played with the mouse
// and with the computer's keys, lit with the notes slot 0 sounds.
#include <cstdio>

#include "app/engines.h"
#include "app/framework/keyboard_strip.h"
#include "app/main_dlg.h"
#include "app/resource.h"

namespace {

// The window whose keys the hook hands over: one main window per thread.
CMainDlg* g_keyWindow = nullptr;

bool ctrlOrAltHeld() {
  return GetKeyState(VK_CONTROL) < 0 || GetKeyState(VK_MENU) < 0;
}

void noteName(int32_t note, wchar_t (&name)[8]) {
  static const wchar_t* const kNames[] = {L"C",  L"C#", L"D",  L"D#", L"E",  L"F",
                                          L"F#", L"G",  L"G#", L"A",  L"A#", L"B"};
  std::swprintf(name, 8, L"%ls%d", kNames[note % 12], note / 12 - 1);
}

}  // namespace

void CMainDlg::OpenKeyboard() {
  m_checkKeys.Attach(GetDlgItem(IDC_KEYS_PLAY_NOTES));
  m_checkKeys.SetCheck(m_choices.keysPlayNotes ? BST_CHECKED : BST_UNCHECKED);
  // The keys must reach the window before the dialog manager, which would take a
  // plain letter for a button's mnemonic: a message hook on this thread sees each
  // message as the modal loop takes it from the queue.
  g_keyWindow = this;
  m_hKeyHook = SetWindowsHookExW(WH_GETMESSAGE, &CMainDlg::KeyHook, nullptr, GetCurrentThreadId());
  ShowKeyboardCaption();
  RefreshKeyboard();
}

void CMainDlg::CloseKeyboard() {
  ReleaseKeys();
  if (m_hKeyHook) UnhookWindowsHookEx(m_hKeyHook);
  m_hKeyHook = nullptr;
  if (g_keyWindow == this) g_keyWindow = nullptr;
}

LRESULT CALLBACK CMainDlg::KeyHook(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HC_ACTION && wParam == PM_REMOVE && g_keyWindow) {
    MSG* message = reinterpret_cast<MSG*>(lParam);
    // Taken: the loop goes on with a message that does nothing.
    if (g_keyWindow->TakeKey(*message)) message->message = WM_NULL;
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

bool CMainDlg::TakeKey(const MSG& message) {
  // Turned off, the keys hold nothing (their notes ended as the box was cleared).
  if (!m_choices.keysPlayNotes) return false;
  if (message.message != WM_KEYDOWN && message.message != WM_KEYUP) return false;
  // Only keys meant for this window (not for a box it opened), and only while it is
  // the active one: its controls have the focus.
  if (!hwnd() || (message.hwnd != hwnd() && !IsChild(hwnd(), message.hwnd))) return false;
  const auto lParam = static_cast<uint32_t>(message.lParam);
  const ComputerKeys::Outcome outcome = message.message == WM_KEYUP
                                            ? m_keys.keyUp(lParam, ctrlOrAltHeld())
                                            : m_keys.keyDown(lParam, ctrlOrAltHeld());
  PlayKeys(outcome);
  return outcome.taken;
}

void CMainDlg::PlayKeys(const ComputerKeys::Outcome& outcome) {
  if (outcome.noteOff >= 0) PlayNote(outcome.noteOff, 0);
  if (outcome.noteOn >= 0) PlayNote(outcome.noteOn, outcome.velocity);
  if (outcome.shownChanged) ShowKeyboardCaption();
}

void CMainDlg::PlayNote(int32_t note, int32_t velocity) {
  // Always slot 0, the one the strip lights, whichever synth the sliders edit: a note
  // then ends on the channel it began on, here and on the MIDI output.
  constexpr int32_t kSlot = SynthRack::kNoteStateSlot;
  if (!m_pRack || note < 0 || note > 127) return;
  const bool held = m_pRack->playWindowNote(kSlot, note, velocity);
  const int32_t channel = m_pRack->channelOf(kSlot);
  if (!held || !m_choices.keysPlayNotes || channel == SynthRack::kNoChannel) return;
  // A connected synthesizer plays along.
  const auto status = static_cast<uint8_t>((velocity > 0 ? 0x90 : 0x80) | channel);
  m_pRack->sendMidi(status, static_cast<uint8_t>(note), static_cast<uint8_t>(velocity));
}

void CMainDlg::ReleaseKeys() {
  m_keys.releaseAll([this](int32_t note) { PlayNote(note, 0); });
}

void CMainDlg::OnKeysPlayNotes() {
  ReleaseKeys();
  m_choices.keysPlayNotes = m_checkKeys.GetCheck() == BST_CHECKED;
  saveDeviceChoices(m_choices);
  ShowKeyboardCaption();
}

void CMainDlg::RefreshKeyboard() {
  HWND strip = GetDlgItem(IDC_KEYBOARD);
  if (!strip || !m_pRack) return;
  uint32_t lit[4] = {};
  for (int32_t note = 0; note < 128; ++note) {
    if (m_pRack->isNoteSounding(note)) lit[note >> 5] |= 1u << (note & 31);
  }
  SendMessageW(strip, keyboard_strip::kSetLitNotes, 0, reinterpret_cast<LPARAM>(lit));
}

void CMainDlg::ShowKeyboardCaption() const {
  HWND strip = GetDlgItem(IDC_KEYBOARD);
  if (!strip) return;
  // The strip shows an octave below the keys' lower C and three above it.
  const int32_t base = m_keys.baseNote();
  SendMessageW(strip, keyboard_strip::kSetFirstNote,
               static_cast<WPARAM>(base >= 12 ? base - 12 : 0), 0);
  wchar_t low[8];
  wchar_t high[8];
  noteName(base, low);
  noteName(base + 31, high);
  wchar_t caption[160];
  if (m_choices.keysPlayNotes) {
    std::swprintf(caption, 160,
                  L"Keys Z.. and Q..: %ls to %ls (octave F5/F6)    velocity %d (F7/F8)", low, high,
                  m_keys.velocity());
  } else {
    std::swprintf(caption, 160, L"Computer keys off: the mouse plays");
  }
  SetWindowTextW(strip, caption);
}
