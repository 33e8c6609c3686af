// window_text <caption> [--escape] [--wait <ms>]
//
// Waits for the top-level window with exactly that caption. Then prints its
// screen rectangle ("rect <left> <top> <width> <height>") and one line per child
// control in z-order: "<id>\t<class>\t<text>". With --escape it instead presses
// Esc in the window (a key-down/up pair posted to the control that has the focus,
// which the dialog's message loop turns into a Cancel command).
// Exit codes: 0 done, 1 no such window within the wait, 2 bad arguments.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

BOOL CALLBACK printChild(HWND child, LPARAM parent) {
  if (GetParent(child) != reinterpret_cast<HWND>(parent)) return TRUE;  // direct children only
  char className[128] = {};
  GetClassNameA(child, className, sizeof className);
  char text[512] = {};
  // WM_GETTEXT reads another process's controls, GetWindowText does not.
  SendMessageTimeoutA(child, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text),
                      SMTO_ABORTIFHUNG, 2000, nullptr);
  std::printf("%d\t%s\t%s\n", GetDlgCtrlID(child), className, text);
  return TRUE;
}

void pressEscape(HWND window) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  const DWORD thread = GetWindowThreadProcessId(window, nullptr);
  HWND target = window;
  if (GetGUIThreadInfo(thread, &info) && info.hwndFocus) target = info.hwndFocus;
  const LPARAM down = 1 | (MapVirtualKeyA(VK_ESCAPE, MAPVK_VK_TO_VSC) << 16);
  PostMessageA(target, WM_KEYDOWN, VK_ESCAPE, down);
  PostMessageA(target, WM_KEYUP, VK_ESCAPE, down | (1u << 30) | (1u << 31));
}

}  // namespace

int main(int argc, char** argv) {
  const char* caption = nullptr;
  bool escape = false;
  long waitMs = 10000;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--escape") == 0) {
      escape = true;
    } else if (std::strcmp(argv[i], "--wait") == 0 && i + 1 < argc) {
      waitMs = std::strtol(argv[++i], nullptr, 10);
    } else if (!caption) {
      caption = argv[i];
    } else {
      caption = nullptr;
      break;
    }
  }
  if (!caption) {
    std::fprintf(stderr, "usage: window_text <caption> [--escape] [--wait <ms>]\n");
    return 2;
  }

  HWND window = nullptr;
  const DWORD start = GetTickCount();
  while (!(window = FindWindowA(nullptr, caption)) || !IsWindowVisible(window)) {
    if (static_cast<long>(GetTickCount() - start) >= waitMs) {
      std::fprintf(stderr, "window_text: no window \"%s\"\n", caption);
      return 1;
    }
    Sleep(50);
  }

  if (escape) {
    pressEscape(window);
    return 0;
  }
  RECT rect;
  GetWindowRect(window, &rect);
  std::printf("rect %ld %ld %ld %ld\n", rect.left, rect.top, rect.right - rect.left,
              rect.bottom - rect.top);
  EnumChildWindows(window, printChild, reinterpret_cast<LPARAM>(window));
  std::fflush(stdout);
  return 0;
}
