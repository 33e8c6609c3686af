// Simulated kernel32: events, threads, waits, sleeping and the performance counter.
#pragma once

#include "platform/sim/base.h"

#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define MAXIMUM_WAIT_OBJECTS 64
#define STILL_ACTIVE 259u

#define THREAD_PRIORITY_LOWEST (-2)
#define THREAD_PRIORITY_BELOW_NORMAL (-1)
#define THREAD_PRIORITY_NORMAL 0
#define THREAD_PRIORITY_ABOVE_NORMAL 1
#define THREAD_PRIORITY_HIGHEST 2
#define THREAD_PRIORITY_TIME_CRITICAL 15
#define THREAD_PRIORITY_ERROR_RETURN 0x7fffffff
#define CREATE_SUSPENDED 0x00000004u

typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID);

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                    LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
BOOL CloseHandle(HANDLE object);

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* objects, BOOL waitAll, DWORD milliseconds);

HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, size_t stackSize,
                    LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags, LPDWORD threadId);
DWORD ResumeThread(HANDLE thread);
BOOL SetThreadPriority(HANDLE thread, int priority);
int GetThreadPriority(HANDLE thread);
HANDLE GetCurrentThread();
DWORD GetCurrentThreadId();
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
BOOL TerminateThread(HANDLE thread, DWORD exitCode);

void Sleep(DWORD milliseconds);
DWORD GetTickCount();
DWORD GetLastError();
void SetLastError(DWORD error);

BOOL QueryPerformanceCounter(LARGE_INTEGER* count);
BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency);

namespace sim {

// The simulated performance counter runs at 10 MHz, as on current Windows.
constexpr LONGLONG kPerformanceFrequency = 10'000'000;

// Makes the performance counter stand still until a test advances it, so that
// timing decisions (lateness, load figures) can be tested deterministically.
void setManualPerformanceCounter(bool manual);
void advancePerformanceCounter(LONGLONG ticks);

// Called with the duration of every Sleep before it sleeps (null: none), so a test
// can see the pauses a device operation makes without measuring time.
using SleepObserver = void (*)(DWORD milliseconds);
void setSleepObserver(SleepObserver observer);

// Failure injection: the next `count` calls of the function fail (for events, after
// `after` calls that still succeed, so a test can reach one event of a set).
void failNextCreateEvent(int count = 1, int after = 0);
void failNextCreateThread(int count = 1);
// The next thread created runs only after `milliseconds`: a host too busy to schedule it.
void delayNextThreadStart(DWORD milliseconds);

// Observations for tests.
int threadPriorityOf(HANDLE thread);
int terminatedThreadCount();
int liveHandleCount();

// Waits until `thread` blocks in a wait on objects none of which is signalled (it
// has nothing left to do) or has ended; false after `milliseconds`. Lets a test
// observe a worker's state only once the worker has finished reacting.
bool waitForThreadIdle(HANDLE thread, DWORD milliseconds);
// While held, the thread's waits do not return even when an object is signalled,
// as if the scheduler left it waiting: a late wake-up, made deterministic.
void holdThreadWakeUps(HANDLE thread, bool hold);

// Restores every kernel setting above to its default.
void resetKernel();

}  // namespace sim
