// What a full-duplex worker does with each block's output (the DirectSound and the
// WASAPI route alike).
#pragma once

#include <cstdint>

enum class DuplexOutput : int32_t {
  Play = 0,                   // render the rack and play it
  SilenceWhileRendering = 1,  // render the rack (its voices go on), play silence
  NoRender = 2,               // leave the rack alone and play silence
};
