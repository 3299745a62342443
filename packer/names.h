//===- packer/names.h - Archive names for files on disk and back --------===//
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

#include <string>

#include "common/names.h"
#include "packer/unicode.h"

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

// The name with every letter upper-cased as Windows compares file names,
// for finding names that one Windows directory cannot hold side by side.
std::u16string FoldForWindows(const std::u16string &name);

} // namespace veskar
