//===- payload/extract.h - Writing the archive's files to disk ----------===//
#pragma once

#include <stdint.h>

#include "platform/platform.h"

// Writes every record of the archive stream below the unpack directory and
// keeps the first record's full path as the child executable path.
void ExtractPayload(void);

// Reads the next record's name into state.entryName; ends the process when
// it does not fit. False at the end marker.
bool ReadEntryName(void);
// Reads the size that follows a record's name.
uint64_t ReadRecordSize(void);

// Creates every missing directory that contains `path`, outermost first.
// True when the innermost containing directory exists at the end.
bool CreateParentDirectories(const WCHAR *path);

// Makes sure one directory exists; its parent must exist already.
bool EnsureDirectory(const WCHAR *directory);

// Forgets every directory remembered as existing: some were removed.
void ForgetKnownDirectories(void);
