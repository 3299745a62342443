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
    for (size_t i = 0; i < keptA && i < keptB; ++i) {
      Utf16Unit upperA = WindowsUpperCase(a[atA + i]);
      Utf16Unit upperB = WindowsUpperCase(b[atB + i]);
      if (upperA != upperB)
        return upperA < upperB ? -1 : 1;
    }
    if (keptA != keptB)
      return keptA < keptB ? -1 : 1;
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
