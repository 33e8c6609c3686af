#include "control_info.h"

#include "actions.h"
#include "window_finder.h"

#include <commctrl.h>

#include <cstdio>

namespace ui_probe {
namespace {

constexpr UINT kTimeoutMs = 2000;

bool ask(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& answer) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kTimeoutMs, &result))
    return false;
  answer = static_cast<LRESULT>(result);
  return true;
}

}  // namespace

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20) {
      char code[8];
      std::snprintf(code, sizeof code, "\\x%02X", c);
      out += code;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

long trackbarPosition(HWND control) {
  LRESULT position = 0;
  if (className(control) != TRACKBAR_CLASSA || !ask(control, TBM_GETPOS, 0, 0, position)) return -1;
  return static_cast<long>(position);
}

std::string describeControl(HWND control) {
  std::string kind = className(control);
  std::string line = "id=" + std::to_string(GetDlgCtrlID(control)) + " class=" + kind +
                     " enabled=" + (IsWindowEnabled(control) ? "1" : "0") +
                     " visible=" + (IsWindowVisible(control) ? "1" : "0");
  LRESULT value = 0;
  if (kind == "Button" && ask(control, BM_GETCHECK, 0, 0, value)) {
    line += " checked=" + std::to_string(value);
  } else if (kind == TRACKBAR_CLASSA) {
    LRESULT low = 0, high = 0;
    if (ask(control, TBM_GETPOS, 0, 0, value) && ask(control, TBM_GETRANGEMIN, 0, 0, low) &&
        ask(control, TBM_GETRANGEMAX, 0, 0, high)) {
      line += " pos=" + std::to_string(value) + " min=" + std::to_string(low) +
              " max=" + std::to_string(high);
    }
  } else if (kind == UPDOWN_CLASSA && ask(control, UDM_GETPOS32, 0, 0, value)) {
    line += " pos=" + std::to_string(static_cast<int>(value));
  } else if (kind == "ComboBox" && ask(control, CB_GETCURSEL, 0, 0, value)) {
    std::string items;
    for (const std::string& item : comboItems(control)) items += (items.empty() ? "" : "|") + item;
    line += " selected=" + std::to_string(static_cast<int>(value)) + " items=" + quoted(items);
  }
  if (kind == "Static") {
    // An icon or bitmap static holds a resource reference, not text.
    LONG type = GetWindowLongW(control, GWL_STYLE) & SS_TYPEMASK;
    if (type == SS_ICON || type == SS_BITMAP) return line + " image=1 text=\"\"";
  }
  if (kind == "TonbrikKeyboard") {
    // A drawn control: where to point the mouse follows from its size.
    RECT client{};
    GetClientRect(control, &client);
    line += " client=" + std::to_string(client.right) + "x" + std::to_string(client.bottom);
  }
  return line + " text=" + quoted(windowText(control));
}

}  // namespace ui_probe
