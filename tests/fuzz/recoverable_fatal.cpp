//===- tests/fuzz/recoverable_fatal.cpp - Fatal reports that jump back --===//
//
// Replaces diagnostics/fatal.cpp in the fuzz build. In the product every
// member prints one line and ends the process; here it records which member
// was called and jumps back to the run that called the payload code.
//
// Why a jump and not a forked child per input: libFuzzer learns from the
// coverage counters of its own process, which a child's run would not
// update, and a fork per input would cost more than the run itself. The jump
// is sound here because the payload code holds nothing that needs unwinding
// (no destructors, no locks); what it owned at the jump is released by the
// harness: the stream by ClosePayload, open files by the guard, the known
// directories by the harness.
//
//===----------------------------------------------------------------------===//
#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>

#include "diagnostics/fatal.h"
#include "tests/fuzz/harness.h"

namespace veskar_fuzz {

namespace {

jmp_buf runTarget;
bool running = false;
Ending ending = Ending::kCompleted;

} // namespace

const char *EndingName(Ending e) {
  switch (e) {
  case Ending::kCompleted:
    return "completed";
  case Ending::kHeader:
    return "header";
  case Ending::kDecode:
    return "decode";
  case Ending::kMemory:
    return "memory";
  case Ending::kOpen:
    return "open";
  case Ending::kUnpack:
    return "unpack";
  case Ending::kUnsafeName:
    return "unsafe-name";
  case Ending::kNameTooLong:
    return "name-too-long";
  case Ending::kChildPathTooLong:
    return "child-path-too-long";
  case Ending::kExpand:
    return "expand";
  case Ending::kOtherFatal:
    return "other-fatal";
  case Ending::kBudget:
    return "budget";
  }
  return "?";
}

Ending RunUntilFatal(void (*body)(void)) {
  if (setjmp(runTarget) == 0) {
    running = true;
    body();
    running = false;
    return Ending::kCompleted;
  }
  running = false;
  return ending;
}

void EndRun(Ending e) {
  if (!running) {
    fprintf(stderr, "fuzz: a fatal report (%s) outside a run\n", EndingName(e));
    abort();
  }
  ending = e;
  longjmp(runTarget, 1);
}

} // namespace veskar_fuzz

using veskar_fuzz::Ending;
using veskar_fuzz::EndRun;

void ReportFatal(const char *) { EndRun(Ending::kOtherFatal); }
void ReportFatalDecode(void) { EndRun(Ending::kDecode); }
void ReportFatalHeader(void) { EndRun(Ending::kHeader); }
void ReportFatalMemory(void) { EndRun(Ending::kMemory); }
void ReportFatalNameTooLong(void) { EndRun(Ending::kNameTooLong); }
void ReportFatalExpand(const WCHAR *) { EndRun(Ending::kExpand); }
void ReportFatalOpen(const WCHAR *) { EndRun(Ending::kOpen); }
void ReportFatalUnsafeName(const WCHAR *, const NameVerdict &) {
  EndRun(Ending::kUnsafeName);
}
void ReportFatalUnpackDirectory(const WCHAR *, DWORD) {
  EndRun(Ending::kOtherFatal);
}
void ReportFatalChildPathTooLong(const WCHAR *) {
  EndRun(Ending::kChildPathTooLong);
}
void ReportFatalPathTooLong(const WCHAR *) { EndRun(Ending::kOtherFatal); }
void ReportFatalOsError(const char *, DWORD) { EndRun(Ending::kOtherFatal); }
void ReportFatalPathOsError(const char *, const WCHAR *, DWORD) {
  EndRun(Ending::kOtherFatal);
}
void ReportFatalCacheDirectory(const WCHAR *) { EndRun(Ending::kOtherFatal); }
void ReportFatalUnpack(const WCHAR *, DWORD) { EndRun(Ending::kUnpack); }
void PrintOsError(const char *, DWORD) {}
