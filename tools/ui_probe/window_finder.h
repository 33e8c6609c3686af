// Finding the windows of the program under test from another process.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace ui_probe {

// Waits up to timeoutMs, polling, until ready() returns true; returns its last answer.
template <typename Ready>
bool waitFor(DWORD timeoutMs, Ready ready) {
  DWORD start = GetTickCount();
  for (;;) {
    if (ready()) return true;
    if (GetTickCount() - start >= timeoutMs) return false;
    Sleep(20);
  }
}

// Every top-level window of the desktop, in z-order.
std::vector<HWND> topLevelWindows();

// The visible top-level window with this caption that has the most child windows (a
// message box may carry the same caption as the main window).
HWND findMainWindow(const std::string& title);

// Visible top-level windows of the process that owns `main`, other than `main` itself.
std::vector<HWND> processDialogs(HWND main);

// Every descendant window of `parent`, in z-order, depth first.
std::vector<HWND> descendants(HWND parent);

std::string toUtf8(const std::wstring& wide);
std::string windowText(HWND window);
std::string className(HWND window);

}  // namespace ui_probe
