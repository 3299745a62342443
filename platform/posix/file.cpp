//===- platform/posix/file.cpp - Files, directories, handles ------------===//
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "common/file_mode.h"
#include "platform/posix/hook.h"
#include "platform/posix/internal.h"

using namespace veskar_posix;

namespace {

Handle standardHandles[3] = {
    {kFileHandle, 0, 0, -1, false, nullptr, nullptr, 0, false, nullptr, false},
    {kFileHandle, 1, 0, -1, false, nullptr, nullptr, 0, false, nullptr, false},
    {kFileHandle, 2, 0, -1, false, nullptr, nullptr, 0, false, nullptr, false},
};

// Converts a core path; sets the last error and returns false when it is too
// long for the file system's interface.
bool NativePath(LPCWSTR path, char *native) {
  if (!ToNative(path, native, kNativePathCapacity, true)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  return true;
}

// A core path converted into a buffer from the heap, which the caller
// frees; null, with the last error set, when it is too long or there is no
// memory. (Every static thread-local buffer adds to the static TLS block,
// which glibc takes from each thread's stack.)
char *NativeCopy(LPCWSTR path) {
  char *native = (char *)malloc(kNativePathCapacity);
  if (native == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (!NativePath(path, native)) {
    free(native);
    return nullptr;
  }
  return native;
}

// The flags every directory of a removal is opened with: never through a
// symbolic link.
const int kOpenDirectory = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// One directory on the way down from the top of a removal: what it is, so
// that the way back up through ".." can be checked, and how many of its
// entries the walk has passed over because they would not go.
struct RemovalLevel {
  dev_t device;
  ino_t inode;
  size_t kept;
};

// The state of one removal below its top directory: the levels from the
// top down to the current directory, and their names from the top joined
// by '/'. Both grow with the depth, by a few bytes a level; nothing else
// does, and at most two descriptors are open at any time (three for a
// moment where the kernel tells mounts apart only in /proc).
struct RemovalWalk {
  // The mount the top is on, when the kernel says (mountKnown): a bind
  // mount of the same file system has the same device, and only its
  // mount id tells it apart.
  uint64_t mount;
  bool mountKnown;
  RemovalLevel *levels;
  size_t depth; // the current directory is levels[depth]
  size_t levelCapacity;
  char *names;
  size_t namesLength;
  size_t namesCapacity;
};

// Makes room for `count` elements of `size` bytes in `*buffer`, which holds
// `*capacity`; false when there is no memory.
bool Reserve(void **buffer, size_t *capacity, size_t count, size_t size) {
  if (count <= *capacity)
    return true;
  size_t grown = *capacity < 64 ? 64 : *capacity * 2;
  if (grown < count)
    grown = count;
  void *larger = realloc(*buffer, grown * size);
  if (larger == nullptr)
    return false;
  *buffer = larger;
  *capacity = grown;
  return true;
}

// The id of the mount that the open directory `fd` is on; false when the
// kernel does not say (statx gives it from Linux 5.8 on, /proc's
// descriptor information from 3.15 on).
bool MountOf(int fd, uint64_t *mount) {
  struct statx extended;
  if (statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_MNT_ID,
            &extended) == 0 &&
      (extended.stx_mask & STATX_MNT_ID) != 0) {
    *mount = extended.stx_mnt_id;
    return true;
  }
  char text[1024];
  snprintf(text, sizeof text, "/proc/self/fdinfo/%d", fd);
  int info = open(text, O_RDONLY | O_CLOEXEC);
  if (info < 0)
    return false;
  ssize_t length = read(info, text, sizeof text - 1);
  close(info);
  if (length <= 0)
    return false;
  text[length] = 0;
  // A line "mnt_id:" followed by blanks and the decimal id.
  const char *at = strstr(text, "\nmnt_id:");
  if (at == nullptr)
    return false;
  at += 8;
  while (*at == ' ' || *at == '\t')
    ++at;
  if (*at < '0' || *at > '9')
    return false;
  uint64_t id = 0;
  for (; *at >= '0' && *at <= '9'; ++at)
    id = id * 10 + (uint64_t)(*at - '0');
  *mount = id;
  return true;
}

// Whether the open directory `fd` is on the mount the walk started on:
// never when the kernel cannot say so for it but could for the top.
bool OnTheWalksMount(const RemovalWalk &walk, int fd) {
  uint64_t mount;
  return !walk.mountKnown || (MountOf(fd, &mount) && mount == walk.mount);
}

// What GetFileInformationByHandle tells of the file `info` describes: its
// volume (the device, folded into 32 bits) and its file id (the inode).
FileIdentity IdentityOf(const struct stat &info) {
  uint64_t device = (uint64_t)info.st_dev;
  uint64_t inode = (uint64_t)info.st_ino;
  return {(DWORD)(device ^ (device >> 32)), (DWORD)(inode >> 32), (DWORD)inode};
}

// Opens the directory `fd` for reading its entries. One it owns without
// write or search permission for its owner (the application may have
// closed it, as a read-only cache) is opened up first: otherwise nothing in
// it could go. Takes `fd`; null, with it closed, on failure.
DIR *OpenListing(int fd, const struct stat &info) {
  if ((info.st_mode & (S_IWUSR | S_IXUSR)) != (S_IWUSR | S_IXUSR) &&
      info.st_uid == geteuid())
    fchmod(fd, (info.st_mode & 07777) | S_IRWXU);
  DIR *dir = fdopendir(fd);
  if (dir == nullptr)
    close(fd);
  return dir;
}

// Goes one level down from `*dir` into its entry `name`, a directory
// (opened as `fd`, described by `info`): the new level is remembered and
// `*dir` becomes the listing of the entry. False, with `fd` closed and
// `*dir` unchanged, when there is no memory.
bool Descend(RemovalWalk *walk, DIR **dir, int fd, const struct stat &info,
             const char *name) {
  size_t nameLength = strlen(name);
  if (!Reserve((void **)&walk->levels, &walk->levelCapacity, walk->depth + 2,
               sizeof(RemovalLevel)) ||
      !Reserve((void **)&walk->names, &walk->namesCapacity,
               walk->namesLength + 1 + nameLength + 1, 1)) {
    close(fd);
    return false;
  }
  DIR *inner = OpenListing(fd, info);
  if (inner == nullptr)
    return false;
  // `name` lives in the outer listing's buffer: kept before that goes.
  walk->names[walk->namesLength] = '/';
  memcpy(walk->names + walk->namesLength + 1, name, nameLength + 1);
  walk->namesLength += 1 + nameLength;
  closedir(*dir);
  *dir = inner;
  walk->levels[++walk->depth] = {info.st_dev, info.st_ino, 0};
  return true;
}

// Goes from the emptied `*dir` back up to its parent through "..", which
// must be the directory remembered for that level (the tree may have been
// moved meanwhile: the walk never leaves it), and removes it there. False
// when the way up is lost; `*dir` is then closed.
bool Ascend(RemovalWalk *walk, DIR **dir) {
  int up = openat(dirfd(*dir), "..", kOpenDirectory);
  closedir(*dir);
  *dir = nullptr;
  if (up < 0)
    return false;
  const RemovalLevel &parent = walk->levels[walk->depth - 1];
  struct stat info;
  if (fstat(up, &info) != 0 || info.st_dev != parent.device ||
      info.st_ino != parent.inode) {
    close(up);
    return false;
  }
  *dir = fdopendir(up);
  if (*dir == nullptr) {
    close(up);
    return false;
  }
  char *name = walk->names + walk->namesLength;
  while (name[-1] != '/')
    --name;
  --walk->depth;
  if (unlinkat(up, name, AT_REMOVEDIR) != 0 && errno != ENOENT)
    ++walk->levels[walk->depth].kept;
  walk->namesLength = (size_t)(name - 1 - walk->names);
  walk->names[walk->namesLength] = 0;
  return true;
}

// Removes everything inside the top directory of `walk`, listed by `dir`,
// one level at a time: it goes down into the first subdirectory it finds
// and back up when a directory has nothing left that can go. Whatever
// would not go is passed over, and counted so that a later listing of the
// same directory passes over it too. Returns with `dir` closed; -1 when
// anything was left.
int RemoveInside(RemovalWalk *walk, DIR *dir) {
  int result = 0;
  for (;;) {
    RemovalLevel *level = &walk->levels[walk->depth];
    size_t seen = 0;
    bool descended = false;
    while (struct dirent *entry = readdir(dir)) {
      const char *n = entry->d_name;
      if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0)))
        continue;
      if (seen < level->kept) {
        ++seen;
        continue;
      }
      int at = dirfd(dir);
      if (entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN) {
        if (unlinkat(at, n, 0) == 0 || errno == ENOENT)
          continue;
        if (errno != EISDIR) {
          ++level->kept, ++seen, result = -1;
          continue;
        }
      }
      struct stat info;
      if (fstatat(at, n, &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT)
          ++level->kept, ++seen, result = -1;
        continue;
      }
      if (!S_ISDIR(info.st_mode)) {
        if (unlinkat(at, n, 0) != 0 && errno != ENOENT)
          ++level->kept, ++seen, result = -1;
        continue;
      }
      // Never into another file system mounted inside the tree, nor into
      // a bind mount of the same one: what is in it is not the tree's.
      int fd = info.st_dev == walk->levels[0].device
                   ? openat(at, n, kOpenDirectory)
                   : -1;
      struct stat opened;
      if (fd >= 0 &&
          (fstat(fd, &opened) != 0 || opened.st_dev != info.st_dev ||
           opened.st_ino != info.st_ino || !OnTheWalksMount(*walk, fd))) {
        close(fd);
        fd = -1;
      }
      if (fd < 0 || !Descend(walk, &dir, fd, opened, n)) {
        level = &walk->levels[walk->depth]; // the levels may have moved
        ++level->kept, ++seen, result = -1;
        continue;
      }
      descended = true;
      break;
    }
    if (descended)
      continue;
    if (level->kept > 0)
      result = -1;
    if (walk->depth == 0) {
      closedir(dir);
      return result;
    }
    if (!Ascend(walk, &dir))
      return -1;
  }
}

