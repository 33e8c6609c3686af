// The application object of a dialog-based program: exactly one static instance,
// whose InitInstance runs the program; the process ends when it returns.
#pragma once

#include <windows.h>

#include <string>

class DialogBase;

class AppBase {
 public:
  AppBase();
  virtual ~AppBase();
  AppBase(const AppBase&) = delete;
  AppBase& operator=(const AppBase&) = delete;

  // The one instance (null before it is constructed).
  static AppBase* current() { return current_; }

  // Called once by the entry point; false ends the program without a message loop.
  virtual BOOL InitInstance() = 0;

  // Command ids the dialogs do not handle themselves arrive here.
  virtual bool OnCommand(UINT id);
  // Shows the program's help file, named after the executable.
  void OnHelp();

  // Name used as caption of message boxes: the executable's name without extension.
  const std::string& appName() const { return appName_; }
  HINSTANCE instance() const { return instance_; }
  void setMainWindow(DialogBase* window) { mainWindow_ = window; }
  DialogBase* mainWindow() const { return mainWindow_; }

  // Entry point body: prepares the instance and calls InitInstance.
  int run(HINSTANCE instance);

 protected:
  // Three-dimensional controls are the system's own drawing today; what remains
  // is registering the common control classes the dialogs use.
  void Enable3dControls();

 private:
  static AppBase* current_;
  HINSTANCE instance_ = nullptr;
  std::string appName_;
  std::string helpFile_;
  DialogBase* mainWindow_ = nullptr;
};

// Shows `text` in a modal box captioned with the application's name.
int AfxMessageBox(const char* text, UINT type);
