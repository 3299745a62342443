//===- tests/fuzz/memory_files.cpp - The fuzzed extraction in memory ----===//
//
// The file layer of the libFuzzer target: files and directories live in a
// table keyed by their native path (the core's path through the POSIX
// layer's own conversion, so two names that convert alike meet as they do
// on disk), and each call answers as the kernel answers the POSIX layer's
// open(O_CREAT | O_TRUNC | O_NOFOLLOW), mkdir and lstat: a missing level,
// a level that is a file, a level longer than NAME_MAX, a path of PATH_MAX
// bytes or more, a directory where a file is opened, a truncated file
// opened again. Nothing here touches the disk; the unpack directory lies
// below an empty scratch folder, which is checked after every run to be
// still empty, so a file call that bypassed this layer would show.
//
// Containment is checked at the call: a path that the kernel would resolve
// to anything outside the unpack directory aborts when it is created or
// opened for writing, whether or not the kernel would have let it succeed.
// Only CreateDirectoryW of a folder above the unpack directory is allowed
// (it exists: nothing is made). Lookups may go anywhere.
//
// The parallel reader's decoder threads write and close files while the
// main thread creates more: every call holds one mutex. A file keeps its
// bytes, so that a write at an offset (the decoders' positional writes)
// lands where the kernel would put it; the digest is taken when the harness
// asks.
//
//===----------------------------------------------------------------------===//
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <set>
#include <string>
#include <unordered_map>

#include "payload/parallel.h"
#include "platform/posix/internal.h"
#include "tests/fuzz/file_layer.h"

using veskar_fuzz::Fail;

