//===- tests/unit/extract_calls_test.cpp - Extraction's system calls ----===//
//
// Over the recording layer, which logs each call and otherwise does the real
// work: the order of directory creations, the chunks of each file, the
// known-directories list, and names that are refused before anything is
// created for them. The main thread makes the directories and opens the
// files in archive order; the writer threads write and close them, each
// file's calls in order, but files may interleave: each file's calls are
// followed by its name, which the log puts after them.
//
//===----------------------------------------------------------------------===//
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "launcher/console.h"
#include "launcher/hold.h"
#include "launcher/state.h"
#include "launcher/unpack.h"
#include "payload/extract.h"
#include "platform/recording/recording.h"
#include "tests/unit/calls_fixture.h"
#include "tests/unit/extract_fixture.h"
#include "tests/unit/support.h"

using test::Record;

namespace {

class ExtractCallsTest : public ExtractionCallsFixture {};

TEST_F(ExtractCallsTest, DirectoriesAreCreatedOnTheWayBackDownOnceEach) {
  const std::vector<Record> records = {
      {u"x\\y\\z.txt", "z"}, {u"x\\y\\w.txt", "w"}, {u"x\\v.txt", "v"}};
  Prepare(records);
  ExtractPayload();
  // The unpack directory is made first, by itself, and held (the hold
  // checked to be the directory at its path, and what it holds read for
  // the removal) before anything is made in it; then the walk up from the
  // first file stops at the first level it can make.
  const Calls calls = veskar_recording::Calls();
  Calls expected = {Call("CreateDirectoryW", "")};
  for (const std::string &call : test::HoldCalls(CoreD()))
    if (call.compare(0, 11, "CloseHandle") != 0)
      expected.push_back(call);
  expected.push_back("GetFileInformationByHandle");
  Calls walk = {
      Call("CreateDirectoryW", "x/y"),  Call("CreateDirectoryW", "x"),
      Call("CreateDirectoryW", "x/y"),  Call("CreateFileW", "x/y/z.txt"),
      Call("CreateFileW", "x/y/w.txt"), Call("CreateFileW", "x/v.txt")};
  expected.insert(expected.end(), walk.begin(), walk.end());
  EXPECT_EQ(OfMainThread(calls), expected);
  for (const char *file : {"x/y/z.txt", "x/y/w.txt", "x/v.txt"})
    EXPECT_EQ(Of(calls, file),
              (Calls{Call("CreateFileW", file), Call("WriteFile 1", file),
                     Call("CloseHandle", file)}));
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
  EXPECT_EQ(
      veskar_recording::CallsTo("CreateDirectoryW"),
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
    for (const std::string &write : c.writes)
      expected.push_back(Call(write.c_str(), "f"));
    expected.push_back(Call("CloseHandle", "f"));
    EXPECT_EQ(Of(veskar_recording::Calls(), "f"), expected);
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
  // One file: which of several files' writes comes first is the threads'
  // choice (AWriteFailingOnAWriterIsReportedWithItsFile below has several).
  Prepare({{u"main", test::SampleBytes(40000, 1)}});
  veskar_recording::Reset();
  veskar_recording::Script("WriteFile", FALSE, ERROR_DISK_FULL);
  Calls calls;
  test::Ending ending = ExtractInChild(&calls);
  EXPECT_TRUE(test::ExitedWith(ending, 2)) << ending;
  EXPECT_EQ(ending.out, "");
  EXPECT_EQ(ending.err, "Error, couldn't unpack file to target path. '" +
                            D("main") +
                            "' ([Error 112] No space left on device)\n");
  // On a full disk the partial payload does not stay: no write follows the
  // failed one, the open file is closed, then the directory goes, as at the
  // end of a run.
  EXPECT_EQ(Of(calls, "main"),
            (Calls{Call("CreateFileW", "main"), Call("WriteFile 32768", "main"),
                   Call("CloseHandle", "main")}));
  ExpectEveryFileClosedBeforeTheRemoval(calls);
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
                              test::ShownPath(c.unpackDirectory) +
                              "' ([Error 3] No such file or directory)\n");
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
        // The earlier file's write may be dropped (the run is over), its
        // close never is.
        const Calls main = Of(calls, "main");
        ASSERT_GE(main.size(), 2u);
        EXPECT_EQ(main.front(), Call("CreateFileW", "main"));
        EXPECT_EQ(main.back(), Call("CloseHandle", "main"));
        ExpectEveryFileClosedBeforeTheRemoval(calls);
      }
      unlink(D("main").c_str());
      rmdir(D().c_str());
    }
  }
}

