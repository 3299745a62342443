//===- packer/names.cpp - Archive names for files on disk and back ------===//
#include "packer/names.h"

#include <wctype.h>

#include "packer/archive.h"
#include "packer/failure.h"

namespace veskar {

namespace {

char16_t Upper(char16_t unit) {
  return (unit >= 'a' && unit <= 'z') ? (char16_t)(unit - 32) : unit;
}

bool OnlyDotsAndSpaces(const std::u16string &level) {
  for (char16_t unit : level)
    if (unit != '.' && unit != ' ')
      return false;
  return true;
}

// Whether the Windows launcher accepts `level` and creates it under the same
// name.
bool WindowsLevelProblem(const std::u16string &level, std::string *why) {
  for (char16_t unit : level) {
    if (unit < 0x20 || unit == ':' || unit == '*' || unit == '?' ||
        unit == '"' || unit == '<' || unit == '>' || unit == '|' ||
        unit == '\\') {
      *why = unit < 0x20 ? "holds a control character"
                         : std::string("holds '") + (char)unit +
                               "', which Windows does not allow in names";
      return true;
    }
  }
  if (OnlyDotsAndSpaces(level)) {
    *why = "has a level made only of dots and spaces";
    return true;
  }
  char16_t last = level.back();
  if (last == '.' || last == ' ') {
    *why = "has a level ending in a dot or space, which Windows drops";
    return true;
  }
  // Device names, also with an extension or trailing spaces: Windows opens
  // the device instead of a file.
  size_t stem = 0;
  while (stem < level.size() && level[stem] != '.' && level[stem] != ' ')
    ++stem;
  std::u16string upper;
  for (size_t i = 0; i < stem; ++i)
    upper.push_back(Upper(level[i]));
  static const char16_t *const kDevices[] = {u"CON", u"PRN", u"AUX", u"NUL",
                                             u"CONIN$", u"CONOUT$"};
  bool device = false;
  for (const char16_t *name : kDevices)
    device = device || upper == name;
  if (upper.size() == 4 &&
      (upper.compare(0, 3, u"COM") == 0 || upper.compare(0, 3, u"LPT") == 0)) {
    char16_t digit = upper[3];
    device = (digit >= '1' && digit <= '9') || digit == 0xB9 ||
             digit == 0xB2 || digit == 0xB3;
  }
  if (device) {
    *why = "names a Windows device";
    return true;
  }
  return false;
}

} // namespace

bool Utf8ToUtf16(const std::string &text, std::u16string *out) {
  std::u16string result;
  for (size_t i = 0; i < text.size();) {
    unsigned char c = (unsigned char)text[i];
    uint32_t code;
    size_t extra;
    uint32_t smallest;
    if (c < 0x80) {
      code = c, extra = 0, smallest = 0;
    } else if ((c & 0xE0) == 0xC0) {
      code = c & 0x1F, extra = 1, smallest = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      code = c & 0x0F, extra = 2, smallest = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      code = c & 0x07, extra = 3, smallest = 0x10000;
    } else {
      return false;
    }
    if (text.size() - i - 1 < extra)
      return false;
    for (size_t k = 1; k <= extra; ++k) {
      unsigned char next = (unsigned char)text[i + k];
      if ((next & 0xC0) != 0x80)
        return false;
      code = (code << 6) | (next & 0x3F);
    }
    if (code < smallest || code > 0x10FFFF ||
        (code >= 0xD800 && code <= 0xDFFF))
      return false;
    if (code >= 0x10000) {
      result.push_back((char16_t)(0xD800 + ((code - 0x10000) >> 10)));
      result.push_back((char16_t)(0xDC00 + ((code - 0x10000) & 0x3FF)));
    } else {
      result.push_back((char16_t)code);
    }
    i += extra + 1;
  }
  *out = std::move(result);
  return true;
}

bool MakeArchiveName(const std::string &relative, Target target,
                     std::u16string *name, std::string *error) {
  std::u16string units;
  if (!Utf8ToUtf16(relative, &units))
    return Fail(error, "the name '" + relative +
                           "' is not valid UTF-8 and cannot be stored");
  std::u16string result;
  size_t start = 0;
  for (;;) {
    size_t end = units.find(u'/', start);
    std::u16string level = units.substr(
        start, end == std::u16string::npos ? std::u16string::npos : end - start);
    if (level.empty())
      return Fail(error, "the name '" + relative + "' has an empty level");
    std::string why;
    if (target == Target::kWindows && WindowsLevelProblem(level, &why))
      return Fail(error, "the name '" + relative + "' " + why);
    if (target == Target::kLinux && level.find(u'\\') != std::u16string::npos)
      return Fail(error, "the name '" + relative +
                             "' holds '\\', which the archive uses between "
                             "levels");
    if (!result.empty())
      result.push_back(u'\\');
    result += level;
    if (end == std::u16string::npos)
      break;
    start = end + 1;
  }
  if (result.size() > kMaxNameUnits)
    return Fail(error, "the name '" + relative + "' is " +
                           std::to_string(result.size()) +
                           " UTF-16 units long; at most " +
                           std::to_string((size_t)kMaxNameUnits) + " fit");
  *name = std::move(result);
  return true;
}

bool ArchiveNameToPath(const std::u16string &name, std::string *relative,
                       std::string *error) {
  std::string shown = NameToUtf8(name);
  if (name.empty())
    return Fail(error, "the archive holds an empty name");
  for (size_t i = 0; i < name.size(); ++i) {
    char16_t unit = name[i];
    if (unit < 0x20 || unit == '/')
      return Fail(error, "the archive name '" + shown +
                             "' holds a character that is not safe here");
    bool high = unit >= 0xD800 && unit <= 0xDBFF;
    bool low = unit >= 0xDC00 && unit <= 0xDFFF;
    if (low || (high && (i + 1 == name.size() || name[i + 1] < 0xDC00 ||
                         name[i + 1] > 0xDFFF)))
      return Fail(error, "the archive name '" + shown +
                             "' is not valid UTF-16");
    if (high)
      ++i;
  }
  size_t start = 0;
  for (;;) {
    size_t end = name.find(u'\\', start);
    std::u16string level = name.substr(
        start, end == std::u16string::npos ? std::u16string::npos : end - start);
    if (level.empty() || OnlyDotsAndSpaces(level))
      return Fail(error, "the archive name '" + shown +
                             "' would lead outside the target directory");
    if (end == std::u16string::npos)
      break;
    start = end + 1;
  }
  std::string path = shown;
  for (char &c : path)
    if (c == '\\')
      c = '/';
  *relative = std::move(path);
  return true;
}

bool IsWindowsSafeName(const std::u16string &name, std::string *why) {
  size_t start = 0;
  for (;;) {
    size_t end = name.find(u'\\', start);
    std::u16string level = name.substr(
        start, end == std::u16string::npos ? std::u16string::npos : end - start);
    if (level.empty()) {
      *why = "has an empty level";
      return false;
    }
    if (WindowsLevelProblem(level, why))
      return false;
    if (end == std::u16string::npos)
      return true;
    start = end + 1;
  }
}

std::u16string FoldForWindows(const std::u16string &name) {
  // The C library's table, which follows Unicode's simple upper-case
  // mapping in a UTF-8 locale; only letters inside the BMP fold, as on
  // Windows.
  std::u16string folded;
  folded.reserve(name.size());
  for (char16_t unit : name) {
    if (unit >= 0xD800 && unit <= 0xDFFF) {
      folded.push_back(unit);
      continue;
    }
    wint_t upper = towupper((wint_t)unit);
    folded.push_back(upper <= 0xFFFF ? (char16_t)upper : unit);
  }
  return folded;
}

} // namespace veskar
