//===- packer/file_io.cpp - Whole reads and writes on descriptors -------===//
#include "packer/file_io.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "packer/failure.h"

namespace veskar {

namespace {

// Writes at `offset`, or at the current position when `offset` is negative.
bool WriteLoop(int fd, const void *data, size_t count, int64_t offset) {
  const uint8_t *at = (const uint8_t *)data;
  while (count > 0) {
    ssize_t done = offset < 0 ? write(fd, at, count)
                              : pwrite(fd, at, count, (off_t)offset);
    if (done < 0 && errno == EINTR)
      continue;
    if (done <= 0) {
      if (done == 0)
        errno = ENOSPC;
      return false;
    }
    at += done;
    count -= (size_t)done;
    if (offset >= 0)
      offset += done;
  }
  return true;
}

} // namespace

bool WriteAll(int fd, const void *data, size_t count) {
  return WriteLoop(fd, data, count, -1);
}

bool WriteAllAt(int fd, const void *data, size_t count, uint64_t offset) {
  return WriteLoop(fd, data, count, (int64_t)offset);
}

bool ReadAllAt(int fd, void *data, size_t count, uint64_t offset) {
  uint8_t *at = (uint8_t *)data;
  while (count > 0) {
    ssize_t got = pread(fd, at, count, (off_t)offset);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0) {
      if (got == 0)
        errno = 0;
      return false;
    }
    at += got;
    offset += (uint64_t)got;
    count -= (size_t)got;
  }
  return true;
}

const char *KindOf(unsigned mode) {
  if (S_ISREG(mode))
    return "a regular file";
  if (S_ISDIR(mode))
    return "a directory";
  if (S_ISLNK(mode))
    return "a symbolic link";
  if (S_ISFIFO(mode))
    return "a fifo";
  if (S_ISSOCK(mode))
    return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode))
    return "a device";
  return "a special file";
}

bool OpenRegularFile(const std::string &path, const std::string &what, int *fd,
                     std::string *error, uint64_t *size) {
  std::string shown = (what.empty() ? "'" : what + " '") + path + "'";
  // Without O_NONBLOCK, opening a fifo waits for a writer, maybe forever.
  int opened = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (opened < 0)
    return Fail(error, "cannot open " + shown + ": " + SystemError(errno));
  struct stat info;
  if (fstat(opened, &info) != 0) {
    int code = errno;
    close(opened);
    return Fail(error, "cannot open " + shown + ": " + SystemError(code));
  }
  if (!S_ISREG(info.st_mode)) {
    close(opened);
    return Fail(error,
                shown + " is " + KindOf(info.st_mode) + ", not a regular file");
  }
  int flags = fcntl(opened, F_GETFL);
  if (flags < 0 || fcntl(opened, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    int code = errno;
    close(opened);
    return Fail(error, "cannot open " + shown + ": " + SystemError(code));
  }
  *fd = opened;
  if (size != nullptr)
    *size = (uint64_t)info.st_size;
  return true;
}

bool ReadSmallFile(const std::string &path, uint64_t limit,
                   std::vector<uint8_t> *bytes, std::string *error) {
  int fd;
  uint64_t size;
  if (!OpenRegularFile(path, "", &fd, error, &size))
    return false;
  if (size > limit) {
    close(fd);
    return Fail(error, "'" + path + "' is too large (" + std::to_string(size) +
                           " bytes; at most " + std::to_string(limit) + ")");
  }
  bytes->resize((size_t)size);
  bool ok = ReadAllAt(fd, bytes->data(), bytes->size(), 0);
  int code = errno;
  close(fd);
  if (!ok)
    return Fail(error, "cannot read '" + path + "': " +
                           (code != 0 ? SystemError(code)
                                      : "it changed while being read"));
  return true;
}

std::string SystemError(int code) {
  char buffer[256];
  // The GNU strerror_r may return a static string instead of filling ours.
  const char *text = strerror_r(code, buffer, sizeof buffer);
  std::string result = text != nullptr ? text : "unknown error";
  if (!result.empty())
    result[0] = (char)tolower((unsigned char)result[0]);
  return result;
}

std::string OutputWriteError(int code) {
  return "couldn't write the output: " +
         (code == ENOSPC || code == EDQUOT ? std::string("the disk is full")
                                           : SystemError(code));
}

} // namespace veskar
