// Saving and loading the current synth's parameters as a sound file.
#include <windows.h>
#include <cderr.h>
#include <commdlg.h>
#include <dlgs.h>

#include <cwchar>
#include <new>
#include <string>
#include <vector>

#include "app/engines.h"
#include "app/framework/app_base.h"
#include "app/main_dlg.h"
#include "app/sound_file.h"

namespace {

// Pairs of description and pattern, each ended by a zero, the list by another.
constexpr wchar_t kFilter[] = L"Tonbrik Sound (*.tbk)\0*.tbk\0";
constexpr wchar_t kDefaultExtension[] = L"tbk";
// The limit of plain paths; the dialogs refuse longer results (see below).
constexpr size_t kPathChars = MAX_PATH;

// Wine's file dialog copies the current folder and the typed name into buffers of
// MAX_PATH characters when OK is pressed; a longer result overruns them and ends
// the program inside the dialog. The dialog is therefore watched: a name whose
// full path would not fit is answered with the message a failed create or open
// gives, and the dialog stays open to correct it.
struct NameGuard {
  const char* message;
  WNDPROC dialogProc = nullptr;
};
constexpr wchar_t kGuardProperty[] = L"Tonbrik.NameGuard";

// The length of the path the dialog would make of the typed name, with the
// default extension it appends to a name without one.
size_t resultLength(HWND dialog) {
  HWND field = GetDlgItem(dialog, cmb13);
  if (!field) field = GetDlgItem(dialog, edt1);
  if (!field) return 0;
  std::wstring name(static_cast<size_t>(GetWindowTextLengthW(field)) + 1, L'\0');
  name.resize(
      static_cast<size_t>(GetWindowTextW(field, name.data(), static_cast<int>(name.size()))));
  size_t length = name.size();
  const bool withDrive = name.size() >= 2 && name[1] == L':';
  const bool fromRoot = !name.empty() && (name[0] == L'\\' || name[0] == L'/');
  if (fromRoot) {
    length += 2;  // the current drive's letter and colon, at most
  } else if (!withDrive) {
    // The current folder and a separator.
    const LRESULT folder = SendMessageW(dialog, CDM_GETFOLDERPATH, 0, 0);
    length += folder > 0 ? static_cast<size_t>(folder) : 0;
  }
  const size_t lastPart = name.find_last_of(L"\\/");
  const size_t dot = name.find_last_of(L'.');
  if (dot == std::wstring::npos || (lastPart != std::wstring::npos && dot < lastPart)) {
    length += 1 + wcslen(kDefaultExtension);
  }
  return length;
}

LRESULT CALLBACK guardedDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* guard = static_cast<NameGuard*>(GetPropW(dialog, kGuardProperty));
  if (!guard) return DefWindowProcW(dialog, message, wParam, lParam);
  const WNDPROC dialogProc = guard->dialogProc;
  if (message == WM_COMMAND && LOWORD(wParam) == IDOK && resultLength(dialog) >= kPathChars) {
    AppBase* app = AppBase::current();
    MessageBoxA(dialog, guard->message, app ? app->appName().c_str() : nullptr, MB_OK);
    return 0;
  }
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrW(dialog, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(dialogProc));
    RemovePropW(dialog, kGuardProperty);
  }
  return CallWindowProcW(dialogProc, dialog, message, wParam, lParam);
}

// The hook's own (empty) child dialog starts first; its parent is the file dialog.
UINT_PTR CALLBACK soundDialogHook(HWND hook, UINT message, WPARAM, LPARAM lParam) {
  if (message != WM_INITDIALOG) return 0;
  HWND dialog = GetParent(hook);
  auto* guard =
      reinterpret_cast<NameGuard*>(reinterpret_cast<const OPENFILENAMEW*>(lParam)->lCustData);
  if (dialog && guard && SetPropW(dialog, kGuardProperty, guard)) {
    guard->dialogProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(dialog, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(guardedDialogProc)));
  }
  return 0;
}

}  // namespace

bool CMainDlg::askSoundFile(bool save, std::wstring& path) const {
  std::vector<wchar_t> file(kPathChars, L'\0');
  m_strSoundPath.copy(file.data(), kPathChars - 1);
  NameGuard guard{save ? soundSaveMessage(SoundSaveResult::kNotCreated)
                       : soundLoadMessage(SoundLoadResult::kNotFound)};
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  // Owned by the main window so that it cannot be closed, or a second file
  // dialog opened, while this one is up.
  ofn.hwndOwner = hwnd();
  ofn.lpstrFilter = kFilter;
  ofn.lpstrFile = file.data();
  ofn.nMaxFile = static_cast<DWORD>(kPathChars);
  ofn.lpstrDefExt = kDefaultExtension;
  // The hook keeps the explorer style and its sizing, as the dialog has without one.
  ofn.Flags = OFN_HIDEREADONLY | OFN_EXPLORER | OFN_ENABLEHOOK | OFN_ENABLESIZING;
  ofn.lpfnHook = soundDialogHook;
  ofn.lCustData = reinterpret_cast<LPARAM>(&guard);
  const BOOL ok = save ? GetSaveFileNameW(&ofn) : GetOpenFileNameW(&ofn);
  if (!ok) {
    // A name the dialog could not hand back whole.
    if (CommDlgExtendedError() == FNERR_BUFFERTOOSMALL) AfxMessageBox(guard.message, MB_OK);
    return false;
  }
  path = file.data();
  return true;
}

void CMainDlg::OnSave() {
  if (!m_pRack || m_nSlot < 0 || m_nParamCount < 1) return;
  std::wstring path;
  if (!askSoundFile(true, path)) return;

  std::vector<float> params;
  try {
    params.resize(static_cast<size_t>(m_nParamCount));
  } catch (const std::bad_alloc&) {
    AfxMessageBox(soundSaveMessage(SoundSaveResult::kOutOfMemory), MB_OK);
    return;
  }
  for (int32_t i = 0; i < m_nParamCount; ++i) params[i] = m_pRack->getParameter(m_nSlot, i);
  std::wstring keptAside;
  const SoundSaveResult result = saveSoundFile(path, params.data(), m_nParamCount, &keptAside);
  if (result == SoundSaveResult::kKeptAside) {
    // The kept file's name may lie outside the ANSI code page.
    AppBase* app = AppBase::current();
    const std::string caption = app ? app->appName() : std::string();
    MessageBoxW(hwnd(), soundKeptAsideMessage(keptAside).c_str(),
                std::wstring(caption.begin(), caption.end()).c_str(), MB_OK);
  } else if (result != SoundSaveResult::kSaved) {
    AfxMessageBox(soundSaveMessage(result), MB_OK);
  }
}

void CMainDlg::OnLoad() {
  if (!m_pRack || m_nSlot < 0 || m_nParamCount < 1) return;
  std::wstring path;
  if (!askSoundFile(false, path)) return;

  std::vector<float> params;
  const SoundLoadResult result = loadSoundFile(path, m_nParamCount, params);
  if (result != SoundLoadResult::kLoaded) {
    AfxMessageBox(soundLoadMessage(result), MB_OK);
    return;
  }
  for (int32_t i = 0; i < m_nParamCount; ++i) m_pRack->setParameter(m_nSlot, i, params[i]);
  RefreshSliders();
}
