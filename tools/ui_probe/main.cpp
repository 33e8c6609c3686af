// ui_probe: reads and drives the program's window from outside, for the end-to-end tests.
// Every verb waits (polling, up to --timeout) for what it needs, prints what it saw one
// line per item, and exits 0 on success, 1 on failure or time-out, 2 on a usage error and
// 3 when the control is disabled or hidden (a user could not use it).
#include "actions.h"
#include "control_info.h"
#include "window_finder.h"

#include <shellapi.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace ui_probe;

namespace {

const char kUsageText[] =
    "usage: ui_probe [--title TEXT] [--timeout MS] VERB [ARGS]\n"
    "  wait-window              wait for the main window: window pid=N controls=N title=\"..\"\n"
    "                           enabled=0|1\n"
    "  list                     one line per control of the main window\n"
    "  get ID...                the lines of these controls\n"
    "  wait-text ID TEXT        wait until the control shows TEXT\n"
    "  wait-enabled ID 0|1      wait until the control is disabled (0) or enabled (1)\n"
    "  click ID [--command]     click a button or check box (BM_CLICK, or WM_COMMAND)\n"
    "  slider ID POS            move a trackbar as a drag does, then print its line\n"
    "  syscommand CMD           post WM_SYSCOMMAND CMD, as a system-menu entry does\n"
    "  about                    the system menu's About entry (syscommand 16)\n"
    "  dialog [--press ID]      wait for another window of the program, print it and its\n"
    "                           controls, optionally press its button ID\n"
    "  select ID TEXT           in the program's other window, pick the combo box item\n"
    "                           with exactly TEXT, then print the box's line\n"
    "  msgbox [--keep]          wait for a message box, print its title and text, press OK\n"
    "  file-dialog NAME         wait for the open or save dialog, type NAME, press OK\n"
    "  key esc|enter|alt+L [--wait-exit]  press a key (or Alt and letter L, a mnemonic)\n"
    "                           in the active window; optionally wait for the program to\n"
    "                           end and print its exit code\n"
    "  scan down|up CODE        post WM_KEYDOWN or WM_KEYUP for the key at scan code CODE\n"
    "                           (0x100: extended) to the active window's focus, and print\n"
    "                           the performance counter once posted\n"
    "  mouse ID down|up X Y     post a left-button press or release at X,Y of control ID\n"
    "  wait-gone                wait until the main window has disappeared\n"
    "  rect [--dialog]          screen rectangle of the main window (or of the program's\n"
    "                           other window) as \"left top width height\"\n";

struct Options {
  std::string title = "Tonbrik";
  DWORD timeoutMs = 5000;
  bool viaCommand = false;
  bool keep = false;
  bool waitExit = false;
  bool dialog = false;
  int press = 0;
  std::vector<std::string> words;  // verb and its arguments
};

bool parseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if ((word == "--title" || word == "--timeout" || word == "--press") && i + 1 < argc) {
      std::string value = argv[++i];
      if (word == "--title") options.title = value;
      if (word == "--timeout") options.timeoutMs = std::strtoul(value.c_str(), nullptr, 10);
      if (word == "--press") options.press = std::atoi(value.c_str());
    } else if (word == "--command") {
      options.viaCommand = true;
    } else if (word == "--keep") {
      options.keep = true;
    } else if (word == "--wait-exit") {
      options.waitExit = true;
    } else if (word == "--dialog") {
      options.dialog = true;
    } else if (word.rfind("--", 0) == 0) {
      return false;
    } else {
      options.words.push_back(word);
    }
  }
  return !options.words.empty();
}

int fail(const std::string& what) {
  std::printf("error %s\n", what.c_str());
  return kFailed;
}

HWND waitMain(const Options& options) {
  HWND main = nullptr;
  waitFor(options.timeoutMs, [&] { return (main = findMainWindow(options.title)) != nullptr; });
  return main;
}

