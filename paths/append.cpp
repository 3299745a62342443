//===- paths/append.cpp - Bounded appends into wide buffers -------------===//
#include <stdlib.h>

#include "paths/paths.h"

// Finds the terminator, counting against the capacity: a buffer without one
// inside its capacity is already broken.
static size_t FindEnd(const WCHAR *buffer, size_t capacity) {
  size_t end = 0;
  while (end < capacity && buffer[end] != 0)
    ++end;
  if (end >= capacity)
    AbortProcess();
  return end;
}

void AppendWideString(WCHAR *buffer, const WCHAR *text, size_t capacity) {
  size_t end = FindEnd(buffer, capacity);
  for (; *text != 0; ++text) {
    if (end + 2 > capacity) // the character and the terminator
      AbortProcess();
    buffer[end++] = *text;
  }
  buffer[end] = 0;
}

void JoinPath(WCHAR *path, const WCHAR *directory, const WCHAR *name,
              size_t capacity) {
  path[0] = 0;
  AppendWideString(path, directory, capacity);
  AppendWideString(path, VESKAR_TEXT("\\"), capacity);
  AppendWideString(path, name, capacity);
}

bool JoinedPathFits(const WCHAR *directory, const WCHAR *name,
                    size_t capacity) {
  // The directory, the backslash, the name and the terminator.
  size_t directoryLength = 0, nameLength = 0;
  while (directory[directoryLength] != 0)
    ++directoryLength;
  while (name[nameLength] != 0)
    ++nameLength;
  return directoryLength + nameLength + 2 <= capacity;
}

void AppendNarrowAsWide(WCHAR *buffer, const char *text, size_t capacity) {
  size_t end = FindEnd(buffer, capacity);
  for (; *text != 0; ++text) {
    char single[2] = {*text, 0};
    wchar_t wide[2] = {0, 0};
    if (mbstowcs(wide, single, 2) != 1)
      AbortProcess();
    if (end + 2 > capacity)
      AbortProcess();
    buffer[end++] = (WCHAR)wide[0];
  }
  buffer[end] = 0;
}

bool AppendShellFolder(WCHAR *buffer, int folder, size_t capacity) {
  WCHAR path[MAX_PATH];
  path[0] = 0;
  if (SHGetFolderPathW(nullptr, folder, nullptr, SHGFP_TYPE_CURRENT, path) !=
      S_OK)
    return false;
  AppendWideString(buffer, path, capacity);
  return true;
}
