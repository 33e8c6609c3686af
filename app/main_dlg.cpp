#include "app/main_dlg.h"

#include <commctrl.h>

#include "app/about_dlg.h"
#include "app/engines.h"
#include "app/framework/app_base.h"
#include "app/recorder.h"
#include "app/framework/keyboard_strip.h"
#include "app/resource.h"

namespace {

constexpr UINT kTimerId = 1;
constexpr UINT kTimerPeriodMs = 100;
constexpr uint32_t kRackTimerMs = 10;

constexpr int32_t kSynthSlot = 0;
constexpr int32_t kSynthChannel = 1;
constexpr int32_t kSynthPolyphony = 16;

constexpr int kSoundPathChars = 260;

}  // namespace

CMainDlg::CMainDlg(HWND parent)
    : DialogBase(IDD_MAIN_DIALOG, parent), m_pAsio(std::make_unique<AsioHost>()) {
  HINSTANCE instance = AppBase::current() ? AppBase::current()->instance() : nullptr;
  if (!instance) instance = GetModuleHandleA(nullptr);
  // Device names outside the ANSI code page need Unicode controls.
  SetUnicode(true);
  m_hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDR_MAINFRAME));
  keyboard_strip::registerClass(instance);
}

CMainDlg::~CMainDlg() {
  CloseAudio();
  if (m_pAsio->closeUnfinished()) {
    // The ASIO driver has not come back from its stop (or refused it) and may call
    // back until the process ends; its callbacks reach the host, and the host the
    // rack. Both are left to it rather than freed under a driver thread: the process
    // ends right after and gives everything back.
    static_cast<void>(m_pAsio.release());
    static_cast<void>(m_pRack.release());
  }
  m_pMidi.reset();
  if (!m_route.freeStranded()) {
    // A worker still inside a call may come back and reach its engine and the rack:
    // both are left to the end of the process.
    m_route.abandonStranded();
    static_cast<void>(m_pRack.release());
  }
  if (m_pRack) {
    m_pRack->close();
    m_pRack.reset();
  }
}

void CMainDlg::DoDataExchange(DataExchange& dx) {
  DialogBase::DoDataExchange(dx);
  dx.control(IDC_ASIO, m_checkAsio);
  dx.control(IDC_KEYS_PLAY_NOTES, m_checkKeys);
}

BOOL CMainDlg::OnInitDialog() {
  DialogBase::OnInitDialog();

  if (HMENU sysMenu = GetSystemMenu(hwnd(), FALSE)) {
    char about[64] = {};
    HINSTANCE instance = AppBase::current() ? AppBase::current()->instance() : nullptr;
    if (LoadStringA(instance, IDS_ABOUTBOX, about, sizeof about) > 0 && about[0] != '\0') {
      AppendMenuA(sysMenu, MF_SEPARATOR, 0, nullptr);
      AppendMenuA(sysMenu, MF_STRING, IDM_ABOUTBOX, about);
    }
    char settings[64] = {};
    if (LoadStringA(instance, IDS_SETTINGS, settings, sizeof settings) > 0 && settings[0] != '\0') {
      AppendMenuA(sysMenu, MF_STRING, IDM_SETTINGS, settings);
    }
  }
  SendMessageA(hwnd(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));

  m_pMidi = std::make_unique<MidiPort>();
  m_pRack = std::make_unique<SynthRack>();
  m_pRack->open(m_pMidi.get(), kRackTimerMs);
  m_route.attach(m_pRack.get(), m_pAsio.get(), hwnd());
  SetTimer(hwnd(), kTimerId, kTimerPeriodMs, nullptr);

  m_choices = loadDeviceChoices();
  m_pRack->setMidiTiming(m_choices.steadyMidiTiming ? MidiTiming::kSteady : MidiTiming::kImmediate);
  OpenMidi();

  ProbeAsio();
  OnAsioCheck();

  wchar_t directory[kSoundPathChars] = {};
  const DWORD length = GetCurrentDirectoryW(kSoundPathChars, directory);
  m_strSoundPath =
      std::wstring(directory, length < kSoundPathChars ? length : 0) + L"\\Sounds\\mysound1";

  SendDlgItemMessage(IDC_SYNTH_SELECT, UDM_SETRANGE, 0, MAKELPARAM(0, 0));
  // The range alone leaves the buddy showing its template text; setting the
  // position writes the selected synth's number into it.
  SendDlgItemMessage(IDC_SYNTH_SELECT, UDM_SETPOS, 0, MAKELPARAM(0, 0));

  m_nParamCount = m_pRack->createSynth(kSynthSlot, kSynthChannel, kSynthPolyphony, false);
  if (m_nParamCount >= 0) {
    m_nSlot = kSynthSlot;
    SetupSliders();
    m_pRack->activate(kSynthSlot);
  }

  SetupRecording();
  OpenKeyboard();
  UpdateData(false);
  return TRUE;
}

