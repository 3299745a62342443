//===- tests/fuzz/file_layer.h - Where the fuzzed extraction writes -----===//
//
// The harness runs over one of two file layers, chosen at link time:
//
//  - disk_files.cpp: the POSIX layer's real calls, into a scratch folder
//    with sentinel directories beside the unpack directory on every level
//    above it. Slow (a few hundred inputs a second), but it is the code the
//    product runs; the seed corpus is replayed through it.
//  - memory_files.cpp: files and directories kept in a table in memory,
//    answering as the kernel does. Every path the core creates or opens is
//    checked as it is asked for, so a step outside the unpack directory is
//    caught before it happens. The libFuzzer target runs over it.
//
// The core reaches the layer through redirect.h: the three calls the guard
// watches (CreateFileW, WriteFile, CloseHandle) pass through guard.cpp
// first, the two directory calls come here directly.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>

#include "platform/platform.h"
#include "tests/fuzz/harness.h"

namespace veskar_fuzz {

// Reports a broken property and aborts, which libFuzzer reports as a crash
// with the input.
[[noreturn]] void Fail(const char *format, ...);

// A file's content as far as the harness compares it.
struct FileDigest {
  uint64_t size;
  uint64_t hash;
  bool operator==(const FileDigest &other) const {
    return size == other.size && hash == other.hash;
  }
};

const uint64_t kFnvStart = 14695981039346656037ull;
uint64_t Fnv1a(uint64_t hash, const void *data, size_t count);

// A new folder in $TMPDIR (or /tmp) for one process's runs.
std::string MakeScratchFolder(void);

// --- What each layer provides to the harness --------------------------------

// Once per process: makes the place for the unpack directory, points HOME at
// a folder above it (so the known-directory list is seeded as in a real
// run), and returns the unpack directory's native path. It does not exist
// yet.
std::string PrepareFiles(void);

// After a run: aborts when anything was left outside the unpack directory,
// or when the unpack directory exists after an ending that comes before it
// is made.
void CheckContained(Ending ending);

// Every regular file below the unpack directory by its native path relative
// to it; anything that is neither a file nor a directory aborts.
void CollectFiles(std::map<std::string, FileDigest> &out);

// Removes the unpack directory and everything in it, if it exists.
void RemoveUnpackDirectory(void);

} // namespace veskar_fuzz

// --- The file calls, after the guard ----------------------------------------

HANDLE FuzzLayerCreateFileW(LPCWSTR path, DWORD access, DWORD share,
                            LPSECURITY_ATTRIBUTES security, DWORD disposition,
                            DWORD flags, HANDLE templateFile);
BOOL FuzzLayerWriteFile(HANDLE file, const void *data, DWORD count,
                        LPDWORD written, LPOVERLAPPED overlapped);
BOOL FuzzLayerCloseHandle(HANDLE handle);
BOOL FuzzLayerCreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security);
DWORD FuzzLayerGetFileAttributesW(LPCWSTR path);
// The core's removal of a tree (a parallel pass that left the payload to
// the one-thread reader removes what it wrote): only ever the unpack
// directory or below it, and never a file still open.
BOOL FuzzLayerRemoveDirectoryTree(LPCWSTR path, const FileIdentity *expected);
