//===- launcher/main.cpp - Entry and the launch sequence ----------------===//
//
// One fixed sequence on the main thread: expand the unpack directory,
// register the console control handler, open the payload, extract, set the
// child's environment, run the child, clean up, and end with the child's
// exit code. Every failure on the way ends the process where it happens.
//
//===----------------------------------------------------------------------===//
#include "diagnostics/fatal.h"
#include "launcher/console.h"
#include "launcher/state.h"
#include "paths/paths.h"
#include "payload/extract.h"
#include "payload/stream.h"

LauncherState state;

// Rewritten by the packer; the marker must stay unique in the image.
BuildValues buildValues = {
    {'V', 'E', 'S', 'K', 'A', 'R', '-', 'B', 'U', 'I', 'L', 'D', '-', 'V', 'A',
     'L'},
    VESKAR_TEXT("PELTA"),
    VESKAR_TEXT("Quorvane"),
    VESKAR_TEXT("1.1.0.0"),
};

int RunLauncher(void) {
  static const WCHAR kUnpackTemplate[] =
      VESKAR_TEXT("{TEMP}\\onefile_{PID}_{TIME}");

  state.unpackDirectory[0] = 0;
  if (!ExpandPathTemplate(state.unpackDirectory, kUnpackTemplate,
                          kPathCapacity))
    ReportFatalExpand(kUnpackTemplate);

  if (!SetConsoleCtrlHandler(OnConsoleControl, TRUE))
    ReportFatal("Error, failed to register signal handler.");

  OpenPayload();
  BeginExtraction(); // from here on, clean-up removes the directory
  ExtractPayload();
  EndExtraction();
  ClosePayload();

  SetChildEnvironment();
  DWORD exitCode = RunChild();
  StopChildAndCleanUp();
  AwaitConsoleEventEnding();
  return (int)exitCode;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) { return RunLauncher(); }
