//===- tests/fuzz/redirect.h - File calls of the core, seen by the fuzzer -===//
//
// Forced in front of every core source of the fuzz build (-include). It
// renames the file calls the extraction makes, so that the core calls the
// fuzz build's versions while the POSIX layer keeps the real ones: the
// three the guard watches (guard.cpp: it remembers open handles, which a
// fatal ending jumps over, and bounds what one input may write), and the
// two directory calls, which go to the harness's file layer (file_layer.h)
// directly. The file writers get no thread (FuzzNoWriterThread, in
// guard.cpp), so every file call of the one-thread reader runs on the
// thread that a fatal report jumps back on. The decoder threads of the
// parallel reader (payload/parallel.cpp, compiled with
// VESKAR_FUZZ_DECODER_THREADS) are real threads (FuzzDecoderThread): they
// report nothing themselves, they stop and leave the report to the main
// thread. Nothing of this is in the product.
//
//===----------------------------------------------------------------------===//
#pragma once

#define CreateFileW FuzzGuardedCreateFileW
#define WriteFile FuzzGuardedWriteFile
#define CloseHandle FuzzGuardedCloseHandle
#define CreateDirectoryW FuzzLayerCreateDirectoryW
#define GetFileAttributesW FuzzLayerGetFileAttributesW
#define RemoveDirectoryTree FuzzLayerRemoveDirectoryTree
#ifdef VESKAR_FUZZ_DECODER_THREADS
#define CreateThread FuzzDecoderThread
#else
#define CreateThread FuzzNoWriterThread
#endif
