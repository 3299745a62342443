//===- packer/os/output_file.h - Output whole or not at all ---------------===//
//
// Every output is written to a temporary name beside its final one (the
// same directory, hence the same file system) and renamed into place only
// when complete and flushed. On any failure, and on SIGINT, SIGTERM or
// SIGHUP, the temporary file or directory is removed: a reader of the final
// name sees the old content or the complete new one, never a part.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <string>
#include <vector>

namespace veskar {

// Installs the signal handlers that remove the current temporary output.
// Call once, before creating outputs.
void InstallOutputCleanup(void);

class OutputFile {
public:
  OutputFile() = default;
  OutputFile(const OutputFile &) = delete;
  OutputFile &operator=(const OutputFile &) = delete;
  ~OutputFile(); // removes the temporary file unless committed

  // Creates the temporary file for `finalPath`. False with a reason when
  // `finalPath` is a directory or its directory cannot take the file.
  bool Create(const std::string &finalPath, std::string *error);
  int fd() const { return fd_; }
  // Flushes, gives the file `mode` (less the umask) and renames it to the
  // final path.
  bool Commit(unsigned mode, std::string *error);
  // Removes the temporary file now.
  void Discard();

private:
  std::string finalPath_;
  std::string tempPath_;
  int fd_ = -1;
};

// A directory that is filled under a temporary name and renamed at the end.
class OutputDirectory {
public:
  OutputDirectory() = default;
  OutputDirectory(const OutputDirectory &) = delete;
  OutputDirectory &operator=(const OutputDirectory &) = delete;
  ~OutputDirectory(); // removes the temporary tree unless committed

  // `finalPath` must not exist or be an empty directory. Missing levels
  // above it are created (and removed again unless committed).
  bool Create(const std::string &finalPath, std::string *error);
  const std::string &path() const { return tempPath_; }
  bool Commit(std::string *error);
  void Discard();

private:
  void RemoveParents();

  std::string finalPath_;
  std::string tempPath_;
  std::vector<std::string> madeParents_; // outermost first
};

// Set by the signal handlers; long loops check it and stop.
bool Interrupted(void);

} // namespace veskar