// --- The file writers ---------------------------------------------------
//
// Every ending of an extraction that has handed files to the writer
// threads closes each of them before the unpack directory's removal begins,
// and a failure on a writer is reported by the main thread, with the file's
// name.

// Holds every write on its writer thread until the main thread has begun
// to stop the writers: when the run ends, the writers still hold files.
void HoldWritesUntilTheWritersStop() {
  veskar_recording::OnCall("WriteFile", [] {
    while (!__atomic_load_n(&state.writers.stopping, __ATOMIC_ACQUIRE))
      usleep(1000);
  });
}

TEST_F(ExtractCallsTest, AFatalEndingWhileWritersHoldFilesClosesThemFirst) {
  const std::vector<Record> files = {
      {u"main", "m"}, {u"a.txt", "a"}, {u"b\\c.txt", "c"}};
  const std::string stream = test::ArchiveStream(files);
  std::vector<Record> withEvil = files;
  withEvil.push_back({u"..\\evil.txt", "e"});
  std::vector<Record> withFileAsDirectory = files;
  withFileAsDirectory.push_back({u"a.txt\\x", "x"});
  std::vector<Record> cutShort = files;
  cutShort.push_back({u"long.bin", test::SampleBytes(5000, 3)});
  const std::string cutStream = test::ArchiveStream(cutShort);
  const struct {
    const char *what;
    std::string stream;
    std::string line;    // the start of the line on standard output or error
    const char *current; // the file being filled at the ending, if any
  } kCases[] = {
      {"a refused name", test::ArchiveStream(withEvil),
       "Error, refusing the name '..\\evil.txt'", nullptr},
      {"an open that fails", test::ArchiveStream(withFileAsDirectory),
       "Error, failed to open '" + D() + "/a.txt/x' for writing.", nullptr},
      {"the payload running out inside a file",
       cutStream.substr(0, cutStream.size() - 2 - 1000),
       "Error, couldn't decode attached data.", "long.bin"},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.what);
    PrepareStream(c.stream);
    veskar_recording::Reset();
    Calls calls;
    test::Ending ending = ExtractInChild(&calls, HoldWritesUntilTheWritersStop);
    EXPECT_TRUE(test::ExitedWith(ending, 2)) << ending;
    EXPECT_EQ((ending.out + ending.err).compare(0, c.line.size(), c.line), 0)
        << ending;
    std::vector<std::string> opened = {"main", "a.txt", "b/c.txt"};
    if (c.current != nullptr)
      opened.push_back(c.current);
    for (const std::string &file : opened) {
      SCOPED_TRACE(file);
      const Calls of = Of(calls, file);
      ASSERT_GE(of.size(), 2u);
      EXPECT_EQ(of.front(), Call("CreateFileW", file));
      EXPECT_EQ(of.back(), Call("CloseHandle", file));
    }
    ExpectEveryFileClosedBeforeTheRemoval(calls);
    EXPECT_FALSE(test::Exists(D()));
  }
}

