//===- payload/extract.cpp - Writing the archive's files to disk --------===//
//
// Records are decoded in archive order on the main thread, which also makes
// each file's directories and opens it; the file writers (payload/writer.cpp)
// write its chunks and close it on threads of their own, in order, while
// the decoding goes on. Directories are created on demand;
// the ones known to exist are remembered, so a directory normally costs one
// CreateDirectoryW however many files it holds. Every name is checked before
// anything is written for it: nothing may land outside the unpack directory.
//
//===----------------------------------------------------------------------===//
#include <stdlib.h>
#include <string.h>

#include "common/container.h"
#include "common/names.h"
#include "diagnostics/fatal.h"
#include "launcher/cache.h"
#include "launcher/console.h"
#include "launcher/feedback.h"
#include "launcher/hold.h"
#include "launcher/state.h"
#include "paths/paths.h"
#include "payload/extract.h"
#include "payload/writer.h"

namespace {

WCHAR *CopyToHeap(const WCHAR *text) {
  size_t bytes = (Utf16Length(text) + 1) * sizeof(WCHAR);
  WCHAR *copy = (WCHAR *)malloc(bytes);
  if (copy != nullptr)
    memcpy(copy, text, bytes);
  return copy;
}

void Remember(const WCHAR *directory) {
  if (state.knownDirectoryCount >= kKnownDirectoryCapacity)
    return; // a full list simply stops growing
  WCHAR *copy = CopyToHeap(directory);
  if (copy == nullptr)
    return; // not remembered; it will be asked for again
  state.knownDirectories[state.knownDirectoryCount++] = copy;
}

// The user's profile folder counts as existing from the start. Without a
// profile folder (a service, an empty environment) there is no seed, and
// a seed that cannot be copied is simply not remembered: either way the
// directories are asked for, and the run goes on.
void SeedKnownDirectories(void) {
  static const WCHAR kHomeTemplate[] = VESKAR_TEXT("{HOME}");
  state.knownDirectoriesSeeded = true;
  WCHAR home[kPathCapacity];
  if (ExpandPathTemplate(home, kHomeTemplate, kPathCapacity))
    Remember(home);
}

} // namespace

bool ReadEntryName(void) {
  uint16_t unit;
  ReadPayload(&unit, 2);
  if (unit == 0) {
    state.entryName[0] = 0;
    return false;
  }
  size_t length = 0;
  state.entryName[length++] = (WCHAR)unit;
  for (;;) {
    ReadPayload(&unit, 2);
    if (unit == 0)
      break;
    if (length + 1 >= kNameCapacity)
      ReportFatalNameTooLong();
    state.entryName[length++] = (WCHAR)unit;
  }
  state.entryName[length] = 0;
  return true;
}

uint64_t ReadRecordSize(void) {
  unsigned char bytes[8];
  ReadPayload(bytes, 8);
  return GetLittleEndian64(bytes);
}

void ForgetKnownDirectories(void) {
  for (int i = 0; i < state.knownDirectoryCount; ++i)
    free(state.knownDirectories[i]);
  state.knownDirectoryCount = 0;
  state.knownDirectoriesSeeded = false;
}

bool EnsureDirectory(const WCHAR *directory) {
  if (!state.knownDirectoriesSeeded)
    SeedKnownDirectories();
  for (int i = 0; i < state.knownDirectoryCount; ++i)
    if (Utf16Equal(directory, state.knownDirectories[i]))
      return true;
  if (directory[0] != 0 && directory[1] == ':' && directory[2] == 0)
    return true; // a bare drive
  if (!CreateDirectoryW(directory, nullptr)) {
    if (GetLastError() != ERROR_ALREADY_EXISTS)
      return false;
    // Something already there counts only as a real directory: never a
    // link or junction, through which files would land elsewhere.
    DWORD attributes = GetFileAttributesW(directory);
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
      return false;
  }
  Remember(directory);
  return true;
}

namespace {

// Where the directory that contains the path ending at `end` ends: the last
// separator before `end`, or 0 when there is none past the first unit (a
// path that starts with its only separator has no parent to create).
size_t ParentEnd(const WCHAR *path, size_t end) {
  while (end > 1 && path[end - 1] != '\\')
    --end;
  return end <= 1 ? 0 : end - 1;
}

} // namespace

