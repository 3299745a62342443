//===- tests/unit/extract_calls_test.cpp - Extraction's system calls ----===//
//
// Over the recording layer, which logs each call and otherwise does the real
// work: the order of directory creations, the chunks of each file, the
// known-directories list, and names that are refused before anything is
// created for them.
//
//===----------------------------------------------------------------------===//
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "launcher/state.h"
#include "payload/extract.h"
#include "platform/recording/recording.h"
#include "tests/unit/extract_fixture.h"
#include "tests/unit/support.h"

using test::Record;
using Calls = std::vector<std::string>;

namespace {

class ExtractCallsTest : public ExtractionFixture {
protected:
  void SetUp() override {
    ExtractionFixture::SetUp();
    veskar_recording::Reset();
  }
  void TearDown() override {
    veskar_recording::Reset();
    ExtractionFixture::TearDown();
  }

  // Extracts in a child and brings back its calls, also when the
  // extraction ends the process through exit().
  test::Ending ExtractInChild(Calls *calls) {
    static std::string logPath;
    logPath = scratch_ / "calls.log";
    test::Ending ending = test::RunInChild([] {
      atexit([] {
        FILE *log = fopen(logPath.c_str(), "w");
        for (const std::string &call : veskar_recording::Calls())
          fprintf(log, "%s\n", call.c_str());
        fclose(log);
      });
      ExtractPayload();
    });
    calls->clear();
    std::string text = test::ReadBytes(logPath);
    unlink(logPath.c_str());
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos;
         at = end + 1)
      calls->push_back(text.substr(at, end - at));
    return ending;
  }

  std::string Call(const char *name, const std::string &relative) const {
    return std::string(name) + " " + CoreD(relative);
  }
};

TEST_F(ExtractCallsTest, DirectoriesAreCreatedOnTheWayBackDownOnceEach) {
  const std::vector<Record> records = {
      {u"x\\y\\z.txt", "z"}, {u"x\\y\\w.txt", "w"}, {u"x\\v.txt", "v"}};
  Prepare(records);
  ExtractPayload();
  // The unpack directory is made first, by itself; then the walk up from
  // the first file stops at the first level it can make.
  EXPECT_EQ(
      veskar_recording::Calls(),
      (Calls{Call("CreateDirectoryW", ""), Call("CreateDirectoryW", "x/y"),
             Call("CreateDirectoryW", "x"), Call("CreateDirectoryW", "x/y"),
             Call("CreateFileW", "x/y/z.txt"),
             "WriteFile 1", "CloseHandle", Call("CreateFileW", "x/y/w.txt"),
             "WriteFile 1", "CloseHandle", Call("CreateFileW", "x/v.txt"),
             "WriteFile 1", "CloseHandle"}));
  EXPECT_TRUE(test::ListTree(D()) == Expected(records));
}

TEST_F(ExtractCallsTest, TheWalkUpGoesOnlyAsFarAsItMust) {
  // Two missing levels above the unpack directory: the walk stops at the
  // first one that can be created.
  UnpackInto("p/q/D");
  rmdir((scratch_ / "p/q").c_str());
  rmdir((scratch_ / "p").c_str());
  Prepare({{u"x\\z.txt", "z"}});
  ExtractPayload();
  const std::string p = test::Utf8(test::CorePath(scratch_ / "p"));
  const std::string q = test::Utf8(test::CorePath(scratch_ / "p/q"));
  EXPECT_EQ(veskar_recording::CallsTo("CreateDirectoryW"),
            (Calls{Call("CreateDirectoryW", ""), "CreateDirectoryW " + q,
                   "CreateDirectoryW " + p, "CreateDirectoryW " + q,
                   Call("CreateDirectoryW", ""), Call("CreateDirectoryW", "x")}));
  EXPECT_EQ(test::ReadBytes(D("x/z.txt")), "z");
}

