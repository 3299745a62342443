//===- packer/os/posix/fs.cpp - The packer's system seam on Linux ---------===//
#include "packer/os/fs.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace veskar {
namespace fs {

namespace {

Kind KindOfMode(mode_t mode) {
  if (S_ISREG(mode))
    return Kind::kRegular;
  if (S_ISDIR(mode))
    return Kind::kDirectory;
  if (S_ISLNK(mode))
    return Kind::kLink;
  if (S_ISFIFO(mode))
    return Kind::kFifo;
  if (S_ISSOCK(mode))
    return Kind::kSocket;
  if (S_ISCHR(mode) || S_ISBLK(mode))
    return Kind::kDevice;
  return Kind::kOther;
}

void FromStat(const struct stat &info, Facts *facts) {
  facts->kind = KindOfMode(info.st_mode);
  facts->size = (uint64_t)info.st_size;
  facts->executable = (info.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
}

// The process's umask; reading it means setting it, so it is set back.
mode_t CurrentUmask() {
  mode_t mask = umask(0);
  umask(mask);
  return mask;
}

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) {
  remove(path);
  return 0;
}

// The temporary file the signal handler removes; a fixed buffer because
// the handler may not allocate.
char pendingFile[4096];
bool (*interruptHandler)(void) = nullptr;

void OnSignal(int signal) {
  if (interruptHandler != nullptr && interruptHandler())
    return;
  ::signal(signal, SIG_DFL);
  raise(signal);
}

} // namespace

bool IsSeparator(char c) { return c == '/'; }

bool LookAt(const std::string &path, bool follow, Facts *facts) {
  struct stat info;
  if ((follow ? stat(path.c_str(), &info) : lstat(path.c_str(), &info)) != 0)
    return false;
  FromStat(info, facts);
  return true;
}

int OpenForReading(const std::string &path, bool follow) {
  // Without O_NONBLOCK, opening a fifo waits for a writer, maybe forever.
  int fd = open(path.c_str(),
                O_RDONLY | O_CLOEXEC | O_NONBLOCK | (follow ? 0 : O_NOFOLLOW));
  if (fd < 0)
    return -1;
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    int code = errno;
    close(fd);
    errno = code;
    return -1;
  }
  return fd;
}

bool LookAtOpen(int fd, Facts *facts) {
  struct stat info;
  if (fstat(fd, &info) != 0)
    return false;
  FromStat(info, facts);
  return true;
}

int CreateForWriting(const std::string &path, unsigned mode) {
  return open(path.c_str(),
              O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
              (mode_t)mode);
}

long long Position(int fd) { return lseek(fd, 0, SEEK_CUR); }

long long Read(int fd, void *data, size_t count) {
  ssize_t got;
  do
    got = read(fd, data, count);
  while (got < 0 && errno == EINTR);
  return got;
}

long long ReadAt(int fd, void *data, size_t count, uint64_t offset) {
  ssize_t got;
  do
    got = pread(fd, data, count, (off_t)offset);
  while (got < 0 && errno == EINTR);
  return got;
}

long long Write(int fd, const void *data, size_t count) {
  ssize_t done;
  do
    done = write(fd, data, count);
  while (done < 0 && errno == EINTR);
  return done;
}

long long WriteAt(int fd, const void *data, size_t count, uint64_t offset) {
  ssize_t done;
  do
    done = pwrite(fd, data, count, (off_t)offset);
  while (done < 0 && errno == EINTR);
  return done;
}

int Close(int fd) { return close(fd); }

bool ListDirectory(const std::string &path, std::vector<std::string> *names) {
  DIR *handle = opendir(path.c_str());
  if (handle == nullptr)
    return false;
  names->clear();
  errno = 0;
  while (struct dirent *entry = readdir(handle)) {
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
      names->push_back(entry->d_name);
    errno = 0;
  }
  int code = errno;
  closedir(handle);
  errno = code;
  return code == 0;
}

bool Canonical(const std::string &path, std::string *canonical) {
  char *resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr)
    return false;
  *canonical = resolved;
  free(resolved);
  return true;
}

bool MakeDirectory(const std::string &path, unsigned mode) {
  return mkdir(path.c_str(), (mode_t)mode) == 0;
}

