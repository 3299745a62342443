//===- tests/fuzz/redirect.h - File calls of the core, seen by the fuzzer -===//
//
// Forced in front of every core source of the fuzz build (-include). It
// renames the three file calls the extraction makes, so that the core calls
// the guarded versions in guard.cpp while the POSIX layer keeps the real
// ones. The guard remembers open handles, which a fatal ending jumps over,
// and bounds what one input may write. Nothing of this is in the product.
//
//===----------------------------------------------------------------------===//
#pragma once

#define CreateFileW FuzzGuardedCreateFileW
#define WriteFile FuzzGuardedWriteFile
#define CloseHandle FuzzGuardedCloseHandle
