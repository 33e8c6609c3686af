// A single value shared between threads without a lock. Each read and write is
// whole (the reader sees the old or the new value) and orders nothing else.
#pragma once

#include <atomic>

template <class T>
class Relaxed {
 public:
  Relaxed() = default;
  explicit Relaxed(T value) : value_(value) {}
  Relaxed(const Relaxed&) = delete;
  Relaxed& operator=(const Relaxed&) = delete;

  T get() const { return value_.load(std::memory_order_relaxed); }
  void set(T value) { value_.store(value, std::memory_order_relaxed); }
  // Replaces `expected` by `desired` in one step; false (with `expected` updated to
  // the value found) when another thread changed it first.
  bool compareExchange(T& expected, T desired) {
    return value_.compare_exchange_strong(expected, desired, std::memory_order_relaxed);
  }

 private:
  std::atomic<T> value_{};
  static_assert(std::atomic<T>::is_always_lock_free, "shared values must be lock-free");
};
