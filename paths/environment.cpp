//===- paths/environment.cpp - Own path and the child's environment -----===//
#include <stdio.h>
#include <stdlib.h>

#include "launcher/state.h"
#include "paths/paths.h"

const WCHAR *GetOwnExecutablePath(void) {
  GetModuleFileNameW(nullptr, state.ownPath, kOwnPathCapacity);
  return state.ownPath;
}

void SetChildEnvironmentVariable(const char *name, const WCHAR *value) {
  WCHAR wideName[40];
  wideName[0] = 0;
  AppendNarrowAsWide(wideName, name, 40);
  SetEnvironmentVariableW(wideName, value);
}

void SetChildEnvironment(void) {
  char number[128];
  WCHAR wideNumber[128];
  snprintf(number, sizeof number, "%ld", (long)GetCurrentProcessId());
  wideNumber[0] = 0;
  AppendNarrowAsWide(wideNumber, number, 128);
  SetChildEnvironmentVariable("VESKAR_ONEFILE_PARENT", wideNumber);
  SetChildEnvironmentVariable("VESKAR_ONEFILE_BINARY", GetOwnExecutablePath());
}
