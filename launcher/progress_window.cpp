//===- launcher/progress_window.cpp - The progress of a slow unpacking --===//
//
// A start that unpacks for more than a moment shows a window: the
// package's icon, its product name, the bytes written against all of them,
// and Cancel. The main thread only counts and, once, makes the window's
// thread; it never waits for that thread, which reads the count and draws.
// A start that is over sooner (a small package, a cache directory that is
// whole) makes no thread and asks the platform for nothing.
//
// Cancel, or the window's close box, is a Ctrl+C: the window's thread runs
// the console control handler's stop (launcher/console.cpp), which stops the
// child and removes the unpack directory once the main thread has stopped
// writing, and the process ends as after a Ctrl+C.
//
// The window closes as soon as the child has started (launcher/child.cpp)
// and, on a fatal ending, in its clean-up (launcher/shutdown.cpp), before
// any error box (diagnostics/error_box.cpp).
// Where nothing can be shown, the thread ends and the run goes on as
// without the option.
//
//===----------------------------------------------------------------------===//
#include "launcher/console.h"
#include "launcher/progress_window.h"
#include "launcher/state.h"

namespace {

DWORD WINAPI ProgressWindowThread(LPVOID) {
  if (RunProgressWindow(&state.progressWindow.view) == kProgressWindowCancelled)
    StopAsOnCtrlC();
  return 0;
}

void StartProgressWindow(void) {
  ProgressWindowState &window = state.progressWindow;
  window.windowAsked = true;
  window.view.title = buildValues.product;
  window.view.done = &window.bytesWritten;
  window.view.total = GetLittleEndian64(buildValues.fileBytes);
  HANDLE thread =
      CreateThread(nullptr, 0, ProgressWindowThread, nullptr, 0, nullptr);
  // Without a thread there is no window; the run goes on.
  if (thread != nullptr)
    CloseHandle(thread);
}

} // namespace

void NoteBytesUnpacked(DWORD count) {
  ProgressWindowState &window = state.progressWindow;
  InterlockedExchangeAdd64(&window.bytesWritten, count);
  if (window.windowAsked || window.windowClosed ||
      !(buildValues.launcherOptions & kOptionProgressWindow))
    return;
  ULONGLONG now = GetTickCount64();
  if (window.unpackingSince == 0)
    window.unpackingSince = now != 0 ? now : 1;
  else if (now - window.unpackingSince >= kProgressWindowDelayMs)
    StartProgressWindow();
}

void CloseProgressWindow(void) {
  state.progressWindow.windowClosed = true;
  if (state.progressWindow.windowAsked)
    EndProgressWindow(&state.progressWindow.view);
}