bool RemoveEmptyDirectory(const std::string &path) {
  return rmdir(path.c_str()) == 0;
}

bool RemoveFile(const std::string &path) { return unlink(path.c_str()) == 0; }

void RemoveTree(const std::string &path) {
  // At most this many directories are held open while walking the tree.
  const int kOpenDirectories = 16;
  nftw(path.c_str(), RemoveEntry, kOpenDirectories, FTW_DEPTH | FTW_PHYS);
}

// A level made here is opened with O_NOFOLLOW from its parent's
// descriptor: a link put in its place between the mkdir and the open is
// refused, not followed. Below that, only its owner can change what it
// holds.
bool MakeParents(const std::string &directory, std::vector<std::string> *made,
                 std::string *failed) {
  const mode_t kParentMode = 0755;
  bool absolute = !directory.empty() && directory[0] == '/';
  int at = open(absolute ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (at < 0) {
    *failed = directory;
    return false;
  }
  std::string path = absolute ? "" : ".";
  size_t start = 0;
  bool ok = true;
  while (ok && start <= directory.size()) {
    size_t end = directory.find('/', start);
    if (end == std::string::npos)
      end = directory.size();
    std::string level = directory.substr(start, end - start);
    start = end + 1;
    if (level.empty() || level == ".")
      continue;
    path += "/" + level;
    std::string shown = absolute ? path : path.substr(2); // without "./"
    int next = openat(at, level.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (next < 0 && errno == ENOENT) {
      bool madeHere = mkdirat(at, level.c_str(), kParentMode) == 0;
      if (madeHere)
        made->push_back(shown);
      if (madeHere || errno == EEXIST)
        next = openat(at, level.c_str(),
                      O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (next < 0) {
      if (errno == ELOOP)
        errno = ENOTDIR;
      *failed = shown;
      ok = false;
    }
    int code = errno;
    close(at);
    errno = code;
    at = next;
  }
  if (at >= 0)
    close(at);
  return ok;
}

int CreateUniqueFile(const std::string &pattern, std::string *path) {
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back(0);
  int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd >= 0)
    *path = name.data();
  return fd;
}

bool CreateUniqueDirectory(const std::string &pattern, std::string *path) {
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back(0);
  if (mkdtemp(name.data()) == nullptr)
    return false;
  *path = name.data();
  return true;
}

bool FinishFile(int fd, unsigned mode) {
  return fchmod(fd, (mode_t)mode & ~CurrentUmask()) == 0 && fsync(fd) == 0;
}

void FinishDirectory(const std::string &path, unsigned mode) {
  chmod(path.c_str(), (mode_t)mode & ~CurrentUmask());
}

bool Rename(const std::string &from, const std::string &to) {
  return rename(from.c_str(), to.c_str()) == 0;
}

std::string ErrorText(int code) {
  char buffer[256];
  // The GNU strerror_r may return a static string instead of filling ours.
  const char *text = strerror_r(code, buffer, sizeof buffer);
  std::string result = text != nullptr ? text : "unknown error";
  if (!result.empty())
    result[0] = (char)tolower((unsigned char)result[0]);
  return result;
}

bool IsConsole(FILE *stream) { return isatty(fileno(stream)) == 1; }

void Print(FILE *stream, const std::string &text) {
  fwrite(text.data(), 1, text.size(), stream);
}

int ProcessorCount(void) {
  long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  return cpus < 1 ? 1 : cpus > 1 << 16 ? 1 << 16 : (int)cpus;
}

void InstallInterruptHandler(bool (*onInterrupt)(void)) {
  interruptHandler = onInterrupt;
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
}

void SetPendingFile(const std::string &path) {
  // The first byte last, so that the handler never sees half a name.
  pendingFile[0] = 0;
  if (!path.empty() && path.size() < sizeof pendingFile) {
    memcpy(pendingFile + 1, path.c_str() + 1, path.size());
    pendingFile[0] = path[0];
  }
}

void RemovePendingFile(void) {
  if (pendingFile[0] != 0)
    unlink(pendingFile);
}

} // namespace fs
} // namespace veskar
