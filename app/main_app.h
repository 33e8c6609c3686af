// The application object: runs the main window modally and ends with it.
#pragma once

#include "app/framework/app_base.h"

class CMainApp : public AppBase {
 public:
  CMainApp() = default;
  BOOL InitInstance() override;
};
