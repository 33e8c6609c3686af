#include "app/framework/keyboard_strip.h"

#include <algorithm>
#include <cmath>
#include <cwchar>
#include <new>

namespace keyboard_strip {
namespace {

constexpr int32_t kNoNote = -1;

// The white keys' offsets in an octave, and whether a semitone is a black key.
bool isBlack(int32_t note) {
  const int32_t n = note % 12;
  return n == 1 || n == 3 || n == 6 || n == 8 || n == 10;
}

struct State {
  int32_t firstNote = 48;
  uint32_t lit[4] = {};
  HFONT font = nullptr;
  int32_t pressed = kNoNote;  // the note the mouse plays
  bool capturing = false;
};

struct Layout {
  RECT keys{};  // the strip of keys, below the caption line
  int captionHeight = 0;
  double whiteWidth = 0;
  int blackHeight = 0;
};

State* stateOf(HWND hwnd) {
  return reinterpret_cast<State*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
}

int whitesBefore(int32_t first, int32_t note) {
  int count = 0;
  for (int32_t n = first; n < note; ++n) count += isBlack(n) ? 0 : 1;
  return count;
}

Layout layoutOf(HWND hwnd, const State& state) {
  Layout layout;
  RECT client;
  GetClientRect(hwnd, &client);
  HDC dc = GetDC(hwnd);
  HGDIOBJ old = SelectObject(dc, state.font ? state.font : GetStockObject(DEFAULT_GUI_FONT));
  TEXTMETRICW metrics{};
  GetTextMetricsW(dc, &metrics);
  SelectObject(dc, old);
  ReleaseDC(hwnd, dc);
  layout.captionHeight = static_cast<int>(metrics.tmHeight) + 2;
  layout.keys = client;
  layout.keys.top = std::min(client.bottom, client.top + layout.captionHeight);
  const int whites = whitesBefore(state.firstNote, state.firstNote + kShownNotes);
  layout.whiteWidth = static_cast<double>(client.right - client.left) / std::max(whites, 1);
  layout.blackHeight = (layout.keys.bottom - layout.keys.top) * 3 / 5;
  return layout;
}

RECT keyRect(const Layout& layout, const State& state, int32_t note) {
  const int white = whitesBefore(state.firstNote, note);
  RECT rect = layout.keys;
  if (!isBlack(note)) {
    rect.left = layout.keys.left + static_cast<int>(white * layout.whiteWidth);
    rect.right = layout.keys.left + static_cast<int>((white + 1) * layout.whiteWidth);
    return rect;
  }
  const double middle = layout.keys.left + white * layout.whiteWidth;
  const double half = layout.whiteWidth * 0.3;
  rect.left = static_cast<int>(middle - half);
  rect.right = static_cast<int>(middle + half);
  rect.bottom = rect.top + layout.blackHeight;
  return rect;
}

// The key under a point and the velocity its height gives, or kNoNote.
int32_t hit(HWND hwnd, const State& state, POINT point, int32_t& velocity) {
  const Layout layout = layoutOf(hwnd, state);
  const int32_t last = state.firstNote + kShownNotes;
  for (const bool black : {true, false}) {
    for (int32_t note = state.firstNote; note < last; ++note) {
      if (isBlack(note) != black) continue;
      const RECT rect = keyRect(layout, state, note);
      if (!PtInRect(&rect, point)) continue;
      const int height = std::max(1, static_cast<int>(rect.bottom - rect.top) - 1);
      const double depth = static_cast<double>(point.y - rect.top) / height;
      velocity = std::clamp(1 + static_cast<int32_t>(std::lround(depth * 126.0)), 1, 127);
      return note;
    }
  }
  return kNoNote;
}

void play(HWND hwnd, State& state, int32_t note, int32_t velocity) {
  if (note == state.pressed) return;
  HWND parent = GetParent(hwnd);
  if (state.pressed >= 0) {
    SendMessageW(parent, kNoteMessage, static_cast<WPARAM>(state.pressed), 0);
  }
  state.pressed = note;
  if (note >= 0) SendMessageW(parent, kNoteMessage, static_cast<WPARAM>(note), velocity);
}

bool isLit(const State& state, int32_t note) {
  return note >= 0 && note < 128 && ((state.lit[note >> 5] >> (note & 31)) & 1u) != 0;
}

void paint(HWND hwnd, const State& state, HDC target) {
  RECT client;
  GetClientRect(hwnd, &client);
  // Drawn off screen and copied once, so a refresh never flickers.
  HDC dc = CreateCompatibleDC(target);
  HBITMAP bitmap = CreateCompatibleBitmap(target, std::max(1L, client.right - client.left),
                                          std::max(1L, client.bottom - client.top));
  HGDIOBJ oldBitmap = SelectObject(dc, bitmap);
  HGDIOBJ oldFont = SelectObject(dc, state.font ? state.font : GetStockObject(DEFAULT_GUI_FONT));
  const Layout layout = layoutOf(hwnd, state);

  FillRect(dc, &client, GetSysColorBrush(COLOR_BTNFACE));
  wchar_t caption[160] = {};
  GetWindowTextW(hwnd, caption, 160);
  RECT captionRect = client;
  captionRect.bottom = layout.keys.top;
  captionRect.left += 2;
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
  DrawTextW(dc, caption, -1, &captionRect,
            DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);

  HBRUSH litWhite = CreateSolidBrush(RGB(140, 190, 255));
  HBRUSH litBlack = CreateSolidBrush(RGB(40, 90, 200));
  HBRUSH white = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  HBRUSH black = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
  HBRUSH edge = static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH));
  const int32_t last = state.firstNote + kShownNotes;
  for (const bool blackKeys : {false, true}) {
    for (int32_t note = state.firstNote; note < last; ++note) {
      if (isBlack(note) != blackKeys) continue;
      RECT rect = keyRect(layout, state, note);
      FillRect(
          dc, &rect,
          isLit(state, note) ? (blackKeys ? litBlack : litWhite) : (blackKeys ? black : white));
      FrameRect(dc, &rect, blackKeys ? black : edge);
      if (!blackKeys && note % 12 == 0) {
        wchar_t name[8];
        std::swprintf(name, 8, L"C%d", note / 12 - 1);
        SetTextColor(dc, RGB(90, 90, 90));
        DrawTextW(dc, name, -1, &rect, DT_CENTER | DT_BOTTOM | DT_SINGLELINE | DT_NOPREFIX);
      }
    }
  }
  DeleteObject(litWhite);
  DeleteObject(litBlack);

