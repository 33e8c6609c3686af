// One driver call made on a thread of its own, so that the caller waits for it only
// a bounded time. A driver whose server or device has gone can block inside a call
// for good; the window thread must not block with it. A call that does not return
// in time is left running: the driver stays with it, and nothing else may call that
// driver until it has come back (pending() answers false again).
#pragma once

#include "audio/asio/asio.h"
#include "platform/platform.h"

class BoundedDriverCall {
 public:
  using Call = ASIOError (*)();

  BoundedDriverCall() = default;
  // A call still inside the driver is left to it (its thread runs on).
  ~BoundedDriverCall();
  BoundedDriverCall(const BoundedDriverCall&) = delete;
  BoundedDriverCall& operator=(const BoundedDriverCall&) = delete;

  // Makes `call` and waits up to `milliseconds` for it: true with its answer when it
  // returned in time, false when it is still inside the driver. Without a thread to
  // spare, the call is made here, unbounded. Not to be used while pending().
  bool run(Call call, DWORD milliseconds, ASIOError& answer);
  // True while a call that did not return in time is still inside the driver.
  bool pending();

 private:
  struct Job {
    Call call;
    ASIOError answer;
  };
  static DWORD WINAPI threadEntry(LPVOID parameter);
  void finish();

  HANDLE thread_ = nullptr;  // the late call's thread, while it runs
  Job* job_ = nullptr;       // its job, which that thread still writes
};
