// The one header through which engine code reaches the operating system.
// On Windows it is the real SDK; on Linux the simulated Windows in sim/ declares
// the same names, so engine code is written once against the Win32 API.
#pragma once

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <mmsystem.h>
#include <objbase.h>
#include <mmreg.h>
#include <dsound.h>
#include <dmusicc.h>
#include <ksmedia.h>
#include <mmdeviceapi.h>
#include <audioclient.h>
#include <functiondiscoverykeys_devpkey.h>
#include <avrt.h>
#else
#include "platform/sim/sim_windows.h"
#endif
