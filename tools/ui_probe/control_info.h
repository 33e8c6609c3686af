// One line per control, in a form tests can grep:
//   id=1009 class=Button enabled=0 visible=1 checked=0 text="ASIO"
//   id=1020 class=msctls_trackbar32 enabled=1 visible=1 pos=100 min=0 max=100 text=""
#pragma once

#include <windows.h>

#include <string>

namespace ui_probe {

std::string describeControl(HWND control);

// Double-quoted, with quotes and control characters escaped; backslashes stay as they are
// so that Windows paths can be matched literally.
std::string quoted(const std::string& text);

// Trackbar position, or -1 when the window is no trackbar or does not answer.
long trackbarPosition(HWND control);

}  // namespace ui_probe