namespace {

struct Node {
  bool directory;
  std::string bytes; // files
};

std::mutex layer; // held by every call

std::string scratchRoot;     // on disk, and empty
struct stat scratchStat;     // as it was made
std::string unpack;          // scratchRoot/a/b/u, only in memory
std::set<std::string> above; // "/" and every folder down to scratchRoot/a/b
std::unordered_map<std::string, Node> nodes; // the unpack directory and below

// The one-thread reader holds one file open at a time, the parallel one up
// to kParallelOpenFileCapacity.
struct MemoryHandle {
  Node *node;
  uint64_t position; // where a write without an offset goes
};
MemoryHandle handles[kParallelOpenFileCapacity + 16];

MemoryHandle *AsMemoryHandle(HANDLE handle) {
  uintptr_t h = (uintptr_t)handle, first = (uintptr_t)&handles[0];
  if (h < first || h >= (uintptr_t)(handles + sizeof handles / sizeof *handles) ||
      (h - first) % sizeof(MemoryHandle) != 0)
    return nullptr;
  MemoryHandle *slot = (MemoryHandle *)handle;
  return slot->node != nullptr ? slot : nullptr;
}

bool IsDirectory(const std::string &path) {
  if (above.count(path) != 0)
    return true;
  auto it = nodes.find(path);
  return it != nodes.end() && it->second.directory;
}

bool IsFile(const std::string &path) {
  auto it = nodes.find(path);
  return it != nodes.end() && !it->second.directory;
}

bool Inside(const std::string &path) {
  return path.size() > unpack.size() &&
         path.compare(0, unpack.size(), unpack) == 0 &&
         path[unpack.size()] == '/';
}

// A core path resolved as the kernel resolves it.
struct Resolved {
  int error;           // 0, or the errno of the walk to the last level
  std::string path;    // the canonical path (when error is 0)
  std::string lexical; // the same, worked out without looking anything up
};

void AppendLevel(std::string &path, const char *level, size_t length) {
  if (length == 1 && level[0] == '.')
    return;
  if (length == 2 && level[0] == '.' && level[1] == '.') {
    size_t cut = path.rfind('/');
    path.resize(cut == std::string::npos ? 0 : cut);
    return;
  }
  path += '/';
  path.append(level, length);
}

// Splits at slashes; empty levels (doubled or trailing slashes) are skipped
// as the kernel skips them.
template <typename Visit> void ForEachLevel(const char *native, Visit visit) {
  const char *p = native;
  while (*p != 0) {
    while (*p == '/')
      ++p;
    const char *start = p;
    while (*p != 0 && *p != '/')
      ++p;
    if (p != start) {
      const char *rest = p;
      while (*rest == '/')
        ++rest;
      visit(start, (size_t)(p - start), *rest == 0);
    }
  }
}

// Returns false with the last error set when the path cannot be converted
// or is too long for the kernel.
bool Resolve(LPCWSTR path, Resolved &out) {
  static char native[veskar_posix::kNativePathCapacity];
  if (!veskar_posix::ToNative(path, native, sizeof native, true)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  if (strlen(native) >= PATH_MAX) {
    veskar_posix::SetLastErrorFromErrno(ENAMETOOLONG);
    return false;
  }
  if (native[0] != '/')
    Fail("the core passed a relative path '%s'", native);
  out.error = 0;
  out.lexical.clear();
  ForEachLevel(native, [&](const char *level, size_t length, bool) {
    AppendLevel(out.lexical, level, length);
  });
  if (out.lexical.empty())
    out.lexical = "/";
  // The levels above the last exist as directories when the last level's
  // parent does and the path is plain: a directory is only ever made in a
  // directory, and nothing is removed during a run.
  size_t cut = out.lexical.rfind('/');
  std::string parent = cut == 0 ? "/" : out.lexical.substr(0, cut);
  if (out.lexical == native && IsDirectory(parent)) {
    if (out.lexical.size() - cut - 1 > NAME_MAX)
      out.error = ENAMETOOLONG;
    out.path = out.lexical;
    return true;
  }
  // Otherwise level by level, stopping at the first the kernel stops at.
  out.path.clear();
  ForEachLevel(native, [&](const char *level, size_t length, bool last) {
    if (out.error != 0)
      return;
    if (length > NAME_MAX) {
      out.error = ENAMETOOLONG;
      return;
    }
    AppendLevel(out.path, level, length);
    if (last)
      return;
    const std::string &here = out.path.empty() ? std::string("/") : out.path;
    if (!IsDirectory(here))
      out.error = IsFile(here) ? ENOTDIR : ENOENT;
  });
  if (out.path.empty())
    out.path = "/";
  return true;
}

} // namespace

namespace veskar_fuzz {

std::string PrepareFiles(void) {
  scratchRoot = MakeScratchFolder();
  atexit([] { rmdir(scratchRoot.c_str()); });
  unpack = scratchRoot + "/a/b/u";
  above.insert("/");
  for (size_t at = 1; at < unpack.size(); ++at)
    if (unpack[at] == '/')
      above.insert(unpack.substr(0, at));
  setenv("HOME", scratchRoot.c_str(), 1);
  if (lstat(scratchRoot.c_str(), &scratchStat) != 0)
    Fail("cannot stat %s: %s", scratchRoot.c_str(), strerror(errno));
  return unpack;
}

void CheckContained(Ending ending) {
  std::lock_guard<std::mutex> hold(layer);
  // Any entry made in the scratch folder changes its modification time or
  // its link count; one stat costs less than listing it every run.
  struct stat now;
  if (lstat(scratchRoot.c_str(), &now) != 0 ||
      now.st_mtim.tv_sec != scratchStat.st_mtim.tv_sec ||
      now.st_mtim.tv_nsec != scratchStat.st_mtim.tv_nsec ||
      now.st_nlink != scratchStat.st_nlink)
    Fail("something reached the disk in %s", scratchRoot.c_str());
  if (nodes.count(unpack) != 0 &&
      (ending == Ending::kHeader || ending == Ending::kMemory))
    Fail("the unpack directory exists after a refused header");
}

void CollectFiles(std::map<std::string, FileDigest> &out) {
  std::lock_guard<std::mutex> hold(layer);
  for (const auto &[path, node] : nodes)
    if (!node.directory)
      out[path.substr(unpack.size() + 1)] = {
          node.bytes.size(),
          Fnv1a(kFnvStart, node.bytes.data(), node.bytes.size())};
}

void RemoveUnpackDirectory(void) {
  std::lock_guard<std::mutex> hold(layer);
  nodes.clear();
  for (MemoryHandle &slot : handles)
    slot.node = nullptr;
}

} // namespace veskar_fuzz

HANDLE FuzzLayerCreateFileW(LPCWSTR path, DWORD access, DWORD,
                            LPSECURITY_ATTRIBUTES, DWORD disposition,
                            DWORD flags, HANDLE) {
  std::lock_guard<std::mutex> hold(layer);
  // A directory held by its run: this file system, like one without locks,
  // gives no hold, and the run goes on without one.
  if ((flags & FILE_FLAG_BACKUP_SEMANTICS) != 0) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return INVALID_HANDLE_VALUE;
  }
  if (access != GENERIC_WRITE || disposition != CREATE_ALWAYS)
    Fail("the core opened a file other than for writing anew");
  Resolved resolved;
  if (!Resolve(path, resolved))
    return INVALID_HANDLE_VALUE;
  if (!Inside(resolved.lexical))
    Fail("the core opened '%s', outside the unpack directory %s",
         resolved.lexical.c_str(), unpack.c_str());
  int error = resolved.error;
  if (error == 0 && IsDirectory(resolved.path))
    error = EISDIR;
  MemoryHandle *unused = nullptr;
  for (MemoryHandle &slot : handles)
    if (slot.node == nullptr) {
      unused = &slot;
      break;
    }
  if (error == 0 && unused == nullptr)
    error = EMFILE;
  if (error != 0) {
    veskar_posix::SetLastErrorFromErrno(error, error == ENOENT);
    return INVALID_HANDLE_VALUE;
  }
  Node &node = nodes[resolved.path];
  node.directory = false;
  node.bytes.clear(); // created, or truncated
  unused->node = &node;
  unused->position = 0;
  return (HANDLE)unused;
}

