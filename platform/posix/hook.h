//===- platform/posix/hook.h - Where the recording build logs calls -----===//
//
// Empty in the real layer. In the recording build (VESKAR_RECORDING) each
// marked operation logs its call and returns a scripted result if a test
// queued one.
//
//===----------------------------------------------------------------------===//
#pragma once

#if defined(VESKAR_RECORDING)
#include "platform/recording/recording.h"
#define VESKAR_HOOK(name, argument, Type)                                      \
  VESKAR_HOOK_NOTED(name, argument, nullptr, Type)
// Logs `note` (null for none) after the argument: a flag the order of calls
// depends on, say.
#define VESKAR_HOOK_NOTED(name, argument, note, Type)                          \
  do {                                                                         \
    uint64_t scripted_;                                                        \
    DWORD scriptedError_;                                                      \
    if (veskar_recording::Hook(name, argument, &scripted_, &scriptedError_,    \
                               note)) {                                        \
      SetLastError(scriptedError_);                                            \
      return (Type)scripted_;                                                  \
    }                                                                          \
  } while (0)
// Logs a count as the argument (written bytes and the like).
#define VESKAR_HOOK_COUNT(name, count, Type)                                   \
  VESKAR_HOOK_COUNT_NOTED(name, count, nullptr, Type)
#define VESKAR_HOOK_COUNT_NOTED(name, count, note, Type)                       \
  do {                                                                         \
    WCHAR number_[24];                                                         \
    unsigned long long value_ = (count);                                       \
    int at_ = 23;                                                              \
    number_[at_] = 0;                                                          \
    do {                                                                       \
      number_[--at_] = (WCHAR)('0' + value_ % 10);                             \
      value_ /= 10;                                                            \
    } while (value_ != 0);                                                     \
    VESKAR_HOOK_NOTED(name, number_ + at_, note, Type);                        \
  } while (0)
// Names a file handle after its path in the log (recording.h).
#define VESKAR_NAME_HANDLE(handle, path)                                       \
  veskar_recording::NameHandle(handle, path)
#define VESKAR_HANDLE_NAME(handle) veskar_recording::HandleName(handle)
#define VESKAR_FORGET_HANDLE(handle) veskar_recording::ForgetHandle(handle)
// Lets a test change a listed entry before the core sees it (recording.h).
#define VESKAR_EDIT_LISTED(entry) veskar_recording::EditListedEntry(entry)
#define VESKAR_HOOK_VOID(name)                                                 \
  do {                                                                         \
    uint64_t scripted_;                                                        \
    DWORD scriptedError_;                                                      \
    if (veskar_recording::Hook(name, nullptr, &scripted_, &scriptedError_))    \
      return;                                                                  \
  } while (0)
#else
#define VESKAR_HOOK(name, argument, Type) ((void)0)
#define VESKAR_HOOK_NOTED(name, argument, note, Type) ((void)0)
#define VESKAR_HOOK_VOID(name) ((void)0)
#define VESKAR_HOOK_COUNT(name, count, Type) ((void)0)
#define VESKAR_HOOK_COUNT_NOTED(name, count, note, Type) ((void)0)
#define VESKAR_NAME_HANDLE(handle, path) ((void)0)
#define VESKAR_HANDLE_NAME(handle) nullptr
#define VESKAR_FORGET_HANDLE(handle) ((void)0)
#define VESKAR_EDIT_LISTED(entry) ((void)0)
#endif
