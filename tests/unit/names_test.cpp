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
#include <functional>
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
// only the same units are the same file. The wider rule, "may be the same
// file", takes every pair Windows takes, and more: the trailing dots and
// spaces of every level, and the letters Unicode folds into another one.
TEST(SameFileTest, OneFileAsEachFileSystemSeesIt) {
  const struct {
    std::u16string a, b;
    bool windows, posix, may;
  } kCases[] = {
      {u"D\\a.txt", u"D\\a.txt", true, true, true},
      {u"D\\a.txt", u"D\\A.TXT", true, false, true},
      {u"D\\\u00c4.bin", u"D\\\u00e4.bin", true, false, true},
      {u"D\\\u0393\\\u0436.txt", u"D\\\u03b3\\\u0416.TXT", true, false,
       true},
      {u"D\\t.bin", u"D\\t.bin.", true, false, true},
      {u"D\\t.bin", u"D\\t.bin . .", true, false, true},
      {u"D\\t.bin ", u"D\\T.BIN..", true, false, true},
      {u"D\\dir\\x", u"D\\dir.\\x", true, false, true},
      {u"D\\DIR.\\x", u"D\\dir\\x.", true, false, true},
      {u"D\\\u017fa", u"D\\SA", true, false, true},
      {u"D\\\u0131", u"D\\I", true, false, true},
      // Not the same on Windows, and maybe on another file system: more
      // dots or spaces after a directory level, a letter that Unicode
      // folds into another (KELVIN SIGN, ANGSTROM SIGN, a dotted I).
      {u"D\\dir..\\x", u"D\\dir\\x", false, false, true},
      {u"D\\dir \\x", u"D\\dir\\x", false, false, true},
      {u"D\\k.bin", u"D\\\u212a.bin", false, false, true},
      {u"D\\\u00e5", u"D\\\u212b", false, false, true},
      {u"D\\\u0130", u"D\\i", false, false, true},
      // Not the same: a full folding (met at the open instead), other
      // letters, other levels.
      {u"D\\stra\u00dfe", u"D\\STRASSE", false, false, false},
      {u"D\\t.bin", u"D\\t.bin.x", false, false, false},
      {u"D\\t.bin", u"D\\t.bi", false, false, false},
      {u"D\\t.bin", u"D\\t", false, false, false},
      {u"D\\a\\b", u"D\\a", false, false, false},
      {u"D\\a\\b", u"D\\ab", false, false, false},
      {u"D\\a", u"D\\b", false, false, false},
      {u"D\\\U00010428", u"D\\\U00010400", false, false, false},
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
      EXPECT_EQ(MayBeSameFilePath(a.c_str(), b.c_str()), c.may) << swapped;
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
  // The styles, and -1 for the wider rule.
  for (int style : {(int)kWindowsNames, (int)kPosixNames, -1}) {
    SCOPED_TRACE(style);
    auto sign = [&](const std::u16string &a, const std::u16string &b) {
      int order =
          style < 0
              ? CompareMayBeSameFile(a.c_str(), a.size(), b.c_str(), b.size())
              : CompareFilePaths(a.c_str(), b.c_str(), (NameStyle)style);
      return order < 0 ? -1 : order > 0 ? 1 : 0;
    };
    for (const auto &a : kNames) {
      for (const auto &b : kNames) {
        SCOPED_TRACE(test::Utf8(a) + " / " + test::Utf8(b));
        EXPECT_EQ(sign(a, b) == 0,
                  style < 0 ? MayBeSameFilePath(a.c_str(), b.c_str())
                            : SameFilePath(a.c_str(), b.c_str(),
                                           (NameStyle)style));
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

// Whether any two of many names may be one file is decided by a sort
// whose count of comparisons no choice of names can raise past about
// 2 n log2 n: names in order, in reverse, behind a long shared prefix (each
// comparison reads far), in an order made against a quicksort, and all
// alike. With a pair anywhere it is found; without one, none is.
TEST(MayBeSameFileTest, ManyNamesDecideWithinNLogNComparisons) {
  const uint32_t n = 3000;
  const std::u16string prefix(900, u'p');
  auto numbered = [](uint32_t i) { return test::Utf16(std::to_string(i)); };
  const struct {
    const char *what;
    std::function<std::u16string(uint32_t)> name;
    bool pair;
  } kCases[] = {
      {"in order", [&](uint32_t i) { return u"f\\" + numbered(100000 + i); },
       false},
      {"in reverse",
       [&](uint32_t i) { return u"f\\" + numbered(999999 - i); }, false},
      {"behind a long prefix",
       [&](uint32_t i) { return prefix + numbered(100000 + i); }, false},
      {"organ pipe",
       [&](uint32_t i) {
         return prefix + numbered(100000 + (i < n / 2 ? i : n - i + n / 2));
       },
       false},
      {"alike but for their ends",
       [&](uint32_t i) {
         return i == n - 1 ? prefix + u"A" : prefix + (char16_t)(u'a' + i % 2) +
                                                 numbered(i);
       },
       false},
      {"a case twin far apart",
       [&](uint32_t i) {
         return i == n - 1 ? u"F\\" + numbered(100007) + u". "
                           : u"f\\" + numbered(100000 + i);
       },
       true},
      {"every name alike", [&](uint32_t) { return prefix; }, true},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.what);
    struct Counted {
      std::vector<std::u16string> names;
      uint64_t copies = 0;
    } counted;
    for (uint32_t i = 0; i < n; ++i)
      counted.names.push_back(c.name(i));
    NameSource source = {
        [](void *context, uint32_t index, Utf16Unit *to) -> size_t {
          Counted &names = *(Counted *)context;
          ++names.copies;
          const std::u16string &name = names.names[index];
          std::copy(name.begin(), name.end(), to);
          return name.size();
        },
        &counted};
    std::vector<uint32_t> order(n);
    EXPECT_EQ(AnyMayBeSameFile(source, n, order.data()), c.pair);
    // Two copies a comparison; log2 3000 < 12.
    EXPECT_LE(counted.copies / 2, 2u * n * 12 + n);
  }
}

// A short name's shape: a stem of up to 8 units with a '~', an extension of
// up to 3. A level that fits a short name gets none made with a '~'.
TEST(MayBeSameFileTest, ShortNameShapes) {
  const struct {
    std::u16string level;
    bool shaped, fits;
  } kCases[] = {
      {u"AVERYL~1.BIN", true, true},  {u"AVER~STY.BIN", true, true},
      {u"averyl~1.bin", true, true},  {u"PROGRA~1", true, true},
      {u"~1", true, true},            {u"x~.y", true, true},
      {u"README.TXT", false, true},   {u"readme.txt", false, true},
      {u"averylongname.bin", false, false},
      {u"a~b.text", false, false},    {u"a~1.b.c", false, false},
      {u"ABCDEFGH~1", false, false},  {u".~1", false, false},
      {u"A~1.", false, false},        {u"a b.txt", false, false},
      {u"a+b.txt", false, false},     {u"\u00e4.txt", false, false},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(test::Utf8(c.level));
    EXPECT_EQ(IsShortNameShaped(c.level.c_str(), c.level.size()), c.shaped);
    EXPECT_EQ(FitsShortName(c.level.c_str(), c.level.size()), c.fits);
  }
}

} // namespace
