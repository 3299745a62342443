//===- platform/posix/event.cpp - Events, over a mutex and a condition --===//
//
// An event is a flag behind a mutex, with a condition on CLOCK_MONOTONIC to
// wait on, so that a timed wait keeps its deadline when the wall clock is
// set. A manual-reset event stays signalled until ResetEvent; an
// auto-reset one is taken back by the one wait it ends.
//
//===----------------------------------------------------------------------===//
#include <errno.h>
#include <stdlib.h>
#include <time.h>

#include "platform/posix/hook.h"
#include "platform/posix/internal.h"

using namespace veskar_posix;

namespace veskar_posix {

struct Event {
  pthread_mutex_t lock;
  pthread_cond_t changed;
  bool signalled;
  bool manualReset;
};

void FreeEvent(Event *event) {
  pthread_cond_destroy(&event->changed);
  pthread_mutex_destroy(&event->lock);
  free(event);
}

DWORD WaitForEvent(Handle *handle, DWORD milliseconds) {
  Event *event = handle->event;
  struct timespec deadline;
  if (milliseconds != INFINITE) {
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += (long)(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000L;
    }
  }
  pthread_mutex_lock(&event->lock);
  int error = 0;
  while (!event->signalled && error == 0) {
    error =
        milliseconds == INFINITE
            ? pthread_cond_wait(&event->changed, &event->lock)
            : pthread_cond_timedwait(&event->changed, &event->lock, &deadline);
  }
  bool ended = event->signalled;
  if (ended && !event->manualReset)
    event->signalled = false;
  pthread_mutex_unlock(&event->lock);
  if (ended)
    return WAIT_OBJECT_0;
  if (error == ETIMEDOUT)
    return WAIT_TIMEOUT;
  SetLastErrorFromErrno(error);
  return WAIT_FAILED;
}

} // namespace veskar_posix

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState,
                    LPCWSTR name) {
  VESKAR_HOOK("CreateEventW", name, HANDLE);
  if (name != nullptr) {
    SetLastError(ERROR_NOT_SUPPORTED); // no event is shared by name here
    return nullptr;
  }
  Handle *handle = NewHandle(kEventHandle);
  Event *event = (Event *)calloc(1, sizeof(Event));
  pthread_condattr_t attributes;
  bool made = handle != nullptr && event != nullptr &&
              pthread_condattr_init(&attributes) == 0;
  if (made) {
    made = pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC) == 0 &&
           pthread_cond_init(&event->changed, &attributes) == 0;
    pthread_condattr_destroy(&attributes);
  }
  if (!made) {
    free(handle);
    free(event);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  pthread_mutex_init(&event->lock, nullptr);
  event->signalled = initialState != FALSE;
  event->manualReset = manualReset != FALSE;
  handle->event = event;
  return handle;
}

namespace {

BOOL SetSignalled(HANDLE object, bool signalled) {
  Handle *handle = HandleOfKind(object, kEventHandle);
  if (handle == nullptr)
    return FALSE;
  Event *event = handle->event;
  pthread_mutex_lock(&event->lock);
  event->signalled = signalled;
  if (signalled)
    pthread_cond_broadcast(&event->changed);
  pthread_mutex_unlock(&event->lock);
  return TRUE;
}

} // namespace

BOOL SetEvent(HANDLE event) { return SetSignalled(event, true); }

BOOL ResetEvent(HANDLE event) { return SetSignalled(event, false); }
