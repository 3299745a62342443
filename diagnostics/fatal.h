//===- diagnostics/fatal.h - Fatal reports and OS error text ------------===//
//
// The launcher never passes an error up a call chain: a failure it cannot
// continue from calls one of these at the point of failure, which prints one
// line and ends the process. Plain messages go to standard output; messages
// carrying a path, a template or an OS error code go to standard error.
//
//===----------------------------------------------------------------------===//
#pragma once

#include "platform/platform.h"

// Supplied by the program that links these reports, as the program's entry
// is: called by every fatal ending before the process ends. The launcher's
// (launcher/shutdown.cpp) removes what this run has written, best effort,
// as the shutdown does. Returns.
void CleanUpAfterFatalError(void);

[[noreturn]] void ReportFatal(const char *message);
[[noreturn]] void ReportFatalDecode(void);
[[noreturn]] void ReportFatalHeader(void);
[[noreturn]] void ReportFatalMemory(void);
[[noreturn]] void ReportFatalExpand(const WCHAR *spec);
[[noreturn]] void ReportFatalOpen(const WCHAR *path);
[[noreturn]] void ReportFatalOsError(const char *message, DWORD code);
// A write or a close of the file at `path` failed with `code`.
[[noreturn]] void ReportFatalUnpack(const WCHAR *path, DWORD code);
// An archive name the launcher will not write, with the reason the name
// rules gave, or one longer than its buffers hold.
[[noreturn]] void ReportFatalUnsafeName(const WCHAR *name,
                                        const NameVerdict &verdict);
[[noreturn]] void ReportFatalNameTooLong(void);
[[noreturn]] void ReportFatalChildPathTooLong(const WCHAR *path);
// The record `name` would make a path longer than the launcher's paths
// hold, below the unpack directory.
[[noreturn]] void ReportFatalPathTooLong(const WCHAR *name);
// The unpack directory could not be made by this run: something is already
// at its path (where TEMP may be shared with other users), or the system
// refused.
[[noreturn]] void ReportFatalUnpackDirectory(const WCHAR *path, DWORD code);
// The cache directory, or the directory it is made in, is a link, no
// directory, or belongs to another user.
[[noreturn]] void ReportFatalCacheDirectory(const WCHAR *path);
// `message` (ASCII, with one "'%ls'" for `path`), then the OS error as
// PrintOsError shows it.
[[noreturn]] void ReportFatalPathOsError(const char *message, const WCHAR *path,
                                         DWORD code);

// "%s ([Error %ld] %s)\n" on standard error: the message, the code and the
// system's text for it. Returns.
void PrintOsError(const char *message, DWORD code);
