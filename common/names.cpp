//===- common/names.cpp - Which archive names may be written -------------===//
#include "common/names.h"

#include "common/container.h"

namespace {

// Device names open the device instead of a file below the directory, with
// or without an extension and with trailing spaces: what counts is the stem
// before the first dot or space.
bool IsDeviceName(const Utf16Unit *level, size_t length) {
  static const char *const kDevices[] = {"CON", "PRN",    "AUX",
                                         "NUL", "CONIN$", "CONOUT$"};
  size_t stem = 0;
  while (stem < length && level[stem] != '.' && level[stem] != ' ')
    ++stem;
  for (const char *device : kDevices) {
    size_t i = 0;
    while (i < stem && device[i] != 0 &&
           AsciiUpper(level[i]) == (Utf16Unit)device[i])
      ++i;
    if (i == stem && device[i] == 0)
      return true;
  }
  if (stem != 4)
    return false;
  Utf16Unit a = AsciiUpper(level[0]), b = AsciiUpper(level[1]),
            c = AsciiUpper(level[2]);
  bool com = a == 'C' && b == 'O' && c == 'M';
  bool lpt = a == 'L' && b == 'P' && c == 'T';
  Utf16Unit digit = level[3];
  // COM1-9 and LPT1-9, and the superscript digits one to three, which
  // Windows takes as the same devices.
  return (com || lpt) && ((digit >= '1' && digit <= '9') || digit == 0xB9 ||
                          digit == 0xB2 || digit == 0xB3);
}

NameProblem UnitProblem(Utf16Unit unit, NameStyle style) {
  if (unit == '/')
    return kNameSlash;
  if (style == kPosixNames)
    return kNameAllowed;
  if (unit < 0x20)
    return kNameControlCharacter;
  if (unit == ':')
    return kNameDriveOrStream;
  if (unit == '*' || unit == '?' || unit == '"' || unit == '<' || unit == '>' ||
      unit == '|')
    return kNameReservedCharacter;
  return kNameAllowed;
}

NameVerdict Verdict(NameProblem problem, Utf16Unit unit, size_t length) {
  NameVerdict verdict = {problem, unit, length};
  return verdict;
}

} // namespace

NameVerdict CheckArchiveName(const Utf16Unit *name, size_t length,
                             NameStyle style) {
  if (length == 0)
    return Verdict(kNameEmpty, 0, length);
  if (length > kMaxNameUnits)
    return Verdict(kNameTooLong, 0, length);
  if (name[0] == kNameSeparator)
    return Verdict(kNameLeadingSeparator, 0, length);
  for (size_t start = 0; start <= length;) {
    size_t end = start;
    while (end < length && name[end] != kNameSeparator)
      ++end;
    const Utf16Unit *level = name + start;
    size_t levelLength = end - start;
    if (levelLength == 0)
      return Verdict(kNameEmptyLevel, 0, length);
    bool onlyDotsAndSpaces = true;
    for (size_t i = 0; i < levelLength; ++i) {
      NameProblem problem = UnitProblem(level[i], style);
      if (problem != kNameAllowed)
        return Verdict(problem, level[i], length);
      if (level[i] != '.' && level[i] != ' ')
        onlyDotsAndSpaces = false;
    }
    if (onlyDotsAndSpaces)
      return Verdict(kNameDotLevel, 0, length);
    if (style != kPosixNames && IsDeviceName(level, levelLength))
      return Verdict(kNameDevice, 0, length);
    Utf16Unit last = level[levelLength - 1];
    if (style == kWindowsExactNames && (last == '.' || last == ' '))
      return Verdict(kNameTrailingDotOrSpace, last, length);
    start = end + 1;
  }
  return Verdict(kNameAllowed, 0, length);
}

NameVerdict CheckCacheArchiveName(const Utf16Unit *name, size_t length,
                                  NameStyle style) {
  NameVerdict verdict = CheckArchiveName(name, length, style);
  if (verdict.problem != kNameAllowed)
    return verdict;
  const char *prefix = VESKAR_CACHE_RESERVED_PREFIX;
  size_t i = 0;
  while (prefix[i] != 0 && i < length &&
         AsciiUpper(name[i]) == AsciiUpper((Utf16Unit)prefix[i]))
    ++i;
  return prefix[i] == 0 ? Verdict(kNameReservedForCache, 0, length) : verdict;
}

