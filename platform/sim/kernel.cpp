// Every waitable object shares one mutex and one condition variable. That is slow
// for a real kernel but simple and obviously correct for tests, where waits are few.
#include "platform/sim/kernel.h"

#include "platform/sim/kernel_objects.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <memory>
#include <thread>
#include <unordered_map>
#include <vector>

namespace sim {
namespace {

struct KernelObject {
  virtual ~KernelObject() = default;
};

struct EventObject : KernelObject {
  bool manualReset = false;
  bool signaled = false;
};

struct ThreadObject : KernelObject {
  std::thread thread;
  bool finished = false;
  bool suspended = false;
  DWORD exitCode = STILL_ACTIVE;
  DWORD terminateCode = 0;
  std::atomic<bool> terminateRequested{false};
  bool held = false;
  int priority = THREAD_PRIORITY_NORMAL;
  DWORD id = 0;
  // While the thread blocks in a wait-any: the objects it waits on.
  const std::vector<std::shared_ptr<KernelObject>>* waitingOn = nullptr;
};

struct Kernel {
  std::mutex mutex;
  std::condition_variable changed;
  std::condition_variable threadBlocked;  // for waitForThreadIdle only
  std::unordered_map<HANDLE, std::shared_ptr<KernelObject>> handles;
  int failCreateEvent = 0;
  int passCreateEvent = 0;
  int failCreateThread = 0;
  DWORD delayNextThreadStart = 0;
  int terminated = 0;
  std::atomic<DWORD> nextThreadId{1000};
  std::atomic<bool> manualCounter{false};
  std::atomic<LONGLONG> manualCounterValue{0};
};

Kernel& kernel() {
  static Kernel* instance = new Kernel;  // never destroyed: detached threads may outlive main
  return *instance;
}

thread_local std::shared_ptr<ThreadObject> currentThread;
thread_local DWORD lastError = 0;

const HANDLE kCurrentThreadPseudoHandle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));

template <class T>
std::shared_ptr<T> lookup(HANDLE handle) {
  auto it = kernel().handles.find(handle);
  if (it == kernel().handles.end()) return nullptr;
  return std::dynamic_pointer_cast<T>(it->second);
}

std::shared_ptr<ThreadObject> lookupThread(HANDLE handle) {
  if (handle == kCurrentThreadPseudoHandle) return currentThread;
  return lookup<ThreadObject>(handle);
}

HANDLE insert(std::shared_ptr<KernelObject> object) {
  HANDLE handle = object.get();
  kernel().handles.emplace(handle, std::move(object));
  return handle;
}

bool isSignaled(KernelObject* object) {
  if (auto* event = dynamic_cast<EventObject*>(object)) return event->signaled;
  if (auto* thread = dynamic_cast<ThreadObject*>(object)) return thread->finished;
  return false;
}

void consume(KernelObject* object) {
  if (auto* event = dynamic_cast<EventObject*>(object)) {
    if (!event->manualReset) event->signaled = false;
  }
}

// A terminated thread leaves at its next wait, as if killed there.
void checkTerminated() {
  if (currentThread && currentThread->terminateRequested.load()) throw ThreadTerminated{};
}

}  // namespace

void terminationPoint() {
  checkTerminated();
}

void setManualPerformanceCounter(bool manual) {
  kernel().manualCounter = manual;
}
void advancePerformanceCounter(LONGLONG ticks) {
  kernel().manualCounterValue += ticks;
}

std::atomic<SleepObserver> sleepObserver{nullptr};

void setSleepObserver(SleepObserver observer) {
  sleepObserver = observer;
}

void failNextCreateEvent(int count, int after) {
  std::lock_guard lock(kernel().mutex);
  kernel().failCreateEvent = count;
  kernel().passCreateEvent = after;
}

void failNextCreateThread(int count) {
  std::lock_guard lock(kernel().mutex);
  kernel().failCreateThread = count;
}

void delayNextThreadStart(DWORD milliseconds) {
  std::lock_guard lock(kernel().mutex);
  kernel().delayNextThreadStart = milliseconds;
}

int threadPriorityOf(HANDLE thread) {
  std::lock_guard lock(kernel().mutex);
  auto object = lookupThread(thread);
  return object ? object->priority : THREAD_PRIORITY_ERROR_RETURN;
}

int terminatedThreadCount() {
  std::lock_guard lock(kernel().mutex);
  return kernel().terminated;
}

int liveHandleCount() {
  std::lock_guard lock(kernel().mutex);
  return static_cast<int>(kernel().handles.size());
}

