//===- packer/os/output_file.cpp - Output whole or not at all -------------===//
#include "packer/os/output_file.h"

#include <errno.h>
#include <signal.h>

#include <vector>

#include "packer/failure.h"
#include "packer/os/file_io.h"
#include "packer/os/fs.h"

namespace veskar {

namespace {

volatile sig_atomic_t directoryPending = 0;
volatile sig_atomic_t interrupted = 0;

// Removes the temporary file; a directory tree cannot be removed here
// safely, so the extraction notices the flag, stops and removes it. Gives
// whether the program goes on to stop by itself.
bool OnInterrupt(void) {
  interrupted = 1;
  fs::RemovePendingFile();
  return directoryPending != 0;
}

std::string DirectoryOf(const std::string &path) {
  size_t slash = fs::LastSeparator(path);
  if (slash == std::string::npos)
    return ".";
  // The root itself, and a drive's root ("C:\"), keep their separator.
  if (slash == 0 || path[slash - 1] == ':')
    return path.substr(0, slash + 1);
  return path.substr(0, slash);
}

std::string BaseOf(const std::string &path) {
  size_t slash = fs::LastSeparator(path);
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The temporary name beside `path`: hidden, in the same directory.
std::string TemporaryBeside(const std::string &path) {
  std::string directory = DirectoryOf(path);
  if (!fs::IsSeparator(directory.back()))
    directory += "/";
  return directory + "." + BaseOf(path) + ".tmp-XXXXXX";
}

// Only a regular file, or nothing, may stand where an output goes: the
// rename that puts the output there would replace a device, a fifo or a
// socket (as root even /dev/null), and a symbolic link itself rather than
// what it points to. Nothing else is touched.
bool MayReplace(const std::string &path, std::string *error) {
  fs::Facts info;
  if (!fs::LookAt(path, false, &info)) {
    if (errno == ENOENT)
      return true;
    return Fail(error,
                "cannot use the output '" + path + "': " + SystemError(errno));
  }
  if (info.kind == fs::Kind::kRegular)
    return true;
  return Fail(error, "the output '" + path + "' is " + KindOf(info.kind) +
                         "; only a regular file there is replaced");
}

// Creates the missing levels of `directory`, as mkdir -p does; each one
// made is added to `made`, outermost first. The levels that exist are the
// user's and are taken as they are, a link to a directory included.
bool MakeParents(const std::string &directory, std::vector<std::string> *made,
                 std::string *error) {
  std::string level;
  if (fs::MakeParents(directory, made, &level))
    return true;
  return Fail(error, errno == ENOTDIR ? "'" + level + "' is not a directory"
                                      : "cannot create the directory '" +
                                            level + "': " + SystemError(errno));
}

} // namespace

void InstallOutputCleanup(void) { fs::InstallInterruptHandler(OnInterrupt); }

bool Interrupted(void) { return interrupted != 0; }

OutputFile::~OutputFile() { Discard(); }

bool OutputFile::Create(const std::string &finalPath, std::string *error) {
  if (!MayReplace(finalPath, error))
    return false;
  std::string temp;
  int fd = fs::CreateUniqueFile(TemporaryBeside(finalPath), &temp);
  if (fd < 0)
    return Fail(error, "cannot create the output beside '" + finalPath +
                           "': " + SystemError(errno));
  fd_ = fd;
  finalPath_ = finalPath;
  tempPath_ = temp;
  fs::SetPendingFile(tempPath_);
  return true;
}

bool OutputFile::Commit(unsigned mode, std::string *error) {
  if (!fs::FinishFile(fd_, mode)) {
    *error = "cannot finish '" + finalPath_ + "': " + SystemError(errno);
    Discard();
    return false;
  }
  if (fs::Close(fd_) != 0) {
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
  if (!fs::Rename(tempPath_, finalPath_)) {
    *error =
        "cannot put the output at '" + finalPath_ + "': " + SystemError(errno);
    Discard();
    return false;
  }
  fs::SetPendingFile("");
  tempPath_.clear();
  return true;
}

void OutputFile::Discard() {
  if (fd_ >= 0)
    fs::Close(fd_);
  fd_ = -1;
  if (!tempPath_.empty()) {
    fs::SetPendingFile("");
    fs::RemoveFile(tempPath_);
    tempPath_.clear();
  }
}

OutputDirectory::~OutputDirectory() { Discard(); }

bool OutputDirectory::Create(const std::string &finalPath, std::string *error) {
  std::string trimmed = finalPath;
  while (trimmed.size() > 1 && fs::IsSeparator(trimmed.back()) &&
         trimmed[trimmed.size() - 2] != ':')
    trimmed.pop_back();
  fs::Facts info;
  if (fs::LookAt(trimmed, false, &info)) {
    if (info.kind != fs::Kind::kDirectory)
      return Fail(error, "'" + finalPath + "' is " + KindOf(info.kind) +
                             ", not a directory; name a new or empty one");
    // An empty directory is replaced by the rename at the end; one with
    // anything in it is left alone.
    std::vector<std::string> names;
    if (!fs::ListDirectory(trimmed, &names))
      return Fail(error, "cannot use the directory '" + finalPath +
                             "': " + SystemError(errno));
    if (!names.empty())
      return Fail(error, "the directory '" + finalPath +
                             "' is not empty; extract into a new one");
  }
  if (!MakeParents(DirectoryOf(trimmed), &madeParents_, error))
    return false;
  std::string temp;
  if (!fs::CreateUniqueDirectory(TemporaryBeside(trimmed), &temp)) {
    int code = errno;
    RemoveParents();
    return Fail(error, "cannot create a directory beside '" + finalPath +
                           "': " + SystemError(code));
  }
  finalPath_ = trimmed;
  tempPath_ = temp;
  directoryPending = 1;
  return true;
}

bool OutputDirectory::Commit(std::string *error) {
  // It was made private; it gets the mode mkdir would have given.
  const unsigned kDirectoryMode = 0777;
  fs::FinishDirectory(tempPath_, kDirectoryMode);
  if (!fs::Rename(tempPath_, finalPath_)) {
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
    fs::RemoveTree(tempPath_);
    tempPath_.clear();
  }
  RemoveParents();
  directoryPending = 0;
}

void OutputDirectory::RemoveParents() {
  // Deepest first; rmdir leaves alone a directory something else has
  // filled meanwhile.
  for (auto made = madeParents_.rbegin(); made != madeParents_.rend(); ++made)
    fs::RemoveEmptyDirectory(*made);
  madeParents_.clear();
}

} // namespace veskar
