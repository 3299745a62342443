//===- diagnostics/error_box.cpp - A fatal line nobody could read -------===//
//
// Started from the desktop, the launcher has no standard output or error,
// and the C runtime drops a fatal ending's line. With the error box on, the
// line is shown in a message box instead, titled with the product name,
// once the ending's clean-up is done; the exit status stays what it is.
// Never where the line had somewhere to go (a console, a pipe, a file:
// whether anybody reads it is not the launcher's to know), never on a
// desktop nobody sees (a service's), and never for longer than
// kErrorBoxTimeoutMs. The abort endings show nothing: they do not come
// here.
//
//===----------------------------------------------------------------------===//
#include "diagnostics/error_box.h"
#include "launcher/state.h"

namespace {

// Whether the standard handle `which` takes what is written to it: a
// process started without one has none (null), and a closed one is no
// file of any type.
bool Writable(DWORD which) {
  HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
    return false;
  return GetFileType(handle) != FILE_TYPE_UNKNOWN ||
         GetLastError() == ERROR_SUCCESS;
}

} // namespace

void KeepFatalLine(DWORD which, const char *format, const WCHAR *text) {
  ErrorBoxState &box = state.errorBox;
  if (!(buildValues.launcherOptions & kOptionErrorBox))
    return;
  const size_t kRoom = kFatalLineCapacity - 4; // for "..." and the NUL
  size_t n = 0;
  bool cut = false;
  for (size_t i = 0; format[i] != 0 && !cut; ++i) {
    if (format[i] == '%' && format[i + 1] == 'l' && format[i + 2] == 's') {
      for (size_t k = 0; text != nullptr && text[k] != 0 && !cut; ++k) {
        if (n < kRoom)
          box.fatalLine[n++] = text[k];
        else
          cut = true;
      }
      i += 2;
      continue;
    }
    if (format[i] == '%' && format[i + 1] == '%')
      ++i;
    if (format[i] == '\n' || format[i] == '\r')
      continue;
    if (n < kRoom)
      box.fatalLine[n++] = (WCHAR)(unsigned char)format[i];
    else
      cut = true;
  }
  // A cut between the two units of a pair leaves no lone first half.
  if (cut && n > 0 && box.fatalLine[n - 1] >= 0xD800 &&
      box.fatalLine[n - 1] <= 0xDBFF)
    --n;
  for (int dot = 0; cut && dot < 3; ++dot)
    box.fatalLine[n++] = '.';
  box.fatalLine[n] = 0;
  box.fatalStream = which;
}

void ShowFatalLineInBox(void) {
  ErrorBoxState &box = state.errorBox;
  if (!(buildValues.launcherOptions & kOptionErrorBox) ||
      box.fatalStream == 0 || Writable(box.fatalStream))
    return;
  if (!DesktopIsInteractive())
    return;
  buildValues.product[kBuildValueCapacity - 1] = 0;
  ShowErrorBox(buildValues.product, box.fatalLine, kErrorBoxTimeoutMs);
}
