//===- packer/os/file_io.cpp - Whole reads and writes on descriptors ------===//
#include "packer/os/file_io.h"

#include <errno.h>

#include "packer/failure.h"
#include "packer/os/fs.h"

namespace veskar {

namespace {

// Writes at `offset`, or at the current position when `offset` is negative.
bool WriteLoop(int fd, const void *data, size_t count, int64_t offset) {
  const uint8_t *at = (const uint8_t *)data;
  while (count > 0) {
    long long done = offset < 0 ? fs::Write(fd, at, count)
                                : fs::WriteAt(fd, at, count, (uint64_t)offset);
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

#ifdef EDQUOT
const int kQuotaExceeded = EDQUOT;
#else
const int kQuotaExceeded = ENOSPC;
#endif

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
    long long got = fs::ReadAt(fd, at, count, offset);
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

const char *KindOf(fs::Kind kind) {
  switch (kind) {
  case fs::Kind::kRegular:
    return "a regular file";
  case fs::Kind::kDirectory:
    return "a directory";
  case fs::Kind::kLink:
    return "a symbolic link";
  case fs::Kind::kFifo:
    return "a fifo";
  case fs::Kind::kSocket:
    return "a socket";
  case fs::Kind::kDevice:
    return "a device";
  case fs::Kind::kOther:
    break;
  }
  return "a special file";
}

bool OpenRegularFile(const std::string &path, const std::string &what, int *fd,
                     std::string *error, uint64_t *size) {
  std::string shown = (what.empty() ? "'" : what + " '") + path + "'";
  int opened = fs::OpenForReading(path, true);
  if (opened < 0)
    return Fail(error, "cannot open " + shown + ": " + SystemError(errno));
  fs::Facts facts;
  if (!fs::LookAtOpen(opened, &facts)) {
    int code = errno;
    fs::Close(opened);
    return Fail(error, "cannot open " + shown + ": " + SystemError(code));
  }
  if (facts.kind != fs::Kind::kRegular) {
    fs::Close(opened);
    return Fail(error,
                shown + " is " + KindOf(facts.kind) + ", not a regular file");
  }
  *fd = opened;
  if (size != nullptr)
    *size = facts.size;
  return true;
}

bool ReadSmallFile(const std::string &path, uint64_t limit,
                   std::vector<uint8_t> *bytes, std::string *error) {
  int fd;
  uint64_t size;
  if (!OpenRegularFile(path, "", &fd, error, &size))
    return false;
  if (size > limit) {
    fs::Close(fd);
    return Fail(error, "'" + path + "' is too large (" + std::to_string(size) +
                           " bytes; at most " + std::to_string(limit) + ")");
  }
  bytes->resize((size_t)size);
  bool ok = ReadAllAt(fd, bytes->data(), bytes->size(), 0);
  int code = errno;
  fs::Close(fd);
  if (!ok)
    return Fail(error, "cannot read '" + path + "': " +
                           (code != 0 ? SystemError(code)
                                      : "it changed while being read"));
  return true;
}

std::string SystemError(int code) { return fs::ErrorText(code); }

std::string OutputWriteError(int code) {
  return "couldn't write the output: " +
         (code == ENOSPC || code == kQuotaExceeded
              ? std::string("the disk is full")
              : SystemError(code));
}

} // namespace veskar
