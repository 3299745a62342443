//===- payload/extract.h - Writing the archive's files to disk ----------===//
#pragma once

#include "platform/platform.h"

// Writes every record of the archive stream below the unpack directory and
// keeps the first record's full path as the child executable path.
void ExtractPayload(void);

// Creates every missing directory that contains `path`, outermost first.
// True when the innermost containing directory exists at the end.
bool CreateParentDirectories(const WCHAR *path);

// Makes sure one directory exists; its parent must exist already.
bool EnsureDirectory(const WCHAR *directory);
