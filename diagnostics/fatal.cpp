//===- diagnostics/fatal.cpp - Fatal reports and OS error text ----------===//
#include "diagnostics/fatal.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/container.h"
#include "common/text.h"
#include "diagnostics/error_box.h"
#include "paths/paths.h"

namespace {

// Every orderly fatal ending: what this run has written goes (a directory it
// did not make is never touched), then the process ends with status 2. The
// abort endings do not come here: nothing is known to be written then.
[[noreturn]] void EndAfterFatalError(void) {
  CleanUpAfterFatalError();
  ShowFatalLineInBox(); // with the option on, where nobody reads the line
  exit(2);
}

enum TextKind {
  kArchiveName, // shown with the archive's own separator, '\\'
  kPath,        // a path or a path template, as the user types it here
};

// Prints `format` on standard error with `text` in place of its "%ls", as
// a message shows it: control characters escaped (EscapeForMessage), and a
// path's separators as the platform writes them (kPathSeparatorShown). The
// buffer, on the stack (zero-filled static storage would take room in the
// Windows launcher's file), holds any path of the launcher's whole with
// every unit escaped.
void PrintShown(const char *format, const WCHAR *text, TextKind kind) {
  WCHAR shown[4 * kPathCapacity];
  EscapeForMessage(text, Utf16Length(text), shown,
                   sizeof shown / sizeof shown[0],
                   kind == kPath ? kPathSeparatorShown : (WCHAR)'\\');
  PrintWithWideText(stderr, format, shown);
  KeepFatalLine(STD_ERROR_HANDLE, format, shown);
}

} // namespace

void ReportFatal(const char *message) {
  puts(message);
  KeepFatalLine(STD_OUTPUT_HANDLE, message, nullptr);
  EndAfterFatalError();
}

void ReportFatalDecode(void) {
  ReportFatal("Error, couldn't decode attached data.");
}

void ReportFatalHeader(void) {
  ReportFatal("Error, couldn't find attached data header.");
}

void ReportFatalMemory(void) {
  ReportFatal("Error, couldn't allocate memory.");
}

void ReportFatalNameTooLong(void) {
  ReportFatal("Error, a name in the attached data is longer "
              "than " VESKAR_MAX_NAME_UNITS_TEXT " units.");
}

void ReportFatalExpand(const WCHAR *spec) {
  PrintShown("Error, couldn't runtime expand spec '%ls'.\n", spec, kPath);
  AbortProcess();
}

void ReportFatalOpen(const WCHAR *path) {
  PrintShown("Error, failed to open '%ls' for writing.\n", path, kPath);
  EndAfterFatalError();
}

void ReportFatalUnsafeName(const WCHAR *name, const NameVerdict &verdict) {
  static const char kStart[] =
      "Error, refusing the name '%ls' in the attached data: it ";
  // The reason is plain text: it holds no conversion of its own.
  char format[sizeof kStart + 160];
  memcpy(format, kStart, sizeof kStart);
  size_t at = sizeof kStart - 1;
  DescribeNameProblem(verdict, format + at, sizeof format - at - 2);
  at += strlen(format + at);
  memcpy(format + at, ".\n", 3);
  PrintShown(format, name, kArchiveName);
  EndAfterFatalError();
}

void ReportFatalChildPathTooLong(const WCHAR *path) {
  PrintShown("Error, the path of the main program '%ls' is longer "
             "than " VESKAR_MAX_NAME_UNITS_TEXT " units.\n",
             path, kPath);
  EndAfterFatalError();
}

static_assert(kPathCapacity == 4096, "the message names the longest path");

void ReportFatalPathTooLong(const WCHAR *name) {
  PrintShown("Error, the name '%ls' in the attached data makes a path longer "
             "than 4095 units in the unpack directory.\n",
             name, kArchiveName);
  EndAfterFatalError();
}

namespace {

// Writes " ([Error CODE] the system's text)" into `out`, always terminated.
// The system's text loses its trailing line break (Windows ends it with CR
// LF), so the message stays one line; with `forFormat`, each '%' in it is
// doubled, for a text that becomes part of a format.
void FormatOsErrorTail(DWORD code, bool forFormat, char *out, size_t capacity) {
  char *text = nullptr;
  FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER |
                     FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
                 nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                 (LPSTR)&text, 0, nullptr);
  // Without an English text for the code, the line keeps its frame.
  const char *shown = text ? text : "no system text for this code";
  size_t length = strlen(shown);
  while (length > 0 && (shown[length - 1] == '\n' || shown[length - 1] == '\r'))
    --length;
  int at = snprintf(out, capacity, " ([Error %ld] ", (long)(LONG)code);
  size_t n = at > 0 ? (size_t)at : 0;
  for (size_t i = 0; i < length && n + 3 < capacity; ++i) {
    if (forFormat && shown[i] == '%')
      out[n++] = '%';
    out[n++] = shown[i];
  }
  if (n + 1 < capacity)
    out[n++] = ')';
  out[n < capacity ? n : capacity - 1] = 0;
  if (text != nullptr)
    LocalFree(text);
}

} // namespace

void PrintOsError(const char *message, DWORD code) {
  char tail[512];
  FormatOsErrorTail(code, false, tail, sizeof tail);
  fprintf(stderr, "%s%s\n", message, tail);
  char line[768];
  snprintf(line, sizeof line, "%s%s", message, tail);
  KeepFatalLine(STD_ERROR_HANDLE, line, nullptr);
}

void ReportFatalPathOsError(const char *message, const WCHAR *path,
                            DWORD code) {
  char format[600];
  size_t length = strlen(message);
  if (length > 200)
    length = 200; // the messages are short; a format is never cut in two
  memcpy(format, message, length);
  FormatOsErrorTail(code, true, format + length, sizeof format - length - 1);
  strcat(format, "\n");
  PrintShown(format, path, kPath);
  EndAfterFatalError();
}

void ReportFatalCacheDirectory(const WCHAR *path) {
  PrintShown("Error, refusing the cache directory '%ls': it is a link, no "
             "directory, or another user's.\n",
             path, kPath);
  EndAfterFatalError();
}

void ReportFatalUnpackDirectory(const WCHAR *path, DWORD code) {
  ReportFatalPathOsError(
      "Error, couldn't create a fresh unpack directory '%ls'", path, code);
}

void ReportFatalOsError(const char *message, DWORD code) {
  PrintOsError(message, code);
  EndAfterFatalError();
}

void ReportFatalUnpack(const WCHAR *path, DWORD code) {
  ReportFatalPathOsError("Error, couldn't unpack file to target path. '%ls'",
                         path, code);
}
