//===- packer/os/fs.h - What the packer asks of the operating system ------===//
//
// The packer's one seam to the system: files, directories, the console and
// interruption. Paths are UTF-8 everywhere above it; on Windows they become
// wide (and absolute, with the \\?\ prefix, so that no length limit
// applies) only here, and paths this layer gives back use '/' between
// levels on both systems. Errors come back in errno, as POSIX numbers on
// both systems. What to refuse and what to say about it is decided above
// the seam, never here.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

namespace veskar {
namespace fs {

enum class Kind {
  kRegular,
  kDirectory,
  kLink,
  kFifo,
  kSocket,
  kDevice,
  kOther
};

struct Facts {
  Kind kind = Kind::kOther;
  uint64_t size = 0;
  bool executable = false; // any execute bit (never on Windows)
};

// Whether `c` separates levels of a path: '/', and on Windows '\' too.
bool IsSeparator(char c);

// Where the last separator in `path` stands, or npos.
inline size_t LastSeparator(const std::string &path) {
  for (size_t i = path.size(); i > 0; --i)
    if (IsSeparator(path[i - 1]))
      return i - 1;
  return std::string::npos;
}

// The facts of `path`; of a link itself unless `follow`.
bool LookAt(const std::string &path, bool follow, Facts *facts);

// Opens `path` for reading, without waiting for a fifo's writer and, unless
// `follow`, not through a link at the last level. -1 on failure.
int OpenForReading(const std::string &path, bool follow);
// The facts of an open file.
bool LookAtOpen(int fd, Facts *facts);

// Creates (or truncates) the file `path` for writing, not through a link at
// the last level, with `mode` less the umask where modes exist.
int CreateForWriting(const std::string &path, unsigned mode);

// One read or write of at most `count` bytes, at the current position or,
// for the *At forms, at `offset` without moving it. -1 on error.
long long Read(int fd, void *data, size_t count);
long long ReadAt(int fd, void *data, size_t count, uint64_t offset);
// Where the next Write to `fd` lands; -1 with errno set on failure.
long long Position(int fd);
long long Write(int fd, const void *data, size_t count);
long long WriteAt(int fd, const void *data, size_t count, uint64_t offset);
int Close(int fd);

// The names in the directory `path`, without "." and "..", in no order.
bool ListDirectory(const std::string &path, std::vector<std::string> *names);

// The absolute path of `path` with every link resolved.
bool Canonical(const std::string &path, std::string *canonical);

bool MakeDirectory(const std::string &path, unsigned mode);
bool RemoveEmptyDirectory(const std::string &path);
bool RemoveFile(const std::string &path);
// Removes `path` and everything below it, links themselves, not what they
// lead to; what cannot be removed is left.
void RemoveTree(const std::string &path);

// Creates the missing levels of `directory`, as mkdir -p does (0755 less
// the umask where modes exist), and adds each one made to `made`,
// outermost first. Levels that exist are taken as they are, a link to a
// directory included; a level made here is entered without following a
// link put in its place. On failure, `*level` is the level that failed
// and errno says why (ENOTDIR: it is not a directory).
bool MakeParents(const std::string &directory, std::vector<std::string> *made,
                 std::string *level);

// Creates a new, private file (or directory) with a name made from
// `pattern`, which ends in "XXXXXX"; `*path` receives the name.
int CreateUniqueFile(const std::string &pattern, std::string *path);
bool CreateUniqueDirectory(const std::string &pattern, std::string *path);

// Flushes the file to disk and gives it `mode` less the umask where modes
// exist.
bool FinishFile(int fd, unsigned mode);
// Gives the directory `mode` less the umask where modes exist.
void FinishDirectory(const std::string &path, unsigned mode);

// Renames `from` to `to`, replacing a file at `to` in one step.
bool Rename(const std::string &from, const std::string &to);

// The system's text for errno `code`, starting lower case.
std::string ErrorText(int code);

// Whether the stream is a console (or terminal) a person watches.
bool IsConsole(FILE *stream);
// Writes UTF-8 `text` to the stream as the console shows it.
void Print(FILE *stream, const std::string &text);

int ProcessorCount(void);

// Calls `onInterrupt` on Ctrl+C and (on POSIX) SIGTERM and SIGHUP, then
// ends the process as the interruption would, unless the handler gives
// true (the program then stops by itself). The handler may only remove the
// file whose name `SetPendingFile` last gave, and set flags.
void InstallInterruptHandler(bool (*onInterrupt)(void));
// The file an interruption removes ("" for none); at most 4095 bytes.
void SetPendingFile(const std::string &path);
// Removes the pending file; for the interrupt handler.
void RemovePendingFile(void);

#ifdef _WIN32
// The program's wide arguments as UTF-8; an unpaired surrogate becomes
// U+FFFD.
std::vector<std::string> WideArguments(int argc, wchar_t **argv);
// A path as the system takes it: absolute, "\" between levels, with the
// prefix that lifts the length limit (\\?\, or \\?\UNC\ for a share);
// devices (\\.\NUL) stay as they are. Empty, with errno set, when `path`
// is not UTF-8.
std::wstring SystemPath(const std::string &path);
// A path the system gave back, as the packer shows and joins it: without
// the prefix, '/' between levels.
std::string PathFromSystem(std::wstring path);
#endif

} // namespace fs
} // namespace veskar
