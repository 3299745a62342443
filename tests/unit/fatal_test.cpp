//===- tests/unit/fatal_test.cpp - Fatal reports and OS error lines -----===//
//
// Every member of the family prints exactly one line, on the stream its
// kind of message belongs to, and ends the process its own way: plain
// messages on standard output and status 2; messages with a path, a
// template or an error code on standard error; the failed expansion through
// abort(). Standard output goes to a file here, so a message that only sat
// in the runtime's buffer would be lost. A name or path in a message keeps
// every character, but a control character in it is shown escaped, so that
// the message stays one line and sends nothing to the terminal. A path (or
// a path template) is shown with '/' here, as it is typed on Linux; a name
// of the archive keeps its own separator, '\\'.
//
//===----------------------------------------------------------------------===//
#include <string.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "diagnostics/fatal.h"
#include "tests/unit/support.h"

namespace {

enum Way { kStatus2, kAbort };

struct FatalCase {
  const char *member;
  std::function<void()> report;
  const char *out;
  const char *err;
  Way way;
};

// Runs the case's report and checks both streams and the ending.
void ExpectEnding(const FatalCase &c) {
  SCOPED_TRACE(c.member);
  test::Ending ending = test::RunInChild(c.report);
  EXPECT_EQ(ending.out, c.out);
  EXPECT_EQ(ending.err, c.err);
  if (c.way == kStatus2)
    EXPECT_TRUE(test::ExitedWith(ending, 2)) << ending;
  else
    EXPECT_TRUE(test::Aborted(ending)) << ending;
}

TEST(FatalTest, EachMemberPrintsOneLineOnItsStreamAndEndsItsWay) {
  const FatalCase kCases[] = {
      {"ReportFatal",
       [] { ReportFatal("Error, failed to register signal handler."); },
       "Error, failed to register signal handler.\n", "", kStatus2},
      {"ReportFatalDecode", [] { ReportFatalDecode(); },
       "Error, couldn't decode attached data.\n", "", kStatus2},
      {"ReportFatalHeader", [] { ReportFatalHeader(); },
       "Error, couldn't find attached data header.\n", "", kStatus2},
      {"ReportFatalMemory", [] { ReportFatalMemory(); },
       "Error, couldn't allocate memory.\n", "", kStatus2},
      {"ReportFatalExpand",
       [] { ReportFatalExpand(u"{TEMP}\\onefile_{PID}_{TIME}"); }, "",
       "Error, couldn't runtime expand spec '{TEMP}/onefile_{PID}_{TIME}'.\n",
       kAbort},
      {"ReportFatalOpen",
       [] { ReportFatalOpen(u"\\tmp\\d\u00e9j\u00e0\\a.exe"); }, "",
       "Error, failed to open '/tmp/d\u00e9j\u00e0/a.exe' for writing.\n",
       kStatus2},
      {"ReportFatalOsError",
       [] {
         ReportFatalOsError("Error, couldn't launch child",
                            ERROR_FILE_NOT_FOUND);
       },
       "",
       "Error, couldn't launch child ([Error 2] No such file or directory)\n",
       kStatus2},
      // The file is named, shown as every path is; the error is the one
      // passed, whatever the thread's last error.
      {"ReportFatalUnpack",
       [] {
         SetLastError(ERROR_ACCESS_DENIED);
         ReportFatalUnpack(u"\\tmp\\D\\100%\n.txt", ERROR_DISK_FULL);
       },
       "",
       "Error, couldn't unpack file to target path. '/tmp/D/100%\\x0a.txt' "
       "([Error 112] No space left on device)\n",
       kStatus2},
      // The reason is the one the name rules give, not one text for all.
      {"ReportFatalUnsafeName",
       [] {
         ReportFatalUnsafeName(u"..\\evil",
                               CheckArchiveName(u"..\\evil", 7, kPosixNames));
       },
       "",
       "Error, refusing the name '..\\evil' in the attached data: it has a "
       "level made only of dots and spaces, such as '..', which would lead "
       "outside the directory it is unpacked into.\n",
       kStatus2},
      {"ReportFatalUnsafeName",
       [] {
         ReportFatalUnsafeName(u"a*b",
                               CheckArchiveName(u"a*b", 3, kWindowsNames));
       },
       "",
       "Error, refusing the name 'a*b' in the attached data: it holds '*', "
       "which Windows does not allow in names.\n",
       kStatus2},
      {"ReportFatalNameTooLong", [] { ReportFatalNameTooLong(); },
       "Error, a name in the attached data is longer than 1023 units.\n", "",
       kStatus2},
      {"ReportFatalChildPathTooLong",
       [] { ReportFatalChildPathTooLong(u"D\\a"); }, "",
       "Error, the path of the main program 'D/a' is longer than 1023 "
       "units.\n",
       kStatus2},
  };
  for (const FatalCase &c : kCases)
    ExpectEnding(c);
}

TEST(FatalTest, NamesAndPathsAreShownOnOneLineWithControlsEscaped) {
  const FatalCase kCases[] = {
      {"ReportFatalExpand", [] { ReportFatalExpand(u"{TEMP}\n\\x"); }, "",
       "Error, couldn't runtime expand spec '{TEMP}\\x0a/x'.\n", kAbort},
      {"ReportFatalOpen",
       [] { ReportFatalOpen(u"\\tmp\\\x1b]0;title\a\\r\u00e9sum\u00e9.exe"); },
       "",
       "Error, failed to open '/tmp/\\x1b]0;title\\x07/r\u00e9sum\u00e9.exe' "
       "for writing.\n",
       kStatus2},
      // The Windows rules refuse a control character; the name in the
      // refusal shows it.
      {"ReportFatalUnsafeName",
       [] {
         ReportFatalUnsafeName(
             u"a\x1b[31mb", CheckArchiveName(u"a\x1b[31mb", 7, kWindowsNames));
       },
       "",
       "Error, refusing the name 'a\\x1b[31mb' in the attached data: it "
       "holds a control character.\n",
       kStatus2},
      {"ReportFatalUnsafeName",
       [] {
         ReportFatalUnsafeName(
             u"\u65e5\u672c\\CON",
             CheckArchiveName(u"\u65e5\u672c\\CON", 6, kWindowsNames));
       },
       "",
       "Error, refusing the name '\u65e5\u672c\\CON' in the attached data: it "
       "names a Windows device.\n",
       kStatus2},
      {"ReportFatalChildPathTooLong",
       [] { ReportFatalChildPathTooLong(u"D\\a\r\nb\u0085"); }, "",
       "Error, the path of the main program 'D/a\\x0d\\x0ab\\x85' is longer "
       "than 1023 units.\n",
       kStatus2},
      {"ReportFatalUnpackDirectory",
       [] {
         ReportFatalUnpackDirectory(u"\\tmp\\onefile\n_1_2",
                                    ERROR_ALREADY_EXISTS);
       },
       "",
       "Error, couldn't create a fresh unpack directory "
       "'/tmp/onefile\\x0a_1_2' ([Error 183] File exists)\n",
       kStatus2},
  };
  for (const FatalCase &c : kCases)
    ExpectEnding(c);
}

// The core keeps '\\' as the separator of every path; a message shows a
// path as its user types it here, and shows an archive's name as the
// archive holds it. An escape's backslash is never a separator.
TEST(FatalTest, PathsShowTheSeparatorTypedHereAndNamesTheArchives) {
  const FatalCase kCases[] = {
      {"ReportFatalOpen", [] { ReportFatalOpen(u"\\tmp\\onefile_1_2\\a\\b"); },
       "", "Error, failed to open '/tmp/onefile_1_2/a/b' for writing.\n",
       kStatus2},
      {"ReportFatalCacheDirectory",
       [] { ReportFatalCacheDirectory(u"\\home\\u\\.cache\\P"); }, "",
       "Error, refusing the cache directory '/home/u/.cache/P': it is a link, "
       "no directory, or another user's.\n",
       kStatus2},
      {"ReportFatalPathOsError",
       [] {
         ReportFatalPathOsError("Error, couldn't repair the cached file '%ls'",
                                u"\\c\\d\x1b\\f", ERROR_DISK_FULL);
       },
       "",
       "Error, couldn't repair the cached file '/c/d\\x1b/f' ([Error 112] No "
       "space left on device)\n",
       kStatus2},
      {"ReportFatalExpand",
       [] { ReportFatalExpand(u"{CACHE_DIR}\\{NOPE}\\x"); }, "",
       "Error, couldn't runtime expand spec '{CACHE_DIR}/{NOPE}/x'.\n", kAbort},
      {"ReportFatalUnsafeName",
       [] {
         ReportFatalUnsafeName(u"a\\..\\b",
                               CheckArchiveName(u"a\\..\\b", 6, kPosixNames));
       },
       "",
       "Error, refusing the name 'a\\..\\b' in the attached data: it has a "
       "level made only of dots and spaces, such as '..', which would lead "
       "outside the directory it is unpacked into.\n",
       kStatus2},
  };
  for (const FatalCase &c : kCases)
    ExpectEnding(c);
}

TEST(FatalTest, OsErrorLinesPrintTheCodeAsASigned32BitNumber) {
  struct {
    DWORD code;
    const char *line;
  } const kCodes[] = {
      {ERROR_ACCESS_DENIED, "m ([Error 5] Permission denied)\n"},
      {0x7FFFFFFFu, "m ([Error 2147483647] "},
      {0x80000000u, "m ([Error -2147483648] "},
      {0xFFFFFFFFu, "m ([Error -1] "},
  };
  for (const auto &c : kCodes) {
    SCOPED_TRACE(c.code);
    // PrintOsError returns: the line after it comes from the caller.
    test::Ending ending = test::RunInChild([&] {
      PrintOsError("m", c.code);
      fputs("returned\n", stderr);
    });
    EXPECT_TRUE(test::ExitedWith(ending, test::kReturned)) << ending;
    EXPECT_EQ(ending.out, "");
    std::string line = ending.err.substr(0, ending.err.find('\n') + 1);
    EXPECT_EQ(line.compare(0, strlen(c.line), c.line), 0) << line;
    // Whatever the system's text, the line keeps its frame.
    EXPECT_EQ(line.substr(line.size() - 2), ")\n") << line;
    EXPECT_EQ(ending.err.substr(line.size()), "returned\n");
  }
}

} // namespace
