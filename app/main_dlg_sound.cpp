// Saving and loading the current synth's parameters as a sound file.
#include <windows.h>
#include <commdlg.h>

#include <new>
#include <vector>

#include "app/engines.h"
#include "app/framework/app_base.h"
#include "app/main_dlg.h"
#include "app/sound_file.h"

namespace {

// Pairs of description and pattern, each ended by a zero, the list by another.
constexpr wchar_t kFilter[] = L"Tonbrik Sound (*.tbk)\0*.tbk\0";
constexpr wchar_t kDefaultExtension[] = L"tbk";
// Room for long folder names; the dialog fails on a name that does not fit.
constexpr size_t kPathChars = 4096;

}  // namespace

bool CMainDlg::askSoundFile(bool save, std::wstring& path) const {
  std::vector<wchar_t> file(kPathChars, L'\0');
  m_strSoundPath.copy(file.data(), kPathChars - 1);
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  // Owned by the main window so that it cannot be closed, or a second file
  // dialog opened, while this one is up.
  ofn.hwndOwner = hwnd();
  ofn.lpstrFilter = kFilter;
  ofn.lpstrFile = file.data();
  ofn.nMaxFile = static_cast<DWORD>(kPathChars);
  ofn.lpstrDefExt = kDefaultExtension;
  ofn.Flags = OFN_HIDEREADONLY;
  const BOOL ok = save ? GetSaveFileNameW(&ofn) : GetOpenFileNameW(&ofn);
  if (!ok) return false;
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
  const SoundSaveResult result = saveSoundFile(path, params.data(), m_nParamCount);
  if (result != SoundSaveResult::kSaved) AfxMessageBox(soundSaveMessage(result), MB_OK);
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