bool CMainDlg::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  result = 0;
  switch (message) {
    case WM_SYSCOMMAND:
      return OnSysCommand(static_cast<UINT>(wParam), lParam);
    case WM_PAINT:
      return OnPaint();
    case WM_QUERYDRAGICON:
      result = reinterpret_cast<LRESULT>(OnQueryDragIcon());
      return true;
    case WM_DESTROY:
      OnDestroy();
      return false;
    case keyboard_strip::kNoteMessage:
      PlayNote(static_cast<int32_t>(wParam), static_cast<int32_t>(lParam));
      return true;
    case WM_ACTIVATE:
      // Keys released in another window are never seen here: their notes end now.
      if (LOWORD(wParam) == WA_INACTIVE) ReleaseKeys();
      return false;
    case WM_KILLFOCUS:
      ReleaseKeys();
      return false;
    case WM_TIMER:
      OnTimer(wParam);
      return false;
    case WM_DEVICECHANGE:
      OnDeviceChange();
      return false;
    case WM_VSCROLL:
      OnVScroll(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
      return false;
    case WM_HSCROLL:
      OnHScroll(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
      return false;
    case WM_COMMAND:
      if (HIWORD(wParam) == BN_CLICKED) {
        switch (LOWORD(wParam)) {
          case IDC_ASIO:
            OnAsioCheck();
            return true;
          case IDC_LOAD:
            OnLoad();
            return true;
          case IDC_SAVE:
            OnSave();
            return true;
          case IDC_ASIO_PANEL:
            OnAsioPanel();
            return true;
          case IDC_RECORD:
            OnRecord();
            return true;
          case IDC_RECORD_FOLDER:
            OnRecordFolder();
            return true;
          case IDC_KEYS_PLAY_NOTES:
            OnKeysPlayNotes();
            return true;
          default:
            break;
        }
      }
      if (HIWORD(wParam) == CBN_SELCHANGE && LOWORD(wParam) == IDC_RECORD_FORMAT) {
        OnRecordFormat();
        return true;
      }
      break;
    default:
      break;
  }
  return DialogBase::HandleMessage(message, wParam, lParam, result);
}

void CMainDlg::OnDestroy() {
  CloseKeyboard();
  // Closed rather than stopped: a stop the driver refuses leaves it playing the rack,
  // which is emptied next; a refused close keeps its callbacks out.
  m_pAsio->close();
  m_route.stop();
  if (m_pMidi) m_pMidi->stop();
  // After the audio: the file ends with the last block played.
  EndRecordingAtExit();
  if (m_pRack) m_pRack->open(nullptr, 0);
}

bool CMainDlg::OnSysCommand(UINT id, LPARAM) {
  if ((id & 0xFFF0) == IDM_SETTINGS) {
    OnSettings();
    return true;
  }
  if ((id & 0xFFF0) != IDM_ABOUTBOX) return false;
  CAboutDlg about;
  about.DoModal();
  return true;
}

bool CMainDlg::OnPaint() {
  if (!IsIconic(hwnd())) return false;
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(hwnd(), &paint);
  SendMessageA(hwnd(), WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  const int iconWidth = GetSystemMetrics(SM_CXICON);
  const int iconHeight = GetSystemMetrics(SM_CYICON);
  RECT client;
  GetClientRect(hwnd(), &client);
  const int x = (client.right - client.left - iconWidth + 1) / 2;
  const int y = (client.bottom - client.top - iconHeight + 1) / 2;
  DrawIcon(dc, x, y, m_hIcon);
  EndPaint(hwnd(), &paint);
  return true;
}

void CMainDlg::setStateText(int id, bool active) const {
  SetDlgItemText(id, active ? "active" : "inactive");
}