TEST_F(ExtractCallsTest, AWriteFailingOnAWriterIsReportedWithItsFile) {
  // The file system refuses to grow a file past 64 KiB: the large file's
  // third chunk fails on its writer, while the small ones go through.
  const std::vector<Record> records = {
      {u"main", "m"},
      {u"a.txt", test::SampleBytes(1000, 1)},
      {u"big.bin", test::SampleBytes(200000, 2)},
      {u"b.txt", "b"},
      {u"c\\d.txt", "d"}};
  Prepare(records);
  veskar_recording::Reset();
  Calls calls;
  test::Ending ending = ExtractInChild(&calls, LimitFilesTo64KiB);
  EXPECT_TRUE(test::ExitedWith(ending, 2)) << ending;
  EXPECT_EQ(ending.out, "");
  EXPECT_EQ(ending.err, "Error, couldn't unpack file to target path. '" +
                            D("big.bin") +
                            "' ([Error 112] No space left on device)\n");
  const Calls big = Of(calls, "big.bin");
  ASSERT_GE(big.size(), 4u);
  EXPECT_EQ(
      Calls(big.begin(), big.begin() + 4),
      (Calls{Call("CreateFileW", "big.bin"), Call("WriteFile 32768", "big.bin"),
             Call("WriteFile 32768", "big.bin"),
             Call("WriteFile 32768", "big.bin")}));
  EXPECT_EQ(big.back(), Call("CloseHandle", "big.bin"));
  ExpectEveryFileClosedBeforeTheRemoval(calls);
  EXPECT_FALSE(test::Exists(D()));
}

TEST_F(ExtractCallsTest, AFailedCloseIsReportedWithItsFile) {
  // A file system may report a write it took late only at the close.
  Prepare({{u"main", "m"}, {u"a.txt", "a"}, {u"b.txt", "b"}});
  veskar_recording::Reset();
  // Once the writers start: the closes before them are the unpack
  // directory's hold's.
  veskar_recording::OnCall("CreateThread", [] {
    static bool scripted = false;
    if (!scripted)
      veskar_recording::Script("CloseHandle", FALSE, ERROR_WRITE_FAULT);
    scripted = true;
  });
  Calls calls;
  test::Ending ending = ExtractInChild(&calls);
  // The scripted result goes to whichever close the writers run first; the
  // two writers may record their closes in another order than they took
  // the result, so the message must name one of the files they closed.
  std::vector<std::string> closed;
  bool writersStarted = false;
  for (const std::string &call : calls)
    if (call == "CreateThread")
      writersStarted = true;
    else if (writersStarted && call.compare(0, 12, "CloseHandle ") == 0)
      closed.push_back(call.substr(12));
  ASSERT_FALSE(closed.empty());
  EXPECT_TRUE(test::ExitedWith(ending, 2)) << ending;
  std::vector<std::string> messages;
  for (std::string name : closed) {
    std::replace(name.begin(), name.end(), '\\', '/'); // as shown
    messages.push_back("Error, couldn't unpack file to target path. '" +
                       name + "' ([Error 29] Input/output error)\n");
  }
  EXPECT_NE(std::find(messages.begin(), messages.end(), ending.err),
            messages.end())
      << ending.err;
  ExpectEveryFileClosedBeforeTheRemoval(calls);
  EXPECT_FALSE(test::Exists(D()));
}

TEST_F(ExtractCallsTest, AConsoleEventWhileWritersHoldFilesClosesThemFirst) {
  const std::vector<Record> records = {{u"main", "m"},
                                       {u"a.txt", "a"},
                                       {u"b.txt", "b"},
                                       {u"c.txt", "c"},
                                       {u"d.txt", "d"}};
  Prepare(records);
  veskar_recording::Reset();
  Calls calls;
  test::Ending ending = ExtractInChild(&calls, [] {
    CtrlCAtOpen(3);
    HoldWritesUntilTheWritersStop();
  });
  EXPECT_TRUE(test::ExitedWith(ending, 42)) << ending;
  Calls withoutSleeps = WithoutSleeps(calls);
  // The main thread stops after the third file's first chunk.
  size_t opened = 0;
  for (const std::string &call : withoutSleeps)
    opened += call.compare(0, 12, "CreateFileW ") == 0;
  EXPECT_EQ(opened, 3u);
  ExpectEveryFileClosedBeforeTheRemoval(withoutSleeps);
  EXPECT_FALSE(test::Exists(D()));
}

