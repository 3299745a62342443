//===- platform/posix/error.cpp - Win32 error codes over errno ----------===//
//
// Every Win32 error code this layer produces comes from one table, and
// FormatMessageA gives back the system's text for the errno behind it.
// The packer's Windows seam goes the other way (ErrnoOf in
// packer/os/windows/fs.cpp) with its own table: there a code only needs an
// errno for a message, here an errno must become what Windows would report,
// so that the launcher decides alike on both systems.
//
//===----------------------------------------------------------------------===//
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "platform/posix/internal.h"

namespace {

thread_local DWORD lastError = 0;

struct ErrorMapping {
  int error;
  DWORD code;
};

const ErrorMapping kErrors[] = {
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {EACCES, ERROR_ACCESS_DENIED},
    {EPERM, ERROR_ACCESS_DENIED},
    {EROFS, ERROR_ACCESS_DENIED},
    {EBADF, ERROR_INVALID_HANDLE},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {EIO, ERROR_WRITE_FAULT},
    {ENOSPC, ERROR_DISK_FULL},
    {EDQUOT, ERROR_DISK_FULL},
    {EFBIG, ERROR_DISK_FULL},
    {ENOSYS, ERROR_NOT_SUPPORTED},
    {EINVAL, ERROR_INVALID_PARAMETER},
    {ENOTEMPTY, ERROR_DIR_NOT_EMPTY},
    {EBUSY, ERROR_BUSY},
    {EEXIST, ERROR_ALREADY_EXISTS},
    {ENOEXEC, ERROR_BAD_EXE_FORMAT},
    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    {EISDIR, ERROR_ACCESS_DENIED},
    {ELOOP, ERROR_CANT_RESOLVE_FILENAME},
    {ETIMEDOUT, ERROR_TIMEOUT},
    // A program still open for writing elsewhere: what Windows reports for
    // a file another process holds.
    {ETXTBSY, ERROR_SHARING_VIOLATION},
    {EWOULDBLOCK, ERROR_SHARING_VIOLATION}, // a lock held elsewhere (flock)
};

// The errno a code stands for, to find the system's text for it.
int ErrnoFor(DWORD code) {
  if (code == ERROR_PATH_NOT_FOUND)
    return ENOENT;
  for (const ErrorMapping &m : kErrors)
    if (m.code == code)
      return m.error;
  return 0;
}

} // namespace

DWORD GetLastError(void) { return lastError; }
void SetLastError(DWORD code) { lastError = code; }

namespace veskar_posix {
void SetLastErrorFromErrno(int error, bool missingMeansPath) {
  if (error == ENOENT && missingMeansPath) {
    lastError = ERROR_PATH_NOT_FOUND;
    return;
  }
  for (const ErrorMapping &m : kErrors)
    if (m.error == error) {
      lastError = m.code;
      return;
    }
  lastError = ERROR_INVALID_PARAMETER;
}
} // namespace veskar_posix

DWORD FormatMessageA(DWORD flags, const void *, DWORD messageId, DWORD,
                     LPSTR buffer, DWORD size, void *) {
  const char *text = nullptr;
  if (messageId == ERROR_SUCCESS) {
    text = "The operation completed successfully.";
  } else if (int error = ErrnoFor(messageId)) {
    text = strerror(error);
  } else {
    SetLastError(ERROR_MR_MID_NOT_FOUND); // as Windows answers
    return 0;
  }
  size_t length = strlen(text);
  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    char *copy = (char *)malloc(length + 1);
    if (copy == nullptr)
      return 0;
    memcpy(copy, text, length + 1);
    *(char **)buffer = copy;
    return (DWORD)length;
  }
  if (size == 0)
    return 0;
  size_t take = length < size - 1 ? length : size - 1;
  memcpy(buffer, text, take);
  buffer[take] = 0;
  return (DWORD)take;
}

HLOCAL LocalFree(HLOCAL memory) {
  free(memory);
  return nullptr;
}
