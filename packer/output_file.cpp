//===- packer/output_file.cpp - Output that appears whole or not at all --===//
#include "packer/output_file.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "packer/failure.h"
#include "packer/file_io.h"

namespace veskar {

namespace {

// The temporary file the signal handler removes; a fixed buffer because
// the handler may not allocate.
char pendingFile[4096];
volatile sig_atomic_t directoryPending = 0;
volatile sig_atomic_t interrupted = 0;

void OnSignal(int signal) {
  interrupted = 1;
  if (pendingFile[0] != 0)
    unlink(pendingFile);
  // A directory tree cannot be removed here safely: the extraction notices
  // the flag, stops and removes it. Otherwise end as the signal would.
  if (directoryPending)
    return;
  ::signal(signal, SIG_DFL);
  raise(signal);
}

void SetPending(const std::string &path) {
  if (path.size() < sizeof pendingFile) {
    pendingFile[0] = 0;
    memcpy(pendingFile + 1, path.c_str() + 1, path.size());
    pendingFile[0] = path[0];
  }
}

std::string DirectoryOf(const std::string &path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos)
    return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseOf(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
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

void RemoveTree(const std::string &path) {
  // At most this many directories are held open while walking the tree.
  const int kOpenDirectories = 16;
  nftw(path.c_str(), RemoveEntry, kOpenDirectories, FTW_DEPTH | FTW_PHYS);
}

// Only a regular file, or nothing, may stand where an output goes: the
// rename that puts the output there would replace a device, a fifo or a
// socket (as root even /dev/null), and a symbolic link itself rather than
// what it points to. Nothing else is touched.
bool MayReplace(const std::string &path, std::string *error) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) {
    if (errno == ENOENT)
      return true;
    return Fail(error,
                "cannot use the output '" + path + "': " + SystemError(errno));
  }
  if (S_ISREG(info.st_mode))
    return true;
  return Fail(error, "the output '" + path + "' is " + KindOf(info.st_mode) +
                         "; only a regular file there is replaced");
}

// Creates the missing levels of `directory`, as mkdir -p does, with mode
// 0755 less the umask, and adds each one made to `made`, outermost first.
// The levels that exist are the user's and are taken as they are, a link
// to a directory included. A level made here is opened with O_NOFOLLOW
// from its parent's descriptor: a link put in its place between the mkdir
// and the open is refused, not followed. Below that, only its owner can
// change what it holds.
bool MakeParents(const std::string &directory, std::vector<std::string> *made,
                 std::string *error) {
  const mode_t kParentMode = 0755;
  bool absolute = !directory.empty() && directory[0] == '/';
  int at = open(absolute ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (at < 0)
    return Fail(error, "cannot open the directory '" + directory +
                           "': " + SystemError(errno));
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
      ok = Fail(error, errno == ENOTDIR || errno == ELOOP
                           ? "'" + shown + "' is not a directory"
                           : "cannot create the directory '" + shown +
                                 "': " + SystemError(errno));
    }
    close(at);
    at = next;
  }
  if (at >= 0)
    close(at);
  return ok;
}

} // namespace

void InstallOutputCleanup(void) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
}

bool Interrupted(void) { return interrupted != 0; }

OutputFile::~OutputFile() { Discard(); }

bool OutputFile::Create(const std::string &finalPath, std::string *error) {
  if (!MayReplace(finalPath, error))
    return false;
  std::string temp =
      DirectoryOf(finalPath) + "/." + BaseOf(finalPath) + ".tmp-XXXXXX";
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back(0);
  int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0)
    return Fail(error, "cannot create the output beside '" + finalPath +
                           "': " + SystemError(errno));
  fd_ = fd;
  finalPath_ = finalPath;
  tempPath_ = name.data();
  SetPending(tempPath_);
  return true;
}