namespace {

// Where the level starting at `at` ends (its separator or the terminator),
// in `*end`, and how much of it the system keeps, in `*kept`: a last level
// loses its trailing dots and spaces, any other level one trailing dot.
void ReadLevel(const Utf16Unit *path, size_t at, size_t *end, size_t *kept) {
  size_t stop = at;
  while (path[stop] != 0 && path[stop] != kNameSeparator)
    ++stop;
  size_t keep = stop;
  if (path[stop] == 0) {
    while (keep > at && (path[keep - 1] == '.' || path[keep - 1] == ' '))
      --keep;
  } else if (keep > at && path[keep - 1] == '.') {
    --keep;
  }
  *end = stop;
  *kept = keep - at;
}

// Compares the kept units of two levels, each unit as `fold` gives it; a
// level that ends first comes first.
int CompareKeptUnits(const Utf16Unit *a, size_t keptA, const Utf16Unit *b,
                     size_t keptB, Utf16Unit (*fold)(Utf16Unit)) {
  for (size_t i = 0; i < keptA && i < keptB; ++i) {
    Utf16Unit foldedA = fold(a[i]), foldedB = fold(b[i]);
    if (foldedA != foldedB)
      return foldedA < foldedB ? -1 : 1;
  }
  return keptA == keptB ? 0 : keptA < keptB ? -1 : 1;
}

} // namespace

int CompareFilePaths(const Utf16Unit *a, const Utf16Unit *b,
                     NameStyle style) {
  if (style == kPosixNames) {
    size_t i = 0;
    while (a[i] != 0 && a[i] == b[i])
      ++i;
    return a[i] < b[i] ? -1 : a[i] > b[i] ? 1 : 0;
  }
  size_t atA = 0, atB = 0;
  for (;;) {
    size_t endA, keptA, endB, keptB;
    ReadLevel(a, atA, &endA, &keptA);
    ReadLevel(b, atB, &endB, &keptB);
    int order =
        CompareKeptUnits(a + atA, keptA, b + atB, keptB, WindowsUpperCase);
    if (order != 0)
      return order;
    bool lastA = a[endA] == 0, lastB = b[endB] == 0;
    if (lastA || lastB)
      return lastA == lastB ? 0 : lastA ? -1 : 1;
    atA = endA + 1;
    atB = endB + 1;
  }
}

bool SameFilePath(const Utf16Unit *a, const Utf16Unit *b, NameStyle style) {
  return CompareFilePaths(a, b, style) == 0;
}

Utf16Unit FoldUnitForAliasing(Utf16Unit unit) {
  switch (unit) {
  case 0x212A: // KELVIN SIGN
    return 'K';
  case 0x212B: // ANGSTROM SIGN
    return 0x00C5;
  case 0x2126: // OHM SIGN
    return 0x03A9;
  case 0x0130: // LATIN CAPITAL LETTER I WITH DOT ABOVE
    return 'I';
  case 0x1E9E: // LATIN CAPITAL LETTER SHARP S
    return 0x00DF;
  default:
    return WindowsUpperCase(unit);
  }
}

namespace {

// Where the level at `at` ends (its separator or `length`), and how many of
// its units the wider rule keeps: all but its trailing dots and spaces.
size_t WideLevel(const Utf16Unit *name, size_t length, size_t at,
                 size_t *kept) {
  size_t end = at;
  while (end < length && name[end] != kNameSeparator)
    ++end;
  size_t keep = end;
  while (keep > at && (name[keep - 1] == '.' || name[keep - 1] == ' '))
    --keep;
  *kept = keep - at;
  return end;
}

} // namespace

int CompareMayBeSameFile(const Utf16Unit *a, size_t aLength,
                         const Utf16Unit *b, size_t bLength) {
  size_t atA = 0, atB = 0;
  for (;;) {
    size_t keptA, keptB;
    size_t endA = WideLevel(a, aLength, atA, &keptA);
    size_t endB = WideLevel(b, bLength, atB, &keptB);
    int order =
        CompareKeptUnits(a + atA, keptA, b + atB, keptB, FoldUnitForAliasing);
    if (order != 0)
      return order;
    bool lastA = endA == aLength, lastB = endB == bLength;
    if (lastA || lastB)
      return lastA == lastB ? 0 : lastA ? -1 : 1;
    atA = endA + 1;
    atB = endB + 1;
  }
}

bool MayBeSameFilePath(const Utf16Unit *a, const Utf16Unit *b) {
  return CompareMayBeSameFile(a, Utf16Length(a), b, Utf16Length(b)) == 0;
}

namespace {

struct SortedNames {
  const NameSource &source;
  uint32_t *order;
  Utf16Unit *first;
  Utf16Unit *second;
};

int CompareNumbered(const SortedNames &names, uint32_t x, uint32_t y) {
  size_t lengthX = names.source.copy(names.source.context, x, names.first);
  size_t lengthY = names.source.copy(names.source.context, y, names.second);
  return CompareMayBeSameFile(names.first, lengthX, names.second, lengthY);
}

// Moves order[at] down the heap of the first `count` entries.
void SiftDown(const SortedNames &names, uint32_t at, uint32_t count) {
  uint32_t *order = names.order;
  for (;;) {
    uint32_t child = 2 * at + 1;
    if (child >= count)
      return;
    if (child + 1 < count &&
        CompareNumbered(names, order[child], order[child + 1]) < 0)
      ++child;
    if (CompareNumbered(names, order[at], order[child]) >= 0)
      return;
    uint32_t swap = order[at];
    order[at] = order[child];
    order[child] = swap;
    at = child;
  }
}

} // namespace

