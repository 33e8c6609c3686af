// Device descriptions arrive as UTF-16 in WCHAR arrays; the program's narrow text
// (window texts set with the "A" functions) is the ANSI code page.
#pragma once

#include <cstddef>
#include <string>

#include "platform/platform.h"

// Converts up to `capacity` elements, stopping at the first zero. Characters the
// code page lacks become the system's default character.
std::string ansiFromWide(const WCHAR* text, size_t capacity);
