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

// --- "May be the same file" ------------------------------------------------
//
// The wider of the two strengths (the exact one is SameFilePath above): two
// names that some file system the launcher may write to could take for one
// file. It never decides what is written where; it only chooses the careful
// path (one file written after the other, or refused by the packer). Each
// level counts without its trailing dots and spaces (Windows drops those of
// the last level, and one dot of the others), and each unit as
// FoldUnitForAliasing folds it. File systems that fold further (a sharp s
// as "ss", composed and decomposed accents) are met where the file is
// opened: the open says that the file was there already.

// A unit as WindowsUpperCase gives it, and the letters that Unicode's case
// folding takes for another one that Windows keeps apart (KELVIN SIGN for
// K, ANGSTROM SIGN for U+00C5, OHM SIGN for omega, the dotted capital I for
// I, CAPITAL SHARP S for the small one).
Utf16Unit FoldUnitForAliasing(Utf16Unit unit);

// An order of names of `aLength` and `bLength` units ('\' between levels)
// in which two compare equal exactly when they may be the same file.
int CompareMayBeSameFile(const Utf16Unit *a, size_t aLength,
                         const Utf16Unit *b, size_t bLength);

// The same for two terminated paths.
bool MayBeSameFilePath(const Utf16Unit *a, const Utf16Unit *b);

// Names, by number, for AnyMayBeSameFile: `copy` writes name `index` into
// `to` (room for kMaxNameUnits + 1 units) and gives its length.
struct NameSource {
  size_t (*copy)(void *context, uint32_t index, Utf16Unit *to);
  void *context;
};

// Whether two of names 0 to count - 1 may be the same file. Sorts their
// numbers in `order` (room for `count`) by CompareMayBeSameFile with a heap
// sort: at most about 2 n log2 n comparisons whatever the names, so no
// input can make the check slow.
bool AnyMayBeSameFile(const NameSource &source, uint32_t count,
                      uint32_t *order);

// Whether a level of `length` units has the shape of a short (8.3) name
// that the system makes for a longer one: a stem of 1 to 8 units holding a
// '~', then nothing or one '.' and 1 to 3 units. Such a level may name the
// same file as a longer name in its folder.
bool IsShortNameShaped(const Utf16Unit *level, size_t length);

// Whether the system keeps a level as its own short name, making it none
// with a '~': a stem of 1 to 8 units, nothing or one '.' and 1 to 3 units,
// all printable ASCII other than space and + , ; = [ ] (letters in any
// case).
bool FitsShortName(const Utf16Unit *level, size_t length);

// Writes why the name is refused, as the end of a sentence that begins with
// the name ("has an empty level"), into `out` (always terminated; cut short
// when `capacity` is too small). For kNameAllowed it writes "is allowed".
void DescribeNameProblem(const NameVerdict &verdict, char *out,
                         size_t capacity);
