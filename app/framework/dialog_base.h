// A modal dialog over DialogBoxParam. The dialog procedure hands every message
// to HandleMessage, which derived dialogs override to call their named
// handlers; whatever they leave unhandled gets the dialog manager's default.
#pragma once

#include <windows.h>

#include <string>

#include "app/framework/data_exchange.h"

class DialogBase {
 public:
  DialogBase(UINT templateId, HWND parent);
  virtual ~DialogBase() = default;
  DialogBase(const DialogBase&) = delete;
  DialogBase& operator=(const DialogBase&) = delete;

  // Creates the dialog and runs its modal loop; the EndDialog result, or -1.
  INT_PTR DoModal();
  HWND hwnd() const { return hwnd_; }

 protected:
  // Runs the first data exchange (towards the controls). Return TRUE to let the
  // system put the focus on the first control.
  virtual BOOL OnInitDialog();
  // Binds controls to members and moves values; the base binds nothing.
  virtual void DoDataExchange(DataExchange& dx);
  // Data exchange: true reads the controls into members, false the other way.
  bool UpdateData(bool saveAndValidate);

  // One message. Return true and set `result` when the message was handled;
  // false passes it on to the default processing.
  virtual bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);

  // Makes DoModal create Unicode windows, whose controls keep text outside the ANSI
  // code page (device names, for instance).
  void SetUnicode(bool unicode) { unicode_ = unicode; }

  // Enter and Esc end the modal loop.
  virtual void OnOK();
  virtual void OnCancel();
  void EndDialog(INT_PTR result);

  // Control access.
  HWND GetDlgItem(int id) const { return ::GetDlgItem(hwnd_, id); }
  void SetDlgItemText(int id, const std::string& text) const;
  LRESULT SendDlgItemMessage(int id, UINT message, WPARAM wParam, LPARAM lParam) const {
    return ::SendDlgItemMessageA(hwnd_, id, message, wParam, lParam);
  }

 private:
  static INT_PTR CALLBACK dialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

  UINT templateId_;
  HWND parent_;
  HWND hwnd_ = nullptr;
  bool unicode_ = false;
};