// Removes whatever `name` is inside the directory `parent`, without ever
// following a symbolic link, in constant stack and with at most two
// descriptors open, however deep the tree. With `expected`, only the
// directory that is that file: anything else there is left alone, and
// counts as nothing of it left (0).
int RemoveAt(int parent, const char *name, const FileIdentity *expected) {
  struct stat info;
  if (fstatat(parent, name, &info, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? 0 : -1;
  if (!S_ISDIR(info.st_mode))
    return expected != nullptr ? 0 : unlinkat(parent, name, 0);
  int fd = openat(parent, name, kOpenDirectory);
  if (fd < 0)
    return expected != nullptr &&
                   (errno == ENOENT || errno == ENOTDIR || errno == ELOOP)
               ? 0
               : -1;
  RemovalWalk walk = {};
  int result = -1;
  if (fstat(fd, &info) != 0) {
    close(fd);
    return -1;
  }
  if (expected != nullptr) {
    FileIdentity found = IdentityOf(info);
    if (found.volume != expected->volume ||
        found.indexHigh != expected->indexHigh ||
        found.indexLow != expected->indexLow) {
      close(fd);
      return 0;
    }
  }
  walk.mountKnown = MountOf(fd, &walk.mount);
  if (!Reserve((void **)&walk.levels, &walk.levelCapacity, 1,
               sizeof(RemovalLevel)) ||
      !Reserve((void **)&walk.names, &walk.namesCapacity, 1, 1)) {
    close(fd);
  } else if (DIR *dir = OpenListing(fd, info)) {
    walk.levels[0] = {info.st_dev, info.st_ino, 0};
    walk.names[0] = 0;
    result = RemoveInside(&walk, dir);
  }
  free(walk.levels);
  free(walk.names);
  if (unlinkat(parent, name, AT_REMOVEDIR) != 0)
    result = -1;
  return result;
}

// The user the process runs as, asked once: the launcher never changes it,
// and a listing looks at every entry's owner.
const uid_t effectiveUser = geteuid();

// The attributes the core sees for what lstat found.
DWORD AttributesOf(const struct stat &info) {
  DWORD attributes = S_ISLNK(info.st_mode)   ? FILE_ATTRIBUTE_REPARSE_POINT
                     : S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY
                     : S_ISREG(info.st_mode) ? FILE_ATTRIBUTE_NORMAL
                                             : FILE_ATTRIBUTE_DEVICE;
  if (info.st_uid != effectiveUser)
    attributes |= FILE_ATTRIBUTE_OTHER_OWNER;
  return attributes;
}

// Fills `found` with the next entry of the search whose name starts with
// the search's prefix; false at the end, with ERROR_NO_MORE_FILES.
BOOL NextFound(Handle *handle, LPWIN32_FIND_DATAW found) {
  DIR *dir = (DIR *)handle->search;
  size_t prefixLength = strlen(handle->searchPrefix);
  for (;;) {
    errno = 0;
    struct dirent *entry = readdir(dir);
    if (entry == nullptr) {
      if (errno != 0)
        SetLastErrorFromErrno(errno);
      else
        SetLastError(ERROR_NO_MORE_FILES);
      return FALSE;
    }
    if (strncmp(entry->d_name, handle->searchPrefix, prefixLength) != 0)
      continue;
    struct stat info;
    if (fstatat(dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0)
      continue; // gone since it was listed
    memset(found, 0, sizeof *found);
    if (handle->searchUtf8 &&
        Utf8ToUtf16(entry->d_name, strlen(entry->d_name), nullptr, 0,
                    kTextStrict) == kTextMalformed)
      continue;
    if (FromNative(entry->d_name, found->cFileName, MAX_PATH, false) >=
        MAX_PATH)
      continue;
    found->dwFileAttributes = AttributesOf(info);
    found->ftLastWriteTime = FileTimeOf(info.st_mtim);
    if (!S_ISDIR(info.st_mode)) {
      found->nFileSizeHigh = (DWORD)((uint64_t)info.st_size >> 32);
      found->nFileSizeLow = (DWORD)info.st_size;
    }
    VESKAR_EDIT_LISTED(found);
    return TRUE;
  }
}

#if defined(VESKAR_RECORDING)
// The log's note for a directory open: its access and its sharing, as the
// core asked for them.
const char *DirectoryNote(DWORD access, DWORD share) {
  static thread_local char note[64];
  const char *what = (access & DELETE) != 0 ? "delete"
                     : (access & (FILE_ADD_FILE | GENERIC_WRITE)) != 0 ? "write"
                     : (access & (FILE_LIST_DIRECTORY | GENERIC_READ)) != 0
                         ? "list"
                         : "query";
  snprintf(note, sizeof note, "directory %s share %s%s%s%s", what,
           (share & FILE_SHARE_READ) != 0 ? "r" : "",
           (share & FILE_SHARE_WRITE) != 0 ? "w" : "",
           (share & FILE_SHARE_DELETE) != 0 ? "d" : "",
           share == 0 ? "none" : "");
  return note;
}
#endif

// A directory handle (win32.h says which lock each kind of open takes).
HANDLE OpenDirectory(const char *native, DWORD access, DWORD share) {
  int fd = open(native, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    SetLastErrorFromErrno(errno, errno == ENOENT);
    return INVALID_HANDLE_VALUE;
  }
  int lock = (share & FILE_SHARE_WRITE) == 0                   ? LOCK_EX
             : (access & (FILE_ADD_FILE | GENERIC_WRITE)) != 0 ? LOCK_SH
                                                               : 0;
  int result = 0;
  if (lock != 0) {
    do
      result = flock(fd, lock | LOCK_NB);
    while (result != 0 && errno == EINTR);
  }
  Handle *handle = result == 0 ? NewHandle(kFileHandle) : nullptr;
  if (handle == nullptr) {
    int error = result == 0 ? ENOMEM : errno;
    close(fd);
    SetLastErrorFromErrno(error);
    return INVALID_HANDLE_VALUE;
  }
  handle->fd = fd;
  return handle;
}

} // namespace

namespace veskar_posix {
int FreeHandle(Handle *handle) {
  int closed = 0;
  if (handle->fd >= 0)
    closed = close(handle->fd);
  int closeError = errno;
  if (handle->pidfd >= 0)
    close(handle->pidfd);
  if (handle->search != nullptr)
    closedir((DIR *)handle->search);
  free(handle->searchPrefix);
  if (handle->kind == kOwnThreadHandle && !handle->joined)
    pthread_detach(handle->thread);
  if (handle->event != nullptr)
    FreeEvent(handle->event);
  // A child is never reaped here: its id stays reserved until the launcher
  // itself ends, so it can never name another process.
  free(handle);
  errno = closeError;
  return closed;
}

Handle *NewHandle(HandleKind kind) {
  Handle *handle = (Handle *)calloc(1, sizeof(Handle));
  if (handle != nullptr) {
    handle->kind = kind;
    handle->fd = -1;
    handle->pidfd = -1;
    handle->owned = true;
  }
  return handle;
}

Handle *HandleOfKind(HANDLE object, HandleKind kind) {
  Handle *handle = (Handle *)object;
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
      handle->kind != kind) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return handle;
}
} // namespace veskar_posix

HANDLE GetStdHandle(DWORD which) {
  int fd = which == STD_INPUT_HANDLE    ? 0
           : which == STD_OUTPUT_HANDLE ? 1
           : which == STD_ERROR_HANDLE  ? 2
                                        : -1;
  if (fd < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if (fcntl(fd, F_GETFD) == -1)
    return nullptr; // no such stream, as for a process started without one
  return &standardHandles[fd];
}

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share,
                   LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD flags,
                   HANDLE) {
  VESKAR_HOOK_NOTED("CreateFileW", path,
                    (flags & FILE_FLAG_BACKUP_SEMANTICS) != 0
                        ? DirectoryNote(access, share)
                    : access == GENERIC_READ ? "read"
                                             : nullptr,
                    HANDLE);
  static thread_local char native[kNativePathCapacity];
  if ((flags & FILE_FLAG_BACKUP_SEMANTICS) != 0) {
    if (disposition != OPEN_EXISTING) {
      SetLastError(ERROR_NOT_SUPPORTED);
      return INVALID_HANDLE_VALUE;
    }
    if (!NativePath(path, native))
      return INVALID_HANDLE_VALUE;
    HANDLE directory = OpenDirectory(native, access, share);
    if (directory != INVALID_HANDLE_VALUE)
      VESKAR_NAME_HANDLE(directory, path);
    return directory;
  }
  bool reading = access == GENERIC_READ &&
                 (disposition == OPEN_EXISTING || disposition == OPEN_ALWAYS);
  if (!reading && (access != GENERIC_WRITE || disposition != CREATE_ALWAYS)) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return INVALID_HANDLE_VALUE;
  }
  if (!NativePath(path, native))
    return INVALID_HANDLE_VALUE;
  // Records carry no permissions: every file gets the one mode of extracted
  // files (common/file_mode.h). A fifo where a file was expected must not
  // hold the open up. A file made to be locked is the user's alone.
  // As on Windows, a CREATE_ALWAYS that finds the file there already says
  // so with ERROR_ALREADY_EXISTS, and one that makes it clears the error:
  // a new file costs the one open still.
  bool existed = false;
  int fd;
  if (!reading) {
    fd = open(native, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
              kExtractedFileMode);
    if (fd < 0 && errno == EEXIST) {
      existed = true;
      fd = open(native, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                kExtractedFileMode);
    }
  } else if (disposition == OPEN_ALWAYS) {
    // Read and write: an exclusive fcntl lock needs write access, which
    // Windows's exclusive byte-range lock does not.
    fd = open(native, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
              0600);
  } else {
    fd = open(native, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  }
  if (fd < 0) {
    SetLastErrorFromErrno(errno, errno == ENOENT);
    return INVALID_HANDLE_VALUE;
  }
  Handle *handle = NewHandle(kFileHandle);
  if (handle == nullptr) {
    close(fd);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  handle->fd = fd;
  VESKAR_NAME_HANDLE(handle, path);
  SetLastError(existed ? ERROR_ALREADY_EXISTS : 0);
  return handle;
}

BOOL LockFileEx(HANDLE file, DWORD flags, DWORD, DWORD countLow,
                DWORD countHigh, LPOVERLAPPED overlapped) {
  VESKAR_HOOK_NOTED("LockFileEx", nullptr,
                    (flags & LOCKFILE_EXCLUSIVE_LOCK) != 0 ? "exclusive"
                                                           : "shared",
                    BOOL);
  Handle *handle = HandleOfKind(file, kFileHandle);
  if (handle == nullptr)
    return FALSE;
  struct flock range;
  memset(&range, 0, sizeof range);
  range.l_type = (flags & LOCKFILE_EXCLUSIVE_LOCK) != 0 ? F_WRLCK : F_RDLCK;
  range.l_whence = SEEK_SET;
  range.l_start = (off_t)((uint64_t)overlapped->OffsetHigh << 32 |
                          overlapped->Offset);
  range.l_len = (off_t)((uint64_t)countHigh << 32 | countLow);
  int command = (flags & LOCKFILE_FAIL_IMMEDIATELY) != 0 ? F_OFD_SETLK
                                                         : F_OFD_SETLKW;
  int result;
  do
    result = fcntl(handle->fd, command, &range);
  while (result != 0 && errno == EINTR);
  if (result == 0)
    return TRUE;
  if (errno == EAGAIN || errno == EACCES)
    SetLastError(ERROR_LOCK_VIOLATION);
  else
    SetLastErrorFromErrno(errno);
  return FALSE;
}

BOOL DeleteFileW(LPCWSTR path) {
  VESKAR_HOOK("DeleteFileW", path, BOOL);
  static thread_local char native[kNativePathCapacity];
  if (!NativePath(path, native))
    return FALSE;
  if (unlink(native) == 0)
    return TRUE;
  SetLastErrorFromErrno(errno, true);
  return FALSE;
}

BOOL SetEndOfFile(HANDLE file) {
  VESKAR_HOOK_NOTED("SetEndOfFile", nullptr, VESKAR_HANDLE_NAME(file), BOOL);
  Handle *handle = HandleOfKind(file, kFileHandle);
  if (handle == nullptr)
    return FALSE;
  off_t at = lseek(handle->fd, 0, SEEK_CUR);
  if (at < 0 || ftruncate(handle->fd, at) != 0) {
    SetLastErrorFromErrno(errno);
    return FALSE;
  }
  return TRUE;
}

BOOL WriteFile(HANDLE file, const void *data, DWORD count, LPDWORD written,
               LPOVERLAPPED overlapped) {
  VESKAR_HOOK_COUNT_NOTED("WriteFile", count, VESKAR_HANDLE_NAME(file), BOOL);
  if (written != nullptr)
    *written = 0;
  Handle *handle = HandleOfKind(file, kFileHandle);
  if (handle == nullptr)
    return FALSE;
  const char *p = (const char *)data;
  off_t offset = overlapped == nullptr
                     ? 0
                     : (off_t)((uint64_t)overlapped->OffsetHigh << 32 |
                               overlapped->Offset);
#if defined(VESKAR_RECORDING)
  if (overlapped != nullptr && veskar_recording::ZerosAreHoles()) {
    DWORD zeros = 0;
    while (zeros < count && p[zeros] == 0)
      ++zeros;
    struct stat info;
    if (zeros == count && fstat(handle->fd, &info) == 0) {
      if (info.st_size < offset + (off_t)count &&
          ftruncate(handle->fd, offset + (off_t)count) != 0) {
        SetLastErrorFromErrno(errno);
        return FALSE;
      }
      if (written != nullptr)
        *written = count;
      return TRUE;
    }
  }
#endif
  DWORD done = 0;
  while (done < count) {
    ssize_t n =
        overlapped == nullptr
            ? write(handle->fd, p + done, count - done)
            : pwrite(handle->fd, p + done, count - done, offset + (off_t)done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      SetLastErrorFromErrno(n < 0 ? errno : ENOSPC);
      return FALSE;
    }
    done += (DWORD)n;
  }
  if (written != nullptr)
    *written = done;
  return TRUE;
}

BOOL ReadFile(HANDLE file, void *data, DWORD count, LPDWORD read,
              LPOVERLAPPED) {
  VESKAR_HOOK_COUNT("ReadFile", count, BOOL);
  if (read != nullptr)
    *read = 0;
  Handle *handle = HandleOfKind(file, kFileHandle);
  if (handle == nullptr)
    return FALSE;
  ssize_t n;
  do
    n = ::read(handle->fd, data, count);
  while (n < 0 && errno == EINTR);
  if (n < 0) {
    SetLastErrorFromErrno(errno);
    return FALSE;
  }
  if (read != nullptr)
    *read = (DWORD)n;
  return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
  VESKAR_HOOK("FlushFileBuffers", nullptr, BOOL);
  Handle *handle = HandleOfKind(file, kFileHandle);
  if (handle == nullptr)
    return FALSE;
  if (fsync(handle->fd) == 0)
    return TRUE;
  SetLastErrorFromErrno(errno);
  return FALSE;
}

BOOL MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
  VESKAR_HOOK("MoveFileExW", to, BOOL);
  char *nativeFrom = NativeCopy(from);
  char *nativeTo = nativeFrom != nullptr ? NativeCopy(to) : nullptr;
  if (nativeTo == nullptr) {
    free(nativeFrom);
    return FALSE;
  }
  int result;
  if ((flags & MOVEFILE_REPLACE_EXISTING) != 0) {
    result = rename(nativeFrom, nativeTo);
  } else {
    result =
        renameat2(AT_FDCWD, nativeFrom, AT_FDCWD, nativeTo, RENAME_NOREPLACE);
    struct stat info;
    if (result != 0 && errno == EINVAL && lstat(nativeFrom, &info) == 0 &&
        S_ISDIR(info.st_mode)) {
      // A file system without RENAME_NOREPLACE: rename never replaces a
      // directory that holds anything.
      result = rename(nativeFrom, nativeTo);
      if (result != 0 && errno == ENOTEMPTY)
        errno = EEXIST;
    }
  }
  int error = errno;
  free(nativeFrom);
  free(nativeTo);
  if (result == 0)
    return TRUE;
  SetLastErrorFromErrno(error, true);
  return FALSE;
}

BOOL CloseHandle(HANDLE object) {
  Handle *handle = (Handle *)object;
  // As their waits, the close of the launcher's own threads stays out of
  // the log, and so does the close of an event (its waits are logged
  // apart from the waits for processes).
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE &&
      (handle->kind == kOwnThreadHandle || handle->kind == kEventHandle)) {
    FreeHandle(handle);
    return TRUE;
  }
  VESKAR_HOOK_NOTED("CloseHandle", nullptr, VESKAR_HANDLE_NAME(object), BOOL);
  VESKAR_FORGET_HANDLE(object);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!handle->owned)
    return TRUE; // the standard handles stay open
  // The descriptor is released even when close reports an error (a write
  // the file system took late, on a network share say): the error is the
  // file's, as CloseHandle reports it on Windows. EINTR leaves the
  // descriptor closed on Linux, and nothing is lost.
  if (FreeHandle(handle) != 0 && errno != EINTR) {
    SetLastErrorFromErrno(errno);
    return FALSE;
  }
  return TRUE;
}

