#include "midi/wide_text.h"

#include <cstdint>

namespace {

void appendUtf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

constexpr uint32_t kReplacement = 0xFFFD;

bool isHighSurrogate(uint32_t unit) {
  return unit >= 0xD800 && unit < 0xDC00;
}
bool isLowSurrogate(uint32_t unit) {
  return unit >= 0xDC00 && unit < 0xE000;
}

}  // namespace

std::string utf8FromWide(const wchar_t* text, size_t capacity) {
  std::string out;
  if (text == nullptr) return out;
  for (size_t i = 0; i < capacity && text[i] != 0; ++i) {
    uint32_t unit = static_cast<uint32_t>(text[i]);
    if (unit > 0x10FFFF) {
      unit = kReplacement;
    } else if (isHighSurrogate(unit)) {
      const uint32_t next = i + 1 < capacity ? static_cast<uint32_t>(text[i + 1]) : 0;
      if (isLowSurrogate(next)) {
        unit = 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00);
        ++i;
      } else {
        unit = kReplacement;
      }
    } else if (isLowSurrogate(unit)) {
      unit = kReplacement;
    }
    appendUtf8(out, unit);
  }
  return out;
}
