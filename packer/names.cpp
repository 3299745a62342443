//===- packer/names.cpp - Archive names for files on disk and back ------===//
#include "packer/names.h"

#include <wctype.h>

#include <vector>

#include "common/container.h"
#include "packer/failure.h"

namespace veskar {

namespace {

std::string Describe(const NameVerdict &verdict) {
  char text[160];
  DescribeNameProblem(verdict, text, sizeof text);
  return text;
}

} // namespace

NameStyle StyleOf(Target target) {
  return target == Target::kWindows ? kWindowsExactNames : kPosixNames;
}

bool CheckName(const std::u16string &name, NameStyle style, std::string *why) {
  NameVerdict verdict = CheckArchiveName(name.data(), name.size(), style);
  if (verdict.problem == kNameAllowed)
    return true;
  *why = Describe(verdict);
  return false;
}

bool MakeArchiveName(const std::string &relative, Target target,
                     std::u16string *name, std::string *error) {
  std::u16string units;
  if (!Utf8ToUtf16(relative, &units))
    return Fail(error, "the name '" + relative +
                           "' is not valid UTF-8 and cannot be stored");
  // A backslash inside a level would become a separator in the archive.
  for (char16_t &unit : units) {
    if (unit == u'\\')
      return Fail(error, "the name '" + relative +
                             "' holds '\\', which the archive uses between "
                             "levels");
    if (unit == u'/')
      unit = kNameSeparator;
  }
  std::string why;
  if (!CheckName(units, StyleOf(target), &why))
    return Fail(error, "the name '" + relative + "' " + why);
  *name = std::move(units);
  return true;
}

bool ArchiveNameToPath(const std::u16string &name, std::string *relative,
                       std::string *error) {
  std::string shown = "the archive name '" + NameToUtf8(name) + "' ";
  std::string why;
  if (!CheckName(name, kPosixNames, &why))
    return Fail(error, shown + why);
  // Nothing is written to disk here under a name that could play tricks on
  // a terminal or a script.
  for (char16_t unit : name)
    if (unit < 0x20)
      return Fail(error, shown + Describe({kNameControlCharacter, unit,
                                           name.size()}));
  std::string path;
  if (!Utf16ToUtf8(name, &path))
    return Fail(error, shown + "is not valid UTF-16");
  for (char &c : path)
    if (c == kNameSeparator)
      c = '/';
  *relative = std::move(path);
  return true;
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

bool NameClashFinder::Add(const std::u16string &name, size_t index,
                          Clash *clash) {
  std::u16string key = foldCase_ ? FoldForWindows(name) : name;
  auto file = files_.find(key);
  if (file != files_.end()) {
    *clash = {file->second.name == name ? kSameName : kCaseOnly,
              file->second.index, file->second.whole, false, true};
    return false;
  }
  auto directory = directories_.find(key);
  if (directory != directories_.end()) {
    *clash = {kFileAndDirectory, directory->second.index,
              directory->second.whole, directory->second.name != name, false};
    return false;
  }
  std::vector<size_t> levels; // where each directory level of the name ends
  for (size_t at = key.find(kNameSeparator); at != std::u16string::npos;
       at = key.find(kNameSeparator, at + 1)) {
    auto other = files_.find(key.substr(0, at));
    if (other != files_.end()) {
      *clash = {kFileAndDirectory, other->second.index, other->second.whole,
                other->second.name != name.substr(0, at), true};
      return false;
    }
    levels.push_back(at);
  }
  for (size_t at : levels)
    directories_.emplace(key.substr(0, at),
                         Seen{index, name.substr(0, at), name});
  files_.emplace(key, Seen{index, name, name});
  return true;
}

} // namespace veskar
