//===- tests/unit/expand_test.cpp - Path template expansion -------------===//
//
// Templates against the POSIX layer's values: TEMP is $TMPDIR when that is
// an existing absolute directory, else /tmp; HOME is $HOME or the password
// database's home; CACHE_DIR is $XDG_CACHE_HOME or ~/.cache; each handed to
// the core with backslashes.
//
//===----------------------------------------------------------------------===//
#include <chrono>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "paths/paths.h"
#include "platform/posix/internal.h"
#include "tests/unit/support.h"

using test::Utf16;
using test::Utf8;

namespace {

const char *const kUnset = nullptr;

// Keeps the variables the expansion reads as they were before the test.
class ExpandTest : public ::testing::Test {
protected:
  void SetUp() override {
    for (const char *name : kNames) {
      const char *value = getenv(name);
      saved_.push_back(value ? new std::string(value) : nullptr);
    }
  }
  void TearDown() override {
    for (size_t i = 0; i < saved_.size(); ++i) {
      test::SetEnv(kNames[i], saved_[i] ? saved_[i]->c_str() : nullptr);
      delete saved_[i];
    }
  }
  static void Environment(const char *tmpdir, const char *home,
                          const char *cache) {
    test::SetEnv("TMPDIR", tmpdir);
    test::SetEnv("HOME", home);
    test::SetEnv("XDG_CACHE_HOME", cache);
  }

private:
  static constexpr const char *kNames[] = {"TMPDIR", "HOME", "XDG_CACHE_HOME"};
  std::vector<std::string *> saved_;
};

struct Expansion {
  bool ok;
  std::string output; // UTF-8, the core's backslashes kept
};

Expansion Expand(const std::u16string &pathTemplate, size_t capacity = 4096) {
  std::vector<WCHAR> output(capacity, u'#'); // emptied by the call
  bool ok = ExpandPathTemplate(output.data(), pathTemplate.c_str(), capacity);
  return {ok, Utf8(output.data())};
}

std::string WithPid(std::string text) {
  std::string pid = std::to_string(getpid());
  for (size_t at; (at = text.find("$PID")) != std::string::npos;)
    text.replace(at, 4, pid);
  return text;
}

struct Case {
  const char *pathTemplate; // UTF-8, '\\' as the core writes it
  const char *tmpdir, *home, *cache;
  bool ok;
  const char *output; // "$PID" stands for the process id
};

const Case kCases[] = {
    // Literal text, and what the call does to an output it did not fill.
    {"", "/srv/t", "/home/u", kUnset, true, ""},
    {"plain\\text", "/srv/t", "/home/u", kUnset, true, "plain\\text"},
    {"a}b", "/srv/t", "/home/u", kUnset, true, "a}b"},
    // Names match whole, ASCII letters in any case, nothing trimmed.
    {"{TEMP}", "/usr", "/home/u", kUnset, true, "\\usr"},
    {"{temp}", "/usr", "/home/u", kUnset, true, "\\usr"},
    {"{Temp}\\x", "/usr", "/home/u", kUnset, true, "\\usr\\x"},
    {"{pId}", "/srv/t", "/home/u", kUnset, true, "$PID"},
    {"{company}\\{Product}\\{VERSION}", "/srv/t", "/home/u", kUnset, true,
     "PELTA\\Quorvane\\1.1.0.0"},
    {"{TEM}", "/srv/t", "/home/u", kUnset, false, ""},
    {"{TEMPX}", "/srv/t", "/home/u", kUnset, false, ""},
    {"{TEMP }", "/srv/t", "/home/u", kUnset, false, ""},
    {"{PROGRAM_BAS}", "/srv/t", "/home/u", kUnset, false, ""},
    // Empty and unknown names fail, keeping what came before them.
    {"ab{}cd", "/srv/t", "/home/u", kUnset, false, "ab"},
    {"ab{NOPE}cd", "/srv/t", "/home/u", kUnset, false, "ab"},
    // A second "{" starts the name again; a "{" never closed is dropped.
    {"{X{PID}", "/srv/t", "/home/u", kUnset, true, "$PID"},
    {"abc{TEMP", "/srv/t", "/home/u", kUnset, true, "abc"},
    // TEMP: $TMPDIR or /tmp, never a backslash at the end. TMPDIR is taken
    // literally, and only when it is an absolute path to a directory that
    // exists: relative, missing, not a directory, or holding a backslash
    // (which would come back as a separator) gives /tmp.
    {"{TEMP}", kUnset, "/home/u", kUnset, true, "\\tmp"},
    {"{TEMP}", "", "/home/u", kUnset, true, "\\tmp"},
    {"{TEMP}", "/usr//", "/home/u", kUnset, true, "\\usr"},
    {"{TEMP}", "usr", "/home/u", kUnset, true, "\\tmp"},
    {"{TEMP}", "./", "/home/u", kUnset, true, "\\tmp"},
    {"{TEMP}", "/srv/no/such/dir", "/home/u", kUnset, true, "\\tmp"},
    {"{TEMP}", "/dev/null", "/home/u", kUnset, true, "\\tmp"},
    {"{TEMP}", "/usr\\lib", "/home/u", kUnset, true, "\\tmp"},
    // An empty value trims the backslashes of the text before it as well.
    {"a\\\\{TEMP}b", "/", "/home/u", kUnset, true, "ab"},
    {"{TEMP}{TEMP}", "/", "/home/u", kUnset, true, ""},
    // HOME: $HOME, trimmed (without one, see below).
    {"{HOME}", "/srv/t", "/home/u/", kUnset, true, "\\home\\u"},
    {"{home}\\x", "/srv/t", "/home/u", kUnset, true, "\\home\\u\\x"},
    {"x{HOME}y", "/srv/t", "/", kUnset, true, "xy"},
    // CACHE_DIR: $XDG_CACHE_HOME, else $HOME/.cache, else a failure.
    {"{CACHE_DIR}", "/srv/t", "/home/u", "/var/cache/u/", true,
     "\\var\\cache\\u"},
    {"{Cache_Dir}", "/srv/t", "/home/u", kUnset, true, "\\home\\u\\.cache"},
    {"{CACHE_DIR}", "/srv/t", "/home/u", "", true, "\\home\\u\\.cache"},
};

// Without HOME (a service, "env -i") the home comes from the password
// database, for HOME and for the cache folder below it.
TEST_F(ExpandTest, WithoutHomeThePasswordDatabaseGivesIt) {
  struct passwd *entry = getpwuid(geteuid());
  ASSERT_NE(entry, nullptr);
  std::string home = entry->pw_dir;
  for (char &c : home)
    if (c == '/')
      c = '\\';
  for (const char *value : {(const char *)nullptr, ""}) {
    Environment("/srv/t", value, kUnset);
    Expansion result = Expand(u"a{HOME}");
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.output, home == "\\" ? "a" : "a" + home);
    result = Expand(u"c:{CACHE_DIR}");
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.output, "c:" + (home == "\\" ? "" : home) + "\\.cache");
  }
}