TEST_F(ExtractCallsTest, FileDataIsWrittenIn32KiBChunks) {
  struct {
    size_t size;
    Calls writes;
  } const kSizes[] = {
      {0, {}},
      {1, {"WriteFile 1"}},
      {32767, {"WriteFile 32767"}},
      {32768, {"WriteFile 32768"}},
      {32769, {"WriteFile 32768", "WriteFile 1"}},
      {100000,
       {"WriteFile 32768", "WriteFile 32768", "WriteFile 32768",
        "WriteFile 1696"}},
  };
  for (const auto &c : kSizes) {
    SCOPED_TRACE(c.size);
    const std::string data = test::SampleBytes(c.size, (uint32_t)c.size);
    // A fresh unpack directory each time: one already there is refused.
    UnpackInto("size" + std::to_string(c.size) + "/D");
    Prepare({{u"f", data}});
    veskar_recording::Reset();
    ExtractPayload();
    Calls expected = {Call("CreateFileW", "f")};
    expected.insert(expected.end(), c.writes.begin(), c.writes.end());
    expected.push_back("CloseHandle");
    Calls calls = veskar_recording::Calls();
    // The first run also creates the unpack directory.
    calls.erase(calls.begin(),
                std::find(calls.begin(), calls.end(), expected[0]));
    EXPECT_EQ(calls, expected);
    EXPECT_TRUE(test::ReadBytes(D("f")) == data);
  }
}

TEST_F(ExtractCallsTest, DirectoriesPastTheListsEndAreAskedForAgain) {
  // The list holds 1024 entries: the profile directory, the unpack
  // directory and the first 1022 of these.
  const int kDirectories = 1100;
  auto name = [](int i, const char *file) {
    char text[32];
    snprintf(text, sizeof text, "d%04d\\%s", i, file);
    return test::Utf16(text);
  };
  std::vector<Record> records;
  for (int i = 0; i < kDirectories; ++i)
    records.push_back({name(i, "f"), "f"});
  for (int i : {1, 1021, 1022, kDirectories - 1})
    records.push_back({name(i, "g"), "g"});
  Prepare(records);
  ExtractPayload();

  EXPECT_EQ(state.knownDirectoryCount, 1024);
  for (int i : {1, 1021, 1022, kDirectories - 1}) {
    std::string directory = test::Utf8(name(i, "")).substr(0, 5);
    size_t asked = 0;
    for (const std::string &call :
         veskar_recording::CallsTo("CreateDirectoryW"))
      asked += call == Call("CreateDirectoryW", directory);
    SCOPED_TRACE(directory);
    // Remembered ones are created once; the others are created, then found
    // to exist already, which counts as success. (d0000 is tried twice by
    // the first walk, before the unpack directory exists.)
    EXPECT_EQ(asked, i <= 1021 ? 1u : 2u);
    EXPECT_EQ(test::ReadBytes(D(directory + "/g")), "g");
  }
  EXPECT_EQ(test::ListTree(D()).size(), 2u * kDirectories + 4);
}

TEST_F(ExtractCallsTest, AFailedWriteEndsWithTheSystemsReason) {
  Prepare({{u"main", test::SampleBytes(40000, 1)}, {u"next", "n"}});
  veskar_recording::Reset();
  veskar_recording::Script("WriteFile", FALSE, ERROR_DISK_FULL);
  Calls calls;
  test::Ending ending = ExtractInChild(&calls);
  EXPECT_TRUE(test::ExitedWith(ending, 2)) << ending;
  EXPECT_EQ(ending.out, "");
  EXPECT_EQ(ending.err, "Error, couldn't unpack file to target path. "
                        "([Error 112] No space left on device)\n");
  // On a full disk the partial payload does not stay: the open file is
  // closed, then the directory goes, as at the end of a run.
  const std::string d = test::Utf8(test::CorePath(D()));
  ASSERT_GE(calls.size(), 4u);
  EXPECT_EQ(Calls(calls.end() - 4, calls.end()),
            (Calls{"WriteFile 32768", "CloseHandle", "RemoveDirectoryTree " + d,
                   "GetFileAttributesW " + d}));
  EXPECT_FALSE(test::Exists(D()));
}

