// Data exchange between a dialog's controls and the members that stand for them.
#pragma once

#include <windows.h>

// A member standing for one control of a dialog once it is bound.
class ControlRef {
 public:
  HWND hwnd() const { return hwnd_; }
  bool bound() const { return hwnd_ != nullptr; }
  void Attach(HWND hwnd) { hwnd_ = hwnd; }
  void Detach() { hwnd_ = nullptr; }
  BOOL EnableWindow(BOOL enable) const { return ::EnableWindow(hwnd_, enable); }
  LRESULT SendMessage(UINT message, WPARAM wParam, LPARAM lParam) const {
    return ::SendMessageA(hwnd_, message, wParam, lParam);
  }

 private:
  HWND hwnd_ = nullptr;
};

// A check box control (BM_GETCHECK / BM_SETCHECK).
class CheckBox : public ControlRef {
 public:
  int GetCheck() const { return static_cast<int>(SendMessage(BM_GETCHECK, 0, 0)); }
  void SetCheck(int state) const { SendMessage(BM_SETCHECK, static_cast<WPARAM>(state), 0); }
};

class DataExchange {
 public:
  DataExchange(HWND dialog, bool saveAndValidate) : dialog_(dialog), save_(saveAndValidate) {}
  bool saveAndValidate() const { return save_; }

  // Binds `control` to dialog item `id` the first time; later exchanges keep it.
  void control(int id, ControlRef& control) const {
    if (!control.bound()) control.Attach(::GetDlgItem(dialog_, id));
  }

 private:
  HWND dialog_;
  bool save_;
};
