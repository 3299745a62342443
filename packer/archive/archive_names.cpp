//===- packer/archive/archive_names.cpp - Archive names and disk paths ----===//
#include "packer/archive/archive_names.h"

#include "common/container.h"
#include "packer/failure.h"
#include "packer/os/fs.h"

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
  NameVerdict verdict = CheckArchiveName(Units(name), name.size(), style);
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
  std::string shown = "the archive name '" + Shown(name) + "' ";
  std::string why;
  if (!CheckName(name, kPosixNames, &why))
    return Fail(error, shown + why);
  // Nothing is written to disk here under a name that could play tricks on
  // a terminal or a script.
  for (char16_t unit : name)
    if (unit < 0x20)
      return Fail(error,
                  shown + Describe({kNameControlCharacter, unit, name.size()}));
  std::string path;
  if (!Utf16ToUtf8(name, &path))
    return Fail(error, shown + "is not valid UTF-16");
  for (char &c : path)
    if (c == kNameSeparator)
      c = '/';
  *relative = std::move(path);
  return true;
}

bool NameClashFinder::Add(const std::u16string &name, size_t index,
                          Clash *clash) {
  // Folding keeps every unit in its place (a Windows name has no trailing
  // dots or spaces for the wider rule to drop).
  std::u16string key = name;
  if (foldCase_)
    for (char16_t &unit : key)
      unit = (char16_t)FoldUnitForAliasing((Utf16Unit)unit);
  Level *level = &root_;
  size_t start = 0;
  bool created = false; // every level from here down is new
  while (start <= key.size()) {
    size_t end = key.find(kNameSeparator, start);
    bool last = end == std::u16string::npos;
    if (last)
      end = key.size();
    std::u16string part = key.substr(start, end - start);
    start = end + 1;
    auto found = created ? level->below.end() : level->below.find(part);
    if (found == level->below.end() && foldCase_) {
      const Utf16Unit *units = Units(name) + (start - part.size() - 1);
      bool shaped = IsShortNameShaped(units, part.size());
      bool isLong = !FitsShortName(units, part.size());
      size_t other = shaped ? level->longName : isLong ? level->shortShaped
                                                       : kNone;
      if (other != kNone) {
        const Added &earlier = names_[other];
        *clash = {kShortName, earlier.index, earlier.name, false, !shaped};
        return false;
      }
      if (shaped && level->shortShaped == kNone)
        level->shortShaped = names_.size();
      if (isLong && level->longName == kNone)
        level->longName = names_.size();
    }
    if (found == level->below.end()) {
      std::unique_ptr<Level> &made = level->below[part];
      made.reset(new Level);
      made->file = last;
      made->first = names_.size();
      level = made.get();
      created = true;
      continue;
    }
    Level *next = found->second.get();
    if (!next->file && !last) {
      level = next;
      continue;
    }
    const Added &earlier = names_[next->first];
    // Folding keeps every unit in its place, so the first `end` units of
    // both names are the same level.
    bool sameSpelling = earlier.name.compare(0, end, name, 0, end) == 0;
    if (next->file && last)
      *clash = {sameSpelling ? kSameName : kCaseOnly, earlier.index,
                earlier.name, false, true};
    else
      *clash = {kFileAndDirectory, earlier.index, earlier.name, !sameSpelling,
                next->file};
    return false;
  }
  names_.push_back({index, name});
  return true;
}

} // namespace veskar
