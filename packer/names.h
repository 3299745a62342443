//===- packer/names.h - Archive names for files on disk and back --------===//
//
// On disk a file is a UTF-8 path relative to the application directory,
// with '/' between levels; in the archive it is UTF-16 with '\' between
// levels. What a launcher can write differs by target: the Windows launcher
// refuses wildcards, drive and stream separators, device names and levels
// made of dots and spaces, and Windows drops a level's trailing dots and
// spaces; the Linux launcher only needs levels free of '/'. The packer
// refuses at packing time what the launcher would refuse at run time.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <string>

namespace veskar {

enum class Target { kWindows, kLinux };

enum : size_t { kMaxNameUnits = 1023 };

// Strict UTF-8 to UTF-16: false for malformed, overlong or surrogate
// sequences.
bool Utf8ToUtf16(const std::string &text, std::u16string *out);

// The archive name of the file at `relative` ('/' between levels). False
// with a one-line reason when the target's launcher could not create it or
// it is longer than 1023 units.
bool MakeArchiveName(const std::string &relative, Target target,
                     std::u16string *name, std::string *error);

// The relative path ('/' between levels) under which `name` may be
// extracted on this system: every level non-empty, not made of dots and
// spaces only, free of '/', NUL and control characters, and valid UTF-16.
// False with a reason otherwise.
bool ArchiveNameToPath(const std::u16string &name, std::string *relative,
                       std::string *error);

// Whether the Windows launcher writes `name` under that very name: no
// wildcard, drive or stream separator, control character or device name in
// any level, no level made of dots and spaces or ending in one. False with
// the reason otherwise.
bool IsWindowsSafeName(const std::u16string &name, std::string *why);

// The name with every letter upper-cased as Windows compares file names,
// for finding names that one Windows directory cannot hold side by side.
std::u16string FoldForWindows(const std::u16string &name);

} // namespace veskar
