// Simulated winmm multimedia timer.
#pragma once

#include "platform/sim/base.h"

typedef UINT MMRESULT;

#define MMSYSERR_NOERROR 0u
#define MMSYSERR_ERROR 1u
#define TIMERR_NOERROR 0u
#define TIMERR_NOCANDO 97u
#define TIMERR_STRUCT 129u

#define TIME_ONESHOT 0x0000u
#define TIME_PERIODIC 0x0001u
#define TIME_CALLBACK_FUNCTION 0x0000u

typedef struct timecaps_tag {
  UINT wPeriodMin;
  UINT wPeriodMax;
} TIMECAPS, *LPTIMECAPS;

typedef void(CALLBACK* LPTIMECALLBACK)(UINT timerId, UINT message, DWORD_PTR user,
                                       DWORD_PTR reserved1, DWORD_PTR reserved2);

MMRESULT timeGetDevCaps(LPTIMECAPS caps, UINT size);
MMRESULT timeSetEvent(UINT delay, UINT resolution, LPTIMECALLBACK callback, DWORD_PTR user,
                      UINT event);
MMRESULT timeKillEvent(UINT timerId);
DWORD timeGetTime();

namespace sim {

// The timer device's range; defaults to 1 to 1000000 ms as on Windows.
void setTimerCaps(UINT periodMin, UINT periodMax);
void failTimerCaps(bool fail);
void failTimerSetEvent(bool fail);

struct TimerCall {
  UINT delay;
  UINT resolution;
  DWORD_PTR user;
  UINT event;
};
// The arguments of the last successful timeSetEvent.
TimerCall lastTimerSetEvent();
int runningTimerCount();

void resetTimer();

}  // namespace sim
