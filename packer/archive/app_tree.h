//===- packer/archive/app_tree.h - The application directory --------------===//
//
// What goes into a package, by one rule a user can predict:
//
//   - regular files are stored, hidden ones too;
//   - a symbolic link to a regular file inside the directory is stored as a
//     copy of that file, under the link's name;
//   - any other link (leading outside the directory, to a directory, or to
//     nothing) and any special file (fifo, socket, device) is an error that
//     names it;
//   - a directory without files cannot be carried (the archive has no
//     entries for directories); each one is reported.
//
// Nothing is skipped without a word.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "packer/archive/archive.h"
#include "packer/archive/archive_names.h"

namespace veskar {

struct AppFile {
  std::string relative; // UTF-8, '/' between levels
  std::string path;     // where to read it (a link's target for links)
  uint64_t size;
  bool executable; // any execute bit on the file (or the link's target)
};

struct AppTree {
  std::string root; // the directory's canonical path
  std::vector<AppFile> files;
  std::vector<std::string> emptyDirectories; // relative, topmost only
  // Every directory below the root, relative, in the order walked: what a
  // build system watches to see a file added or removed.
  std::vector<std::string> directories;
};

// Walks `directory` by the rule above and checks that every file can be
// opened for reading. False with a one-line reason otherwise.
bool ScanAppDirectory(const std::string &directory, AppTree *tree,
                      std::string *error);

// Whether the canonical `path` lies below the canonical directory `root`.
bool LiesInside(const std::string &path, const std::string &root);

// Picks the main program: `mainOption` when given (a relative path with
// '/' or '\' between levels), else the one file at the top level that ends
// in ".exe" (any case; for Linux, that has an execute bit). False with a
// reason that lists the candidates when there is none or more than one.
bool ChooseMainFile(const AppTree &tree, Target target,
                    const std::string &mainOption, size_t *index,
                    std::string *error);

// The archive's inputs: the main file first, then the others sorted by
// their archive names (UTF-16 unit order). False with a reason when a name
// cannot be stored for `target` or, for Windows, two names differ only in
// case (one Windows directory cannot hold both).
bool MakeArchiveInputs(const AppTree &tree, size_t mainIndex, Target target,
                       std::vector<ArchiveInput> *inputs, std::string *error);

} // namespace veskar
