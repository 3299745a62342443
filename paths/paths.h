//===- paths/paths.h - Bounded appends, templates, own path, environment -===//
//
// Wide buffers hold UTF-16 code units and are always NUL-terminated; every
// capacity counts the terminator. An append that does not fit ends the
// process through AbortProcess() with no message: the buffers are sized for
// every value the launcher builds, so an overflow means something is badly
// wrong.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stddef.h>

#include "platform/platform.h"

// The room of every path buffer of the launcher, in UTF-16 units with the
// terminator.
enum { kPathCapacity = 4096 };

// The narrow buffers numbers are formatted into before they are widened:
// the process id, and the time in 100-nanosecond ticks.
enum : size_t { kProcessIdTextCapacity = 128, kTimeTextCapacity = 1024 };

// Copies `text` after the end of the NUL-terminated `buffer`.
void AppendWideString(WCHAR *buffer, const WCHAR *text, size_t capacity);
// `directory`, a backslash and `name` into `path`, which holds `capacity`
// units; the same end as AppendWideString when it does not fit.
void JoinPath(WCHAR *path, const WCHAR *directory, const WCHAR *name,
              size_t capacity);
// Whether JoinPath of the two fits in `capacity` units.
bool JoinedPathFits(const WCHAR *directory, const WCHAR *name, size_t capacity);

// Appends each byte of `text`, widened alone by mbstowcs to exactly one wide
// character.
void AppendNarrowAsWide(WCHAR *buffer, const char *text, size_t capacity);

// Appends a shell folder (CSIDL_PROFILE, CSIDL_LOCAL_APPDATA); false, with
// the buffer unchanged, when the system does not give it.
bool AppendShellFolder(WCHAR *buffer, int folder, size_t capacity);

// Expands `pathTemplate` ("{TEMP}\onefile_{PID}_{TIME}" and the like) into
// `output`. False when a name is unknown, a literal does not fit or a shell
// folder cannot be had; the output then holds what was expanded so far.
bool ExpandPathTemplate(WCHAR *output, const WCHAR *pathTemplate,
                        size_t capacity);

// The launcher's executable as the system names it, in LauncherState.
const WCHAR *GetOwnExecutablePath(void);

// Sets one variable of the launcher's environment, which the child inherits.
void SetChildEnvironmentVariable(const char *name, const WCHAR *value);

// Sets VESKAR_ONEFILE_PARENT, then VESKAR_ONEFILE_BINARY.
void SetChildEnvironment(void);
