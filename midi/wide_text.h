// Device descriptions arrive as UTF-16 in WCHAR arrays; the program's text is
// narrow UTF-8. WCHAR is 16 bits on Windows and 32 on the simulated platform, so
// each element is taken as one UTF-16 code unit (or, above 0xFFFF, a code point).
#pragma once

#include <cstddef>
#include <string>

// Converts up to `capacity` elements, stopping at the first zero.
std::string utf8FromWide(const wchar_t* text, size_t capacity);
