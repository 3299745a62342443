//===- platform/posix/window.cpp - No window here -----------------------===//
//
// The Linux launcher shows neither the progress window nor the error box:
// every call answers that nothing can be shown, at once. The recording
// build logs the calls and lets a test script what the user did (a
// cancelled window, a desktop that is interactive) or hold the window's
// thread in its call.
//
//===----------------------------------------------------------------------===//
#include "platform/posix/hook.h"
#include "platform/posix/internal.h"

ProgressWindowEnding RunProgressWindow(ProgressWindowView *view) {
  VESKAR_HOOK("RunProgressWindow", view->title, ProgressWindowEnding);
  return kProgressWindowUnavailable;
}

void EndProgressWindow(ProgressWindowView *view) {
  InterlockedExchange(&view->ended, 1);
  VESKAR_HOOK_VOID("EndProgressWindow");
}

BOOL DesktopIsInteractive(void) {
  VESKAR_HOOK("DesktopIsInteractive", nullptr, BOOL);
  return FALSE;
}

// Logged as "ShowErrorBox TEXT | TITLE".
BOOL ShowErrorBox(const WCHAR *title, const WCHAR *text, DWORD) {
#if defined(VESKAR_RECORDING)
  char note[512] = "| ";
  veskar_posix::ToNative(title, note + 2, sizeof note - 2, false);
  VESKAR_HOOK_NOTED("ShowErrorBox", text, note, BOOL);
#else
  (void)title;
  (void)text;
#endif
  return FALSE;
}
