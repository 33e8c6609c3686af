// The engines the main window drives.
#pragma once

#include "audio/asio/asio_host.h"
#include "audio/audio_result.h"
#include "audio/dsound/dsound_duplex.h"
#include "midi/midi_port.h"
#include "synth/synth_rack.h"
