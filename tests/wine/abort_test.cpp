//===- tests/wine/abort_test.cpp - The launcher's abort ending ------------===//
//
// A GUI-subsystem program, as the launcher is, that ends through the
// launcher's own AbortProcess (platform/windows). The C runtime's abort()
// would show a message box here and wait for a click; AbortProcess must end
// the process at once with a fail-fast, or exit code 3 where the processor
// has none. The Wine tests start it through the harness and read the code.
//
//===----------------------------------------------------------------------===//
#include "platform/platform.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) { AbortProcess(); }
