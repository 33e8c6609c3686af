// Which implementation renders the voice bank, chosen once for the whole process.
// The reference path is the plain scalar loop; the others compute several voices
// at once and differ from it at most in the last bit of a rare sample.
#pragma once

#include <cstdint>

enum class RenderPath : int32_t { kReference, kSse2, kAvx2, kAvx512 };

// True when this processor (and OS) can run the path.
bool renderPathSupported(RenderPath path);
// The best path this processor can run; the default until setRenderPath is called.
RenderPath fastestRenderPath();
// Switches every synth in the process; returns false and changes nothing when the
// processor cannot run the path.
bool setRenderPath(RenderPath path);
RenderPath renderPath();
const char* renderPathName(RenderPath path);
