// The engines the main window drives. An engine whose header is not part of
// this build yet is left out: the window then shows its lines as "inactive".
#pragma once

#include "synth/synth_rack.h"

#if __has_include("audio/dsound_duplex.h")
#include "audio/dsound_duplex.h"
#define TONBRIK_HAVE_DUPLEX 1
#else
#define TONBRIK_HAVE_DUPLEX 0
class DsoundDuplex {};
#endif

#if __has_include("audio/asio_host.h")
#include "audio/asio_host.h"
#define TONBRIK_HAVE_ASIO 1
#else
#define TONBRIK_HAVE_ASIO 0
#endif

#if __has_include("midi/midi_port.h")
#include "midi/midi_port.h"
#define TONBRIK_HAVE_MIDI 1
#else
#define TONBRIK_HAVE_MIDI 0
class MidiPort {};
#endif
