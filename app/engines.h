// The engines the main window drives. An engine whose header is not part of
// this build yet is left out: the window then shows its lines as "inactive".
#pragma once

#include "audio/dsound_duplex.h"
#include "midi/midi_port.h"
#include "synth/synth_rack.h"

#if __has_include("audio/asio_host.h")
#include "audio/asio_host.h"
#define TONBRIK_HAVE_ASIO 1
#else
#define TONBRIK_HAVE_ASIO 0
#endif
