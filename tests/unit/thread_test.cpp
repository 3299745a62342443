//===- tests/unit/thread_test.cpp - Conditions over the POSIX layer ------===//
//
// A wait on a condition with a time-out ends by the time-out, FALSE with
// ERROR_TIMEOUT as on Windows, or by a wake, TRUE; either way it returns
// with the lock held again. An event set stays set for every wait until it
// is reset when it resets manually, and is taken by the one wait it ends
// when it resets itself.
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

TEST(ThreadTest, AManualResetEventReleasesEveryWaitAndAnAutoResetOneOnlyOne) {
  const struct {
    const char *name;
    BOOL manualReset, initiallySet, setEvent;
    // What waits of 0 ms in a row give, until the first WAIT_TIMEOUT.
    int released;
  } cases[] = {
      {"manual reset, set", TRUE, FALSE, TRUE, 3},
      {"manual reset, made set", TRUE, TRUE, FALSE, 3},
      {"manual reset, never set", TRUE, FALSE, FALSE, 0},
      {"auto reset, set", FALSE, FALSE, TRUE, 1},
      {"auto reset, made set", FALSE, TRUE, FALSE, 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    HANDLE event =
        CreateEventW(nullptr, c.manualReset, c.initiallySet, nullptr);
    ASSERT_NE(event, nullptr);
    if (c.setEvent) {
      ASSERT_TRUE(SetEvent(event));
    }
    int released = 0;
    while (released < 3 && WaitForSingleObject(event, 0) == WAIT_OBJECT_0)
      ++released;
    EXPECT_EQ(released, c.released);
    // Reset, none is released any more.
    ASSERT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), (DWORD)WAIT_TIMEOUT);
    CloseHandle(event);
  }

  // Two threads already waiting are both released by one SetEvent of a
  // manual-reset event. (The minute is a bound for a broken event, which
  // would release one and leave the other waiting.)
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  DWORD results[2] = {WAIT_FAILED, WAIT_FAILED};
  std::thread waiters[2];
  for (int i = 0; i < 2; ++i)
    waiters[i] =
        std::thread([&, i] { results[i] = WaitForSingleObject(event, 60000); });
  ASSERT_TRUE(SetEvent(event));
  for (auto &waiter : waiters)
    waiter.join();
  EXPECT_EQ(results[0], (DWORD)WAIT_OBJECT_0);
  EXPECT_EQ(results[1], (DWORD)WAIT_OBJECT_0);
  CloseHandle(event);
}

} // namespace
