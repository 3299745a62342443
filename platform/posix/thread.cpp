//===- platform/posix/thread.cpp - Threads, locks, conditions -----------===//
//
// The launcher's own threads and what they share, over pthreads: a thread
// handle holds the pthread, a slim lock a mutex, a condition variable a
// pthread condition, each in the opaque room win32.h gives it.
//
//===----------------------------------------------------------------------===//
#include <stdlib.h>
#include <time.h>

#include "platform/posix/hook.h"
#include "platform/posix/internal.h"

using namespace veskar_posix;

static_assert(sizeof(pthread_mutex_t) <= sizeof(SRWLOCK) &&
                  alignof(pthread_mutex_t) <= alignof(SRWLOCK),
              "a mutex fits in an SRWLOCK");
static_assert(sizeof(pthread_cond_t) <= sizeof(CONDITION_VARIABLE) &&
                  alignof(pthread_cond_t) <= alignof(CONDITION_VARIABLE),
              "a condition fits in a CONDITION_VARIABLE");

namespace {

pthread_mutex_t *MutexOf(PSRWLOCK lock) {
  return (pthread_mutex_t *)(void *)lock->opaque;
}

pthread_cond_t *ConditionOf(PCONDITION_VARIABLE condition) {
  return (pthread_cond_t *)(void *)condition->opaque;
}

// What the new thread runs, handed over from CreateThread; the thread frees
// it.
struct ThreadStart {
  LPTHREAD_START_ROUTINE routine;
  LPVOID parameter;
};

void *RunThread(void *argument) {
  ThreadStart start = *(ThreadStart *)argument;
  free(argument);
  start.routine(start.parameter);
  return nullptr;
}

} // namespace

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, size_t, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD flags, LPDWORD threadId) {
  VESKAR_HOOK("CreateThread", nullptr, HANDLE);
  if (flags != 0) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  Handle *handle = NewHandle(kOwnThreadHandle);
  ThreadStart *record = (ThreadStart *)malloc(sizeof(ThreadStart));
  if (handle == nullptr || record == nullptr) {
    free(handle);
    free(record);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  record->routine = start;
  record->parameter = parameter;
  int error = pthread_create(&handle->thread, nullptr, RunThread, record);
  if (error != 0) {
    free(handle);
    free(record);
    SetLastErrorFromErrno(error);
    return nullptr;
  }
  if (threadId != nullptr)
    *threadId = 0; // the launcher never asks a thread's id
  return handle;
}

namespace veskar_posix {

DWORD WaitForOwnThread(Handle *handle, DWORD milliseconds) {
  if (milliseconds != INFINITE) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return WAIT_FAILED;
  }
  if (!handle->joined) {
    int error = pthread_join(handle->thread, nullptr);
    if (error != 0) {
      SetLastErrorFromErrno(error);
      return WAIT_FAILED;
    }
    handle->joined = true;
  }
  return WAIT_OBJECT_0;
}

} // namespace veskar_posix

void InitializeSRWLock(PSRWLOCK lock) {
  pthread_mutex_init(MutexOf(lock), nullptr);
}

void AcquireSRWLockExclusive(PSRWLOCK lock) {
  pthread_mutex_lock(MutexOf(lock));
}

void ReleaseSRWLockExclusive(PSRWLOCK lock) {
  pthread_mutex_unlock(MutexOf(lock));
}

void InitializeConditionVariable(PCONDITION_VARIABLE condition) {
  // Timed waits count on the monotonic clock, as the launcher's deadlines
  // (GetTickCount64) do.
  pthread_condattr_t attributes;
  pthread_condattr_init(&attributes);
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  pthread_cond_init(ConditionOf(condition), &attributes);
  pthread_condattr_destroy(&attributes);
}

BOOL SleepConditionVariableSRW(PCONDITION_VARIABLE condition, PSRWLOCK lock,
                               DWORD milliseconds, DWORD flags) {
  if (flags != 0) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  int error;
  if (milliseconds == INFINITE) {
    error = pthread_cond_wait(ConditionOf(condition), MutexOf(lock));
  } else {
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += milliseconds / 1000;
    until.tv_nsec += (long)(milliseconds % 1000) * 1000000;
    if (until.tv_nsec >= 1000000000) {
      until.tv_nsec -= 1000000000;
      ++until.tv_sec;
    }
    error =
        pthread_cond_timedwait(ConditionOf(condition), MutexOf(lock), &until);
  }
  if (error != 0) {
    SetLastErrorFromErrno(error);
    return FALSE;
  }
  return TRUE;
}

void WakeConditionVariable(PCONDITION_VARIABLE condition) {
  pthread_cond_signal(ConditionOf(condition));
}

void WakeAllConditionVariable(PCONDITION_VARIABLE condition) {
  pthread_cond_broadcast(ConditionOf(condition));
}