TEST_F(ExpandTest, TemplatesExpandAsTheVariablesSay) {
  for (const Case &c : kCases) {
    SCOPED_TRACE(std::string("template \"") + c.pathTemplate +
                 "\", TMPDIR=" + (c.tmpdir ? c.tmpdir : "(unset)") +
                 ", HOME=" + (c.home ? c.home : "(unset)") +
                 ", XDG_CACHE_HOME=" + (c.cache ? c.cache : "(unset)"));
    Environment(c.tmpdir, c.home, c.cache);
    Expansion result = Expand(Utf16(c.pathTemplate));
    EXPECT_EQ(result.ok, c.ok);
    EXPECT_EQ(result.output, WithPid(c.output));
  }
}

TEST_F(ExpandTest, AShellFolderBeyondItsBufferIsUnavailable) {
  std::string longHome = "/" + std::string(MAX_PATH, 'h');
  Environment("/srv/t", longHome.c_str(), kUnset);
  Expansion result = Expand(u"x\\{HOME}");
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.output, "x\\");
}

TEST_F(ExpandTest, NamesLongerThanTheNameBufferAreUnknown) {
  std::u16string longName(2000, u'A');
  EXPECT_FALSE(Expand(u"ab{" + longName + u"}").ok);
  // A later "{" starts a fresh name after an over-long one.
  Expansion result = Expand(u"{" + longName + u"{PID}");
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.output, WithPid("$PID"));
}

TEST_F(ExpandTest, LiteralsFillTheBufferToItsLastUnit) {
  // Capacity 5: four characters and the terminator.
  WCHAR output[8];
  for (WCHAR &unit : output)
    unit = u'#';
  EXPECT_TRUE(ExpandPathTemplate(output, u"abcd", 5));
  EXPECT_EQ(Utf8(output), "abcd");

  for (WCHAR &unit : output)
    unit = u'#';
  EXPECT_FALSE(ExpandPathTemplate(output, u"abcde", 5));
  EXPECT_EQ(Utf8(output), "abcd");
  EXPECT_EQ(output[4], 0);
  EXPECT_EQ(output[5], u'#');
  EXPECT_EQ(output[6], u'#');
}

