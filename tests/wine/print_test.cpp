//===- tests/wine/print_test.cpp - PrintWithWideText on its own -----------===//
//
// A console program for the Wine tests of the one place that prints wide
// text:
//
//   print-test [--console] TEXT
//
// prints "text: 'TEXT' ends here\n" on standard error through
// PrintWithWideText and exits 0 (4 for bad usage, 5 when there is no
// console). With --console, standard error is first reopened on the
// process's console (CONOUT$, which the C runtime opens for writing only);
// otherwise it is whatever the caller handed over.
//
//===----------------------------------------------------------------------===//
#include <stdio.h>
#include <wchar.h>

#include "platform/platform.h"

int wmain(int argc, wchar_t **argv) {
  bool console = argc == 3 && wcscmp(argv[1], L"--console") == 0;
  if (argc != 2 && !console)
    return 4;
  if (console && freopen("CONOUT$", "w", stderr) == nullptr)
    return 5;
  PrintWithWideText(stderr, "text: '%ls' ends here\n", argv[argc - 1]);
  return 0;
}
