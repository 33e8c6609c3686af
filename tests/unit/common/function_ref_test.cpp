#include "common/function_ref.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

struct Counter {
  int32_t total = 0;
  int32_t add(int32_t amount, int32_t times) {
    total += amount * times;
    return total;
  }
};

using Adder = FunctionRef<int32_t(int32_t, int32_t)>;

TEST(FunctionRef, CallsTheBoundMethodOfItsOwnObject) {
  Counter first, second;
  const Adder toFirst = Adder::bind<&Counter::add>(&first);
  const Adder toSecond = Adder::bind<&Counter::add>(&second);
  const Adder copy = toFirst;
  EXPECT_EQ(toFirst(2, 3), 6);
  EXPECT_EQ(copy(1, 1), 7);  // a copy refers to the same object
  EXPECT_EQ(toSecond(5, 1), 5);
  EXPECT_EQ(first.total, 7);
  EXPECT_EQ(second.total, 5);
}

TEST(FunctionRef, NullObjectOrDefaultIsNotBound) {
  EXPECT_FALSE(Adder{}.bound());
  EXPECT_FALSE(Adder::bind<&Counter::add>(static_cast<Counter*>(nullptr)).bound());
  Counter counter;
  EXPECT_TRUE(Adder::bind<&Counter::add>(&counter).bound());
}

}  // namespace