TEST_F(ExtractCallsTest, AFailedCloseAfterAFailedWriteReportsTheWrite) {
  // The first failure is the one the run ends with: the close that follows
  // a failed write fails too, with an error of its own.
  Prepare({{u"main", test::SampleBytes(40000, 1)}});
  veskar_recording::Reset();
  veskar_recording::Script("WriteFile", FALSE, ERROR_DISK_FULL);
  veskar_recording::Script("CloseHandle", FALSE, ERROR_WRITE_FAULT);
  Calls calls;
  test::Ending ending = ExtractInChild(&calls);
  EXPECT_TRUE(test::ExitedWith(ending, 2)) << ending;
  EXPECT_EQ(ending.err, "Error, couldn't unpack file to target path. '" +
                            D("main") +
                            "' ([Error 112] No space left on device)\n");
  EXPECT_EQ(Of(calls, "main"),
            (Calls{Call("CreateFileW", "main"), Call("WriteFile 32768", "main"),
                   Call("CloseHandle", "main")}));
  EXPECT_FALSE(test::Exists(D()));
}

TEST_F(ExtractCallsTest,
       AFileOpenedWhenAFailureIsSeenIsClosedBeforeTheRemoval) {
  // The first file's write fails on its writer only once the main thread is
  // opening the second file, which the main thread hands over after the
  // failure is known: that file is not the writers', and the main thread
  // closes it itself before the removal.
  Prepare({{u"main", test::SampleBytes(5 * 32768, 1)},
           {u"a.txt", "a"},
           {u"b.txt", "b"}});
  veskar_recording::Reset();
  Calls calls;
  test::Ending ending = ExtractInChild(&calls, [] {
    veskar_recording::Script("WriteFile", FALSE, ERROR_DISK_FULL);
    // Files only: the unpack directory's hold is opened with CreateFileW
    // too.
    auto filesOpened = [] {
      size_t files = 0;
      for (const std::string &call : veskar_recording::CallsTo("CreateFileW"))
        files += call.find(" directory ") == std::string::npos;
      return files;
    };
    veskar_recording::OnCall("WriteFile", [filesOpened] {
      while (filesOpened() < 2)
        usleep(1000);
    });
    static int opens = 0;
    veskar_recording::OnEachCall("CreateFileW", [](const std::string &call) {
      if (call.find(" directory ") != std::string::npos || ++opens != 2)
        return;
      while (!__atomic_load_n(&state.writers.failed, __ATOMIC_ACQUIRE))
        usleep(1000);
    });
  });
  EXPECT_TRUE(test::ExitedWith(ending, 2)) << ending;
  EXPECT_EQ(ending.err, "Error, couldn't unpack file to target path. '" +
                            D("main") +
                            "' ([Error 112] No space left on device)\n");
  EXPECT_EQ(Of(calls, "a.txt"), (Calls{Call("CreateFileW", "a.txt"),
                                       Call("CloseHandle", "a.txt")}));
  EXPECT_EQ(Of(calls, "b.txt"), Calls{});
  ExpectEveryFileClosedBeforeTheRemoval(calls);
  EXPECT_FALSE(test::Exists(D()));
}

TEST_F(ExtractCallsTest,
       ALaterRecordOfOneFileIsOpenedOnlyOnceTheEarlierIsClosed) {
  // The earlier records' writes are held until the main thread waits for
  // the writers, or has opened the file again: an open, which truncates,
  // while the earlier chunks are queued would leave them in the file.
  // (Names that only Windows takes as one file are its tests' part.)
  const std::vector<Record> records = {
      {u"main", "m"},
      {u"same.bin", test::SampleBytes(200000, 1)},
      {u"d\\same.bin", test::SampleBytes(200000, 2)},
      {u"same.bin", "later"},
      {u"d\\same.bin", "later too"}};
  Prepare(records);
  veskar_recording::Reset();
  const std::string reopened = Call("CreateFileW", "same.bin");
  veskar_recording::OnCall("WriteFile", [&reopened] {
    for (;;) {
      if (__atomic_load_n(&state.writers.mainWaiting, __ATOMIC_ACQUIRE))
        return;
      const Calls opens = veskar_recording::CallsTo("CreateFileW");
      if (std::count(opens.begin(), opens.end(), reopened) >= 2)
        return;
      usleep(1000);
    }
  });
  ExtractPayload();
  const Calls calls = veskar_recording::Calls();
  for (const char *file : {"same.bin", "d/same.bin"}) {
    SCOPED_TRACE(file);
    const Calls of = Of(calls, file);
    auto firstClose =
        std::find(of.begin(), of.end(), Call("CloseHandle", file));
    ASSERT_NE(firstClose, of.end());
    auto secondOpen =
        std::find(of.begin() + 1, of.end(), Call("CreateFileW", file));
    ASSERT_NE(secondOpen, of.end());
    EXPECT_LT(firstClose - of.begin(), secondOpen - of.begin());
  }
  // The later records' bytes, and only they.
  const std::string same = test::ReadBytes(D("same.bin"));
  EXPECT_TRUE(same == "later") << same.size() << " bytes";
  const std::string inD = test::ReadBytes(D("d/same.bin"));
  EXPECT_TRUE(inD == "later too") << inD.size() << " bytes";
}

