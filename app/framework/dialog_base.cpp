#include "app/framework/dialog_base.h"

#include "app/framework/app_base.h"

DialogBase::DialogBase(UINT templateId, HWND parent) : templateId_(templateId), parent_(parent) {}

INT_PTR DialogBase::DoModal() {
  HINSTANCE instance = AppBase::current() ? AppBase::current()->instance() : nullptr;
  if (!instance) instance = GetModuleHandleA(nullptr);
  // A dialog without parent is owned by the main window all the same, so that the
  // main window is disabled while it is up and it stays in front of it.
  HWND owner = parent_;
  if (!owner && AppBase::current() && AppBase::current()->mainWindow() != this &&
      AppBase::current()->mainWindow()) {
    owner = AppBase::current()->mainWindow()->hwnd();
  }
  const LPARAM self = reinterpret_cast<LPARAM>(this);
  const INT_PTR result = unicode_ ? DialogBoxParamW(instance, MAKEINTRESOURCEW(templateId_), owner,
                                                    &DialogBase::dialogProc, self)
                                  : DialogBoxParamA(instance, MAKEINTRESOURCEA(templateId_), owner,
                                                    &DialogBase::dialogProc, self);
  hwnd_ = nullptr;
  return result;
}

BOOL DialogBase::OnInitDialog() {
  UpdateData(false);
  return TRUE;
}

void DialogBase::DoDataExchange(DataExchange&) {}

bool DialogBase::UpdateData(bool saveAndValidate) {
  DataExchange dx(hwnd_, saveAndValidate);
  DoDataExchange(dx);
  return true;
}

void DialogBase::OnOK() {
  EndDialog(IDOK);
}

void DialogBase::OnCancel() {
  EndDialog(IDCANCEL);
}

void DialogBase::EndDialog(INT_PTR result) {
  ::EndDialog(hwnd_, result);
}

void DialogBase::SetDlgItemText(int id, const std::string& text) const {
  ::SetDlgItemTextA(hwnd_, id, text.c_str());
}

bool DialogBase::HandleMessage(UINT message, WPARAM wParam, LPARAM, LRESULT& result) {
  if (message == WM_INITDIALOG) {
    result = OnInitDialog();
    return true;
  }
  if (message != WM_COMMAND || HIWORD(wParam) > 1) return false;  // menu, accelerator, click
  const UINT id = LOWORD(wParam);
  if (id == IDOK) {
    OnOK();
  } else if (id == IDCANCEL) {
    OnCancel();
  } else if (!AppBase::current() || !AppBase::current()->OnCommand(id)) {
    return false;
  }
  result = 0;
  return true;
}

INT_PTR CALLBACK DialogBase::dialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  DialogBase* self;
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<DialogBase*>(lParam);
    self->hwnd_ = hwnd;
    SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
  } else {
    self = reinterpret_cast<DialogBase*>(GetWindowLongPtrA(hwnd, DWLP_USER));
  }
  if (!self) return FALSE;
  LRESULT result = 0;
  if (!self->HandleMessage(message, wParam, lParam, result)) return FALSE;
  switch (message) {
    // These answer through the procedure's own result rather than DWLP_MSGRESULT.
    case WM_INITDIALOG:
    case WM_QUERYDRAGICON:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORBTN:
      return static_cast<INT_PTR>(result);
    default:
      SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, result);
      return TRUE;
  }
}
