#include "midi/wide_text.h"

std::string ansiFromWide(const WCHAR* text, size_t capacity) {
  std::string out;
  if (text == nullptr) return out;
  size_t length = 0;
  while (length < capacity && text[length] != 0) ++length;
  if (length == 0) return out;
  const int wideChars = static_cast<int>(length);
  const int bytes = WideCharToMultiByte(CP_ACP, 0, text, wideChars, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return out;
  out.resize(static_cast<size_t>(bytes));
  const int written =
      WideCharToMultiByte(CP_ACP, 0, text, wideChars, out.data(), bytes, nullptr, nullptr);
  out.resize(written > 0 ? static_cast<size_t>(written) : 0);
  return out;
}
