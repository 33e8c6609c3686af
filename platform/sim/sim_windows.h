// Simulated Windows: the subset of the Win32 API the engines call, implemented
// on the C++ standard library. Each header also declares, in namespace sim, the
// controls tests use to drive the simulated devices and to make calls fail.
#pragma once

#include "platform/sim/base.h"
#include "platform/sim/kernel.h"
#include "platform/sim/mmtimer.h"
#include "platform/sim/com.h"
#include "platform/sim/dsound.h"
#include "platform/sim/midi.h"
#include "platform/sim/dmusic.h"
#include "platform/sim/registry.h"
#include "platform/sim/wasapi.h"
