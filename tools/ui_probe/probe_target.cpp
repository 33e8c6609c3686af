// probe_target: a small dialog with the kinds of controls the program's window has (status
// texts, a check box, a disabled button, a vertical trackbar, Save/Load with file dialogs
// and message boxes, a system-menu About entry), so the probe can be checked on its own.
// Every action it sees is written to the status text (id 1004) and to stdout.
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>

#include <cstdio>
#include <cwchar>
#include <vector>

namespace {

constexpr int kStatus = 1004, kCheck = 1009, kOff = 1010, kSlider = 1020, kSave = 1057,
              kLoad = 1058;
constexpr UINT kAboutCommand = 16;

// A dialog template built in memory, so the target needs no resource script.
class Template {
 public:
  Template(const wchar_t* caption, short cx, short cy) {
    put32(DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE);
    put32(0);
    countAt_ = bytes_.size();
    put16(0);
    put16(0), put16(0), put16(static_cast<WORD>(cx)), put16(static_cast<WORD>(cy));
    put16(0), put16(0);  // no menu, default class
    putText(caption);
    put16(8);
    putText(L"MS Sans Serif");
  }

  void add(WORD atom, const wchar_t* className, const wchar_t* text, int id, DWORD style, short x,
           short y, short cx, short cy) {
    while (bytes_.size() % 4) bytes_.push_back(0);
    put32(style | WS_CHILD | WS_VISIBLE), put32(0);
    put16(static_cast<WORD>(x)), put16(static_cast<WORD>(y));
    put16(static_cast<WORD>(cx)), put16(static_cast<WORD>(cy));
    put16(static_cast<WORD>(id));
    if (className) {
      putText(className);
    } else {
      put16(0xFFFF), put16(atom);
    }
    putText(text);
    put16(0);
    ++count_;
    bytes_[countAt_] = static_cast<BYTE>(count_);
  }

  const DLGTEMPLATE* get() { return reinterpret_cast<const DLGTEMPLATE*>(bytes_.data()); }

 private:
  void put16(WORD v) { bytes_.insert(bytes_.end(), {BYTE(v), BYTE(v >> 8)}); }
  void put32(DWORD v) { put16(WORD(v)), put16(WORD(v >> 16)); }
  void putText(const wchar_t* text) {
    for (; *text; ++text) put16(*text);
    put16(0);
  }
  std::vector<BYTE> bytes_;
  size_t countAt_ = 0;
  int count_ = 0;
};

void report(HWND dialog, const wchar_t* text) {
  SetDlgItemTextW(dialog, kStatus, text);
  std::wprintf(L"%ls\n", text);
  std::fflush(stdout);
}

bool chooseFile(HWND dialog, bool save, wchar_t* path) {
  wcscpy(path, L"mysound1");
  OPENFILENAMEW ofn = {};
  ofn.lStructSize = sizeof ofn;
  ofn.lpstrFilter = L"Probe Sound (*.tbk)\0*.tbk\0";
  ofn.lpstrFile = path;
  ofn.nMaxFile = MAX_PATH;
  ofn.lpstrDefExt = L"tbk";
  ofn.Flags = OFN_HIDEREADONLY;
  (void)dialog;
  return save ? GetSaveFileNameW(&ofn) : GetOpenFileNameW(&ofn);
}

void saveOrLoad(HWND dialog, bool save) {
  wchar_t path[MAX_PATH];
  if (!chooseFile(dialog, save, path)) {
    report(dialog, L"cancelled");
    return;
  }
  HANDLE file = CreateFileW(path, save ? GENERIC_WRITE : GENERIC_READ, 0, nullptr,
                            save ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    MessageBoxW(nullptr, save ? L"File not created." : L"File not found.", L"probe_target", MB_OK);
    report(dialog, L"failed");
    return;
  }
  if (save) {
    DWORD written = 0;
    WriteFile(file, "probe", 5, &written, nullptr);
  }
  CloseHandle(file);
  wchar_t text[MAX_PATH + 16];
  swprintf(text, MAX_PATH + 16, L"%ls %ls", save ? L"saved" : L"loaded", path);
  report(dialog, text);
}

INT_PTR CALLBACK dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  wchar_t text[128];
  switch (message) {
    case WM_INITDIALOG: {
      HWND slider = GetDlgItem(dialog, kSlider);
      SendMessageW(slider, TBM_SETRANGE, FALSE, MAKELPARAM(0, 100));
      SendMessageW(slider, TBM_SETPOS, TRUE, 100);
      EnableWindow(GetDlgItem(dialog, kOff), FALSE);
      HMENU menu = GetSystemMenu(dialog, FALSE);
      AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
      AppendMenuW(menu, MF_STRING, kAboutCommand, L"About");
      report(dialog, L"ready");
      return TRUE;
    }
    case WM_VSCROLL: {
      HWND sender = reinterpret_cast<HWND>(lParam);
      long pos = static_cast<long>(SendMessageW(sender, TBM_GETPOS, 0, 0));
      swprintf(text, 128, L"vscroll id=%d code=%d pos=%ld value=%.2f", GetDlgCtrlID(sender),
               LOWORD(wParam), pos, (100 - pos) / 100.0);
      report(dialog, text);
      return TRUE;
    }
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == kAboutCommand) {
        MessageBoxW(dialog, L"Probe Target  Version 1.0", L"About Probe Target", MB_OK);
        report(dialog, L"about closed");
        return TRUE;
      }
      return FALSE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case kCheck:
          swprintf(text, 128, L"check=%d",
                   static_cast<int>(SendMessageW(GetDlgItem(dialog, kCheck), BM_GETCHECK, 0, 0)));
          report(dialog, text);
          return TRUE;
        case kOff:
          report(dialog, L"clicked disabled");
          return TRUE;
        case kSave:
        case kLoad:
          saveOrLoad(dialog, LOWORD(wParam) == kSave);
          return TRUE;
        case IDOK:
        case IDCANCEL:
          report(dialog, LOWORD(wParam) == IDOK ? L"end ok" : L"end cancel");
          EndDialog(dialog, LOWORD(wParam));
          return TRUE;
      }
      return FALSE;
  }
  return FALSE;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_BAR_CLASSES};
  InitCommonControlsEx(&controls);
  Template form(L"Probe Target", 200, 120);
  form.add(0x0082, nullptr, L"status", kStatus, SS_LEFT, 5, 5, 190, 8);
  form.add(0x0080, nullptr, L"ASIO", kCheck, BS_AUTOCHECKBOX | WS_TABSTOP, 5, 20, 40, 10);
  form.add(0x0080, nullptr, L"Off", kOff, BS_PUSHBUTTON, 50, 20, 30, 12);
  form.add(0, TRACKBAR_CLASSW, L"", kSlider, TBS_VERT | TBS_NOTICKS | WS_TABSTOP, 5, 35, 14, 75);
  form.add(0x0080, nullptr, L"Save", kSave, BS_PUSHBUTTON | WS_TABSTOP, 100, 35, 46, 14);
  form.add(0x0080, nullptr, L"Load", kLoad, BS_PUSHBUTTON | WS_TABSTOP, 100, 55, 46, 14);
  INT_PTR result = DialogBoxIndirectParamW(instance, form.get(), nullptr, dialogProc, 0);
  return static_cast<int>(result);
}