TEST_F(ExtractCallsTest, AWriterStuckInAWriteDoesNotHoldUpAFatalEnding) {
  // A write that never returns (a network TEMP that hangs): the fatal
  // ending waits for the writers a bounded time, then removes what it can
  // and ends as always. The files whose close ran are closed before the
  // removal; the stuck one is left open (on Windows it stays on disk for
  // the next start's sweep; here the removal takes it all the same).
  Prepare({{u"main", "m"},
           {u"big.bin", test::SampleBytes(200000, 2)},
           {u"a.txt", "a"},
           {u"..\\evil.txt", "e"}});
  veskar_recording::Reset();
  Calls calls;
  const std::string big = " " + CoreD("big.bin");
  const std::string stuckWrite = Call("WriteFile 32768", "big.bin");
  test::Ending ending = ExtractInChild(&calls, [&big, &stuckWrite] {
    veskar_recording::OnEachCall("WriteFile", [&big](const std::string &call) {
      if (call.size() >= big.size() &&
          call.compare(call.size() - big.size(), big.size(), big) == 0)
        for (;;)
          pause();
    });
    // The main thread goes on to the next file once the write is stuck.
    veskar_recording::OnEachCall("CreateFileW", [&stuckWrite](
                                                    const std::string &call) {
      if (call.compare(call.size() - 6, 6, "\\a.txt") != 0)
        return;
      for (;;) {
        const Calls writes = veskar_recording::CallsTo("WriteFile");
        if (std::find(writes.begin(), writes.end(), stuckWrite) != writes.end())
          return;
        usleep(1000);
      }
    });
  });
  EXPECT_TRUE(test::ExitedWith(ending, 2)) << ending;
  const std::string line = "Error, refusing the name '..\\evil.txt'";
  EXPECT_EQ(ending.err.compare(0, line.size(), line), 0) << ending;
  const std::string d = CoreD();
  auto removal =
      std::find(calls.begin(), calls.end(), "RemoveDirectoryTree " + d);
  ASSERT_NE(removal, calls.end());
  const Calls before(calls.begin(), removal);
  for (const char *file : {"main", "a.txt"}) {
    SCOPED_TRACE(file);
    EXPECT_NE(
        std::find(before.begin(), before.end(), Call("CloseHandle", file)),
        before.end());
  }
  const Calls stuck = Of(calls, "big.bin");
  ASSERT_GE(stuck.size(), 2u);
  EXPECT_EQ(stuck[1], Call("WriteFile 32768", "big.bin"));
  EXPECT_EQ(
      std::count(stuck.begin(), stuck.end(), Call("CloseHandle", "big.bin")),
      0);
  EXPECT_FALSE(test::Exists(D()));
}

