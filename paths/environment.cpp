//===- paths/environment.cpp - Own path and the child's environment -----===//
#include <stdio.h>
#include <stdlib.h>

#include "launcher/state.h"
#include "paths/paths.h"

namespace {

// The widened variable name: the longest of ours has 21 characters.
const size_t kVariableNameCapacity = 40;

} // namespace

const WCHAR *GetOwnExecutablePath(void) {
  GetModuleFileNameW(nullptr, state.ownPath, kOwnPathCapacity);
  return state.ownPath;
}

void SetChildEnvironmentVariable(const char *name, const WCHAR *value) {
  WCHAR wideName[kVariableNameCapacity];
  wideName[0] = 0;
  AppendNarrowAsWide(wideName, name, kVariableNameCapacity);
  SetEnvironmentVariableW(wideName, value);
}

void SetChildEnvironment(void) {
  char number[kProcessIdTextCapacity];
  WCHAR wideNumber[kProcessIdTextCapacity];
  snprintf(number, sizeof number, "%ld", (long)GetCurrentProcessId());
  wideNumber[0] = 0;
  AppendNarrowAsWide(wideNumber, number, kProcessIdTextCapacity);
  SetChildEnvironmentVariable("VESKAR_ONEFILE_PARENT", wideNumber);
  SetChildEnvironmentVariable("VESKAR_ONEFILE_BINARY", GetOwnExecutablePath());
}