BOOL GetFileInformationByHandle(HANDLE file,
                                LPBY_HANDLE_FILE_INFORMATION information) {
  VESKAR_HOOK("GetFileInformationByHandle", nullptr, BOOL);
  Handle *handle = HandleOfKind(file, kFileHandle);
  if (handle == nullptr)
    return FALSE;
  struct stat info;
  if (fstat(handle->fd, &info) != 0) {
    SetLastErrorFromErrno(errno);
    return FALSE;
  }
  information->dwFileAttributes = AttributesOf(info);
  information->ftLastWriteTime = FileTimeOf(info.st_mtim);
  information->nFileSizeHigh = (DWORD)((uint64_t)info.st_size >> 32);
  information->nFileSizeLow = (DWORD)info.st_size;
  FileIdentity identity = IdentityOf(info);
  information->dwVolumeSerialNumber = identity.volume;
  information->nNumberOfLinks = (DWORD)info.st_nlink;
  information->nFileIndexHigh = identity.indexHigh;
  information->nFileIndexLow = identity.indexLow;
  return TRUE;
}

BOOL GetFileSystemKind(HANDLE file, LPCWSTR path, WCHAR *name,
                       DWORD capacity, BOOL *remote) {
  VESKAR_HOOK("GetFileSystemKind", path, BOOL);
  Handle *handle = HandleOfKind(file, kFileHandle);
  if (handle == nullptr)
    return FALSE;
  struct statfs info;
  if (fstatfs(handle->fd, &info) != 0) {
    SetLastErrorFromErrno(errno);
    return FALSE;
  }
  char type[16];
  int length = snprintf(type, sizeof type, "0x%x", (unsigned)info.f_type);
  if (length < 0 || (DWORD)length >= capacity) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  for (int i = 0; i <= length; ++i)
    name[i] = (WCHAR)type[i];
  *remote = FALSE;
  return TRUE;
}

BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES) {
  VESKAR_HOOK("CreateDirectoryW", path, BOOL);
  static thread_local char native[kNativePathCapacity];
  if (!NativePath(path, native))
    return FALSE;
  // Directories are private to the user: the unpack directory on a shared
  // /tmp must not be readable, let alone writable, by anyone else. Whether
  // something already at the path may be used is the core's decision.
  if (mkdir(native, 0700) == 0)
    return TRUE;
  SetLastErrorFromErrno(errno, true);
  return FALSE;
}

DWORD GetFileAttributesW(LPCWSTR path) {
  VESKAR_HOOK("GetFileAttributesW", path, DWORD);
  static thread_local char native[kNativePathCapacity];
  if (!NativePath(path, native))
    return INVALID_FILE_ATTRIBUTES;
  struct stat info;
  if (lstat(native, &info) != 0) {
    SetLastErrorFromErrno(errno);
    return INVALID_FILE_ATTRIBUTES;
  }
  return AttributesOf(info);
}

DWORD GetFileType(HANDLE file) {
  VESKAR_HOOK_NOTED("GetFileType", nullptr, VESKAR_HANDLE_NAME(file), DWORD);
  Handle *handle = HandleOfKind(file, kFileHandle);
  struct stat info;
  if (handle == nullptr || fstat(handle->fd, &info) != 0) {
    if (handle != nullptr)
      SetLastErrorFromErrno(errno);
    return FILE_TYPE_UNKNOWN;
  }
  SetLastError(ERROR_SUCCESS);
  if (S_ISREG(info.st_mode) || S_ISDIR(info.st_mode))
    return FILE_TYPE_DISK;
  if (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode))
    return FILE_TYPE_PIPE;
  if (S_ISCHR(info.st_mode))
    return FILE_TYPE_CHAR;
  return FILE_TYPE_UNKNOWN;
}

