#include "audio/asio/bounded_driver_call.h"

#include <new>

BoundedDriverCall::~BoundedDriverCall() {
  if (!pending()) return;
  // The thread still owns its job: both are left to it.
  CloseHandle(thread_);
}

DWORD WINAPI BoundedDriverCall::threadEntry(LPVOID parameter) {
  Job* job = static_cast<Job*>(parameter);
  job->answer = job->call();
  return 0;
}

bool BoundedDriverCall::run(Call call, DWORD milliseconds, ASIOError& answer) {
  job_ = new (std::nothrow) Job{call, ASE_OK};
  if (job_ != nullptr) {
    thread_ = CreateThread(nullptr, 0, &BoundedDriverCall::threadEntry, job_, 0, nullptr);
  }
  if (thread_ == nullptr) {
    answer = call();
    finish();
    return true;
  }
  if (WaitForSingleObject(thread_, milliseconds) != WAIT_OBJECT_0) return false;
  answer = job_->answer;
  finish();
  return true;
}

bool BoundedDriverCall::pending() {
  if (thread_ == nullptr) return false;
  if (WaitForSingleObject(thread_, 0) != WAIT_OBJECT_0) return true;
  finish();
  return false;
}

void BoundedDriverCall::finish() {
  if (thread_ != nullptr) CloseHandle(thread_);
  thread_ = nullptr;
  delete job_;
  job_ = nullptr;
}
