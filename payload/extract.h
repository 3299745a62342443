//===- payload/extract.h - Writing the archive's files to disk ----------===//
//
// The main thread's operations for writing a record's data to a file
// through the file writers (payload/writer.h), and for the directories the
// files go into. Which records are written, and where, is the caller's:
// these never look at a name.
//
//===----------------------------------------------------------------------===//
#pragma once

#include "platform/platform.h"

// Makes the directories that contain `path`, waits until the writers hold
// no file at the same path, creates the file (replacing one there) and
// hands it to the writers; gives its index for WriteRecordChunk. Ends the
// process with the open message when a directory or the file cannot be
// made (a link where a directory should be counts as such).
int OpenRecordFile(const WCHAR *path);

// Decodes the current record's next chunk (payload/record.h) into a writer's
// buffer and queues its write to `file`; gives true. Once the data is all
// read, queues the file's close and gives false. The caller loops, and may
// park between chunks:
//
//   int file = OpenRecordFile(path);
//   while (WriteRecordChunk(file))
//     ...
bool WriteRecordChunk(int file);

// Creates every missing directory that contains `path`, outermost first.
// True when the innermost containing directory exists at the end.
bool CreateParentDirectories(const WCHAR *path);

// Makes sure one directory exists; its parent must exist already.
bool EnsureDirectory(const WCHAR *directory);

// Remembers a directory the caller has made (or found as it must be), so
// that no file below it asks for it again.
void RememberDirectory(const WCHAR *directory);

// Forgets every directory remembered as existing: some were removed.
void ForgetKnownDirectories(void);