BOOL GetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS,
                          LPVOID information) {
  VESKAR_HOOK("GetFileAttributesExW", path, BOOL);
  char *native = NativeCopy(path);
  if (native == nullptr)
    return FALSE;
  struct stat info;
  int result = lstat(native, &info);
  int error = errno;
  free(native);
  if (result != 0) {
    SetLastErrorFromErrno(error);
    return FALSE;
  }
  WIN32_FILE_ATTRIBUTE_DATA *data = (WIN32_FILE_ATTRIBUTE_DATA *)information;
  data->dwFileAttributes = AttributesOf(info);
  data->nFileSizeHigh = (DWORD)((uint64_t)info.st_size >> 32);
  data->nFileSizeLow = (DWORD)info.st_size;
  return TRUE;
}

namespace {

// Starts the listing of `pattern` (FindFirstFileW, FindFirstFileExW): the
// directory opened with `openFlags`, names that are not UTF-8 skipped when
// `utf8Only`.
HANDLE StartSearch(LPCWSTR pattern, LPWIN32_FIND_DATAW found, int openFlags,
                   bool utf8Only) {
  static thread_local char native[kNativePathCapacity];
  if (!NativePath(pattern, native))
    return INVALID_HANDLE_VALUE;
  char *slash = strrchr(native, '/');
  char *level = slash != nullptr ? slash + 1 : native;
  size_t levelLength = strlen(level);
  if (levelLength == 0 || level[levelLength - 1] != '*' ||
      memchr(level, '*', levelLength - 1) != nullptr ||
      strchr(level, '?') != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  Handle *handle = NewHandle(kSearchHandle);
  char *prefix = strndup(level, levelLength - 1);
  if (handle == nullptr || prefix == nullptr) {
    free(handle);
    free(prefix);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  handle->searchPrefix = prefix;
  handle->searchUtf8 = utf8Only;
  const char *directory = native;
  if (slash == nullptr)
    directory = ".";
  else if (slash == native)
    directory = "/";
  else
    *slash = 0;
  int fd = open(directory, openFlags);
  DIR *dir = fd >= 0 ? fdopendir(fd) : nullptr;
  if (dir == nullptr) {
    int error = errno;
    if (fd >= 0)
      close(fd);
    SetLastErrorFromErrno(error, true);
    FreeHandle(handle);
    return INVALID_HANDLE_VALUE;
  }
  handle->search = dir;
  if (!NextFound(handle, found)) {
    DWORD error = GetLastError();
    FreeHandle(handle);
    SetLastError(error == ERROR_NO_MORE_FILES ? ERROR_FILE_NOT_FOUND : error);
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

} // namespace

HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW found) {
  VESKAR_HOOK("FindFirstFileW", pattern, HANDLE);
  // As opendir opens it: a link to a directory is followed.
  return StartSearch(pattern, found, O_RDONLY | O_DIRECTORY | O_CLOEXEC,
                     false);
}

HANDLE FindFirstFileExW(LPCWSTR pattern, FINDEX_INFO_LEVELS level,
                        LPVOID found, FINDEX_SEARCH_OPS search, LPVOID filter,
                        DWORD) {
  VESKAR_HOOK("FindFirstFileExW", pattern, HANDLE);
  if (level != FindExInfoBasic || search != FindExSearchNameMatch ||
      filter != nullptr) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return INVALID_HANDLE_VALUE;
  }
  return StartSearch(pattern, (LPWIN32_FIND_DATAW)found, kOpenDirectory,
                     true);
}

BOOL FindNextFileW(HANDLE search, LPWIN32_FIND_DATAW found) {
  Handle *handle = HandleOfKind(search, kSearchHandle);
  if (handle == nullptr)
    return FALSE;
  return NextFound(handle, found);
}

BOOL FindClose(HANDLE search) {
  Handle *handle = HandleOfKind(search, kSearchHandle);
  if (handle == nullptr)
    return FALSE;
  FreeHandle(handle);
  return TRUE;
}

BOOL RemoveDirectoryTree(LPCWSTR path, const FileIdentity *expected) {
  VESKAR_HOOK("RemoveDirectoryTree", path, BOOL);
  char *native = (char *)malloc(kNativePathCapacity);
  if (native == nullptr)
    return FALSE;
  BOOL removed = FALSE;
  if (NativePath(path, native))
    removed = RemoveAt(AT_FDCWD, native, expected) == 0;
  free(native);
  return removed;
}

DWORD GetFileHandleRoom(void) {
  VESKAR_HOOK("GetFileHandleRoom", nullptr, DWORD);
  struct rlimit limit;
  // Past a million descriptors the count is no bound worth keeping to.
  const rlim_t kLarge = 1u << 20;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 ||
      limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= kLarge)
    return MAXDWORD;
  // The descriptors open now: listed in /proc/self/fd (the listing's own
  // among them), or, without /proc, asked one by one below the limit.
  rlim_t open = 0;
  DIR *listing = opendir("/proc/self/fd");
  if (listing != nullptr) {
    struct dirent *entry;
    while ((entry = readdir(listing)) != nullptr)
      if (entry->d_name[0] != '.')
        ++open;
    closedir(listing);
    if (open > 0)
      --open;
  } else {
    for (rlim_t fd = 0; fd < limit.rlim_cur; ++fd)
      if (fcntl((int)fd, F_GETFD) != -1)
        ++open;
  }
  return open >= limit.rlim_cur ? 0 : (DWORD)(limit.rlim_cur - open);
}
