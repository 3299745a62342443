//===- platform/posix/internal.h - Shared inside the POSIX layer --------===//
//
// Holds only POSIX-side helpers: conversion of core paths (UTF-16 with
// backslashes) to file-system paths (UTF-8 with slashes), the handle record
// behind HANDLE, and the errno translation.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <sys/types.h>

#include "common/text.h"
#include "platform/platform.h"

namespace veskar_posix {

enum { kNativePathCapacity = 4 * 32768 + 1 };

// UTF-16 to UTF-8, each backslash becoming a slash when `isPath`. Unpaired
// surrogates become U+FFFD. False, with `out` emptied, when the result does
// not fit `capacity`.
bool ToNative(const WCHAR *text, char *out, size_t capacity, bool isPath);

// UTF-8 to UTF-16, each slash becoming a backslash when `isPath`; malformed
// bytes become U+FFFD. Returns the length needed without the terminator;
// writes as much as fits in `capacity` units, terminator included.
size_t FromNative(const char *text, WCHAR *out, size_t capacity, bool isPath);

enum HandleKind { kFileHandle, kProcessHandle, kThreadHandle, kJobHandle };

struct Handle {
  HandleKind kind;
  int fd;    // file handles
  pid_t pid; // process handles
  int pidfd; // process handles, -1 where the kernel has none
  bool owned;
};

Handle *NewHandle(HandleKind kind);

// Sets the last error from errno; `missingMeansPath` picks
// ERROR_PATH_NOT_FOUND over ERROR_FILE_NOT_FOUND for ENOENT.
void SetLastErrorFromErrno(int error, bool missingMeansPath = false);

// The argument vector the launcher received, for the child and PROGRAM.
void SetArguments(int argc, char **argv);
char **GetArguments(void);

// Called when the launcher is about to end normally: while a console signal
// is pending or being handled, waits (bounded) for its handling to end the
// process, as the signal would. A terminal's Ctrl+C reaches the child and
// the launcher at once; the child may end, and the main thread finish, before
// the signal thread has even woken up.
void AwaitConsoleSignal(void);

} // namespace veskar_posix
