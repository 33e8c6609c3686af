// How MIDI input reaches its receiver (the rack's processMidi): the bytes of one or
// more messages with their count, or no bytes and kMidiResetRequest, which asks the
// receiver to silence every sounding note because input has stopped or was lost.
#pragma once

#include <cstdint>

#include "common/function_ref.h"

using MidiReceiver = FunctionRef<void(const uint8_t* bytes, int32_t count)>;

inline constexpr int32_t kMidiResetRequest = -1;
