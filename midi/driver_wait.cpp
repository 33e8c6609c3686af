#include "midi/driver_wait.h"

#include <algorithm>

namespace {

LONGLONG counterNow() {
  LARGE_INTEGER counter;
  counter.QuadPart = 0;
  QueryPerformanceCounter(&counter);
  return counter.QuadPart;
}

}  // namespace

DriverWait::DriverWait(DWORD limitMs) : limitMs_(limitMs) {
  LARGE_INTEGER frequency;
  if (QueryPerformanceFrequency(&frequency) && frequency.QuadPart > 0) {
    frequency_ = frequency.QuadPart;
  }
  startTicks_ = counterNow();
}

// The pauses count at their nominal length as well: a counter that cannot be read
// or stands still must not make the wait endless, and a pause that the system
// stretches (a coarse timer) must not make it much longer than meant.
bool DriverWait::expired() const {
  LONGLONG measuredMs = 0;
  if (frequency_ > 0) measuredMs = (counterNow() - startTicks_) * 1000 / frequency_;
  return std::max<LONGLONG>(measuredMs, pausedMs_) >= static_cast<LONGLONG>(limitMs_);
}