bool waitForThreadIdle(HANDLE handle, DWORD milliseconds) {
  std::unique_lock lock(kernel().mutex);
  auto thread = lookupThread(handle);
  if (!thread) return false;
  auto idle = [&] {
    if (thread->finished) return true;
    if (!thread->waitingOn) return false;
    for (auto& object : *thread->waitingOn) {
      if (isSignaled(object.get())) return false;
    }
    return true;
  };
  return kernel().threadBlocked.wait_for(lock, std::chrono::milliseconds(milliseconds), idle);
}

void holdThreadWakeUps(HANDLE handle, bool hold) {
  std::lock_guard lock(kernel().mutex);
  auto thread = lookupThread(handle);
  if (!thread) return;
  thread->held = hold;
  kernel().changed.notify_all();
}

void resetKernel() {
  std::lock_guard lock(kernel().mutex);
  kernel().failCreateEvent = 0;
  kernel().passCreateEvent = 0;
  kernel().failCreateThread = 0;
  kernel().delayNextThreadStart = 0;
  kernel().terminated = 0;
  kernel().manualCounter = false;
  kernel().manualCounterValue = 0;
  sleepObserver = nullptr;
}

}  // namespace sim

using namespace sim;

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR) {
  std::lock_guard lock(kernel().mutex);
  if (kernel().passCreateEvent > 0) {
    --kernel().passCreateEvent;
  } else if (kernel().failCreateEvent > 0) {
    --kernel().failCreateEvent;
    lastError = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  auto event = std::make_shared<EventObject>();
  event->manualReset = manualReset != FALSE;
  event->signaled = initialState != FALSE;
  return insert(event);
}

BOOL SetEvent(HANDLE handle) {
  std::lock_guard lock(kernel().mutex);
  auto event = lookup<EventObject>(handle);
  if (!event) return FALSE;
  event->signaled = true;
  kernel().changed.notify_all();
  return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
  std::lock_guard lock(kernel().mutex);
  auto event = lookup<EventObject>(handle);
  if (!event) return FALSE;
  event->signaled = false;
  return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
  std::shared_ptr<KernelObject> object;
  {
    std::lock_guard lock(kernel().mutex);
    auto it = kernel().handles.find(handle);
    if (it == kernel().handles.end()) {
      lastError = ERROR_INVALID_HANDLE;
      return FALSE;
    }
    object = std::move(it->second);
    kernel().handles.erase(it);
    if (auto* thread = dynamic_cast<ThreadObject*>(object.get())) {
      // A thread still running lives on without its handle, as on Windows.
      if (!thread->finished && thread->thread.joinable()) thread->thread.detach();
    }
  }
  if (auto* thread = dynamic_cast<ThreadObject*>(object.get())) {
    if (thread->thread.joinable()) thread->thread.join();
  }
  return TRUE;
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
    lastError = ERROR_INVALID_PARAMETER;
    return WAIT_FAILED;
  }
  std::unique_lock lock(kernel().mutex);
  std::vector<std::shared_ptr<KernelObject>> objects;
  for (DWORD i = 0; i < count; ++i) {
    std::shared_ptr<KernelObject> object =
        handles[i] == kCurrentThreadPseudoHandle ? currentThread : lookup<KernelObject>(handles[i]);
    if (!object) {
      lastError = ERROR_INVALID_HANDLE;
      return WAIT_FAILED;
    }
    objects.push_back(std::move(object));
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    if (currentThread && currentThread->terminateRequested.load()) {
      lock.unlock();
      checkTerminated();
    }
    if (currentThread && currentThread->held) {
      kernel().changed.wait(lock);
      continue;
    }
    if (waitAll) {
      bool all = true;
      for (auto& object : objects) all = all && isSignaled(object.get());
      if (all) {
        for (auto& object : objects) consume(object.get());
        return WAIT_OBJECT_0;
      }
    } else {
      for (DWORD i = 0; i < count; ++i) {
        if (isSignaled(objects[i].get())) {
          consume(objects[i].get());
          return WAIT_OBJECT_0 + i;
        }
      }
    }
    // A thread in a wait, timed or not, has nothing else to do until it returns (a
    // zero time-out is only a look).
    if (currentThread && !waitAll && milliseconds != 0) {
      currentThread->waitingOn = &objects;
      kernel().threadBlocked.notify_all();
    }
    bool timedOut = false;
    if (milliseconds == INFINITE) {
      kernel().changed.wait(lock);
    } else {
      timedOut = kernel().changed.wait_until(lock, deadline) == std::cv_status::timeout;
    }
    if (currentThread) currentThread->waitingOn = nullptr;
    if (timedOut) {
      // One last look: a signal may have come with the time-out.
      bool any = false;
      for (auto& object : objects) any = any || isSignaled(object.get());
      if (!any || waitAll) {
        bool all = true;
        for (auto& object : objects) all = all && isSignaled(object.get());
        if (!(waitAll && all)) return WAIT_TIMEOUT;
      }
    }
  }
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, size_t, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD flags, LPDWORD threadId) {
  std::lock_guard lock(kernel().mutex);
  if (kernel().failCreateThread > 0 || start == nullptr) {
    if (kernel().failCreateThread > 0) --kernel().failCreateThread;
    lastError = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  auto object = std::make_shared<ThreadObject>();
  object->id = kernel().nextThreadId++;
  object->suspended = (flags & CREATE_SUSPENDED) != 0;
  if (threadId) *threadId = object->id;
  const DWORD delay = kernel().delayNextThreadStart;
  kernel().delayNextThreadStart = 0;
  object->thread = std::thread([object, start, parameter, delay] {
    currentThread = object;
    if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    {
      std::unique_lock lock(kernel().mutex);
      kernel().changed.wait(lock, [&] { return !object->suspended; });
    }
    DWORD code = 0;
    try {
      code = start(parameter);
    } catch (const ThreadTerminated&) {
      code = object->terminateCode;
    }
    std::lock_guard lock(kernel().mutex);
    object->exitCode = code;
    object->finished = true;
    kernel().changed.notify_all();
    kernel().threadBlocked.notify_all();
    currentThread.reset();
  });
  return insert(object);
}

DWORD ResumeThread(HANDLE handle) {
  std::lock_guard lock(kernel().mutex);
  auto thread = lookupThread(handle);
  if (!thread) return static_cast<DWORD>(-1);
  DWORD previous = thread->suspended ? 1 : 0;
  thread->suspended = false;
  kernel().changed.notify_all();
  return previous;
}

BOOL SetThreadPriority(HANDLE handle, int priority) {
  std::lock_guard lock(kernel().mutex);
  auto thread = lookupThread(handle);
  if (!thread) return handle == kCurrentThreadPseudoHandle ? TRUE : FALSE;  // the main thread
  thread->priority = priority;
  return TRUE;
}

int GetThreadPriority(HANDLE handle) {
  return threadPriorityOf(handle);
}

HANDLE GetCurrentThread() {
  return kCurrentThreadPseudoHandle;
}

DWORD GetCurrentThreadId() {
  if (currentThread) return currentThread->id;
  return static_cast<DWORD>(std::hash<std::thread::id>{}(std::this_thread::get_id()));
}

BOOL GetExitCodeThread(HANDLE handle, LPDWORD exitCode) {
  std::lock_guard lock(kernel().mutex);
  auto thread = lookupThread(handle);
  if (!thread || !exitCode) return FALSE;
  *exitCode = thread->exitCode;
  return TRUE;
}

BOOL TerminateThread(HANDLE handle, DWORD exitCode) {
  std::lock_guard lock(kernel().mutex);
  auto thread = lookupThread(handle);
  if (!thread) return FALSE;
  if (!thread->finished) {
    thread->terminateCode = exitCode;
    thread->terminateRequested = true;
    thread->suspended = false;
    ++kernel().terminated;
    kernel().changed.notify_all();
  }
  return TRUE;
}

void Sleep(DWORD milliseconds) {
  if (SleepObserver observer = sleepObserver.load()) observer(milliseconds);
  checkTerminated();
  if (!currentThread) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    return;
  }
  // A simulated thread sleeps as a wait, so that TerminateThread can end it here.
  std::unique_lock lock(kernel().mutex);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  kernel().changed.wait_until(lock, deadline,
                              [] { return currentThread->terminateRequested.load(); });
  lock.unlock();
  checkTerminated();
}

DWORD GetTickCount() {
  using namespace std::chrono;
  return static_cast<DWORD>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

DWORD GetLastError() {
  return lastError;
}
void SetLastError(DWORD error) {
  lastError = error;
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* count) {
  if (!count) return FALSE;
  if (kernel().manualCounter) {
    count->QuadPart = kernel().manualCounterValue;
  } else {
    using namespace std::chrono;
    count->QuadPart = duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count() /
                      (1'000'000'000 / kPerformanceFrequency);
  }
  return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
  if (!frequency) return FALSE;
  frequency->QuadPart = kPerformanceFrequency;
  return TRUE;
}