  BitBlt(target, 0, 0, client.right - client.left, client.bottom - client.top, dc, 0, 0, SRCCOPY);
  SelectObject(dc, oldFont);
  SelectObject(dc, oldBitmap);
  DeleteObject(bitmap);
  DeleteDC(dc);
}

LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  State* state = stateOf(hwnd);
  switch (message) {
    case WM_NCCREATE:
      state = new (std::nothrow) State;
      if (!state) return FALSE;
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state));
      break;
    case WM_NCDESTROY:
      delete state;
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
      break;
    default:
      break;
  }
  if (!state) return DefWindowProcW(hwnd, message, wParam, lParam);
  switch (message) {
    case WM_SETFONT:
      state->font = reinterpret_cast<HFONT>(wParam);
      if (LOWORD(lParam)) InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    case WM_GETFONT:
      return reinterpret_cast<LRESULT>(state->font);
    case WM_SETTEXT: {
      const LRESULT result = DefWindowProcW(hwnd, message, wParam, lParam);
      InvalidateRect(hwnd, nullptr, FALSE);
      return result;
    }
    case kSetFirstNote:
      state->firstNote = std::clamp(static_cast<int32_t>(wParam), 0, 127 - kShownNotes + 1);
      InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    case kSetLitNotes: {
      const auto* bits = reinterpret_cast<const uint32_t*>(lParam);
      if (bits && !std::equal(bits, bits + 4, state->lit)) {
        std::copy(bits, bits + 4, state->lit);
        InvalidateRect(hwnd, nullptr, FALSE);
      }
      return 0;
    }
    case WM_ERASEBKGND:
      return 1;  // painted whole in WM_PAINT
    case WM_PAINT: {
      PAINTSTRUCT paintStruct;
      HDC dc = BeginPaint(hwnd, &paintStruct);
      paint(hwnd, *state, dc);
      EndPaint(hwnd, &paintStruct);
      return 0;
    }
    case WM_LBUTTONDOWN:
    case WM_MOUSEMOVE: {
      if (message == WM_LBUTTONDOWN) {
        SetCapture(hwnd);
        state->capturing = true;
      } else if (!state->capturing) {
        return 0;
      }
      const POINT point{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
      int32_t velocity = 0;
      const int32_t note = hit(hwnd, *state, point, velocity);
      play(hwnd, *state, note, velocity);
      return 0;
    }
    case WM_LBUTTONUP:
      if (state->capturing) {
        state->capturing = false;
        play(hwnd, *state, kNoNote, 0);
        ReleaseCapture();
      }
      return 0;
    case WM_CAPTURECHANGED:
      // Taken by another window (a menu, a message box): the note ends here.
      state->capturing = false;
      play(hwnd, *state, kNoNote, 0);
      return 0;
    default:
      break;
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

}  // namespace

bool registerClass(HINSTANCE instance) {
  WNDCLASSW windowClass{};
  if (GetClassInfoW(instance, kClassName, &windowClass)) return true;
  windowClass.lpfnWndProc = &windowProc;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // the arrow
  windowClass.lpszClassName = kClassName;
  return RegisterClassW(&windowClass) != 0;
}

}  // namespace keyboard_strip
