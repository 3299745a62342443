//===- tests/fuzz/disk_files.cpp - The fuzzed extraction on disk --------===//
//
// The file layer of the replay: the POSIX layer's own calls, extracting into
// scratch/a/b/u. Containment is checked after the run: nothing may exist in
// the scratch folder but the unpack directory and the empty sentinel
// directories beside it on every level above, and the unpack directory
// holds only directories and regular files. A name that climbed out by one,
// two or three levels would show up in a sentinel's level.
//
//===----------------------------------------------------------------------===//
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "tests/fuzz/file_layer.h"

namespace veskar_fuzz {

namespace {

std::string root;   // the scratch folder
std::string unpack; // root/a/b/u, absent between runs

void MakeDirectory(const std::string &path) {
  if (mkdir(path.c_str(), 0700) != 0)
    Fail("cannot create %s: %s", path.c_str(), strerror(errno));
}

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) {
  return remove(path);
}

void RemoveScratch(void) {
  if (!root.empty())
    nftw(root.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

// The names in one directory, without "." and "..".
std::set<std::string> ListDirectory(const std::string &path) {
  std::set<std::string> names;
  DIR *dir = opendir(path.c_str());
  if (dir == nullptr)
    Fail("cannot list %s: %s", path.c_str(), strerror(errno));
  while (struct dirent *entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..")
      names.insert(name);
  }
  closedir(dir);
  return names;
}

void ExpectLevel(const std::string &path, const std::set<std::string> &allowed,
                 const char *mandatory) {
  std::set<std::string> names = ListDirectory(path);
  for (const std::string &name : names)
    if (allowed.count(name) == 0)
      Fail("'%s' appeared in %s, outside the unpack directory", name.c_str(),
           path.c_str());
  if (names.count(mandatory) == 0)
    Fail("%s/%s has gone", path.c_str(), mandatory);
  struct stat info;
  std::string sentinel = path + "/sentinel";
  if (lstat(sentinel.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
    Fail("%s is no longer a directory", sentinel.c_str());
  if (!ListDirectory(sentinel).empty())
    Fail("something was written into %s", sentinel.c_str());
}

} // namespace

std::string PrepareFiles(void) {
  root = MakeScratchFolder();
  MakeDirectory(root + "/sentinel");
  MakeDirectory(root + "/a");
  MakeDirectory(root + "/a/sentinel");
  MakeDirectory(root + "/a/b");
  MakeDirectory(root + "/a/b/sentinel");
  unpack = root + "/a/b/u";
  setenv("HOME", root.c_str(), 1);
  atexit(RemoveScratch);
  return unpack;
}

void CheckContained(Ending ending) {
  ExpectLevel(root, {"sentinel", "a"}, "a");
  ExpectLevel(root + "/a", {"sentinel", "b"}, "b");
  ExpectLevel(root + "/a/b", {"sentinel", "u"}, "sentinel");
  struct stat info;
  if (lstat(unpack.c_str(), &info) != 0)
    return;
  if (!S_ISDIR(info.st_mode))
    Fail("the unpack directory is not a directory");
  if (ending == Ending::kHeader || ending == Ending::kMemory)
    Fail("the unpack directory exists after a refused header");
}

// The walk keeps its own list of directories still to read, so that a tree
// of any depth costs no stack.
void CollectFiles(std::map<std::string, FileDigest> &out) {
  static char buffer[65536];
  struct stat info;
  if (lstat(unpack.c_str(), &info) != 0)
    return;
  std::vector<std::string> pending = {""}; // relative paths of directories
  while (!pending.empty()) {
    std::string relative = pending.back();
    pending.pop_back();
    std::string dir = relative.empty() ? unpack : unpack + "/" + relative;
    for (const std::string &name : ListDirectory(dir)) {
      std::string path = dir + "/" + name;
      std::string rel = relative.empty() ? name : relative + "/" + name;
      if (lstat(path.c_str(), &info) != 0)
        Fail("cannot stat %s", path.c_str());
      if (S_ISDIR(info.st_mode)) {
        pending.push_back(rel);
        continue;
      }
      if (!S_ISREG(info.st_mode))
        Fail("%s is neither a file nor a directory", path.c_str());
      int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
      if (fd < 0)
        Fail("cannot read %s", path.c_str());
      FileDigest digest = {0, kFnvStart};
      ssize_t n;
      while ((n = read(fd, buffer, sizeof buffer)) > 0) {
        digest.hash = Fnv1a(digest.hash, buffer, (size_t)n);
        digest.size += (uint64_t)n;
      }
      close(fd);
      out[rel] = digest;
    }
  }
}

void RemoveUnpackDirectory(void) {
  struct stat info;
  if (lstat(unpack.c_str(), &info) != 0 && errno == ENOENT)
    return;
  if (nftw(unpack.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS) != 0)
    Fail("cannot remove %s: %s", unpack.c_str(), strerror(errno));
}

} // namespace veskar_fuzz

// The POSIX layer's calls, unchanged.

HANDLE FuzzLayerCreateFileW(LPCWSTR path, DWORD access, DWORD share,
                            LPSECURITY_ATTRIBUTES security, DWORD disposition,
                            DWORD flags, HANDLE templateFile) {
  return CreateFileW(path, access, share, security, disposition, flags,
                     templateFile);
}

BOOL FuzzLayerWriteFile(HANDLE file, const void *data, DWORD count,
                        LPDWORD written, LPOVERLAPPED overlapped) {
  return WriteFile(file, data, count, written, overlapped);
}

BOOL FuzzLayerCloseHandle(HANDLE handle) { return CloseHandle(handle); }

BOOL FuzzLayerCreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
  return CreateDirectoryW(path, security);
}

DWORD FuzzLayerGetFileAttributesW(LPCWSTR path) {
  return GetFileAttributesW(path);
}

BOOL FuzzLayerRemoveDirectoryTree(LPCWSTR path, const FileIdentity *expected) {
  return RemoveDirectoryTree(path, expected);
}
