//===- common/names.h - Which archive names may be written ---------------===//
//
// The one set of rules for the names in an archive, used by both launchers
// before they write a record and by the packer when it builds, lists,
// verifies or extracts. Names are UTF-16 units with '\' between levels. A
// rule depends on the file system the name is written to, so each check
// takes a style:
//
// - POSIX: every level non-empty, not made of dots and spaces only, and
//   free of '/'.
// - Windows: the same, and no control character, no ':' (a drive or a
//   stream), no wildcard or other character the file functions refuse, and
//   no device name (CON, NUL, COM1, ... also with an extension).
// - Windows, exact: the same again, and no level ending in a dot or space,
//   which Windows drops, so that a file keeps its name. The packer holds
//   what it writes for Windows to this; the launcher accepts such names.
//
// Whatever the style, a name that passes cannot lead outside the directory
// it is unpacked into.
//
//===----------------------------------------------------------------------===//
#pragma once

#include "common/text.h"

enum NameStyle { kPosixNames, kWindowsNames, kWindowsExactNames };

enum NameProblem {
  kNameAllowed = 0,
  kNameEmpty,
  kNameTooLong,            // more than kMaxNameUnits units
  kNameLeadingSeparator,   // a rooted name
  kNameEmptyLevel,         // a doubled or trailing separator
  kNameDotLevel,           // ".", "..", or what Windows trims to them
  kNameSlash,              // '/', a second kind of separator
  kNameControlCharacter,   // Windows
  kNameDriveOrStream,      // ':', Windows
  kNameReservedCharacter,  // * ? " < > |, Windows
  kNameDevice,             // Windows
  kNameTrailingDotOrSpace, // Windows, exact
  kNameReservedForCache    // a cache's own first level, in the cache modes
};

struct NameVerdict {
  NameProblem problem;
  Utf16Unit unit; // the offending unit, for the character problems
  size_t length;  // the name's length in units
};

// Checks `length` units at `name` (no terminator needed).
NameVerdict CheckArchiveName(const Utf16Unit *name, size_t length,
                             NameStyle style);

// A cache directory keeps its own files (its marker, a repair's temporary
// files) under first levels that start with this, in any case; in the cache
// modes no archive name may start its first level so.
#define VESKAR_CACHE_RESERVED_PREFIX ".onefile-"

// CheckArchiveName, and then, for a name that passes, the cache modes' rule
// above.
NameVerdict CheckCacheArchiveName(const Utf16Unit *name, size_t length,
                                  NameStyle style);

// A unit as Windows upper-cases it to compare file names: the simple,
// one-to-one upper-case mapping of the Basic Multilingual Plane (a to A,
// U+00E4 to U+00C4, but U+00DF stays, never "SS"), the same in every
// locale. A surrogate stays as it is: letters beyond that plane do not
// fold.
Utf16Unit WindowsUpperCase(Utf16Unit unit);

// Whether two terminated paths, '\' between levels, name one file on a
// file system of `style`. On POSIX only the same units do. On Windows the
// case of letters does not count (WindowsUpperCase), and each path counts
// as the system reads it before it opens anything: the last level without
// its trailing dots and spaces, every other level without one trailing
// dot. So "a.txt" and "A.TXT", or "t.bin" and "t.bin.", are one file there.
bool SameFilePath(const Utf16Unit *a, const Utf16Unit *b, NameStyle style);

// An order of terminated paths in which two compare equal exactly when
// SameFilePath takes them for one file: level by level, each level's units
// as the system compares them (on Windows upper-cased, without what it
// drops), a path that ends first before one that goes on. Gives <0, 0 or
// >0, for sorting and searching names as the file system finds them.
int CompareFilePaths(const Utf16Unit *a, const Utf16Unit *b, NameStyle style);

// Writes why the name is refused, as the end of a sentence that begins with
// the name ("has an empty level"), into `out` (always terminated; cut short
// when `capacity` is too small). For kNameAllowed it writes "is allowed".
void DescribeNameProblem(const NameVerdict &verdict, char *out,
                         size_t capacity);
