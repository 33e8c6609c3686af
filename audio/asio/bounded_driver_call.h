// One driver call made on a thread of its own, so that the caller waits for it only
// a bounded time. A driver whose server or device has gone can block inside a call
// for good; the window thread must not block with it. A call that does not return
// in time is left running: the driver stays with it, and nothing else may call that
// driver until it has come back (pending() answers false again), or ever, once the
// call is abandoned.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "audio/asio/asio.h"
#include "platform/platform.h"

// What one call takes and gives back. The job holds its own copy, so a call that
// never returns writes into nothing of the caller's.
struct DriverCallArgs {
  IASIO* driver = nullptr;
  ASIODriverInfo info{};      // init
  ASIOSampleRate rate = 0.0;  // the sample-rate calls
  int32_t values[4] = {};     // getChannels (in, out), getBufferSize (min, max, preferred, step)
  ASIOChannelInfo channel{};  // getChannelInfo
  // createBuffers: the buffer table (copied in and back), its length, the frames per
  // half buffer, and the callbacks, which the caller keeps for the driver's life.
  std::unique_ptr<ASIOBufferInfo[]> buffers;
  int32_t channels = 0;
  int32_t bufferSize = 0;
  ASIOCallbacks* callbacks = nullptr;
};

class BoundedDriverCall {
 public:
  using Call = ASIOError (*)();
  using CallWithArgs = ASIOError (*)(DriverCallArgs& args);

  BoundedDriverCall() = default;
  // A call still inside the driver is left to it (its thread runs on).
  ~BoundedDriverCall();
  BoundedDriverCall(const BoundedDriverCall&) = delete;
  BoundedDriverCall& operator=(const BoundedDriverCall&) = delete;

  // Makes `call` and waits up to `milliseconds` for it: true with its answer when it
  // returned in time, false when it is still inside the driver. Without a thread to
  // spare, the call is made here, unbounded. Not to be used while pending().
  bool run(Call call, DWORD milliseconds, ASIOError& answer);
  // The same for a call with arguments: `args` goes into the job and, when the call
  // returned in time, comes back with what the driver wrote.
  bool run(CallWithArgs call, DriverCallArgs& args, DWORD milliseconds, ASIOError& answer);
  // True while a call that did not return in time is still inside the driver.
  bool pending();
  // Gives up on a late call for good: its thread frees the job when (if ever) the
  // driver lets it go, and pending() answers false from now on.
  void abandon();

 private:
  struct Job {
    Call call;
    CallWithArgs callWithArgs;
    DriverCallArgs args;
    ASIOError answer;
    // Set by whichever of the thread and abandon() is done with the job first; the
    // other frees it.
    std::atomic<bool> letGo{false};
  };
  static DWORD WINAPI threadEntry(LPVOID parameter);
  static ASIOError invoke(Job& job);
  bool start(DWORD milliseconds, ASIOError& answer);
  void finish();

  HANDLE thread_ = nullptr;  // the late call's thread, while it runs
  Job* job_ = nullptr;       // its job, which that thread still writes
};
