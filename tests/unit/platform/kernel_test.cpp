// The simulated kernel's less obvious behaviour: auto-reset events, multi-waits,
// thread ends, TerminateThread, the manual performance counter, the periodic timer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/platform.h"

namespace {

TEST(SimKernel, AutoResetEventsWakeOneWaitAndManualOnesStaySignaled) {
  HANDLE autoEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE manualEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(WaitForSingleObject(autoEvent, 0), WAIT_TIMEOUT);
  SetEvent(autoEvent);
  EXPECT_EQ(WaitForSingleObject(autoEvent, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(autoEvent, 0), WAIT_TIMEOUT);
  SetEvent(manualEvent);
  EXPECT_EQ(WaitForSingleObject(manualEvent, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manualEvent, 0), WAIT_OBJECT_0);
  ResetEvent(manualEvent);
  EXPECT_EQ(WaitForSingleObject(manualEvent, 5), WAIT_TIMEOUT);

  // The lowest signaled index wins; only that one is consumed.
  HANDLE second = CreateEventA(nullptr, FALSE, TRUE, nullptr);
  HANDLE both[2] = {autoEvent, second};
  SetEvent(autoEvent);
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_TIMEOUT);

  for (HANDLE h : {autoEvent, manualEvent, second}) EXPECT_TRUE(CloseHandle(h));
  EXPECT_FALSE(CloseHandle(autoEvent));
  EXPECT_EQ(WaitForSingleObject(autoEvent, 0), WAIT_FAILED);
}

TEST(SimKernel, ThreadsRunSignalTheirEndAndReportTheirExitCode) {
  HANDLE go = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](LPVOID event) -> DWORD {
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
        return WaitForSingleObject(static_cast<HANDLE>(event), INFINITE) == WAIT_OBJECT_0 ? 7 : 8;
      },
      go, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, 20), WAIT_TIMEOUT);
  DWORD code = 0;
  GetExitCodeThread(thread, &code);
  EXPECT_EQ(code, STILL_ACTIVE);
  SetEvent(go);
  EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
  GetExitCodeThread(thread, &code);
  EXPECT_EQ(code, 7u);
  EXPECT_EQ(sim::threadPriorityOf(thread), THREAD_PRIORITY_TIME_CRITICAL);
  CloseHandle(thread);
  CloseHandle(go);
}

TEST(SimKernel, TerminateThreadEndsAThreadBlockedInAWait) {
  sim::resetKernel();
  HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](LPVOID event) -> DWORD {
        WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
        return 1;
      },
      never, 0, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, 20), WAIT_TIMEOUT);
  EXPECT_TRUE(TerminateThread(thread, 99));
  EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeThread(thread, &code);
  EXPECT_EQ(code, 99u);
  EXPECT_EQ(sim::terminatedThreadCount(), 1);
  CloseHandle(thread);
  CloseHandle(never);
}

TEST(SimKernel, InjectedFailures) {
  sim::failNextCreateEvent();
  EXPECT_EQ(CreateEventA(nullptr, FALSE, FALSE, nullptr), nullptr);
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  EXPECT_NE(event, nullptr);
  CloseHandle(event);
  sim::failNextCreateThread();
  EXPECT_EQ(CreateThread(
                nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr),
            nullptr);
}

TEST(SimKernel, ManualPerformanceCounterMovesOnlyWhenTold) {
  LARGE_INTEGER frequency, a, b;
  QueryPerformanceFrequency(&frequency);
  EXPECT_EQ(frequency.QuadPart, 10'000'000);
  sim::setManualPerformanceCounter(true);
  QueryPerformanceCounter(&a);
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  QueryPerformanceCounter(&b);
  EXPECT_EQ(a.QuadPart, b.QuadPart);
  sim::advancePerformanceCounter(1234);
  QueryPerformanceCounter(&b);
  EXPECT_EQ(b.QuadPart - a.QuadPart, 1234);
  sim::resetKernel();
}

TEST(SimTimer, PeriodicTimerCallsBackUntilKilled) {
  static std::atomic<int> ticks{0};
  static std::atomic<DWORD_PTR> user{0};
  ticks = 0;
  UINT id = timeSetEvent(
      2, 0,
      [](UINT, UINT, DWORD_PTR data, DWORD_PTR, DWORD_PTR) {
        user = data;
        ++ticks;
      },
      1234, TIME_PERIODIC);
  ASSERT_NE(id, 0u);
  for (int i = 0; i < 500 && ticks < 3; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_GE(ticks.load(), 3);
  EXPECT_EQ(user.load(), 1234u);
  EXPECT_EQ(timeKillEvent(id), static_cast<MMRESULT>(MMSYSERR_NOERROR));
  const int after = ticks;
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(ticks.load(), after);
  EXPECT_NE(timeKillEvent(id), static_cast<MMRESULT>(MMSYSERR_NOERROR));
}

}  // namespace