TEST_F(ExtractCallsTest, WithoutAThreadTheMainThreadWritesInArchiveOrder) {
  const std::vector<Record> records = {
      {u"x\\z.txt", "z"}, {u"x\\w.txt", test::SampleBytes(40000, 4)}};
  Prepare(records);
  veskar_recording::Reset();
  veskar_recording::ScriptAlways("CreateThread", 0, ERROR_NOT_ENOUGH_MEMORY);
  ExtractPayload();
  Calls expected = {Call("CreateDirectoryW", "")};
  for (const std::string &call : test::HoldCalls(CoreD()))
    expected.push_back(call);
  expected.push_back("GetFileInformationByHandle"); // what the hold holds
  Calls writes = {Call("CreateDirectoryW", "x"),
                  Call("CreateFileW", "x/z.txt"),
                  "CreateThread",
                  Call("WriteFile 1", "x/z.txt"),
                  Call("CloseHandle", "x/z.txt"),
                  Call("CreateFileW", "x/w.txt"),
                  Call("WriteFile 32768", "x/w.txt"),
                  Call("WriteFile 7232", "x/w.txt"),
                  Call("CloseHandle", "x/w.txt")};
  expected.insert(expected.end(), writes.begin(), writes.end());
  EXPECT_EQ(veskar_recording::Calls(), expected);
  EXPECT_TRUE(test::ListTree(D()) == Expected(records));
}

} // namespace

namespace {

// A removal of another start's at the unpack directory, from outside the
// launcher: an exclusive lock on the directory, as its proof takes.
struct OutsideRemoval {
  int fd = -1;
  void Lock(const std::string &directory) {
    fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  }
  void Finish(const std::string &directory) {
    EXPECT_EQ(rmdir(directory.c_str()), 0);
    if (fd >= 0)
      close(fd);
    fd = -1;
  }
};

} // namespace

// Between making the unpack directory and holding it, a sweep of another
// start may take it for an ended run's (its process id not visible from
// there, a clock set forward) and remove it: the run then makes it again
// and holds that one, and writes nothing before. A sweep that holds its
// proof right then is waited for.
TEST_F(ExtractCallsTest, AnUnpackDirectoryRemovedBeforeItsHoldIsMadeAgain) {
  const std::vector<Record> records = {{u"main", "m"}, {u"sub\\a", "a"}};
  static OutsideRemoval removal;
  struct {
    const char *what;
    const char *when; // the call at which the removal acts
    int at;           // at its first or later call
    size_t makes;     // CreateDirectoryW of the unpack directory
    size_t pauses;    // the hold waiting for the removal
  } const kCases[] = {
      // The hold is taken on the directory as it is being removed: the
      // check that follows finds it gone.
      {"removed once the hold's open has it", "GetFileInformationByHandle", 1,
       2, 0},
      // The removal holds its proof when the hold is asked for, and
      // finishes while the hold waits.
      {"removed while the hold waits", "Sleep", 3, 2, 3},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.what);
    Prepare(records);
    veskar_recording::Reset();
    veskar_recording::ScriptAlways("Sleep", 0);
    static std::string directory;
    directory = D();
    static int calls;
    calls = 0;
    static int at;
    at = c.at;
    if (std::string(c.when) == "Sleep") {
      veskar_recording::OnCall("CreateFileW", [] {
        // The first open is the hold's, right after the making.
        static bool locked = false;
        if (!locked)
          removal.Lock(directory);
        locked = true;
      });
      veskar_recording::OnCall("Sleep", [] {
        if (++calls == at)
          removal.Finish(directory);
      });
    } else {
      veskar_recording::OnCall(c.when, [] {
        if (++calls == at)
          removal.Finish(directory);
      });
    }
    ExtractPayload();
    const std::string d = CoreD();
    EXPECT_EQ(veskar_recording::CallsTo("CreateDirectoryW").front(),
              "CreateDirectoryW " + d);
    size_t makes = 0;
    for (const std::string &call :
         veskar_recording::CallsTo("CreateDirectoryW"))
      makes += call == "CreateDirectoryW " + d;
    EXPECT_EQ(makes, c.makes);
    EXPECT_EQ(veskar_recording::CallsTo("Sleep").size(), c.pauses);
    EXPECT_NE(state.unpackDirectoryHold, nullptr);
    EXPECT_TRUE(state.unpackDirectoryOwned);
    EXPECT_TRUE(test::ListTree(D()) == Expected(records));
    // The run holds the directory its files are in: no proof can be taken.
    HANDLE lock = nullptr;
    EXPECT_EQ(TakeRemovalProof(state.unpackDirectory, &lock), nullptr);
    veskar_recording::Reset();
    test::RemoveAll(D());
  }
}
