//===- paths/expand.cpp - Path templates with variables in braces -------===//
//
// "{TEMP}\onefile_{PID}_{TIME}" and the like. Names are matched whole,
// ASCII letters without regard to case. After TEMP, HOME and CACHE_DIR,
// every backslash at the end of the output is removed.
//
//===----------------------------------------------------------------------===//
#include <stdio.h>
#include <stdlib.h>

#include "common/template.h"
#include "launcher/state.h"
#include "paths/paths.h"

namespace {

bool EndsWithExe(const WCHAR *text, size_t length) {
  if (length < 4)
    return false;
  const WCHAR *tail = text + length - 4;
  return tail[0] == '.' && AsciiUpper(tail[1]) == 'E' &&
         AsciiUpper(tail[2]) == 'X' && AsciiUpper(tail[3]) == 'E';
}

// Appends the value of one variable at `end`; false when the expansion must
// fail. Values that do not fit end the process inside the appends.
bool AppendVariable(TemplateVariable variable, WCHAR *end, size_t room) {
  switch (variable) {
  case kVariableTemp: {
    // A temporary directory that cannot be had, or does not fit, fails the
    // expansion: going on without it would put the unpack directory at the
    // root of the current drive.
    DWORD length = GetTempPathW((DWORD)room, end);
    if (length == 0 || length >= room) {
      *end = 0;
      return false;
    }
    return true;
  }
  case kVariableProgram:
    AppendWideString(end, GetProgramNameW(), room);
    return true;
  case kVariableProgramBase: {
    if (!ExpandPathTemplate(end, VESKAR_TEXT("{PROGRAM}"), room))
      return false;
    size_t length = Utf16Length(end);
    if (EndsWithExe(end, length))
      end[length - 4] = 0;
    return true;
  }
  case kVariablePid: {
    char number[kProcessIdTextCapacity];
    snprintf(number, sizeof number, "%ld", (long)GetCurrentProcessId());
    AppendNarrowAsWide(end, number, room);
    return true;
  }
  case kVariableHome:
    return AppendShellFolder(end, CSIDL_PROFILE, room);
  case kVariableCacheDir:
    return AppendShellFolder(end, CSIDL_LOCAL_APPDATA, room);
  case kVariableCompany:
    AppendWideString(end, buildValues.company, room);
    return true;
  case kVariableProduct:
    AppendWideString(end, buildValues.product, room);
    return true;
  case kVariableVersion:
    AppendWideString(end, buildValues.version, room);
    return true;
  case kVariableTime: {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    long long ticks =
        (long long)(((uint64_t)now.dwHighDateTime << 32) | now.dwLowDateTime);
    char number[kTimeTextCapacity];
    snprintf(number, sizeof number, "%lld", ticks);
    AppendNarrowAsWide(end, number, room);
    return true;
  }
  case kVariableUnknown:
    break;
  }
  return false;
}

bool TrimsBackslashes(TemplateVariable variable) {
  return variable == kVariableTemp || variable == kVariableHome ||
         variable == kVariableCacheDir;
}

} // namespace

bool ExpandPathTemplate(WCHAR *output, const WCHAR *pathTemplate,
                        size_t capacity) {
  WCHAR name[kNameCapacity];
  size_t nameLength = 0;
  bool collecting = false;
  bool nameTooLong = false;
  size_t end = 0;
  output[0] = 0;

  for (const WCHAR *p = pathTemplate; *p != 0; ++p) {
    WCHAR unit = *p;
    if (unit == '{') {
      collecting = true; // drops whatever an earlier "{" collected
      nameLength = 0;
      nameTooLong = false;
    } else if (unit == '}' && collecting) {
      collecting = false;
      name[nameLength] = 0;
      TemplateVariable variable =
          nameTooLong ? kVariableUnknown
                      : LookUpTemplateVariable(name, nameLength);
      if (variable == kVariableUnknown)
        return false;
      if (!AppendVariable(variable, output + end, capacity - end))
        return false;
      end += Utf16Length(output + end);
      if (TrimsBackslashes(variable)) {
        while (end > 0 && output[end - 1] == '\\')
          output[--end] = 0;
      }
    } else if (collecting) {
      // A name longer than the name buffer is no name we know.
      if (nameLength + 1 >= kNameCapacity)
        nameTooLong = true;
      else
        name[nameLength++] = unit;
    } else {
      // A literal, "}" outside a name included.
      if (capacity - end < 2)
        return false;
      output[end++] = unit;
      output[end] = 0;
    }
  }
  output[end] = 0;
  return true;
}