TEST_F(ExtractCallsTest,
       BareDrivesAndTheProfileDirectoryCountAsThereWithoutACall) {
  // A walk that reaches either stops there, even when it is not really
  // there: the second try of the unpack directory fails as the first, and
  // ends the run (where TEMP belongs to the user alone, as on Windows, the
  // first file's open would report it instead).
  const std::string home = scratch_ / "home";
  struct {
    const char *what;
    std::u16string unpackDirectory;
  } const kCases[] = {
      {"the drive E: that does not exist", u"E:\\u"},
      {"a profile directory that does not exist",
       test::CorePath(home) + u"\\u"},
  };
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  // "E:\u" is relative here: it must not meet anything real.
  ASSERT_EQ(chdir(scratch_.path().c_str()), 0);
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.what);
    test::SetEnv("HOME", home.c_str());
    Prepare({{u"a.exe", "a"}});
    std::copy(c.unpackDirectory.begin(), c.unpackDirectory.end() + 1,
              state.unpackDirectory);
    veskar_recording::Reset();
    Calls calls;
    test::Ending ending = ExtractInChild(&calls);
    const std::string u = test::Utf8(c.unpackDirectory);
    EXPECT_TRUE(test::ExitedWith(ending, 2)) << ending;
    EXPECT_EQ(ending.err, "Error, couldn't create a fresh unpack directory '" +
                              u + "' ([Error 3] No such file or directory)\n");
    EXPECT_EQ(calls, (Calls{"CreateDirectoryW " + u, "CreateDirectoryW " + u}));
  }
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(test::ListTree(scratch_.path()).size(), 0u);
}

// Names that would lead outside the unpack directory, or that the buffers
// cannot hold, are refused before anything is created for them; what the
// run wrote before goes with its directory.
TEST_F(ExtractCallsTest, RefusedNamesEndTheRunBeforeAnythingIsCreated) {
  UnpackInto("a/b/D"); // two levels of ".." still land in the scratch directory
  const std::u16string kTooLong =
      std::u16string(1000, u'n') + u"\\" + std::u16string(23, u'n');
  const std::u16string kRefused[] = {
      u"\\rooted.txt",
      u"..\\evil.txt",
      u"..\\..\\evil.txt",
      u"x\\..\\..\\..\\evil.txt",
      u"..",
      u".\\evil.txt",
      u"x\\.\\evil.txt",
      u"x\\.. \\evil.txt",
      u"x\\\\evil.txt",
      u"x\\",
      u"x/../../evil.txt",
      u"/tmp/evil.txt",
      kTooLong,
  };
  const std::string before = "a/,a/b/,";
  for (bool first : {true, false}) {
    for (const std::u16string &name : kRefused) {
      SCOPED_TRACE((first ? "first record " : "after a good record ") +
                   test::Utf8(name).substr(0, 40));
      std::vector<Record> records;
      if (!first)
        records.push_back({u"main", "m"});
      records.push_back({name, "evil"});
      records.push_back({u"later", "l"});
      Prepare(records);
      Calls calls;
      test::Ending ending = ExtractInChild(&calls);
      EXPECT_TRUE(test::ExitedWith(ending, 2)) << ending;
      std::string line = ending.out + ending.err;
      EXPECT_EQ(line.compare(0, 7, "Error, "), 0) << line;
      EXPECT_EQ(line.find('\n'), line.size() - 1) << line;

      std::string tree;
      for (const auto &entry : test::ListTree(scratch_.path()))
        tree += entry.first + ",";
      EXPECT_EQ(tree, before);
      if (first) {
        EXPECT_EQ(calls, Calls{});
      } else {
        const std::string d = test::Utf8(test::CorePath(D()));
        ASSERT_GE(calls.size(), 3u);
        EXPECT_EQ(Calls(calls.end() - 3, calls.end()),
                  (Calls{"CloseHandle", "RemoveDirectoryTree " + d,
                         "GetFileAttributesW " + d}));
      }
      unlink(D("main").c_str());
      rmdir(D().c_str());
    }
  }
}

} // namespace
