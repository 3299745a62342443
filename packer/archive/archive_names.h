//===- packer/archive/archive_names.h - Archive names and disk paths ------===//
//
// On disk a file is a UTF-8 path relative to the application directory,
// with '/' between levels; in the archive it is UTF-16 with '\' between
// levels. What may be stored is decided by the name rules every launcher
// applies (common/names): a Windows package is held to the exact Windows
// style, so that a file also keeps its name, and a Linux package to the
// POSIX style. So the packer refuses at packing time whatever the target's
// launcher would refuse at run time.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/names.h"
#include "packer/string_codec.h"

namespace veskar {

enum class Target { kWindows, kLinux };

// The name style the launcher of `target` is held to.
NameStyle StyleOf(Target target);

// Checks `name` against the rules of `style`. False with the reason, as the
// end of a sentence that begins with the name ("has an empty level").
bool CheckName(const std::u16string &name, NameStyle style, std::string *why);

// The archive name of the file at `relative` ('/' between levels). False
// with a one-line reason when the target's launcher could not create it or
// it is longer than the longest name.
bool MakeArchiveName(const std::string &relative, Target target,
                     std::u16string *name, std::string *error);

// The relative path ('/' between levels) under which `name` may be
// extracted on this system: allowed by the POSIX name rules, free of
// control characters, and valid UTF-16. False with a reason otherwise.
bool ArchiveNameToPath(const std::u16string &name, std::string *relative,
                       std::string *error);

// Finds names that one archive cannot hold side by side, added one at a
// time: the same name twice (the launcher would write the first copy and
// then overwrite it with the last), a name that is also a directory of
// another name ("a" and "a\b"), and, when folding case as Windows does,
// the same two clashes between names that differ only in case (as the
// wider rule of common/names.h folds them), and a name of a short name's
// shape ("AVERYL~1.BIN") in a folder that also holds a name that is no
// short name ("averylongname.bin"): Windows may give that name the same
// short name, and write both records to one file.
//
// The names are kept as a tree of their levels, so memory and time grow
// with the names' total length however deep they go (a hostile container
// may hold many names of hundreds of levels).
class NameClashFinder {
public:
  enum Kind {
    kSameName,         // exactly the same name
    kCaseOnly,         // two names differing only in case
    kFileAndDirectory, // a name and a directory level of another name
    kShortName,        // a short name's shape beside a longer name
  };
  struct Clash {
    Kind kind;
    size_t earlier;             // the index of the name added before
    std::u16string earlierName; // and that name
    // For kFileAndDirectory: whether the two are equal only when folded,
    // and whether the earlier name is the file (else the later one is).
    // For kShortName: whether the earlier name has the short name's shape
    // (else the later one has).
    bool caseOnly;
    bool earlierIsFile;
  };

  explicit NameClashFinder(bool foldCase) : foldCase_(foldCase) {}
  // Adds the name of entry `index`. False when it clashes with a name
  // added before, described in `clash`.
  bool Add(const std::u16string &name, size_t index, Clash *clash);

private:
  // One level: a file, or a directory with the levels below it, keyed by
  // their folded names.
  struct Level {
    bool file = false;
    size_t first = 0; // in names_: the file, or the first name below it
    std::map<std::u16string, std::unique_ptr<Level>> below;
    // Folding case: in names_, the first name with an entry here of a
    // short name's shape, and the first with one that is no short name.
    size_t shortShaped = kNone;
    size_t longName = kNone;
  };
  static const size_t kNone = (size_t)-1;
  struct Added {
    size_t index;
    std::u16string name;
  };
  bool foldCase_;
  Level root_;
  std::vector<Added> names_;
};

} // namespace veskar
