//===- platform/posix/entry.cpp - The process entry on Linux ------------===//
#include "platform/posix/internal.h"

int main(int argc, char **argv) {
  veskar_posix::SetArguments(argc, argv);
  int exitCode = wWinMain(nullptr, nullptr, GetCommandLineW(), 0);
  veskar_posix::AwaitConsoleSignal();
  return exitCode;
}
