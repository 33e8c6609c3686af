#include "window_finder.h"

namespace ui_probe {
namespace {

constexpr UINT kMessageTimeoutMs = 2000;

BOOL CALLBACK collectChild(HWND window, LPARAM list) {
  reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
  return TRUE;
}

BOOL CALLBACK collectTop(HWND window, LPARAM list) {
  reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
  return TRUE;
}

}  // namespace

std::vector<HWND> topLevelWindows() {
  std::vector<HWND> windows;
  EnumWindows(collectTop, reinterpret_cast<LPARAM>(&windows));
  return windows;
}

std::string toUtf8(const std::wstring& wide) {
  if (wide.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string text(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), n,
                      nullptr, nullptr);
  return text;
}

std::string windowText(HWND window) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kMessageTimeoutMs,
                           &length))
    return {};
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                           SMTO_ABORTIFHUNG, kMessageTimeoutMs, &copied))
    return {};
  text.resize(copied < text.size() ? copied : text.size() - 1);
  return toUtf8(text);
}

std::string className(HWND window) {
  char name[256] = {};
  GetClassNameA(window, name, sizeof name);
  return name;
}

std::vector<HWND> descendants(HWND parent) {
  std::vector<HWND> windows;
  EnumChildWindows(parent, collectChild, reinterpret_cast<LPARAM>(&windows));
  return windows;
}

HWND findMainWindow(const std::string& title) {
  HWND best = nullptr;
  size_t bestChildren = 0;
  for (HWND window : topLevelWindows()) {
    if (!IsWindowVisible(window)) continue;
    char caption[256] = {};
    GetWindowTextA(window, caption, sizeof caption);
    if (title != caption) continue;
    size_t children = descendants(window).size();
    if (!best || children > bestChildren) {
      best = window;
      bestChildren = children;
    }
  }
  return best;
}

std::vector<HWND> processDialogs(HWND main) {
  DWORD process = 0;
  GetWindowThreadProcessId(main, &process);
  std::vector<HWND> dialogs;
  for (HWND window : topLevelWindows()) {
    if (window == main || !IsWindowVisible(window)) continue;
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == process) dialogs.push_back(window);
  }
  return dialogs;
}

}  // namespace ui_probe
