//===- launcher/main.cpp - Entry and the launch sequence ----------------===//
//
// One fixed sequence on the main thread: expand the unpack directory,
// register the console control handler, open the payload, extract (in a
// cache mode: make sure the cache directory holds the payload's files,
// launcher/cache.cpp), set the child's environment, run the child, clean
// up, and end with the child's exit code. Every failure on the way ends the
// process where it happens.
//
// Threads: besides the main thread there is the console control thread
// (launcher/console.cpp) and, during the extraction only, the file writers
// (payload/writer.cpp), which run the writes and closes of the files the
// main thread decodes. They only make the system calls; the main thread
// keeps every decision and reports every failure, and they have ended,
// with every file closed, before the child starts.
//
//===----------------------------------------------------------------------===//
#include "diagnostics/fatal.h"
#include "launcher/cache.h"
#include "launcher/console.h"
#include "launcher/state.h"
#include "launcher/unpack.h"
#include "paths/paths.h"

LauncherState state;

// Rewritten by the packer, which finds the block by its marker.
BuildValues buildValues = DefaultBuildValues();

extern const WCHAR kUnpackTemplate[] = VESKAR_TEXT(VESKAR_UNPACK_TEMPLATE_TEXT);

int RunLauncher(void) {
  // The packer may set another per-run template; the block always ends in
  // a zero unit, whatever was written into it.
  buildValues.unpackTemplate[kUnpackTemplateCapacity - 1] = 0;
  const WCHAR *unpackTemplate = buildValues.unpackTemplate[0] != 0
                                    ? buildValues.unpackTemplate
                                    : kUnpackTemplate;

  bool cached = CacheModeSelected();
  state.unpackDirectory[0] = 0;
  if (cached)
    ExpandCachePaths();
  else if (!ExpandPathTemplate(state.unpackDirectory, unpackTemplate,
                               kPathCapacity))
    ReportFatalExpand(unpackTemplate);

  RegisterConsoleControl();

  if (cached) {
    PrepareCacheDirectory();
  } else {
    RunPayloadPass(kExtractEveryRecord);
  }

  SetChildEnvironment();
  DWORD exitCode = RunChild();
  StopChildAndCleanUp();
  AwaitConsoleEventEnding();
  return (int)exitCode;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) { return RunLauncher(); }
