// Delivers a driver message to the client the way winmm does, by the callback type chosen
// at open: a function, an event, a window or a thread; CALLBACK_NULL delivers nothing.
#pragma once

// The DLL defines the winmm functions rather than importing them.
#ifndef _WINMM_
#define _WINMM_
#endif
#include <windows.h>
#include <mmsystem.h>

namespace fake_winmm {

struct ClientCallback {
  DWORD_PTR target = 0;
  DWORD_PTR instance = 0;
  DWORD flags = 0;  // the open flags; CALLBACK_TYPEMASK selects the kind
};

void notifyClient(const ClientCallback& client, HANDLE device, UINT message, DWORD_PTR param1,
                  DWORD_PTR param2);

// MMSYSERR_NOERROR if the open flags name a callback kind this driver can deliver.
MMRESULT checkCallback(DWORD flags, DWORD_PTR target);

}  // namespace fake_winmm
