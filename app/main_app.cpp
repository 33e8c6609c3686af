#include "app/main_app.h"

#include "app/main_dlg.h"

// The one application object; the entry point finds it through AppBase::current.
CMainApp theApp;

BOOL CMainApp::InitInstance() {
  Enable3dControls();
  CMainDlg dlg;
  setMainWindow(&dlg);
  dlg.DoModal();
  setMainWindow(nullptr);
  // The window has ended: no message loop follows, the process ends.
  return FALSE;
}
