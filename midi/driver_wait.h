// A bounded wait for a MIDI driver that is still busy with a buffer. Every retry on
// MIDIERR_STILLPLAYING takes its time from one of these, so that a driver that
// never gives a buffer back cannot hang the thread that asks.
#pragma once

#include "platform/platform.h"

class DriverWait {
 public:
  static constexpr DWORD kLimitMs = 2000;
  static constexpr DWORD kPauseMs = 1;

  // The time starts now.
  DriverWait() : DriverWait(kLimitMs) {}
  // With a limit of 0 every call is made once: for a device known to be gone.
  explicit DriverWait(DWORD limitMs);

  // Calls `call` until it answers something other than MIDIERR_STILLPLAYING or the
  // time is up, pausing between calls; returns its last answer. It is called at
  // least once, also when the time is up already.
  template <class Call>
  MMRESULT retry(Call call) {
    MMRESULT result = call();
    while (result == MIDIERR_STILLPLAYING && !expired()) {
      Sleep(kPauseMs);
      pausedMs_ += kPauseMs;
      result = call();
    }
    return result;
  }

 private:
  bool expired() const;

  DWORD limitMs_ = kLimitMs;
  LONGLONG startTicks_ = 0;
  LONGLONG frequency_ = 0;
  DWORD pausedMs_ = 0;
};
