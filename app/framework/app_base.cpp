#include "app/framework/app_base.h"

#include <commctrl.h>

#include "app/framework/dialog_base.h"

namespace {

// Command id of the help command in the application's command map.
constexpr UINT kIdHelp = 57670;

}  // namespace

AppBase* AppBase::current_ = nullptr;

AppBase::AppBase() {
  current_ = this;
}

AppBase::~AppBase() {
  if (current_ == this) current_ = nullptr;
}

int AppBase::run(HINSTANCE instance) {
  instance_ = instance;
  char path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string module(path, length < MAX_PATH ? length : 0);
  const size_t slash = module.find_last_of("\\/");
  std::string base = slash == std::string::npos ? module : module.substr(slash + 1);
  const size_t dot = base.find_last_of('.');
  appName_ = dot == std::string::npos ? base : base.substr(0, dot);
  const size_t moduleDot = module.find_last_of('.');
  helpFile_ = (moduleDot == std::string::npos || (slash != std::string::npos && moduleDot < slash)
                   ? module
                   : module.substr(0, moduleDot)) +
              ".HLP";
  InitInstance();
  return 0;
}

bool AppBase::OnCommand(UINT id) {
  if (id == kIdHelp) {
    OnHelp();
    return true;
  }
  return false;
}

void AppBase::OnHelp() {
  HWND owner = mainWindow_ ? mainWindow_->hwnd() : nullptr;
  WinHelpA(owner, helpFile_.c_str(), HELP_FINDER, 0);
}

void AppBase::Enable3dControls() {
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_BAR_CLASSES | ICC_UPDOWN_CLASS | ICC_STANDARD_CLASSES;
  InitCommonControlsEx(&controls);
}

int AfxMessageBox(const char* text, UINT type) {
  AppBase* app = AppBase::current();
  HWND owner = app && app->mainWindow() ? app->mainWindow()->hwnd() : nullptr;
  return MessageBoxA(owner, text, app ? app->appName().c_str() : nullptr, type);
}