bool OutputFile::Commit(unsigned mode, std::string *error) {
  if (fchmod(fd_, mode & ~CurrentUmask()) != 0 || fsync(fd_) != 0) {
    *error = "cannot finish '" + finalPath_ + "': " + SystemError(errno);
    Discard();
    return false;
  }
  if (close(fd_) != 0) {
    fd_ = -1;
    *error = "cannot finish '" + finalPath_ + "': " + SystemError(errno);
    Discard();
    return false;
  }
  fd_ = -1;
  // Checked again: the rename would replace whatever came there meanwhile.
  if (!MayReplace(finalPath_, error)) {
    Discard();
    return false;
  }
  if (rename(tempPath_.c_str(), finalPath_.c_str()) != 0) {
    *error = "cannot put the output at '" + finalPath_ +
             "': " + SystemError(errno);
    Discard();
    return false;
  }
  pendingFile[0] = 0;
  tempPath_.clear();
  return true;
}

void OutputFile::Discard() {
  if (fd_ >= 0)
    close(fd_);
  fd_ = -1;
  if (!tempPath_.empty()) {
    pendingFile[0] = 0;
    unlink(tempPath_.c_str());
    tempPath_.clear();
  }
}

OutputDirectory::~OutputDirectory() { Discard(); }

bool OutputDirectory::Create(const std::string &finalPath,
                             std::string *error) {
  std::string trimmed = finalPath;
  while (trimmed.size() > 1 && trimmed.back() == '/')
    trimmed.pop_back();
  struct stat info;
  if (lstat(trimmed.c_str(), &info) == 0) {
    if (!S_ISDIR(info.st_mode))
      return Fail(error, "'" + finalPath + "' is " + KindOf(info.st_mode) +
                             ", not a directory; name a new or empty one");
    // An empty directory is replaced by the rename at the end; one with
    // anything in it is left alone.
    DIR *handle = opendir(trimmed.c_str());
    if (handle == nullptr)
      return Fail(error, "cannot use the directory '" + finalPath +
                             "': " + SystemError(errno));
    bool empty = true;
    while (struct dirent *entry = readdir(handle))
      if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
        empty = false;
    closedir(handle);
    if (!empty)
      return Fail(error, "the directory '" + finalPath +
                             "' is not empty; extract into a new one");
  }
  if (!MakeParents(DirectoryOf(trimmed), &madeParents_, error))
    return false;
  std::string temp =
      DirectoryOf(trimmed) + "/." + BaseOf(trimmed) + ".tmp-XXXXXX";
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back(0);
  if (mkdtemp(name.data()) == nullptr) {
    int code = errno;
    RemoveParents();
    return Fail(error, "cannot create a directory beside '" + finalPath +
                           "': " + SystemError(code));
  }
  finalPath_ = trimmed;
  tempPath_ = name.data();
  directoryPending = 1;
  return true;
}

bool OutputDirectory::Commit(std::string *error) {
  // mkdtemp made it private; it gets the mode mkdir would have given.
  const mode_t kDirectoryMode = 0777;
  chmod(tempPath_.c_str(), kDirectoryMode & ~CurrentUmask());
  if (rename(tempPath_.c_str(), finalPath_.c_str()) != 0) {
    *error = "cannot put the directory at '" + finalPath_ +
             "': " + SystemError(errno);
    Discard();
    return false;
  }
  tempPath_.clear();
  madeParents_.clear();
  directoryPending = 0;
  return true;
}

void OutputDirectory::Discard() {
  if (!tempPath_.empty()) {
    RemoveTree(tempPath_);
    tempPath_.clear();
  }
  RemoveParents();
  directoryPending = 0;
}

void OutputDirectory::RemoveParents() {
  // Deepest first; rmdir leaves alone a directory something else has
  // filled meanwhile.
  for (auto made = madeParents_.rbegin(); made != madeParents_.rend(); ++made)
    rmdir(made->c_str());
  madeParents_.clear();
}

} // namespace veskar
