//===- tests/wine/removal_test.cpp - RemoveDirectoryTree on real trees ----===//
//
// Runs the Windows removal of the unpack directory (platform/windows) on
// trees it builds itself under a base directory given on the command line:
//
//   removal_test cases BASE   every case below; prints PASS/FAIL/SKIP lines
//                             and exits with the number of failures
//   removal_test remove PATH  one removal of PATH (for trees the test runner
//                             builds from outside, such as Unix symlinks);
//                             prints "removed 1" or "removed 0"
//
// Every case also keeps a sentinel file in the current directory and fails
// if it disappears: the shell's delete operation under Wine 8 empties the
// current directory when a path is longer than 260 characters, and no such
// thing may happen here.
//
// Links: whether symbolic links and junctions can be made depends on the
// system. Windows makes both (symlinks need developer mode or the privilege;
// the flag for unprivileged creation is passed). Wine 8.0 fails
// CreateSymbolicLinkW, and FSCTL_SET_REPARSE_POINT on a directory, so there
// those cases print SKIP with the error; the runner then covers links with
// Unix symlinks made inside the tree from outside (the "remove" mode).
//
//===----------------------------------------------------------------------===//
#include "platform/platform.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <winioctl.h>

#include <string>

#ifndef SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
#define SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE 0x2
#endif

