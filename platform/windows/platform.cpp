//===- platform/windows/platform.cpp - Our own operations on Windows ----===//
//
// Holds only Windows code: the removal of a directory tree (the shell's
// delete operation follows links, and under Wine deletes the current
// directory's contents for paths over 260 characters, so it is not used),
// printing wide text, and the checks for names the file system would treat
// as something else.
//
//===----------------------------------------------------------------------===//
#include <stdlib.h>
#include <wchar.h>

#include "platform/platform.h"

namespace {

const size_t kLongPathCapacity = 32768;

// Removes the entry at `path` (length `length`, in a buffer of
// kLongPathCapacity units that the walk extends in place). Never follows a
// reparse point: a junction or symbolic link goes as a link.
void RemoveEntry(WCHAR *path, size_t length, DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_READONLY)
    SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_READONLY);
  bool isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  bool isLink = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  if (!isDirectory) {
    DeleteFileW(path);
    return;
  }
  if (!isLink && length + 3 < kLongPathCapacity) {
    path[length] = L'\\';
    path[length + 1] = L'*';
    path[length + 2] = 0;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW(path, FindExInfoBasic, &found,
                                     FindExSearchNameMatch, nullptr, 0);
    path[length] = 0;
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const WCHAR *name = found.cFileName;
        if (name[0] == L'.' &&
            (name[1] == 0 || (name[1] == L'.' && name[2] == 0)))
          continue;
        size_t nameLength = wcslen(name);
        if (length + 1 + nameLength + 1 > kLongPathCapacity)
          continue;
        path[length] = L'\\';
        wmemcpy(path + length + 1, name, nameLength + 1);
        RemoveEntry(path, length + 1 + nameLength, found.dwFileAttributes);
        path[length] = 0;
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
  }
  RemoveDirectoryW(path);
}

} // namespace

BOOL RemoveDirectoryTree(LPCWSTR path) {
  WCHAR *buffer = (WCHAR *)malloc(kLongPathCapacity * sizeof(WCHAR));
  if (buffer == nullptr)
    return FALSE;
  // Long paths need the \\?\ form, which only a full path may take.
  size_t at = 0;
  if (path[0] != 0 && path[1] == L':' && path[2] == L'\\') {
    wmemcpy(buffer, L"\\\\?\\", 4);
    at = 4;
  } else if (path[0] == L'\\' && path[1] == L'\\' && path[2] != L'?' &&
             path[2] != L'.') {
    wmemcpy(buffer, L"\\\\?\\UNC", 7);
    at = 7;
    path += 1; // keep one of the two leading backslashes
  }
  size_t length = wcslen(path);
  if (at + length + 1 > kLongPathCapacity) {
    free(buffer);
    return FALSE;
  }
  wmemcpy(buffer + at, path, length + 1);
  length += at;
  BOOL removed = FALSE;
  DWORD attributes = GetFileAttributesW(buffer);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    removed = TRUE;
  } else {
    RemoveEntry(buffer, length, attributes);
    removed = GetFileAttributesW(buffer) == INVALID_FILE_ATTRIBUTES;
  }
  free(buffer);
  return removed;
}

void PrintWithWideText(FILE *stream, const char *format, const WCHAR *text) {
  fprintf(stream, format, text);
}

const WCHAR *GetProgramNameW(void) {
  return (__wargv != nullptr && __wargv[0] != nullptr) ? __wargv[0] : L"";
}

bool IsNameLevelAllowed(const WCHAR *level, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    WCHAR unit = level[i];
    // A second separator, a drive or stream, and what the file functions
    // refuse or read as wildcards.
    if (unit < 0x20 || unit == L'/' || unit == L':' || unit == L'*' ||
        unit == L'?' || unit == L'"' || unit == L'<' || unit == L'>' ||
        unit == L'|')
      return false;
  }
  // Device names, with or without an extension, open the device instead of
  // a file below the unpack directory.
  static const wchar_t *const kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL",
                                            L"CONIN$", L"CONOUT$"};
  size_t stem = 0;
  while (stem < length && level[stem] != L'.' && level[stem] != L' ')
    ++stem;
  auto upper = [](WCHAR c) { return (c >= L'a' && c <= L'z') ? c - 32 : c; };
  for (const wchar_t *device : kDevices) {
    size_t n = wcslen(device);
    if (n != stem)
      continue;
    size_t i = 0;
    while (i < n && upper(level[i]) == (WCHAR)device[i])
      ++i;
    if (i == n)
      return false;
  }
  if (stem == 4) {
    WCHAR a = upper(level[0]), b = upper(level[1]), c = upper(level[2]);
    bool com = a == L'C' && b == L'O' && c == L'M';
    bool lpt = a == L'L' && b == L'P' && c == L'T';
    WCHAR digit = level[3];
    // COM1-9, LPT1-9, and the superscript digits Windows also accepts.
    if ((com || lpt) && ((digit >= L'1' && digit <= L'9') || digit == 0xB9 ||
                         digit == 0xB2 || digit == 0xB3))
      return false;
  }
  return true;
}
