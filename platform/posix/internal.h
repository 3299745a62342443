//===- platform/posix/internal.h - Shared inside the POSIX layer --------===//
//
// Holds only POSIX-side helpers: conversion of core paths (UTF-16 with
// backslashes) to file-system paths (UTF-8 with slashes), the handle record
// behind HANDLE, and the errno translation.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <pthread.h>
#include <sys/types.h>
#include <time.h>

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

// kProcessHandle: a child this layer started; kOpenedProcessHandle: any
// process, opened by id (OpenProcess) for queries, through its /proc folder.
enum HandleKind {
  kFileHandle,
  kProcessHandle,
  kOpenedProcessHandle,
  kThreadHandle,
  kSearchHandle,
  kJobHandle,
  kOwnThreadHandle, // a thread of the launcher's own (CreateThread)
  kEventHandle,     // CreateEventW (event.cpp)
};

struct Event;

struct Handle {
  HandleKind kind;
  int fd;    // file handles; the /proc/<pid> folder of opened processes
  pid_t pid; // process handles
  int pidfd; // process handles, -1 where the kernel has none
  bool owned;
  void *search;       // search handles: the DIR being listed
  char *searchPrefix; // search handles: what a listed name must start with
  pthread_t thread;   // own thread handles
  bool joined;        // own thread handles: waited for, so nothing to detach
  Event *event;       // event handles
  bool searchUtf8;    // search handles: names that are not UTF-8 skipped
};

Handle *NewHandle(HandleKind kind);
// The object behind `object` when it is a handle of `kind`; otherwise null,
// with the last error ERROR_INVALID_HANDLE.
Handle *HandleOfKind(HANDLE object, HandleKind kind);
// Closes what the handle holds and frees it (CloseHandle, FindClose).
// Returns what closing its descriptor returned, with errno from it.
int FreeHandle(Handle *handle);

// WaitForSingleObject on a thread of the launcher's own (thread.cpp).
DWORD WaitForOwnThread(Handle *handle, DWORD milliseconds);
// WaitForSingleObject on an event, and what its handle's close frees
// (event.cpp).
DWORD WaitForEvent(Handle *handle, DWORD milliseconds);
void FreeEvent(Event *event);

// Sets the last error from errno; `missingMeansPath` picks
// ERROR_PATH_NOT_FOUND over ERROR_FILE_NOT_FOUND for ENOENT.
void SetLastErrorFromErrno(int error, bool missingMeansPath = false);

// Milliseconds on CLOCK_MONOTONIC: GetTickCount64 without its recording
// hook, for the layer's own timed waits.
uint64_t MonotonicMilliseconds(void);

// A time of the real-time clock (a file's mtime, say) as Windows counts
// it: 100-nanosecond steps since 1601-01-01.
FILETIME FileTimeOf(const struct timespec &time);

// The signals a write of the launcher's can raise on the launcher itself
// (SIGXFSZ, SIGPIPE): ignored by the launcher (platform/posix/entry.cpp),
// so that the write fails and is reported; the child gets them as the
// launcher was started with them.
extern const int kSelfRaisedSignals[2];

// Records the signals the process was started ignoring and its signal
// mask, for the child (CreateProcessW) and for the console signals to take
// (SetConsoleCtrlHandler). Called first thing at entry, before anything
// changes them.
void NoteInheritedSignals(void);

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
