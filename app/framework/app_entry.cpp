// Process entry: hands control to the application object. The program reads no
// command line.
#include <windows.h>

#include "app/framework/app_base.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  AppBase* app = AppBase::current();
  return app ? app->run(instance) : 1;
}
