//===- tests/unit/names_test.cpp - The archive-name rules, every style ---===//
//
// One table runs every style over the same names: what the Linux launcher
// refuses (POSIX), what the Windows launcher refuses (Windows), and what the
// packer refuses for a Windows package so that files also keep their names
// (Windows, exact). Each refusal has its own reason, and its own message.
//
//===----------------------------------------------------------------------===//
#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/container.h"
#include "common/names.h"
#include "tests/unit/support.h"

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
    EXPECT_EQ(
        CheckArchiveName(c.name.data(), c.name.size(), kPosixNames).problem,
        c.posix);
    EXPECT_EQ(
        CheckArchiveName(c.name.data(), c.name.size(), kWindowsNames).problem,
        c.windows);
    EXPECT_EQ(CheckArchiveName(c.name.data(), c.name.size(), kWindowsExactNames)
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
      {u"a*", kWindowsNames,
       "holds '*', which Windows does not allow in names"},
      {u"a|", kWindowsNames,
       "holds '|', which Windows does not allow in names"},
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
      EXPECT_EQ(
          CheckCacheArchiveName(c.name.data(), c.name.size(), style).problem,
          c.problem);
      // The general rules alone allow the reserved names.
      if (c.problem == kNameReservedForCache) {
        EXPECT_EQ(CheckArchiveName(c.name.data(), c.name.size(), style).problem,
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

// Windows compares file names with the simple upper-case mapping of each
// unit, which the C library's towupper gives in a UTF-8 locale: the table
// the launchers and the packer share agrees with it on every unit.
TEST(SameFileTest, UpperCaseAsTheSystemMapsEachUnit) {
  ASSERT_NE(setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
  size_t differing = 0;
  for (uint32_t unit = 0; unit <= 0xFFFF; ++unit) {
    if (unit >= 0xD800 && unit <= 0xDFFF)
      continue;
    wint_t upper = towupper((wint_t)unit);
    uint32_t expected = upper <= 0xFFFF ? (uint32_t)upper : unit;
    uint32_t got = WindowsUpperCase((Utf16Unit)unit);
    if (got != expected && ++differing <= 10)
      ADD_FAILURE() << std::hex << "U+" << unit << ": " << got << ", not "
                    << expected;
  }
  EXPECT_EQ(differing, 0u);
  setlocale(LC_CTYPE, "C");
  // One to one, never a longer form; surrogates stay (letters beyond the
  // first plane do not fold).
  EXPECT_EQ(WindowsUpperCase(u'\u00e4'), u'\u00c4');
  EXPECT_EQ(WindowsUpperCase(u'\u00df'), u'\u00df');
  EXPECT_EQ(WindowsUpperCase(u'\u00ff'), u'\u0178');
  EXPECT_EQ(WindowsUpperCase(u'\u0430'), u'\u0410');
  EXPECT_EQ(WindowsUpperCase(u'\uff41'), u'\uff21');
  EXPECT_EQ(WindowsUpperCase((Utf16Unit)0xD801), (Utf16Unit)0xD801);
  EXPECT_EQ(WindowsUpperCase((Utf16Unit)0xDC28), (Utf16Unit)0xDC28);
}

// Two paths name one file on Windows when they differ only in letter case,
// or in what the system drops before it opens anything: a last level's
// trailing dots and spaces, one trailing dot of any other level. On POSIX
// only the same units are the same file.
TEST(SameFileTest, OneFileAsEachFileSystemSeesIt) {
  const struct {
    std::u16string a, b;
    bool windows, posix;
  } kCases[] = {
      {u"D\\a.txt", u"D\\a.txt", true, true},
      {u"D\\a.txt", u"D\\A.TXT", true, false},
      {u"D\\\u00c4.bin", u"D\\\u00e4.bin", true, false},
      {u"D\\\u0393\\\u0436.txt", u"D\\\u03b3\\\u0416.TXT", true, false},
      {u"D\\t.bin", u"D\\t.bin.", true, false},
      {u"D\\t.bin", u"D\\t.bin . .", true, false},
      {u"D\\t.bin ", u"D\\T.BIN..", true, false},
      {u"D\\dir\\x", u"D\\dir.\\x", true, false},
      {u"D\\DIR.\\x", u"D\\dir\\x.", true, false},
      // Not the same: a full folding, a second dot or a space inside the
      // path, other letters, other levels.
      {u"D\\stra\u00dfe", u"D\\STRASSE", false, false},
      {u"D\\dir..\\x", u"D\\dir\\x", false, false},
      {u"D\\dir \\x", u"D\\dir\\x", false, false},
      {u"D\\t.bin", u"D\\t.bin.x", false, false},
      {u"D\\t.bin", u"D\\t.bi", false, false},
      {u"D\\t.bin", u"D\\t", false, false},
      {u"D\\a\\b", u"D\\a", false, false},
      {u"D\\a\\b", u"D\\ab", false, false},
      {u"D\\a", u"D\\b", false, false},
      {u"D\\\U00010428", u"D\\\U00010400", false, false},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(::testing::Message() << c.a.size() << "/" << c.b.size());
    for (bool swapped : {false, true}) {
      const std::u16string &a = swapped ? c.b : c.a;
      const std::u16string &b = swapped ? c.a : c.b;
      EXPECT_EQ(SameFilePath(a.c_str(), b.c_str(), kWindowsNames), c.windows)
          << swapped;
      EXPECT_EQ(SameFilePath(a.c_str(), b.c_str(), kWindowsExactNames),
                c.windows)
          << swapped;
      EXPECT_EQ(SameFilePath(a.c_str(), b.c_str(), kPosixNames), c.posix)
          << swapped;
    }
  }
}

// The order a directory's listing is searched in: two names are equal in it
// exactly when SameFilePath takes them for one file, and it is an order
// (antisymmetric, transitive), so that a sorted table of the listed names
// finds each entry however the system spells it: on Windows in another
// case, or with the trailing dots and spaces it drops.
TEST(SameFileTest, TheOrderOfNamesAgreesWithOneFile) {
  const std::vector<std::u16string> kNames = {
      u"a.txt",   u"A.TXT",     u"a.txt.",   u"a.txt . ",  u"a.tx",
      u"a.txt0",  u"b",         u"B",        u"\u00e4",    u"\u00c4",
      u"stra\u00dfe", u"STRASSE", u"dir\\x",   u"DIR.\\X",   u"dir\\x\\y",
      u"dir",     u"dir.",      u"dir..\\x", u"\U00010428", u"\U00010400",
      u"a b",     u"a\\b",      u"Z",        u"_",         u"["};
  for (NameStyle style : {kWindowsNames, kPosixNames}) {
    SCOPED_TRACE(style);
    auto sign = [&](const std::u16string &a, const std::u16string &b) {
      int order = CompareFilePaths(a.c_str(), b.c_str(), style);
      return order < 0 ? -1 : order > 0 ? 1 : 0;
    };
    for (const auto &a : kNames) {
      for (const auto &b : kNames) {
        SCOPED_TRACE(test::Utf8(a) + " / " + test::Utf8(b));
        EXPECT_EQ(sign(a, b) == 0, SameFilePath(a.c_str(), b.c_str(), style));
        EXPECT_EQ(sign(a, b), -sign(b, a));
        for (const auto &c : kNames) {
          if (sign(a, b) <= 0 && sign(b, c) <= 0) {
            EXPECT_LE(sign(a, c), 0) << test::Utf8(c);
          }
        }
      }
    }
  }
  // Sorted Windows names, then each found by a binary search as another
  // spelling of it.
  std::vector<std::u16string> sorted = {u"readme", u"Main.exe", u"lib.dll",
                                        u"\u00c4rger.txt", u"zz"};
  auto less = [](const std::u16string &a, const std::u16string &b) {
    return CompareFilePaths(a.c_str(), b.c_str(), kWindowsNames) < 0;
  };
  std::sort(sorted.begin(), sorted.end(), less);
  for (const std::u16string spelling :
       {u"README", u"main.EXE", u"LIB.DLL.", u"\u00e4RGER.TXT", u"ZZ "}) {
    auto found =
        std::lower_bound(sorted.begin(), sorted.end(), spelling, less);
    ASSERT_NE(found, sorted.end()) << test::Utf8(spelling);
    EXPECT_TRUE(SameFilePath(found->c_str(), spelling.c_str(), kWindowsNames))
        << test::Utf8(spelling);
  }
}

} // namespace
