// Each periodic timer is a thread of its own that calls back at its period until killed.
#include "platform/sim/mmtimer.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace sim {
namespace {

struct Timer {
  std::thread thread;
  std::mutex mutex;
  std::condition_variable wake;
  bool stop = false;
};

struct TimerDevice {
  std::mutex mutex;
  std::map<UINT, std::shared_ptr<Timer>> timers;
  UINT nextId = 1;
  UINT periodMin = 1;
  UINT periodMax = 1000000;
  bool failCaps = false;
  bool failSetEvent = false;
  TimerCall lastCall{};
};

TimerDevice& device() {
  static TimerDevice* instance = new TimerDevice;
  return *instance;
}

}  // namespace

void setTimerCaps(UINT periodMin, UINT periodMax) {
  std::lock_guard lock(device().mutex);
  device().periodMin = periodMin;
  device().periodMax = periodMax;
}

void failTimerCaps(bool fail) {
  std::lock_guard lock(device().mutex);
  device().failCaps = fail;
}

void failTimerSetEvent(bool fail) {
  std::lock_guard lock(device().mutex);
  device().failSetEvent = fail;
}

TimerCall lastTimerSetEvent() {
  std::lock_guard lock(device().mutex);
  return device().lastCall;
}

int runningTimerCount() {
  std::lock_guard lock(device().mutex);
  return static_cast<int>(device().timers.size());
}

void resetTimer() {
  std::lock_guard lock(device().mutex);
  device().periodMin = 1;
  device().periodMax = 1000000;
  device().failCaps = false;
  device().failSetEvent = false;
  device().lastCall = {};
}

}  // namespace sim

using namespace sim;

MMRESULT timeGetDevCaps(LPTIMECAPS caps, UINT size) {
  if (caps == nullptr || size < sizeof(TIMECAPS)) return TIMERR_STRUCT;
  std::lock_guard lock(device().mutex);
  if (device().failCaps) return TIMERR_NOCANDO;
  caps->wPeriodMin = device().periodMin;
  caps->wPeriodMax = device().periodMax;
  return TIMERR_NOERROR;
}

MMRESULT timeSetEvent(UINT delay, UINT resolution, LPTIMECALLBACK callback, DWORD_PTR user,
                      UINT event) {
  std::lock_guard lock(device().mutex);
  if (device().failSetEvent || callback == nullptr || delay < device().periodMin ||
      delay > device().periodMax) {
    return 0;
  }
  const UINT id = device().nextId++;
  auto timer = std::make_shared<Timer>();
  const bool periodic = (event & TIME_PERIODIC) != 0;
  timer->thread = std::thread([timer, id, delay, callback, user, periodic] {
    auto next = std::chrono::steady_clock::now();
    for (;;) {
      next += std::chrono::milliseconds(delay);
      {
        std::unique_lock timerLock(timer->mutex);
        if (timer->wake.wait_until(timerLock, next, [&] { return timer->stop; })) return;
      }
      callback(id, 0, user, 0, 0);
      if (!periodic) return;
    }
  });
  device().timers.emplace(id, timer);
  device().lastCall = TimerCall{delay, resolution, user, event};
  return id;
}

MMRESULT timeKillEvent(UINT timerId) {
  std::shared_ptr<Timer> timer;
  {
    std::lock_guard lock(device().mutex);
    auto it = device().timers.find(timerId);
    if (it == device().timers.end()) return MMSYSERR_ERROR;
    timer = it->second;
    device().timers.erase(it);
  }
  {
    std::lock_guard timerLock(timer->mutex);
    timer->stop = true;
  }
  timer->wake.notify_all();
  // Killing a timer from its own callback must not wait for itself.
  if (timer->thread.get_id() == std::this_thread::get_id()) {
    timer->thread.detach();
  } else {
    timer->thread.join();
  }
  return MMSYSERR_NOERROR;
}

DWORD timeGetTime() {
  using namespace std::chrono;
  return static_cast<DWORD>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}
