// A piano keyboard the program draws itself, as a dialog control of window class
// kClassName: a caption line above a strip of keys, the notes it is told sound lit,
// each C named. Everything is measured from the control's size and the dialog's
// font, so it scales with the dialog units at any DPI. A press of the left mouse
// button plays the key under it (the lower on the key, the louder, as on a real
// key); dragging glides from key to key, and the release or leaving the keys ends
// the note. The notes go to the parent as kNoteMessage.
#pragma once

#include <windows.h>

#include <cstdint>

namespace keyboard_strip {

inline constexpr wchar_t kClassName[] = L"TonbrikKeyboard";
// To the parent: wParam the note, lParam its velocity, 0 ending it.
inline constexpr UINT kNoteMessage = WM_APP + 0x70;
// To the control: wParam the lowest note shown (a C, 0-79); four octaves and a C show.
inline constexpr UINT kSetFirstNote = WM_APP + 0x71;
// To the control: lParam points to four words of note bits (note n: bit n % 32 of
// word n / 32), the notes to light. The caption is the control's window text.
inline constexpr UINT kSetLitNotes = WM_APP + 0x72;
inline constexpr int32_t kShownNotes = 49;

// Registers the class for `instance`; true when it is (or already was) registered.
bool registerClass(HINSTANCE instance);

}  // namespace keyboard_strip
