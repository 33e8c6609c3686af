// The About box, shown from the main window's system menu.
#pragma once

#include "app/framework/dialog_base.h"

class CAboutDlg : public DialogBase {
 public:
  explicit CAboutDlg(HWND parent = nullptr);
};