bool CreateParentDirectories(const WCHAR *path) {
  // One buffer, cut in place at the separators: a path of any depth costs
  // the same stack.
  WCHAR parent[kPathCapacity];
  parent[0] = 0;
  AppendWideString(parent, path, kPathCapacity);
  size_t innermost = ParentEnd(parent, Utf16Length(parent));
  if (innermost == 0)
    return true;
  parent[innermost] = 0;
  if (EnsureDirectory(parent))
    return true;
  // Up to the deepest directory that exists or can be made (or the top)...
  size_t end = innermost;
  for (;;) {
    size_t up = ParentEnd(parent, end);
    if (up == 0)
      break;
    parent[up] = 0;
    end = up;
    if (EnsureDirectory(parent))
      break;
  }
  // ...then down again, making each level below it.
  bool made = true;
  while (end < innermost) {
    parent[end] = '\\';
    end += Utf16Length(parent + end);
    made = EnsureDirectory(parent);
  }
  return made;
}

namespace {

// How often the unpack directory is made again when a removal took it
// between its making and this run's hold.
const int kMakeAttempts = 5;

// The unpack directory must be made by this run where TEMP may be shared:
// a directory of anyone, or a link, already at its path is never used. Its
// missing parents are made as any directory; what they are is not this
// run's to judge. It is held (launcher/hold.h) before anything is written
// into it, so that no other start's sweep takes it for a leftover; one
// that a sweep removed before the hold was taken is made again.
void CreateUnpackDirectory(void) {
  const WCHAR *directory = state.unpackDirectory;
  for (int attempt = 1;; ++attempt) {
    BOOL made = CreateDirectoryW(directory, nullptr);
    if (!made && GetLastError() == ERROR_PATH_NOT_FOUND) {
      CreateParentDirectories(directory);
      made = CreateDirectoryW(directory, nullptr);
    }
    // TEMP that is the user's own: a directory already there is used, and
    // any other failure shows at the first file's open.
    if (!made && !kTempIsPrivate)
      ReportFatalUnpackDirectory(directory, GetLastError());
    HANDLE hold = nullptr;
    HoldResult held = TakeDirectoryHold(directory, &hold);
    if (held == kHoldTaken || held == kHoldUnavailable ||
        (!made && held == kHoldDirectoryGone)) {
      state.unpackDirectoryHold = hold;
      state.unpackDirectoryOwned = true;
      if (made)
        Remember(directory);
      return;
    }
    if (attempt >= kMakeAttempts)
      ReportFatalPathOsError(
          "Error, couldn't hold the unpack directory '%ls'", directory,
          held == kHoldRefused ? ERROR_SHARING_VIOLATION
                               : ERROR_FILE_NOT_FOUND);
  }
}

} // namespace

void ExtractPayload(void) {
  while (ReadEntryName()) {
    PauseExtractionForConsoleEvent();
    NameVerdict verdict = CheckArchiveName(
        state.entryName, Utf16Length(state.entryName), kFileSystemNameStyle);
    if (verdict.problem != kNameAllowed)
      ReportFatalUnsafeName(state.entryName, verdict);

    // An orderly ending, not the overflow's abort: files of this run may
    // be written already, and they go with the unpack directory.
    if (!JoinedPathFits(state.unpackDirectory, state.entryName, kPathCapacity))
      ReportFatalPathTooLong(state.entryName);
    JoinPath(state.outputFilePath, state.unpackDirectory, state.entryName,
             kPathCapacity);

    if (state.childExecutablePath[0] == 0) {
      if (Utf16Length(state.outputFilePath) >= kChildPathCapacity)
        ReportFatalChildPathTooLong(state.outputFilePath);
      CreateUnpackDirectory();
      AppendWideString(state.childExecutablePath, state.outputFilePath,
                       kChildPathCapacity);
    }

    uint64_t remaining = ReadRecordSize();
    if (!NoteExtractedRecord(state.entryName, remaining))
      continue;
    // A directory that cannot be made, or a link where one should be, ends
    // the run here: the open must not go through it.
    if (!CreateParentDirectories(state.outputFilePath))
      ReportFatalOpen(state.outputFilePath);
    AwaitSamePathClosed(state.outputFilePath);
    HANDLE file = CreateFileW(state.outputFilePath, GENERIC_WRITE,
                              FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE)
      ReportFatalOpen(state.outputFilePath);
    int handedOver = HandOverFile(file, state.outputFilePath);

    while (remaining != 0) {
      DWORD chunk = remaining <= kWriteBufferSize ? (DWORD)remaining
                                                  : (DWORD)kWriteBufferSize;
      unsigned char *buffer = TakeWriteBuffer();
      ReadPayload(buffer, chunk);
      QueueWrite(handedOver, buffer, chunk);
      NoteBytesUnpacked(chunk);
      remaining -= chunk;
      PauseExtractionForConsoleEvent();
    }
    QueueClose(handedOver);
  }
  // Every file is written and closed, or the failure is reported, before
  // the child can start.
  FinishWriters();
}
