//===- platform/platform.h - What the core may call ---------------------===//
//
// The core includes this header and nothing else of the system's. On
// Windows it is <windows.h> and <shlobj.h>; on Linux it is our own layer in
// platform/posix, which gives the same names over POSIX. The build picks
// one; the core never asks which.
//
// Besides the Win32 names, a few operations of our own live here because
// their implementation differs by platform (the removal of a directory tree,
// printing wide text, the program name as typed).
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stdio.h>

#include "common/names.h"

// Facts of the platform that the core's policies depend on:
// - kFileSystemNameStyle, the file system's naming, which decides the
//   archive names this launcher can write (the rules live in common/names);
// - kTempIsPrivate: whether the folder TEMP names belongs to the user alone.
//   On Windows it does; on Linux TMPDIR is usually the shared /tmp, where
//   another user may plant a directory or a link at the unpack directory's
//   path before the launcher gets there.
#if defined(_WIN32)
#include <windows.h>
#include <shlobj.h>
#define VESKAR_WIDE_LITERAL(s) L##s
const NameStyle kFileSystemNameStyle = kWindowsNames;
const bool kTempIsPrivate = true;
const bool kCloseEventsHaveDeadline = true;
const WCHAR kPathSeparatorShown = L'\\';
const DWORD kOtherOwnerAttribute = 0;
#else
#include "platform/posix/win32.h"
#define VESKAR_WIDE_LITERAL(s) u##s
const NameStyle kFileSystemNameStyle = kPosixNames;
const bool kTempIsPrivate = false;
const bool kCloseEventsHaveDeadline = false;
const WCHAR kPathSeparatorShown = u'/';
const DWORD kOtherOwnerAttribute = FILE_ATTRIBUTE_OTHER_OWNER;
#endif
// A wide literal of `s`, which may itself be a macro naming a literal.
#define VESKAR_TEXT(s) VESKAR_WIDE_LITERAL(s)

// Ends the process at once, with no exit processing and no message box: a
// failed template expansion and an overflowing append end here. Windows: a
// fail-fast with FAST_FAIL_FATAL_APP_EXIT where the processor supports it,
// and exit code 3 otherwise (the C runtime's abort() would show a dialog
// in a GUI process and wait for a click). POSIX: abort().
[[noreturn]] void AbortProcess(void);

// Element 0 of the process's wide argument vector: the program name as the
// starting process wrote it.
const WCHAR *GetProgramNameW(void);

// Writes `format` to `stream` in one call, with `text` in place of its one
// "%ls" conversion, keeping every character of `text`: a Windows console
// gets UTF-16, any other stream UTF-8. `format` is ASCII, and holds no
// conversion but that one and "%%".
void PrintWithWideText(FILE *stream, const char *format, const WCHAR *text);

// Removes the directory tree at `path`, depth first, clearing read-only
// attributes on the way, and never following a symbolic link or junction:
// a link inside the tree is removed as a link and its target is untouched.
// A tree of any depth takes the same stack and, on POSIX, at most two
// descriptors; what will not go is passed over and the rest still goes.
// Returns TRUE when nothing is left at `path`.
BOOL RemoveDirectoryTree(LPCWSTR path);
