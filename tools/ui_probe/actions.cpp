#include "actions.h"

#include "window_finder.h"

#include <commctrl.h>

namespace ui_probe {
namespace {

constexpr UINT kTimeoutMs = 2000;

bool deliver(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  DWORD_PTR ignored = 0;
  return SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kTimeoutMs,
                             &ignored) != 0;
}

}  // namespace

Result clickControl(HWND control, bool viaCommand) {
  if (!IsWindowEnabled(control) || !IsWindowVisible(control)) return kDisabled;
  if (viaCommand) {
    int id = GetDlgCtrlID(control);
    PostMessageW(GetParent(control), WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(control));
  } else {
    PostMessageW(control, BM_CLICK, 0, 0);
  }
  return kOk;
}

Result moveSlider(HWND trackbar, long position) {
  if (!IsWindowEnabled(trackbar) || !IsWindowVisible(trackbar)) return kDisabled;
  if (className(trackbar) != TRACKBAR_CLASSA) return kFailed;
  HWND parent = GetParent(trackbar);
  UINT message = (GetWindowLongW(trackbar, GWL_STYLE) & TBS_VERT) ? WM_VSCROLL : WM_HSCROLL;
  LPARAM sender = reinterpret_cast<LPARAM>(trackbar);
  WORD packed = static_cast<WORD>(position);
  bool ok = deliver(trackbar, TBM_SETPOS, TRUE, position) &&
            deliver(parent, message, MAKEWPARAM(TB_THUMBTRACK, packed), sender) &&
            deliver(parent, message, MAKEWPARAM(TB_THUMBPOSITION, packed), sender) &&
            deliver(parent, message, MAKEWPARAM(TB_ENDTRACK, 0), sender);
  return ok ? kOk : kFailed;
}

HWND activeWindow(HWND main) {
  for (HWND dialog : processDialogs(main)) {
    if (IsWindowEnabled(dialog)) return dialog;
  }
  return main;
}

namespace {

HWND focusOf(HWND window) {
  DWORD thread = GetWindowThreadProcessId(window, nullptr);
  GUITHREADINFO info = {};
  info.cbSize = sizeof info;
  if (GetGUIThreadInfo(thread, &info) && info.hwndFocus &&
      (info.hwndFocus == window || IsChild(window, info.hwndFocus))) {
    return info.hwndFocus;
  }
  return window;
}

}  // namespace

void pressKey(HWND window, UINT virtualKey) {
  HWND target = focusOf(window);
  UINT scan = MapVirtualKeyW(virtualKey, MAPVK_VK_TO_VSC);
  LPARAM down = 1 | (static_cast<LPARAM>(scan) << 16);
  LPARAM up = down | (static_cast<LPARAM>(1) << 30) | (static_cast<LPARAM>(1) << 31);
  PostMessageW(target, WM_KEYDOWN, virtualKey, down);
  PostMessageW(target, WM_KEYUP, virtualKey, up);
}

void pressAltKey(HWND window, UINT virtualKey) {
  UINT scan = MapVirtualKeyW(virtualKey, MAPVK_VK_TO_VSC);
  // Bit 29: the Alt key is down.
  LPARAM down = 1 | (static_cast<LPARAM>(scan) << 16) | (static_cast<LPARAM>(1) << 29);
  LPARAM up = down | (static_cast<LPARAM>(1) << 30) | (static_cast<LPARAM>(1) << 31);
  PostMessageW(window, WM_SYSKEYDOWN, virtualKey, down);
  PostMessageW(window, WM_SYSKEYUP, virtualKey, up);
}

void postScanKey(HWND window, UINT scanCode, bool down) {
  const UINT virtualKey = MapVirtualKeyW(scanCode & 0xFF, MAPVK_VSC_TO_VK);
  LPARAM lParam = 1 | (static_cast<LPARAM>(scanCode & 0xFF) << 16) |
                  (static_cast<LPARAM>((scanCode >> 8) & 1) << 24);
  if (!down) lParam |= (static_cast<LPARAM>(1) << 30) | (static_cast<LPARAM>(1) << 31);
  PostMessageW(focusOf(window), down ? WM_KEYDOWN : WM_KEYUP, virtualKey, lParam);
}

void postMouseButton(HWND control, int x, int y, bool down) {
  PostMessageW(control, down ? WM_LBUTTONDOWN : WM_LBUTTONUP, down ? MK_LBUTTON : 0,
               MAKELPARAM(x, y));
}

std::string staticTexts(HWND dialog) {
  std::string joined;
  for (HWND child : descendants(dialog)) {
    if (className(child) != "Static") continue;
    std::string text = windowText(child);
    if (text.empty()) continue;
    if (!joined.empty()) joined += " | ";
    joined += text;
  }
  return joined;
}

HWND findButton(HWND dialog, int id) {
  HWND only = nullptr;
  int buttons = 0;
  for (HWND child : descendants(dialog)) {
    if (className(child) != "Button" || !IsWindowVisible(child)) continue;
    if (id != 0 && GetDlgCtrlID(child) == id) return child;
    ++buttons;
    only = child;
  }
  return id == 0 && buttons == 1 ? only : nullptr;
}

HWND findFileNameEdit(HWND dialog) {
  HWND anyEdit = nullptr;
  for (HWND child : descendants(dialog)) {
    if (className(child) != "Edit" || !IsWindowVisible(child)) continue;
    int id = GetDlgCtrlID(child);
    HWND parent = GetParent(child);
    // edt1 in the classic dialog, an edit inside the cmb13 combo box in the explorer one.
    if (id == 0x480 || (parent != dialog && GetDlgCtrlID(parent) == 0x47C)) return child;
    if (!anyEdit) anyEdit = child;
  }
  return anyEdit;
}

bool setText(HWND control, const std::string& text) {
  int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  std::wstring wide(n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), n);
  DWORD_PTR result = 0;
  return SendMessageTimeoutW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()),
                             SMTO_ABORTIFHUNG, kTimeoutMs, &result) != 0 &&
         result == TRUE;
}

std::vector<std::string> comboItems(HWND combo) {
  std::vector<std::string> items;
  DWORD_PTR count = 0;
  if (!SendMessageTimeoutW(combo, CB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, kTimeoutMs, &count) ||
      static_cast<LRESULT>(count) == CB_ERR)
    return items;
  for (WPARAM i = 0; i < count; ++i) {
    DWORD_PTR length = 0;
    SendMessageTimeoutW(combo, CB_GETLBTEXTLEN, i, 0, SMTO_ABORTIFHUNG, kTimeoutMs, &length);
    if (static_cast<LRESULT>(length) == CB_ERR) length = 0;
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text.data()),
                        SMTO_ABORTIFHUNG, kTimeoutMs, &copied);
    if (static_cast<LRESULT>(copied) == CB_ERR) copied = 0;
    text.resize(copied < text.size() ? copied : text.size() - 1);
    items.push_back(toUtf8(text));
  }
  return items;
}

Result selectComboItem(HWND combo, const std::string& text) {
  if (!IsWindowEnabled(combo) || !IsWindowVisible(combo)) return kDisabled;
  std::vector<std::string> items = comboItems(combo);
  for (size_t i = 0; i < items.size(); ++i) {
    if (items[i] != text) continue;
    int id = GetDlgCtrlID(combo);
    bool ok = deliver(combo, CB_SETCURSEL, i, 0) &&
              deliver(GetParent(combo), WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE),
                      reinterpret_cast<LPARAM>(combo));
    return ok ? kOk : kFailed;
  }
  return kFailed;
}

}  // namespace ui_probe
