#include "app/about_dlg.h"

#include "app/resource.h"

CAboutDlg::CAboutDlg(HWND parent) : DialogBase(IDD_ABOUTBOX, parent) {}