namespace {

int failures = 0;
const wchar_t kSentinel[] = L"removal-test-sentinel.txt";

// The \\?\ form of a full path, so that long paths can be made and looked at.
std::wstring Long(const std::wstring &path) { return L"\\\\?\\" + path; }

bool Exists(const std::wstring &path) {
  return GetFileAttributesW(Long(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool MakeDirectory(const std::wstring &path) {
  return CreateDirectoryW(Long(path).c_str(), nullptr) ||
         GetLastError() == ERROR_ALREADY_EXISTS;
}

bool MakeFile(const std::wstring &path, const char *text) {
  HANDLE file = CreateFileW(Long(path).c_str(), GENERIC_WRITE, 0, nullptr,
                            CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  DWORD written = 0;
  BOOL ok = WriteFile(file, text, (DWORD)strlen(text), &written, nullptr);
  CloseHandle(file);
  return ok != FALSE;
}

void Report(const char *verdict, const char *name, const char *why,
            DWORD code = 0) {
  if (why == nullptr)
    printf("%s %s\n", verdict, name);
  else if (code == 0)
    printf("%s %s: %s\n", verdict, name, why);
  else
    printf("%s %s: %s (error %lu)\n", verdict, name, why, code);
  fflush(stdout);
}

// Ends a case: the tree is gone, each of `kept` is still there, and so is
// the sentinel in the current directory.
void Check(const char *name, const std::wstring &tree,
           std::initializer_list<std::wstring> kept, BOOL result) {
  if (Exists(tree))
    return Report("FAIL", name, "the tree is still there", GetLastError()),
           (void)++failures;
  if (!result)
    return Report("FAIL", name, "the tree is gone but FALSE was returned"),
           (void)++failures;
  for (const std::wstring &path : kept)
    if (!Exists(path))
      return Report("FAIL", name, "a path outside the tree was removed"),
             (void)++failures;
  if (GetFileAttributesW(kSentinel) == INVALID_FILE_ATTRIBUTES)
    return Report("FAIL", name, "the current directory lost its contents"),
           (void)++failures;
  Report("PASS", name, nullptr);
}

void Setup(const char *name, const char *why) {
  Report("FAIL", name, why, GetLastError());
  ++failures;
}

// A tree whose deepest paths are about 600 characters, with files at every
// level: none of it is reachable through paths of MAX_PATH.
void LongPaths(const std::wstring &base) {
  std::wstring tree = base + L"\\long";
  std::wstring at = tree;
  if (!MakeDirectory(at))
    return Setup("long-paths", "cannot make the tree");
  for (int level = 0; level < 12; ++level) {
    at += L"\\level-" + std::to_wstring(level) +
          L"-abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMN";
    if (!MakeDirectory(at) || !MakeFile(at + L"\\file.txt", "deep"))
      return Setup("long-paths", "cannot make the tree");
  }
  if (at.size() <= 500)
    return Setup("long-paths", "the tree is not deep enough");
  Check("long-paths", tree, {}, RemoveDirectoryTree(tree.c_str()));
}

// Read-only files, at the top and deep down, and a read-only directory.
void ReadOnly(const std::wstring &base) {
  std::wstring tree = base + L"\\read-only";
  std::wstring inner = tree + L"\\inner";
  if (!MakeDirectory(tree) || !MakeDirectory(inner) ||
      !MakeFile(tree + L"\\top.txt", "r") ||
      !MakeFile(inner + L"\\deep.txt", "r") ||
      !SetFileAttributesW(Long(tree + L"\\top.txt").c_str(),
                          FILE_ATTRIBUTE_READONLY) ||
      !SetFileAttributesW(Long(inner + L"\\deep.txt").c_str(),
                          FILE_ATTRIBUTE_READONLY) ||
      !SetFileAttributesW(Long(inner).c_str(),
                          FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY))
    return Setup("read-only", "cannot make the tree");
  if (DeleteFileW(Long(tree + L"\\top.txt").c_str()))
    return Setup("read-only", "a read-only file could be deleted as it was");
  Check("read-only", tree, {}, RemoveDirectoryTree(tree.c_str()));
}

// A tree with several subfolders at every level below the top's one
// subfolder, files in each: one removal takes it all, not only the first
// subfolder of each level (the launcher's retries would hide that on a
// small tree, so the removal is called once here).
void Branching(const std::wstring &base) {
  std::wstring tree = base + L"\\branching";
  std::wstring top = tree + L"\\only";
  if (!MakeDirectory(tree) || !MakeDirectory(top))
    return Setup("branching", "cannot make the tree");
  for (int i = 0; i < 3; ++i) {
    std::wstring middle = top + L"\\m" + std::to_wstring(i);
    if (!MakeDirectory(middle) || !MakeFile(middle + L"\\f.txt", "m"))
      return Setup("branching", "cannot make the tree");
    for (int j = 0; j < 3; ++j) {
      std::wstring leaf = middle + L"\\l" + std::to_wstring(j);
      if (!MakeDirectory(leaf) || !MakeFile(leaf + L"\\f.txt", "l"))
        return Setup("branching", "cannot make the tree");
    }
  }
  Check("branching", tree, {}, RemoveDirectoryTree(tree.c_str()));
}

bool IsReadOnly(const std::wstring &path) {
  DWORD attributes = GetFileAttributesW(Long(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

// The text of the file at `path`, up to 63 bytes.
std::string Read(const std::wstring &path) {
  HANDLE file = CreateFileW(Long(path).c_str(), GENERIC_READ, FILE_SHARE_READ,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return "";
  char text[64] = {0};
  DWORD read = 0;
  ReadFile(file, text, sizeof text - 1, &read, nullptr);
  CloseHandle(file);
  return std::string(text, read);
}

// The read-only flag belongs to the file, not to the name: a read-only
// file the program hard-linked into its folder from outside keeps its flag
// and its content when the tree's names go, at the top and deeper down.
//
// Wine 8 refuses FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE
// (ERROR_INVALID_PARAMETER), so under Wine the removal clears the flag to
// mark the name and sets it back; Windows 10 1809 on deletes the name
// without clearing it. Either way the flag must still be set afterwards.
void HardLinkedReadOnly(const std::wstring &base) {
  std::wstring outside = base + L"\\users-files";
  std::wstring tree = base + L"\\hard-links";
  std::wstring first = outside + L"\\first.txt";
  std::wstring second = outside + L"\\second.txt";
  if (!MakeDirectory(outside) || !MakeDirectory(tree) ||
      !MakeDirectory(tree + L"\\inner") || !MakeFile(first, "first") ||
      !MakeFile(second, "second") ||
      !SetFileAttributesW(Long(first).c_str(), FILE_ATTRIBUTE_READONLY) ||
      !SetFileAttributesW(Long(second).c_str(), FILE_ATTRIBUTE_READONLY))
    return Setup("hard-linked-read-only", "cannot make the tree");
  if (!CreateHardLinkW(Long(tree + L"\\first.txt").c_str(), Long(first).c_str(),
                       nullptr) ||
      !CreateHardLinkW(Long(tree + L"\\inner\\second.txt").c_str(),
                       Long(second).c_str(), nullptr)) {
    Report("SKIP", "hard-linked-read-only", "CreateHardLinkW failed",
           GetLastError());
    RemoveDirectoryTree(tree.c_str());
    return;
  }
  BOOL result = RemoveDirectoryTree(tree.c_str());
  if (!IsReadOnly(first) || !IsReadOnly(second)) {
    Report("FAIL", "hard-linked-read-only",
           "a file outside the tree lost its read-only flag");
    ++failures;
  } else if (Read(first) != "first" || Read(second) != "second") {
    Report("FAIL", "hard-linked-read-only",
           "a file outside the tree lost its content");
    ++failures;
  } else {
    Check("hard-linked-read-only", tree, {first, second}, result);
  }
  SetFileAttributesW(Long(first).c_str(), FILE_ATTRIBUTE_NORMAL);
  SetFileAttributesW(Long(second).c_str(), FILE_ATTRIBUTE_NORMAL);
}

// A read-only file that cannot be marked for deletion (a view of it is
// mapped, which both Windows and Wine refuse to delete under) keeps its
// flag: where the removal cleared it to mark the file, it sets it back.
// Once the view is gone, the next removal takes the tree.
void MappedReadOnly(const std::wstring &base) {
  std::wstring tree = base + L"\\mapped";
  std::wstring mapped = tree + L"\\mapped.txt";
  if (!MakeDirectory(tree) || !MakeFile(mapped, "mapped") ||
      !SetFileAttributesW(Long(mapped).c_str(), FILE_ATTRIBUTE_READONLY))
    return Setup("mapped-read-only", "cannot make the tree");
  HANDLE file =
      CreateFileW(Long(mapped).c_str(), GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE mapping =
      file == INVALID_HANDLE_VALUE
          ? nullptr
          : CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  void *view = mapping == nullptr
                   ? nullptr
                   : MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
  if (view == nullptr)
    return Setup("mapped-read-only", "cannot map the file");
  BOOL whileMapped = RemoveDirectoryTree(tree.c_str());
  bool kept = Exists(mapped), flagKept = IsReadOnly(mapped);
  UnmapViewOfFile(view);
  CloseHandle(mapping);
  CloseHandle(file);
  if (whileMapped || !kept) {
    Report("NOTE", "mapped-read-only",
           "the system deleted a mapped file: nothing to check");
  } else if (!flagKept) {
    Report("FAIL", "mapped-read-only",
           "a file that stayed lost its read-only flag");
    ++failures;
    RemoveDirectoryTree(tree.c_str());
    return;
  }
  Check("mapped-read-only", tree, {}, RemoveDirectoryTree(tree.c_str()));
}

// Removes `tree` while its file `held` is held open without delete sharing:
// the removal keeps that file, returns FALSE and takes everything else
// (`othersGone` says whether it did); then, once the file is closed, the
// next removal takes the tree.
template <typename OthersGone>
void RemoveWhileHeld(const char *name, const std::wstring &tree,
                     const std::wstring &held, OthersGone othersGone) {
  HANDLE file = CreateFileW(Long(held).c_str(), GENERIC_READ, FILE_SHARE_READ,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return Setup(name, "cannot open the file");
  BOOL whileHeld = RemoveDirectoryTree(tree.c_str());
  bool heldKept = Exists(held);
  bool restGone = othersGone();
  CloseHandle(file);
  if (whileHeld || !heldKept) {
    Report("FAIL", name, "a file open without delete sharing went");
    ++failures;
    RemoveDirectoryTree(tree.c_str());
    return;
  }
  if (!restGone) {
    Report("FAIL", name, "the other files were not removed");
    ++failures;
  }
  Check(name, tree, {}, RemoveDirectoryTree(tree.c_str()));
}

// A file held open without delete sharing keeps the tree (FALSE), and the
// next removal after it is closed takes it.
void HeldOpen(const std::wstring &base) {
  std::wstring tree = base + L"\\held";
  std::wstring held = tree + L"\\held.txt";
  if (!MakeDirectory(tree) || !MakeFile(held, "held") ||
      !MakeFile(tree + L"\\free.txt", "free"))
    return Setup("held-open", "cannot make the tree");
  RemoveWhileHeld("held-open", tree, held,
                  [&] { return !Exists(tree + L"\\free.txt"); });
}

// A target directory outside the tree with one file, for the link cases.
bool MakeTarget(const std::wstring &target) {
  return MakeDirectory(target) && MakeFile(target + L"\\keep.txt", "keep");
}

void SymbolicLinks(const std::wstring &base) {
  std::wstring target = base + L"\\link-target";
  std::wstring tree = base + L"\\symlinks";
  if (!MakeTarget(target) || !MakeDirectory(tree))
    return Setup("symlinks", "cannot make the tree");
  DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
  std::wstring directoryLink = tree + L"\\to-directory";
  if (!CreateSymbolicLinkW(directoryLink.c_str(), target.c_str(),
                           flags | SYMBOLIC_LINK_FLAG_DIRECTORY)) {
    Report("SKIP", "directory-symlink", "CreateSymbolicLinkW failed",
           GetLastError());
  } else if (!Exists(directoryLink)) {
    Report("SKIP", "directory-symlink",
           "CreateSymbolicLinkW reported success but made nothing");
  } else {
    Check("directory-symlink", tree, {target, target + L"\\keep.txt"},
          RemoveDirectoryTree(tree.c_str()));
    MakeDirectory(tree);
  }
  std::wstring fileLink = tree + L"\\to-file";
  if (!CreateSymbolicLinkW(fileLink.c_str(), (target + L"\\keep.txt").c_str(),
                           flags)) {
    Report("SKIP", "file-symlink", "CreateSymbolicLinkW failed",
           GetLastError());
    RemoveDirectoryTree(tree.c_str());
  } else if (!Exists(fileLink)) {
    Report("SKIP", "file-symlink",
           "CreateSymbolicLinkW reported success but made nothing");
    RemoveDirectoryTree(tree.c_str());
  } else {
    Check("file-symlink", tree, {target + L"\\keep.txt"},
          RemoveDirectoryTree(tree.c_str()));
  }
}

// The mount-point reparse data of a junction (ntifs.h, not in the SDK
// headers that user programs see).
struct MountPointData {
  DWORD tag;
  WORD dataLength;
  WORD reserved;
  WORD substituteOffset, substituteLength, printOffset, printLength;
  WCHAR paths[1024];
};

bool MakeJunction(const std::wstring &link, const std::wstring &target) {
  if (!CreateDirectoryW(link.c_str(), nullptr))
    return false;
  HANDLE directory = CreateFileW(
      link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (directory == INVALID_HANDLE_VALUE)
    return false;
  std::wstring substitute = L"\\??\\" + target;
  MountPointData data = {};
  data.tag = IO_REPARSE_TAG_MOUNT_POINT;
  WORD substituteBytes = (WORD)(substitute.size() * 2);
  WORD printBytes = (WORD)(target.size() * 2);
  data.substituteOffset = 0;
  data.substituteLength = substituteBytes;
  data.printOffset = (WORD)(substituteBytes + 2);
  data.printLength = printBytes;
  memcpy(data.paths, substitute.c_str(), substituteBytes + 2);
  memcpy((char *)data.paths + data.printOffset, target.c_str(), printBytes + 2);
  data.dataLength = (WORD)(8 + substituteBytes + 2 + printBytes + 2);
  DWORD returned = 0;
  BOOL ok =
      DeviceIoControl(directory, FSCTL_SET_REPARSE_POINT, &data,
                      8 + data.dataLength, nullptr, 0, &returned, nullptr);
  DWORD error = GetLastError();
  CloseHandle(directory);
  if (!ok) {
    RemoveDirectoryW(link.c_str());
    SetLastError(error);
  }
  return ok != FALSE;
}

void Junction(const std::wstring &base) {
  std::wstring target = base + L"\\junction-target";
  std::wstring tree = base + L"\\junction";
  if (!MakeTarget(target) || !MakeDirectory(tree))
    return Setup("junction", "cannot make the tree");
  if (!MakeJunction(tree + L"\\to-directory", target)) {
    Report("SKIP", "junction", "FSCTL_SET_REPARSE_POINT failed",
           GetLastError());
    RemoveDirectoryTree(tree.c_str());
    return;
  }
  DWORD attributes = GetFileAttributesW((tree + L"\\to-directory").c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
    Report("NOTE", "junction", "made, but not shown as a reparse point");
  Check("junction", tree, {target, target + L"\\keep.txt"},
        RemoveDirectoryTree(tree.c_str()));
}

// Many subdirectories at the top, which the removal takes on several
// threads at once: read-only ones, one whose name starts with a dot, each
// with files, a read-only file and a part past 260 characters; and a file
// deep in one of them held open without delete sharing. While it is held,
// everything else goes and FALSE is returned; once it is closed, the next
// removal takes the rest.
void WideTree(const std::wstring &base) {
  std::wstring tree = base + L"\\wide";
  if (!MakeDirectory(tree) || !MakeFile(tree + L"\\top.txt", "top"))
    return Setup("wide-tree", "cannot make the tree");
  const int kSubdirectories = 12, kHeldIn = 7;
  std::wstring subdirectories[kSubdirectories], held;
  for (int i = 0; i < kSubdirectories; ++i) {
    std::wstring sub = tree + (i == 3 ? L"\\.dot-" : L"\\sub-") +
                       std::to_wstring(i);
    subdirectories[i] = sub;
    if (!MakeDirectory(sub))
      return Setup("wide-tree", "cannot make the tree");
    for (int j = 0; j < 4; ++j)
      if (!MakeFile(sub + L"\\file-" + std::to_wstring(j) + L".txt", "f"))
        return Setup("wide-tree", "cannot make the tree");
    std::wstring deep = sub;
    for (int level = 0; level < 5; ++level) {
      deep += L"\\deep-" + std::to_wstring(level) +
              L"-abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
      if (!MakeDirectory(deep))
        return Setup("wide-tree", "cannot make the tree");
    }
    std::wstring readOnly = deep + L"\\read-only.txt";
    if (!MakeFile(readOnly, "r") ||
        !SetFileAttributesW(Long(readOnly).c_str(), FILE_ATTRIBUTE_READONLY) ||
        (i % 3 == 0 &&
         !SetFileAttributesW(Long(sub).c_str(), FILE_ATTRIBUTE_READONLY |
                                                     FILE_ATTRIBUTE_DIRECTORY)))
      return Setup("wide-tree", "cannot make the tree");
    if (i == kHeldIn)
      held = deep + L"\\held.txt";
  }
  if (held.size() <= 300 || !MakeFile(held, "held"))
    return Setup("wide-tree", "cannot make the tree");
  RemoveWhileHeld("wide-tree", tree, held, [&] {
    if (Exists(tree + L"\\top.txt"))
      return false;
    for (int i = 0; i < kSubdirectories; ++i)
      if (i != kHeldIn && Exists(subdirectories[i]))
        return false;
    return true;
  });
}

// Nothing at the path: nothing to do, and TRUE.
void Missing(const std::wstring &base) {
  std::wstring tree = base + L"\\never-made";
  Check("missing", tree, {}, RemoveDirectoryTree(tree.c_str()));
}

int Cases(const wchar_t *base) {
  HANDLE sentinel = CreateFileW(kSentinel, GENERIC_WRITE, 0, nullptr,
                                CREATE_ALWAYS, 0, nullptr);
  if (sentinel == INVALID_HANDLE_VALUE) {
    printf("FAIL setup: cannot make the sentinel in the current directory\n");
    return 1;
  }
  CloseHandle(sentinel);
  wchar_t full[4096];
  if (GetFullPathNameW(base, 4096, full, nullptr) == 0 ||
      !MakeDirectory(full)) {
    printf("FAIL setup: cannot make the base directory\n");
    return 1;
  }
  LongPaths(full);
  ReadOnly(full);
  Branching(full);
  HardLinkedReadOnly(full);
  MappedReadOnly(full);
  HeldOpen(full);
  WideTree(full);
  SymbolicLinks(full);
  Junction(full);
  Missing(full);
  DeleteFileW(kSentinel);
  RemoveDirectoryTree(full); // the link targets
  return failures;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
  if (argc == 3 && wcscmp(argv[1], L"cases") == 0)
    return Cases(argv[2]);
  if (argc == 3 && wcscmp(argv[1], L"remove") == 0) {
    printf("removed %d\n", RemoveDirectoryTree(argv[2]) ? 1 : 0);
    return 0;
  }
  fprintf(stderr, "usage: removal_test cases BASE | remove PATH\n");
  return 2;
}