TEST_F(ExpandTest, ATemporaryDirectoryThatDoesNotFitFailsTheExpansion) {
  // Going on without it would put the unpack directory at the root.
  Environment("/usr/lib", "/home/u", kUnset);
  EXPECT_FALSE(Expand(u"{TEMP}", 9).ok); // "\usr\lib\" needs 10 units
  Expansion fits = Expand(u"{TEMP}", 10);
  EXPECT_TRUE(fits.ok);
  EXPECT_EQ(fits.output, "\\usr\\lib");
}

TEST_F(ExpandTest, ValuesThatDoNotFitEndTheProcessSilently) {
  Environment("/srv/t", "/home/u", kUnset);
  const char16_t *const kTemplates[] = {u"{COMPANY}", u"abcd{PID}", u"{TIME}",
                                        u"{HOME}"};
  for (const char16_t *pathTemplate : kTemplates) {
    SCOPED_TRACE(Utf8(pathTemplate));
    test::Ending ending = test::RunInChild([&] {
      WCHAR output[5];
      ExpandPathTemplate(output, pathTemplate, 5);
    });
    EXPECT_TRUE(test::Aborted(ending)) << ending;
    EXPECT_EQ(ending.out + ending.err, "");
  }
}

TEST_F(ExpandTest, PidAndTimeAreDecimalAndTimeCountsFrom1601) {
  Expansion pid = Expand(u"{PID}");
  EXPECT_EQ(pid.output, std::to_string(getpid()));

  // The precise clock: time() may read a coarser one that lags behind by
  // up to a tick, so that a second could seem to end before the expansion.
  auto now = [] {
    return (long long)std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  };
  long long before = now();
  Expansion ticks = Expand(u"{TIME}");
  long long after = now();
  ASSERT_TRUE(ticks.ok);
  ASSERT_TRUE(test::IsDecimal(ticks.output)) << ticks.output;
  // 100-nanosecond steps since 1601-01-01, 11644473600 s before 1970.
  long long seconds = std::stoll(ticks.output) / 10000000 - 11644473600LL;
  EXPECT_GE(seconds, before);
  EXPECT_LE(seconds, after);
}

TEST_F(ExpandTest, TheUnpackTemplateGivesAFreshDirectoryBelowTemp) {
  Environment("/usr/lib/", "/home/u", kUnset);
  Expansion first = Expand(u"{TEMP}\\onefile_{PID}_{TIME}");
  ASSERT_TRUE(first.ok);
  const std::string prefix =
      "\\usr\\lib\\onefile_" + std::to_string(getpid()) + "_";
  EXPECT_EQ(first.output.substr(0, prefix.size()), prefix);
  EXPECT_TRUE(test::IsDecimal(first.output.substr(prefix.size())))
      << first.output;

  // The time part moves on: a later run in the same process id gets
  // another directory.
  usleep(2000);
  EXPECT_NE(Expand(u"{TEMP}\\onefile_{PID}_{TIME}").output, first.output);
}

// PROGRAM is argv[0] as the process received it, read once per process:
// each case runs in a child of its own.
struct ProgramCase {
  const char *argv0;
  const char16_t *pathTemplate;
  const char *output;
};

const ProgramCase kProgramCases[] = {
    {"app.EXE", u"{PROGRAM_BASE}", "app"},
    {"app", u"{PROGRAM_BASE}", "app"},
    {".exe", u"{PROGRAM_BASE}", ""},
    {"a.exe.bak", u"{PROGRAM_BASE}", "a.exe.bak"},
    {"x.ExE", u"{program_base}", "x"},
    {"EXE", u"{PROGRAM_BASE}", "EXE"},
    {"dir/app.exe", u"{PROGRAM_BASE}\\x", "dir\\app\\x"},
    // Only what PROGRAM appended is looked at for ".exe".
    {"", u"a.exe{PROGRAM_BASE}", "a.exe"},
    {"b", u"a.exe{PROGRAM_BASE}", "a.exeb"},
    // PROGRAM keeps what it ends with.
    {"app.exe", u"{PROGRAM}", "app.exe"},
    {"dir/", u"{PROGRAM}", "dir\\"},
};

TEST_F(ExpandTest, ProgramIsArgumentZeroAndProgramBaseDropsDotExe) {
  for (const ProgramCase &c : kProgramCases) {
    SCOPED_TRACE(std::string("argv[0] \"") + c.argv0 + "\", template " +
                 Utf8(c.pathTemplate));
    test::Ending ending = test::RunInChild([&] {
      static char *argv[2];
      argv[0] = strdup(c.argv0);
      veskar_posix::SetArguments(1, argv);
      Expansion result = Expand(c.pathTemplate);
      printf("%d|%s", result.ok, result.output.c_str());
    });
    EXPECT_TRUE(test::ExitedWith(ending, test::kReturned)) << ending;
    EXPECT_EQ(ending.out, std::string("1|") + c.output);
  }
}

} // namespace
