//===- payload/extract.cpp - Writing the archive's files to disk --------===//
//
// Records are decoded in archive order on the main thread, which also makes
// each file's directories and opens it; the file writers (payload/writer.cpp)
// write its chunks and close it on threads of their own, in order, while
// the decoding goes on. Directories are created on demand;
// the ones known to exist are remembered, so a directory normally costs one
// CreateDirectoryW however many files it holds. The caller checks every
// name before it asks for anything to be written for it (launcher/unpack.cpp):
// nothing may land outside the unpack directory.
//
//===----------------------------------------------------------------------===//
#include <stdlib.h>
#include <string.h>

#include "diagnostics/fatal.h"
#include "launcher/state.h"
#include "paths/paths.h"
#include "payload/extract.h"
#include "payload/record.h"
#include "payload/writer.h"

namespace {

WCHAR *CopyToHeap(const WCHAR *text) {
  size_t bytes = (Utf16Length(text) + 1) * sizeof(WCHAR);
  WCHAR *copy = (WCHAR *)malloc(bytes);
  if (copy != nullptr)
    memcpy(copy, text, bytes);
  return copy;
}

} // namespace

void RememberDirectory(const WCHAR *directory) {
  if (state.knownDirectoryCount >= kKnownDirectoryCapacity)
    return; // a full list simply stops growing
  WCHAR *copy = CopyToHeap(directory);
  if (copy == nullptr)
    return; // not remembered; it will be asked for again
  state.knownDirectories[state.knownDirectoryCount++] = copy;
}

namespace {

// The user's profile folder counts as existing from the start. Without a
// profile folder (a service, an empty environment) there is no seed, and
// a seed that cannot be copied is simply not remembered: either way the
// directories are asked for, and the run goes on.
void SeedKnownDirectories(void) {
  static const WCHAR kHomeTemplate[] = VESKAR_TEXT("{HOME}");
  state.knownDirectoriesSeeded = true;
  WCHAR home[kPathCapacity];
  if (ExpandPathTemplate(home, kHomeTemplate, kPathCapacity))
    RememberDirectory(home);
}

} // namespace

void ForgetKnownDirectories(void) {
  for (int i = 0; i < state.knownDirectoryCount; ++i)
    free(state.knownDirectories[i]);
  state.knownDirectoryCount = 0;
  state.knownDirectoriesSeeded = false;
}

bool EnsureDirectory(const WCHAR *directory) {
  for (int i = 0; i < state.knownDirectoryCount; ++i)
    if (Utf16Equal(directory, state.knownDirectories[i]))
      return true;
  // The profile folder is looked up only when a directory is not known
  // already: most runs only ever ask for the unpack directory, which is
  // known from its making, and the lookup costs a start under Wine about
  // 10 to 20 ms.
  if (!state.knownDirectoriesSeeded) {
    int before = state.knownDirectoryCount;
    SeedKnownDirectories();
    for (int i = before; i < state.knownDirectoryCount; ++i)
      if (Utf16Equal(directory, state.knownDirectories[i]))
        return true;
  }
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
  RememberDirectory(directory);
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

void TakeOverExistingFile(HANDLE file, const WCHAR *path,
                          void (*awaitEarlierFiles)(HANDLE opened)) {
  state.recordFileExisted = true;
  awaitEarlierFiles(file);
  if (!SetEndOfFile(file)) {
    DWORD code = GetLastError();
    CloseHandle(file);
    ReportFatalUnpack(path, code);
  }
}

int OpenRecordFile(const WCHAR *path) {
  // A directory that cannot be made, or a link where one should be, ends
  // the run here: the open must not go through it.
  if (!CreateParentDirectories(path))
    ReportFatalOpen(path);
  AwaitSamePathClosed(path);
  HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                            CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    ReportFatalOpen(path);
  if (GetLastError() == ERROR_ALREADY_EXISTS)
    TakeOverExistingFile(file, path, AwaitEveryFileClosed);
  return HandOverFile(file, path);
}

bool WriteRecordChunk(int file) {
  if (state.record.left == 0) {
    QueueClose(file);
    return false;
  }
  unsigned char *buffer = TakeWriteBuffer();
  QueueWrite(file, buffer, ReadRecordChunk(buffer, kWriteBufferSize));
  return true;
}