HWND control(HWND main, const std::string& id) {
  return GetDlgItem(main, std::atoi(id.c_str()));
}

// The first dialog of the program that satisfies `accept`, waiting for it.
template <typename Accept>
HWND waitDialog(HWND main, DWORD timeoutMs, Accept accept) {
  HWND found = nullptr;
  waitFor(timeoutMs, [&] {
    for (HWND dialog : processDialogs(main)) {
      if (accept(dialog)) {
        found = dialog;
        return true;
      }
    }
    return false;
  });
  return found;
}

bool waitClosed(HWND window, DWORD timeoutMs) {
  return waitFor(timeoutMs, [&] { return !IsWindow(window) || !IsWindowVisible(window); });
}

int printDialog(HWND dialog) {
  std::printf("dialog title=%s class=%s enabled=%d\n", quoted(windowText(dialog)).c_str(),
              className(dialog).c_str(), IsWindowEnabled(dialog) ? 1 : 0);
  for (HWND child : descendants(dialog)) std::printf("%s\n", describeControl(child).c_str());
  return kOk;
}

int run(const Options& options) {
  const std::vector<std::string>& w = options.words;
  const std::string& verb = w[0];
  HWND main = verb == "wait-gone" ? findMainWindow(options.title) : waitMain(options);
  if (!main) {
    if (verb == "wait-gone") {
      std::printf("gone\n");
      return kOk;
    }
    // What there is instead tells a program that never showed its window from one
    // this probe could not see.
    for (HWND window : topLevelWindows()) {
      char caption[256] = {};
      GetWindowTextA(window, caption, sizeof caption);
      DWORD process = 0;
      GetWindowThreadProcessId(window, &process);
      std::printf("top-level window pid=%lu visible=%d title=%s\n",
                  static_cast<unsigned long>(process), IsWindowVisible(window) ? 1 : 0,
                  quoted(caption).c_str());
    }
    return fail("no window titled " + quoted(options.title));
  }
  if (verb == "wait-window") {
    DWORD process = 0;
    GetWindowThreadProcessId(main, &process);
    std::printf("window pid=%lu controls=%zu title=%s enabled=%d\n",
                static_cast<unsigned long>(process), descendants(main).size(),
                quoted(options.title).c_str(), IsWindowEnabled(main) ? 1 : 0);
    return kOk;
  }
  if (verb == "list") {
    for (HWND child : descendants(main)) std::printf("%s\n", describeControl(child).c_str());
    return kOk;
  }
  if (verb == "get" && w.size() >= 2) {
    int result = kOk;
    for (size_t i = 1; i < w.size(); ++i) {
      HWND item = control(main, w[i]);
      if (item) {
        std::printf("%s\n", describeControl(item).c_str());
      } else {
        result = fail("no control id=" + w[i]);
      }
    }
    return result;
  }
  if (verb == "wait-text" && w.size() == 3) {
    HWND item = control(main, w[1]);
    if (!item) return fail("no control id=" + w[1]);
    bool seen = waitFor(options.timeoutMs, [&] { return windowText(item) == w[2]; });
    std::printf("%s\n", describeControl(item).c_str());
    return seen ? kOk : fail("timeout waiting for text " + quoted(w[2]));
  }
  if (verb == "wait-enabled" && w.size() == 3) {
    HWND item = control(main, w[1]);
    if (!item) return fail("no control id=" + w[1]);
    bool wanted = w[2] == "1";
    bool seen = waitFor(options.timeoutMs, [&] { return (IsWindowEnabled(item) != 0) == wanted; });
    std::printf("%s\n", describeControl(item).c_str());
    return seen ? kOk : fail("timeout waiting for enabled=" + w[2]);
  }
  if (verb == "click" && w.size() == 2) {
    HWND item = control(main, w[1]);
    if (!item) return fail("no control id=" + w[1]);
    Result result = clickControl(item, options.viaCommand);
    if (result == kDisabled) {
      std::printf("disabled %s\n", describeControl(item).c_str());
      return result;
    }
    std::printf("clicked id=%s\n", w[1].c_str());
    return result;
  }
  if (verb == "slider" && w.size() == 3) {
    HWND item = control(main, w[1]);
    if (!item) return fail("no control id=" + w[1]);
    Result result = moveSlider(item, std::atol(w[2].c_str()));
    std::printf("%s\n", describeControl(item).c_str());
    return result;
  }
  if ((verb == "syscommand" && w.size() == 2) || (verb == "about" && w.size() == 1)) {
    WPARAM command = verb == "about" ? 16 : std::strtoul(w[1].c_str(), nullptr, 0);
    PostMessageW(main, WM_SYSCOMMAND, command, 0);
    std::printf("syscommand %lu\n", static_cast<unsigned long>(command));
    return kOk;
  }
  if (verb == "dialog" && w.size() == 1) {
    HWND dialog = waitDialog(main, options.timeoutMs, [](HWND) { return true; });
    if (!dialog) return fail("timeout waiting for a dialog");
    printDialog(dialog);
    if (options.press == 0) return kOk;
    HWND button = findButton(dialog, options.press);
    if (!button) return fail("no button id=" + std::to_string(options.press));
    clickControl(button, false);
    if (!waitClosed(dialog, options.timeoutMs)) return fail("dialog still open");
    std::printf("closed\n");
    return kOk;
  }
  if (verb == "select" && w.size() == 3) {
    int id = std::atoi(w[1].c_str());
    HWND dialog = waitDialog(main, options.timeoutMs,
                             [id](HWND candidate) { return GetDlgItem(candidate, id) != nullptr; });
    if (!dialog) return fail("timeout waiting for a dialog with control id=" + w[1]);
    HWND combo = GetDlgItem(dialog, id);
    Result result = selectComboItem(combo, w[2]);
    std::printf("%s\n", describeControl(combo).c_str());
    return result == kOk ? kOk : fail("no item " + quoted(w[2]));
  }
  if (verb == "msgbox" && w.size() == 1) {
    HWND box = waitDialog(main, options.timeoutMs, [](HWND dialog) {
      return findButton(dialog, IDOK) && !findFileNameEdit(dialog) && !staticTexts(dialog).empty();
    });
    if (!box) return fail("timeout waiting for a message box");
    std::printf("msgbox title=%s text=%s\n", quoted(windowText(box)).c_str(),
                quoted(staticTexts(box)).c_str());
    if (options.keep) return kOk;
    clickControl(findButton(box, IDOK), false);
    if (!waitClosed(box, options.timeoutMs)) return fail("message box still open");
    std::printf("dismissed\n");
    return kOk;
  }
  if (verb == "file-dialog" && w.size() == 2) {
    HWND dialog = waitDialog(main, options.timeoutMs,
                             [](HWND candidate) { return findFileNameEdit(candidate) != nullptr; });
    if (!dialog) return fail("timeout waiting for a file dialog");
    HWND edit = findFileNameEdit(dialog);
    HWND ok = findButton(dialog, IDOK);
    if (!ok) return fail("file dialog without OK button");
    if (!setText(edit, w[1])) return fail("file name not accepted");
    std::printf("file-dialog title=%s typed=%s\n", quoted(windowText(dialog)).c_str(),
                quoted(windowText(edit)).c_str());
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(ok));
    if (!waitClosed(dialog, options.timeoutMs)) {
      printDialog(dialog);
      return fail("file dialog still open");
    }
    std::printf("closed\n");
    return kOk;
  }
  const bool altLetter = w.size() == 2 && w[1].size() == 5 && w[1].rfind("alt+", 0) == 0 &&
                         std::isalpha(static_cast<unsigned char>(w[1][4]));
  if (verb == "key" && w.size() == 2 && (w[1] == "esc" || w[1] == "enter" || altLetter)) {
    DWORD process = 0;
    GetWindowThreadProcessId(main, &process);
    HANDLE handle = options.waitExit ? OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION,
                                                   FALSE, process)
                                     : nullptr;
    if (options.waitExit && !handle) return fail("cannot watch process " + std::to_string(process));
    HWND target = activeWindow(main);
    std::printf("key %s window=%s\n", w[1].c_str(), quoted(windowText(target)).c_str());
    std::fflush(stdout);
    if (altLetter) {
      pressAltKey(target, static_cast<UINT>(std::toupper(static_cast<unsigned char>(w[1][4]))));
    } else {
      pressKey(target, w[1] == "esc" ? VK_ESCAPE : VK_RETURN);
    }
    if (!handle) return kOk;
    DWORD start = GetTickCount();
    DWORD waited = WaitForSingleObject(handle, options.timeoutMs);
    DWORD code = 0;
    GetExitCodeProcess(handle, &code);
    CloseHandle(handle);
    if (waited != WAIT_OBJECT_0) return fail("process still running");
    std::printf("exited code=%lu ms=%lu\n", static_cast<unsigned long>(code),
                static_cast<unsigned long>(GetTickCount() - start));
    return kOk;
  }
  if (verb == "rect" && w.size() == 1) {
    HWND window = main;
    if (options.dialog) {
      window = waitDialog(main, options.timeoutMs, [](HWND) { return true; });
      if (!window) return fail("timeout waiting for a dialog");
    }
    RECT r;
    if (!GetWindowRect(window, &r)) return fail("no rectangle");
    std::printf("%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
    return kOk;
  }
  if (verb == "scan" && w.size() == 3 && (w[1] == "down" || w[1] == "up")) {
    const UINT code = static_cast<UINT>(std::strtoul(w[2].c_str(), nullptr, 0));
    HWND target = activeWindow(main);
    LARGE_INTEGER posted;
    postScanKey(target, code, w[1] == "down");
    QueryPerformanceCounter(&posted);
    // The counter once posted: a latency measurement's start (the window is idle).
    std::printf("scan %s 0x%X window=%s qpc=%lld\n", w[1].c_str(), code,
                quoted(windowText(target)).c_str(), static_cast<long long>(posted.QuadPart));
    return kOk;
  }
  if (verb == "mouse" && w.size() == 5 && (w[2] == "down" || w[2] == "up")) {
    HWND item = control(main, w[1]);
    if (!item) return fail("no control id=" + w[1]);
    postMouseButton(item, std::atoi(w[3].c_str()), std::atoi(w[4].c_str()), w[2] == "down");
    std::printf("mouse %s id=%s at %s,%s\n", w[2].c_str(), w[1].c_str(), w[3].c_str(),
                w[4].c_str());
    return kOk;
  }
  if (verb == "wait-gone" && w.size() == 1) {
    if (!waitFor(options.timeoutMs, [&] { return !IsWindow(main); }))
      return fail("window still there");
    std::printf("gone\n");
    return kOk;
  }
  std::fputs(kUsageText, stderr);
  return kUsage;
}

}  // namespace

// The arguments as UTF-8 from the wide command line: the narrow argv holds them in
// the ANSI code page, which turns a name like "tÅn.tbk" into another file's name.
std::vector<std::string> utf8Arguments() {
  std::vector<std::string> args;
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide) return args;
  for (int i = 0; i < count; ++i) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    std::string arg(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, arg.data(), n, nullptr, nullptr);
    args.push_back(arg);
  }
  LocalFree(wide);
  return args;
}

int main(int argc, char** argv) {
  Options options;
  std::vector<std::string> args = utf8Arguments();
  std::vector<char*> pointers;
  for (std::string& arg : args) pointers.push_back(arg.data());
  if (static_cast<int>(pointers.size()) == argc) argv = pointers.data();
  if (!parseOptions(argc, argv, options)) {
    std::fputs(kUsageText, stderr);
    return kUsage;
  }
  int result = run(options);
  std::fflush(stdout);
  return result;
}
