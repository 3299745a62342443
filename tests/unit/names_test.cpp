//===- tests/unit/names_test.cpp - The archive-name rules, every style ---===//
//
// One table runs every style over the same names: what the Linux launcher
// refuses (POSIX), what the Windows launcher refuses (Windows), and what the
// packer refuses for a Windows package so that files also keep their names
// (Windows, exact). Each refusal has its own reason, and its own message.
//
//===----------------------------------------------------------------------===//
#include <string>

#include <gtest/gtest.h>

#include "common/container.h"
#include "common/names.h"

namespace {

const NameProblem kOk = kNameAllowed;

struct NameCase {
  std::u16string name;
  NameProblem posix, windows, exact;
};

std::u16string Units(size_t count) { return std::u16string(count, u'x'); }

TEST(NameRulesTest, EveryStyleOverOneTable) {
  const NameCase kCases[] = {
      // Plain names, in levels, with any Unicode.
      {u"app.exe", kOk, kOk, kOk},
      {u"a\\b\\c.txt", kOk, kOk, kOk},
      {u"gr\u00fc\u00dfe\\\U0001F600.txt", kOk, kOk, kOk},
      {u".hidden\\..x", kOk, kOk, kOk},
      // Length: 1023 units fit, 1024 do not.
      {Units(kMaxNameUnits), kOk, kOk, kOk},
      {Units(kMaxNameUnits + 1), kNameTooLong, kNameTooLong, kNameTooLong},
      {u"", kNameEmpty, kNameEmpty, kNameEmpty},
      // Separators: a rooted name, empty levels, the other separator.
      {u"\\abs", kNameLeadingSeparator, kNameLeadingSeparator,
       kNameLeadingSeparator},
      {u"a\\\\b", kNameEmptyLevel, kNameEmptyLevel, kNameEmptyLevel},
      {u"a\\", kNameEmptyLevel, kNameEmptyLevel, kNameEmptyLevel},
      {u"a/b", kNameSlash, kNameSlash, kNameSlash},
      {u"a/../../x", kNameSlash, kNameSlash, kNameSlash},
      // Levels of dots and spaces: what Windows trims to "." or "..".
      {u".", kNameDotLevel, kNameDotLevel, kNameDotLevel},
      {u"..\\x", kNameDotLevel, kNameDotLevel, kNameDotLevel},
      {u"a\\..\\..\\x", kNameDotLevel, kNameDotLevel, kNameDotLevel},
      {u". .\\x", kNameDotLevel, kNameDotLevel, kNameDotLevel},
      {u"a\\ ", kNameDotLevel, kNameDotLevel, kNameDotLevel},
      // Trailing dots and spaces: Windows drops them; only the exact style
      // refuses them.
      {u"end.", kOk, kOk, kNameTrailingDotOrSpace},
      {u"dir \\x", kOk, kOk, kNameTrailingDotOrSpace},
      // Drives, streams, wildcards, the other reserved characters.
      {u"C:x", kOk, kNameDriveOrStream, kNameDriveOrStream},
      {u"file.txt:stream", kOk, kNameDriveOrStream, kNameDriveOrStream},
      {u"a*b", kOk, kNameReservedCharacter, kNameReservedCharacter},
      {u"x\\a?b", kOk, kNameReservedCharacter, kNameReservedCharacter},
      {u"a\"b", kOk, kNameReservedCharacter, kNameReservedCharacter},
      {u"a<b", kOk, kNameReservedCharacter, kNameReservedCharacter},
      {u"a>b", kOk, kNameReservedCharacter, kNameReservedCharacter},
      {u"a|b", kOk, kNameReservedCharacter, kNameReservedCharacter},
      // Control characters.
      {u"tab\there", kOk, kNameControlCharacter, kNameControlCharacter},
      {u"x\\\x01", kOk, kNameControlCharacter, kNameControlCharacter},
      {u"\x1f", kOk, kNameControlCharacter, kNameControlCharacter},
      // Devices: any case, with an extension or trailing spaces, in any
      // level; the superscript digits count; longer stems do not.
      {u"CON", kOk, kNameDevice, kNameDevice},
      {u"dir\\nul", kOk, kNameDevice, kNameDevice},
      {u"con.txt", kOk, kNameDevice, kNameDevice},
      {u"Aux .log", kOk, kNameDevice, kNameDevice},
      {u"prn.a.b", kOk, kNameDevice, kNameDevice},
      {u"CONIN$", kOk, kNameDevice, kNameDevice},
      {u"conout$.x", kOk, kNameDevice, kNameDevice},
      {u"COM1", kOk, kNameDevice, kNameDevice},
      {u"lpt9.x", kOk, kNameDevice, kNameDevice},
      {u"COM\u00b9", kOk, kNameDevice, kNameDevice},
      {u"lpt\u00b2.txt", kOk, kNameDevice, kNameDevice},
      {u"COM\u00b3", kOk, kNameDevice, kNameDevice},
      {u"COM0", kOk, kOk, kOk},
      {u"COM10", kOk, kOk, kOk},
      {u"COM\u2074", kOk, kOk, kOk},
      {u"CONSOLE", kOk, kOk, kOk},
      {u"NULL.txt", kOk, kOk, kOk},
      {u"xnul", kOk, kOk, kOk},
      {u"CO", kOk, kOk, kOk},
  };
  for (const NameCase &c : kCases) {
    SCOPED_TRACE(testing::Message()
                 << "name of " << c.name.size() << " units starting '"
                 << std::string(c.name.begin(),
                                c.name.begin() +
                                    std::min<size_t>(c.name.size(), 20))
                 << "'");
    EXPECT_EQ(CheckArchiveName(c.name.data(), c.name.size(), kPosixNames)
                  .problem,
              c.posix);
    EXPECT_EQ(CheckArchiveName(c.name.data(), c.name.size(), kWindowsNames)
                  .problem,
              c.windows);
    EXPECT_EQ(
        CheckArchiveName(c.name.data(), c.name.size(), kWindowsExactNames)
            .problem,
        c.exact);
  }
}

// The message names what is wrong, and only a name that can leave the
// directory is said to lead outside it.
TEST(NameRulesTest, EachReasonHasItsOwnMessage) {
  const struct {
    std::u16string name;
    NameStyle style;
    const char *message;
  } kCases[] = {
      {u"", kPosixNames, "is empty"},
      {Units(1100), kPosixNames, "is 1100 UTF-16 units long; at most 1023 fit"},
      {u"\\x", kPosixNames,
       "starts with a separator, so it would lead outside the directory it "
       "is unpacked into"},
      {u"a\\\\b", kPosixNames,
       "has an empty level (a doubled or trailing separator)"},
      {u"..", kPosixNames,
       "has a level made only of dots and spaces, such as '..', which would "
       "lead outside the directory it is unpacked into"},
      {u"a/b", kPosixNames, "holds '/', a separator the archive does not use"},
      {u"a\x02", kWindowsNames, "holds a control character"},
      {u"c:x", kWindowsNames, "holds ':', which names a drive or a stream"},
      {u"a*", kWindowsNames, "holds '*', which Windows does not allow in names"},
      {u"a|", kWindowsNames, "holds '|', which Windows does not allow in names"},
      {u"aux", kWindowsNames, "names a Windows device"},
      {u"x.", kWindowsExactNames,
       "has a level ending in a dot or space, which Windows drops"},
      {u"ok", kWindowsExactNames, "is allowed"},
  };
  for (const auto &c : kCases) {
    char text[200];
    DescribeNameProblem(CheckArchiveName(c.name.data(), c.name.size(), c.style),
                        text, sizeof text);
    EXPECT_STREQ(text, c.message);
  }
  // A small buffer gets what fits, terminated.
  char small[8];
  DescribeNameProblem(CheckArchiveName(u"aux", 3, kWindowsNames), small,
                      sizeof small);
  EXPECT_STREQ(small, "names a");
}

// The cache modes keep first levels that start with ".onefile-", in any
// case, for the cache directory's own files; below the first level, and
// for names the general rules refuse already, nothing changes.
TEST(NameRulesTest, CacheModesKeepTheirOwnFirstLevels) {
  const struct {
    std::u16string name;
    NameProblem problem;
  } kCases[] = {
      {u".onefile-marker", kNameReservedForCache},
      {u".OneFile-repair\\x.txt", kNameReservedForCache},
      {u".onefile-", kNameReservedForCache},
      {u"sub\\.onefile-marker", kNameAllowed},
      {u".onefile", kNameAllowed},
      {u".onefilemarker", kNameAllowed},
      {u"x.onefile-marker", kNameAllowed},
      {u"..\\.onefile-marker", kNameDotLevel},
      {u"", kNameEmpty},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(std::string(c.name.begin(), c.name.end()));
    for (NameStyle style : {kPosixNames, kWindowsNames}) {
      EXPECT_EQ(CheckCacheArchiveName(c.name.data(), c.name.size(), style)
                    .problem,
                c.problem);
      // The general rules alone allow the reserved names.
      if (c.problem == kNameReservedForCache) {
        EXPECT_EQ(CheckArchiveName(c.name.data(), c.name.size(), style)
                      .problem,
                  kNameAllowed);
      }
    }
  }
  char text[200];
  DescribeNameProblem(CheckCacheArchiveName(u".onefile-x", 10, kPosixNames),
                      text, sizeof text);
  EXPECT_STREQ(text, "starts with '.onefile-', which a cache directory keeps "
                     "for its own files");
}

} // namespace
