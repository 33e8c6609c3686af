#include "audio/asio/bounded_driver_call.h"

#include <new>
#include <utility>

BoundedDriverCall::~BoundedDriverCall() {
  if (!pending()) return;
  // The thread still owns its job: both are left to it.
  CloseHandle(thread_);
}

ASIOError BoundedDriverCall::invoke(Job& job) {
  return job.call != nullptr ? job.call() : job.callWithArgs(job.args);
}

DWORD WINAPI BoundedDriverCall::threadEntry(LPVOID parameter) {
  Job* job = static_cast<Job*>(parameter);
  job->answer = invoke(*job);
  if (job->letGo.exchange(true, std::memory_order_acq_rel)) delete job;
  return 0;
}

bool BoundedDriverCall::run(Call call, DWORD milliseconds, ASIOError& answer) {
  job_ = new (std::nothrow) Job{call, nullptr, {}, ASE_OK};
  if (job_ == nullptr) {
    answer = call();
    return true;
  }
  return start(milliseconds, answer);
}

bool BoundedDriverCall::run(CallWithArgs call, DriverCallArgs& args, DWORD milliseconds,
                            ASIOError& answer) {
  job_ = new (std::nothrow) Job{nullptr, call, {}, ASE_OK};
  if (job_ == nullptr) {
    answer = call(args);
    return true;
  }
  job_->args = std::move(args);
  const bool returned = start(milliseconds, answer);
  if (returned) args = std::move(job_->args);
  if (returned) finish();
  return returned;
}

bool BoundedDriverCall::start(DWORD milliseconds, ASIOError& answer) {
  const bool withArgs = job_->callWithArgs != nullptr;
  thread_ = CreateThread(nullptr, 0, &BoundedDriverCall::threadEntry, job_, 0, nullptr);
  if (thread_ == nullptr) {
    answer = invoke(*job_);
  } else if (WaitForSingleObject(thread_, milliseconds) != WAIT_OBJECT_0) {
    return false;
  } else {
    answer = job_->answer;
  }
  // A call with arguments hands them back before the job goes.
  if (!withArgs) finish();
  return true;
}

bool BoundedDriverCall::pending() {
  if (thread_ == nullptr) return false;
  if (WaitForSingleObject(thread_, 0) != WAIT_OBJECT_0) return true;
  finish();
  return false;
}

void BoundedDriverCall::abandon() {
  if (thread_ == nullptr) return;
  CloseHandle(thread_);
  thread_ = nullptr;
  if (job_->letGo.exchange(true, std::memory_order_acq_rel)) delete job_;
  job_ = nullptr;
}

void BoundedDriverCall::finish() {
  if (thread_ != nullptr) CloseHandle(thread_);
  thread_ = nullptr;
  delete job_;
  job_ = nullptr;
}
