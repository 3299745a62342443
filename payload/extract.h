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
// no file that may be the same, creates the file (replacing one there: see
// TakeOverExistingFile) and hands it to the writers; gives its index for WriteRecordChunk. Ends the
// process with the open message when a directory or the file cannot be
// made (a link where a directory should be counts as such).
int OpenRecordFile(const WCHAR *path);

// For a record's file that its open (CREATE_ALWAYS) found already there.
// The directory the records go into starts empty, so an earlier record
// named the file, maybe under a spelling that no name rule shows (a short
// name, a folder that folds case further than Windows does): the open has
// just cut that record's file while its writes may still be under way.
// Notes it for the cache mode (state.recordFileExisted), waits with
// `awaitEarlierFiles` until no earlier file is being written, and cuts the
// file again, so that it ends as the later record alone. The file system,
// not the names, decides what is one file; a start pays for it only where
// a file was there already. Closes the file and ends the process with the
// unpack message when the cut fails.
void TakeOverExistingFile(HANDLE file, const WCHAR *path,
                          void (*awaitEarlierFiles)(HANDLE opened));

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
