//===- tests/unit/thread_test.cpp - Conditions over the POSIX layer ------===//
//
// A wait on a condition with a time-out ends by the time-out, FALSE with
// ERROR_TIMEOUT as on Windows, or by a wake, TRUE; either way it returns
// with the lock held again.
//
//===----------------------------------------------------------------------===//
#include <thread>

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace {

TEST(ThreadTest, ATimedConditionWaitEndsByItsTimeOutOrByAWake) {
  SRWLOCK lock;
  CONDITION_VARIABLE condition;
  InitializeSRWLock(&lock);
  InitializeConditionVariable(&condition);

  AcquireSRWLockExclusive(&lock);
  SetLastError(0);
  EXPECT_FALSE(SleepConditionVariableSRW(&condition, &lock, 20, 0));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_TIMEOUT);
  EXPECT_FALSE(SleepConditionVariableSRW(&condition, &lock, 0, 0));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_TIMEOUT);

  // Woken long before its time-out (wakes may be spurious: the flag says).
  bool woken = false;
  std::thread waker([&] {
    AcquireSRWLockExclusive(&lock);
    woken = true;
    WakeConditionVariable(&condition);
    ReleaseSRWLockExclusive(&lock);
  });
  BOOL result = TRUE;
  while (!woken && result)
    result = SleepConditionVariableSRW(&condition, &lock, 600000, 0);
  EXPECT_TRUE(result);
  EXPECT_TRUE(woken);
  ReleaseSRWLockExclusive(&lock);
  waker.join();
}

} // namespace
