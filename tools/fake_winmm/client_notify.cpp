#include "client_notify.h"

namespace fake_winmm {

void notifyClient(const ClientCallback& client, HANDLE device, UINT message, DWORD_PTR param1,
                  DWORD_PTR param2) {
  switch (client.flags & CALLBACK_TYPEMASK) {
    case CALLBACK_FUNCTION:
      if (client.target) {
        reinterpret_cast<DRVCALLBACK*>(client.target)(reinterpret_cast<HDRVR>(device), message,
                                                      client.instance, param1, param2);
      }
      break;
    case CALLBACK_EVENT:
      if (client.target) SetEvent(reinterpret_cast<HANDLE>(client.target));
      break;
    case CALLBACK_WINDOW:
      if (client.target) {
        PostMessageA(reinterpret_cast<HWND>(client.target), message,
                     reinterpret_cast<WPARAM>(device), static_cast<LPARAM>(param1));
      }
      break;
    case CALLBACK_THREAD:
      if (client.target) {
        PostThreadMessageA(static_cast<DWORD>(client.target), message,
                           reinterpret_cast<WPARAM>(device), static_cast<LPARAM>(param1));
      }
      break;
    default:
      break;
  }
}

MMRESULT checkCallback(DWORD flags, DWORD_PTR target) {
  switch (flags & CALLBACK_TYPEMASK) {
    case CALLBACK_NULL:
      return MMSYSERR_NOERROR;
    case CALLBACK_FUNCTION:
    case CALLBACK_EVENT:
    case CALLBACK_WINDOW:
    case CALLBACK_THREAD:
      return target ? MMSYSERR_NOERROR : MMSYSERR_INVALPARAM;
    default:
      return MMSYSERR_INVALFLAG;
  }
}

}  // namespace fake_winmm
