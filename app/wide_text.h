// Text of the ANSI code page, as the wide calls take it.
#pragma once

#include "platform/platform.h"

#include <string>

inline std::wstring wideFromCodePage(const std::string& text) {
  const int units = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  if (units <= 1) return {};
  std::wstring wide(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), units);
  wide.resize(static_cast<size_t>(units) - 1);
  return wide;
}
