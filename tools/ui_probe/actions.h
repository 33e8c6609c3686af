// What the probe does to the program's windows: clicks, slider moves, keys and the dialogs
// that appear on the way.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace ui_probe {

// Exit codes of the verbs.
enum Result { kOk = 0, kFailed = 1, kUsage = 2, kDisabled = 3 };

// Clicks a button or check box the way the mouse does (BM_CLICK, posted, so a modal dialog
// opened by the click does not block the probe); with viaCommand the parent gets
// WM_COMMAND/BN_CLICKED instead. A disabled or hidden control is not clicked (kDisabled).
Result clickControl(HWND control, bool viaCommand);

// Moves a trackbar to `position` as a drag does: TBM_SETPOS, then the scroll notification
// to the parent (WM_VSCROLL for a vertical trackbar, WM_HSCROLL otherwise) with
// TB_THUMBTRACK, TB_THUMBPOSITION and TB_ENDTRACK, lParam the trackbar.
Result moveSlider(HWND trackbar, long position);

// The window a user would be typing into: the process's enabled dialog if one is up,
// else the main window.
HWND activeWindow(HWND main);

// Posts a key press (down and up) to the control that has the focus in `window`'s thread,
// or to `window` itself; the dialog's own message loop translates it.
void pressKey(HWND window, UINT virtualKey);
// A key pressed with Alt held, as a mnemonic is typed: the system key messages that the
// dialog's message loop turns into WM_SYSCHAR.
void pressAltKey(HWND window, UINT virtualKey);

// Posts one key message (WM_KEYDOWN, or WM_KEYUP when !down) for the key at `scanCode`
// (bit 8: the extended bit) where pressKey posts, the scan code in lParam as the keyboard
// gives it and the virtual key the current layout maps it to.
void postScanKey(HWND window, UINT scanCode, bool down);

// Posts a left mouse button press (down) or release at (x, y) of a control's client area.
void postMouseButton(HWND control, int x, int y, bool down);

// The texts of a dialog's static controls joined with " | ", empty ones left out.
std::string staticTexts(HWND dialog);

// The button with this id in the dialog, or its only button when id is 0.
HWND findButton(HWND dialog, int id);

// The edit field of a file dialog where the file name is typed.
HWND findFileNameEdit(HWND dialog);

// Sets a control's text (WM_SETTEXT) from UTF-8.
bool setText(HWND control, const std::string& text);

// The items of a combo box's list, in list order.
std::vector<std::string> comboItems(HWND combo);

// Picks the combo box item with exactly this text as a user does: the selection
// (CB_SETCURSEL), then CBN_SELCHANGE to the parent. kFailed when no item has the text.
Result selectComboItem(HWND combo, const std::string& text);

}  // namespace ui_probe