bool AnyMayBeSameFile(const NameSource &source, uint32_t count,
                      uint32_t *order) {
  Utf16Unit first[kMaxNameUnits + 1], second[kMaxNameUnits + 1];
  SortedNames names = {source, order, first, second};
  for (uint32_t i = 0; i < count; ++i)
    order[i] = i;
  for (uint32_t i = count / 2; i > 0; --i)
    SiftDown(names, i - 1, count);
  for (uint32_t end = count; end > 1; --end) {
    uint32_t top = order[0];
    order[0] = order[end - 1];
    order[end - 1] = top;
    SiftDown(names, 0, end - 1);
  }
  for (uint32_t i = 1; i < count; ++i)
    if (CompareNumbered(names, order[i - 1], order[i]) == 0)
      return true;
  return false;
}

namespace {

// The stem's and the extension's lengths of a level with at most one dot,
// which is not its first unit; false for any other level.
bool SplitShortName(const Utf16Unit *level, size_t length, size_t *stem,
                    size_t *extension) {
  size_t dot = length;
  for (size_t i = 0; i < length; ++i)
    if (level[i] == '.') {
      if (dot != length)
        return false;
      dot = i;
    }
  *stem = dot;
  *extension = dot == length ? 0 : length - dot - 1;
  return *stem >= 1 && *stem <= 8 && *extension <= 3 &&
         (dot == length || *extension >= 1);
}

} // namespace

bool IsShortNameShaped(const Utf16Unit *level, size_t length) {
  size_t stem, extension;
  if (!SplitShortName(level, length, &stem, &extension))
    return false;
  for (size_t i = 0; i < stem; ++i)
    if (level[i] == '~')
      return true;
  return false;
}

bool FitsShortName(const Utf16Unit *level, size_t length) {
  size_t stem, extension;
  if (!SplitShortName(level, length, &stem, &extension))
    return false;
  for (size_t i = 0; i < length; ++i) {
    Utf16Unit unit = level[i];
    if (unit <= ' ' || unit > '~' || unit == '+' || unit == ',' ||
        unit == ';' || unit == '=' || unit == '[' || unit == ']')
      return false;
  }
  return true;
}

namespace {

// Appends to a terminated text in `out`, cutting it short at `capacity`.
void Put(char *out, size_t capacity, const char *text) {
  size_t at = 0;
  while (out[at] != 0)
    ++at;
  while (*text != 0 && at + 1 < capacity)
    out[at++] = *text++;
  out[at] = 0;
}

void PutNumber(char *out, size_t capacity, size_t value) {
  char digits[24];
  size_t n = sizeof digits - 1;
  digits[n] = 0;
  do {
    digits[--n] = (char)('0' + value % 10);
    value /= 10;
  } while (value != 0);
  Put(out, capacity, digits + n);
}

} // namespace

void DescribeNameProblem(const NameVerdict &verdict, char *out,
                         size_t capacity) {
  if (capacity == 0)
    return;
  out[0] = 0;
  // The character problems are all ASCII.
  char unit[2] = {(char)verdict.unit, 0};
  switch (verdict.problem) {
  case kNameAllowed:
    Put(out, capacity, "is allowed");
    break;
  case kNameEmpty:
    Put(out, capacity, "is empty");
    break;
  case kNameTooLong:
    Put(out, capacity, "is ");
    PutNumber(out, capacity, verdict.length);
    Put(out, capacity, " UTF-16 units long; at most ");
    PutNumber(out, capacity, kMaxNameUnits);
    Put(out, capacity, " fit");
    break;
  case kNameLeadingSeparator:
    Put(out, capacity,
        "starts with a separator, so it would lead outside "
        "the directory it is unpacked into");
    break;
  case kNameEmptyLevel:
    Put(out, capacity, "has an empty level (a doubled or trailing separator)");
    break;
  case kNameDotLevel:
    Put(out, capacity,
        "has a level made only of dots and spaces, such as "
        "'..', which would lead outside the directory it is "
        "unpacked into");
    break;
  case kNameSlash:
    Put(out, capacity, "holds '/', a separator the archive does not use");
    break;
  case kNameControlCharacter:
    Put(out, capacity, "holds a control character");
    break;
  case kNameDriveOrStream:
    Put(out, capacity, "holds ':', which names a drive or a stream");
    break;
  case kNameReservedCharacter:
    Put(out, capacity, "holds '");
    Put(out, capacity, unit);
    Put(out, capacity, "', which Windows does not allow in names");
    break;
  case kNameDevice:
    Put(out, capacity, "names a Windows device");
    break;
  case kNameTrailingDotOrSpace:
    Put(out, capacity,
        "has a level ending in a dot or space, which Windows drops");
    break;
  case kNameReservedForCache:
    Put(out, capacity,
        "starts with '" VESKAR_CACHE_RESERVED_PREFIX
        "', which a cache directory keeps for its own files");
    break;
  }
}