BOOL FuzzLayerWriteFile(HANDLE file, const void *data, DWORD count,
                        LPDWORD written, LPOVERLAPPED overlapped) {
  std::lock_guard<std::mutex> hold(layer);
  MemoryHandle *handle = AsMemoryHandle(file);
  if (written != nullptr)
    *written = 0;
  if (handle == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  uint64_t at = overlapped == nullptr
                   ? handle->position
                   : (uint64_t)overlapped->OffsetHigh << 32 | overlapped->Offset;
  // The budget bounds what a run writes, not where: a write far past the
  // end would be a sparse file on disk.
  if (at > veskar_fuzz::kBudgetBytes)
    Fail("a write at offset %llu", (unsigned long long)at);
  std::string &bytes = handle->node->bytes;
  if (bytes.size() < at + count)
    bytes.resize((size_t)(at + count));
  memcpy(&bytes[(size_t)at], data, count);
  if (overlapped == nullptr)
    handle->position = at + count;
  if (written != nullptr)
    *written = count;
  return TRUE;
}

BOOL FuzzLayerCloseHandle(HANDLE object) {
  std::unique_lock<std::mutex> hold(layer);
  if (MemoryHandle *handle = AsMemoryHandle(object)) {
    handle->node = nullptr;
    return TRUE;
  }
  hold.unlock();
  return CloseHandle(object); // not a file of this layer
}

BOOL FuzzLayerCreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES) {
  std::lock_guard<std::mutex> hold(layer);
  Resolved resolved;
  if (!Resolve(path, resolved))
    return FALSE;
  bool existingAbove = above.count(resolved.lexical) != 0;
  if (resolved.lexical != unpack && !Inside(resolved.lexical) && !existingAbove)
    Fail("the core made the directory '%s', outside the unpack directory %s",
         resolved.lexical.c_str(), unpack.c_str());
  int error = resolved.error;
  if (error == 0 && (IsDirectory(resolved.path) || IsFile(resolved.path)))
    error = EEXIST;
  if (error != 0) {
    veskar_posix::SetLastErrorFromErrno(error, true);
    return FALSE;
  }
  nodes[resolved.path] = Node{true, {}};
  return TRUE;
}

DWORD FuzzLayerGetFileAttributesW(LPCWSTR path) {
  std::lock_guard<std::mutex> hold(layer);
  Resolved resolved;
  if (!Resolve(path, resolved))
    return INVALID_FILE_ATTRIBUTES;
  int error = resolved.error;
  if (error == 0 && IsDirectory(resolved.path))
    return FILE_ATTRIBUTE_DIRECTORY;
  if (error == 0 && IsFile(resolved.path))
    return FILE_ATTRIBUTE_NORMAL;
  veskar_posix::SetLastErrorFromErrno(error != 0 ? error : ENOENT);
  return INVALID_FILE_ATTRIBUTES;
}

BOOL FuzzLayerRemoveDirectoryTree(LPCWSTR path, const FileIdentity *) {
  std::lock_guard<std::mutex> hold(layer);
  Resolved resolved;
  if (!Resolve(path, resolved))
    return FALSE;
  if (resolved.lexical != unpack && !Inside(resolved.lexical))
    Fail("the core removed '%s', outside the unpack directory %s",
         resolved.lexical.c_str(), unpack.c_str());
  if (resolved.error != 0 || !IsDirectory(resolved.path))
    return resolved.error != 0 || !IsFile(resolved.path);
  const std::string &top = resolved.path;
  for (auto it = nodes.begin(); it != nodes.end();) {
    const std::string &at = it->first;
    if (at != top && (at.compare(0, top.size(), top) != 0 ||
                      at.size() <= top.size() || at[top.size()] != '/')) {
      ++it;
      continue;
    }
    for (const MemoryHandle &slot : handles)
      if (slot.node == &it->second)
        Fail("the core removed '%s', which it still holds open", at.c_str());
    it = nodes.erase(it);
  }
  return TRUE;
}
