//===- tests/unit/cache_calls_test.cpp - The cache mode's system calls ---===//
//
// Over the recording layer: what a cold start writes and renames, that a
// later start with every file whole writes, makes and renames nothing, and
// that a rename into place held up for a moment is tried again while a
// lasting failure leaves the run in its own sibling; and what Windows
// answers that Linux does not (a junction at a level, a file in use).
//
//===----------------------------------------------------------------------===//
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/sha256.h"
#include "launcher/cache.h"
#include "launcher/hold.h"
#include "launcher/state.h"
#include "packer/package/cache_values.h"
#include "platform/recording/recording.h"
#include "tests/fuzz/harness.h"
#include "tests/unit/extract_fixture.h"
#include "tests/unit/support.h"

using test::Record;
using Calls = std::vector<std::string>;

namespace {

const std::vector<Record> kRecords = {
    {u"main", "m"}, {u"sub\\a.txt", "aa"}, {u"b.txt", "bbb"}};

class CacheCallsTest : public ExtractionFixture {
protected:
  void SetUp() override {
    ExtractionFixture::SetUp();
    saved_ = buildValues;
    buildValues.unpackMode = kUnpackCacheSize;
    std::u16string cacheTemplate = u"{HOME}\\cache";
    memset(buildValues.unpackTemplate, 0, sizeof buildValues.unpackTemplate);
    std::copy(cacheTemplate.begin(), cacheTemplate.end(),
              buildValues.unpackTemplate);
    for (size_t i = 0; i < kPayloadDigestSize; ++i)
      buildValues.payloadDigest[i] = (unsigned char)(0xA0 + i);
    UseRecords(kRecords);
    veskar_recording::Reset();
    // The pauses between renames are logged, not waited.
    veskar_recording::ScriptAlways("Sleep", 0);
  }
  void TearDown() override {
    veskar_recording::Reset();
    buildValues = saved_;
    ExtractionFixture::TearDown();
  }

  // Sets the build values' marker digest and size to those of the marker
  // `records` make.
  static void DescribeMarker(const std::vector<Record> &records) {
    std::vector<veskar::ArchiveInput> inputs;
    for (const Record &record : records)
      inputs.push_back({record.name, "", record.data.size()});
    std::vector<uint8_t> marker =
        veskar::ExpectedCacheMarker(inputs, buildValues.payloadDigest);
    Sha256 sha;
    Sha256Init(sha);
    Sha256Update(sha, marker.data(), marker.size());
    Sha256Digest(sha, buildValues.markerDigest);
    PutLittleEndian64(buildValues.markerSize, marker.size());
  }

  // The payload's records from now on, and the build values' marker for
  // them.
  void UseRecords(const std::vector<Record> &records) {
    records_ = records;
    DescribeMarker(records);
  }

  // The launcher's state afresh, with the records as its payload
  // resource.
  void Attach() {
    test::ResetLauncherState();
    container_ =
        next_.empty()
            ? test::Container(test::Compress(test::ArchiveStream(records_)))
            : next_;
    state.parallel.threadLimit = threads_;
    veskar_fuzz::SetPayloadResource((const uint8_t *)container_.data(),
                                    container_.size(), true);
  }

  // One start: the paths expanded, the cache directory made sure of.
  // Gives the calls it made.
  Calls Start() {
    Attach();
    veskar_recording::Reset();
    veskar_recording::ScriptAlways("Sleep", 0);
    ExpandCachePaths();
    PrepareCacheDirectory();
    return veskar_recording::Calls();
  }

  // A cache directory in place with sub/a.txt changed, and the next start
  // attached, whose replacing of that file fails with `error`.
  void PrepareARepairThatCannotReplace(DWORD error) {
    Start();
    test::WriteBytes(Cache() + "/sub/a.txt", "changed");
    Attach();
    veskar_recording::Reset();
    veskar_recording::ScriptAlways("Sleep", 0);
    veskar_recording::Script("MoveFileExW", FALSE, error);
  }

  static Calls Named(const Calls &calls, const std::string &name) {
    Calls found;
    for (const std::string &call : calls)
      if (call.compare(0, name.size() + 1, name + " ") == 0 || call == name)
        found.push_back(call);
    return found;
  }

  // The cache directory, natively.
  std::string Cache() const { return scratch_ / "cache/a0a1a2a3a4a5a6a7"; }

  BuildValues saved_;
  std::vector<Record> records_;
  std::string container_;
  // The next starts' payload, when not kRecords in one frame, and their
  // decoder threads (0: one per processor).
  std::string next_;
  int threads_ = 0;
};

TEST_F(CacheCallsTest, ALaterStartWritesMakesAndRenamesNothing) {
  Calls cold = Start();
  EXPECT_EQ(Named(cold, "MoveFileExW").size(), 1u);
  EXPECT_FALSE(state.unpackDirectoryOwned);
  EXPECT_EQ(test::Utf8(state.childExecutablePath),
            test::Utf8(test::CorePath(Cache() + "/main")));
  auto tree = test::ListTree(Cache());
  EXPECT_EQ(tree.count(".onefile-marker"), 1u);
  tree.erase(".onefile-marker");
  EXPECT_TRUE(tree == Expected(kRecords));

  Calls warm = Start();
  for (const char *name : {"CreateDirectoryW", "WriteFile", "MoveFileExW",
                           "RemoveDirectoryTree", "FlushFileBuffers"})
    EXPECT_EQ(Named(warm, name), Calls()) << name;
  // The cache directory held, then one file opened, for reading: the
  // marker; each listed file looked at.
  Calls opens;
  for (const std::string &call :
       test::HoldCalls(test::Utf8(test::CorePath(Cache()))))
    if (call.compare(0, 12, "CreateFileW ") == 0)
      opens.push_back(call);
  opens.push_back("CreateFileW " +
                  test::Utf8(test::CorePath(Cache() + "/.onefile-marker")) +
                  " read");
  EXPECT_EQ(Named(warm, "CreateFileW"), opens);
  // Each directory listed once, no file looked up by its path.
  EXPECT_EQ(Named(warm, "FindFirstFileExW"),
            (Calls{"FindFirstFileExW " + test::Utf8(test::CorePath(Cache())) +
                       "\\*",
                   "FindFirstFileExW " +
                       test::Utf8(test::CorePath(Cache() + "/sub")) + "\\*"}));
  EXPECT_EQ(Named(warm, "GetFileAttributesExW"), Calls());
  EXPECT_EQ(test::Utf8(state.childExecutablePath),
            test::Utf8(test::CorePath(Cache() + "/main")));
}

// A sibling is put into place only when it is this payload's image that a
// later start can check: never when its marker is not the one the build
// values describe, nor when two records named one file (the alias appears
// once the first is made, as a short name does; the marker lists both, and
// a later start would repair the earlier one at every start). Such a start
// runs from its sibling, which goes at its end, and so does the next one:
// nothing is ever published or repaired. With either reader.
TEST_F(CacheCallsTest, OnlyASiblingALaterStartCanCheckIsPublished) {
  const std::vector<Record> aliasing = {
      {u"main", "m"},
      {u"averylongname.bin", test::SampleBytes(100000, 5)},
      {u"AVERYL~1.BIN", "later"}};
  const struct {
    const char *what;
    std::vector<Record> records, described;
    std::vector<size_t> cuts; // of the indexed payload's frames
    bool alias;
  } kCases[] = {
      {"a marker the build values do not describe", kRecords,
       {{u"main", "m"}, {u"sub\\a.txt", "aa"}, {u"b.txt", "bbbb"}}, {20},
       false},
      {"two records of one file", aliasing, aliasing, {20, 30000}, true},
  };
  for (const auto &c : kCases) {
    for (int threads : {1, 2}) {
      SCOPED_TRACE(std::string(c.what) + ", threads " +
                   std::to_string(threads));
      test::RemoveAll(scratch_ / "cache");
      UseRecords(c.records);
      DescribeMarker(c.described);
      threads_ = threads;
      next_ = test::IndexedContainer(c.records, c.cuts);
      for (int start = 0; start < 2; ++start) {
        Attach();
        veskar_recording::Reset();
        veskar_recording::ScriptAlways("Sleep", 0);
        if (c.alias)
          veskar_recording::OnEachCall("CreateFileW", [](const std::string &
                                                            call) {
            const std::string tail = "AVERYL~1.BIN";
            if (call.compare(call.size() - tail.size(), tail.size(), tail) !=
                0)
              return;
            std::string path = call.substr(strlen("CreateFileW "));
            std::replace(path.begin(), path.end(), '\\', '/');
            std::string folder = path.substr(0, path.rfind('/'));
            ASSERT_EQ(link((folder + "/averylongname.bin").c_str(),
                           path.c_str()),
                      0);
          });
        ExpandCachePaths();
        PrepareCacheDirectory();
        Calls calls = veskar_recording::Calls();
        EXPECT_EQ(Named(calls, "MoveFileExW"), Calls()) << start;
        EXPECT_TRUE(state.unpackDirectoryOwned) << start;
        EXPECT_EQ(test::Utf8(state.childExecutablePath),
                  test::Utf8(state.unpackDirectory) + "\\main")
            << start;
        EXPECT_FALSE(test::Exists(Cache())) << start;
        std::string sibling =
            test::ShownPath(std::u16string(state.unpackDirectory));
        if (c.alias) {
          EXPECT_EQ(test::ReadBytes(sibling + "/averylongname.bin"), "later");
        }
        test::RemoveAll(sibling);
      }
    }
  }
  next_.clear();
  threads_ = 0;
}

// On Windows a file that a scanner still holds with delete sharing keeps
// its name after its deletion (delete-pending), and so does its folder:
// the path of a removed sibling cannot be made again for a while. A start
// whose repair could not put a file in place removed its sibling; it
// unpacks the whole payload into a sibling of a fresh name and runs. The
// removed sibling's name is kept standing here by a file put there as the
// run makes that path again.
TEST_F(CacheCallsTest, AfterAFailedRepairTheRunUnpacksUnderAFreshName) {
  PrepareARepairThatCannotReplace(ERROR_ACCESS_DENIED);
  static std::vector<std::string> siblings;
  siblings.clear();
  veskar_recording::OnEachCall("CreateDirectoryW", [](const std::string &c) {
    std::string path = c.substr(strlen("CreateDirectoryW "));
    std::replace(path.begin(), path.end(), '\\', '/');
    size_t level = path.rfind('/');
    if (level == std::string::npos ||
        path.compare(level + 1, 8, "onefile_") != 0)
      return;
    if (std::find(siblings.begin(), siblings.end(), path) != siblings.end())
      test::WriteBytes(path, ""); // the name still stands
    siblings.push_back(path);
  });
  test::Ending ending = test::RunInChild([] {
    ExpandCachePaths();
    PrepareCacheDirectory();
    std::string sibling = test::Utf8(state.unpackDirectory);
    bool ranFromSibling =
        state.unpackDirectoryOwned &&
        test::Utf8(state.childExecutablePath) == sibling + "\\main";
    std::replace(sibling.begin(), sibling.end(), '\\', '/');
    exit(ranFromSibling && test::ReadBytes(sibling + "/sub/a.txt") == "aa"
             ? 0
             : 1);
  });
  EXPECT_TRUE(test::ExitedWith(ending, 0)) << ending;
  EXPECT_EQ(test::ReadBytes(Cache() + "/sub/a.txt"), "changed");
}

TEST_F(CacheCallsTest, ARenameHeldUpForAMomentIsTriedAgain) {
  veskar_recording::Script("MoveFileExW", FALSE, ERROR_ACCESS_DENIED);
  veskar_recording::Script("MoveFileExW", FALSE, ERROR_ACCESS_DENIED);
  Attach();
  ExpandCachePaths();
  PrepareCacheDirectory();
  Calls calls = veskar_recording::Calls();
  EXPECT_EQ(Named(calls, "MoveFileExW").size(), 3u);
  EXPECT_EQ(Named(calls, "Sleep"), (Calls{"Sleep 100", "Sleep 100"}));
  EXPECT_FALSE(state.unpackDirectoryOwned);
  EXPECT_EQ(test::ListTree(Cache()).count("main"), 1u);
}

TEST_F(CacheCallsTest, ALastingRenameFailureLeavesTheRunInItsSibling) {
  veskar_recording::ScriptAlways("MoveFileExW", FALSE, ERROR_ACCESS_DENIED);
  Attach();
  ExpandCachePaths();
  PrepareCacheDirectory();
  Calls calls = veskar_recording::Calls();
  EXPECT_EQ(Named(calls, "MoveFileExW").size(), 11u);
  // The sibling stays this run's, removed at its end; nothing is in place.
  EXPECT_TRUE(state.unpackDirectoryOwned);
  EXPECT_EQ(test::Utf8(state.childExecutablePath),
            test::Utf8(state.unpackDirectory) + "\\main");
  EXPECT_TRUE(test::ListTree(Cache()).empty());
}

// The cache directory appears between this start's look and its rename:
// another start was first. This one removes its sibling, finds a file of
// the winner's missing and repairs it through a sibling made anew.
TEST_F(CacheCallsTest, AStartThatLosesTheRaceRepairsTheWinnersDirectory) {
  Start();
  ASSERT_EQ(unlink((Cache() + "/sub/a.txt").c_str()), 0);
  Attach();
  veskar_recording::Reset();
  veskar_recording::ScriptAlways("Sleep", 0);
  veskar_recording::Script("GetFileAttributesW", INVALID_FILE_ATTRIBUTES,
                           ERROR_FILE_NOT_FOUND);
  ExpandCachePaths();
  PrepareCacheDirectory();
  Calls moves = Named(veskar_recording::Calls(), "MoveFileExW");
  EXPECT_EQ(moves, (Calls{"MoveFileExW " + test::Utf8(test::CorePath(Cache())),
                          "MoveFileExW " + test::Utf8(test::CorePath(
                                               Cache() + "/sub/a.txt"))}));
  EXPECT_FALSE(state.unpackDirectoryOwned);
  auto tree = test::ListTree(Cache());
  tree.erase(".onefile-marker");
  EXPECT_TRUE(tree == Expected(kRecords));
  EXPECT_EQ(test::ListTree(scratch_ / "cache").size(), tree.size() + 2)
      << "a sibling is left";
  // Each sibling's hold is closed before the sibling is removed (Windows
  // removes no directory with a handle open on it), and the winner's
  // directory is held.
  const std::string sibling = test::Utf8(state.unpackDirectory);
  Calls closesAndRemovals;
  for (const std::string &call : veskar_recording::Calls())
    if (call == "CloseHandle " + sibling ||
        call == "RemoveDirectoryTree " + sibling)
      closesAndRemovals.push_back(call);
  EXPECT_EQ(
      closesAndRemovals,
      (Calls{"CloseHandle " + sibling, "CloseHandle " + sibling,
             "RemoveDirectoryTree " + sibling, "CloseHandle " + sibling,
             "CloseHandle " + sibling, "RemoveDirectoryTree " + sibling}));
  EXPECT_NE(state.cache.directoryHold, nullptr);
  EXPECT_EQ(state.unpackDirectoryHold, nullptr);
}

// The holds of the cache mode, which tell other starts that the directories
// are in use. A cold start holds its sibling from its making on, and the
// hold follows it through the rename into place: it shares deletion, so it
// does not stand in the rename's way on Windows, and it is never closed in
// between. A later start holds the cache directory before it reads the
// marker.
TEST_F(CacheCallsTest, EveryStartHoldsTheDirectoryItRunsFrom) {
  HANDLE lock = nullptr; // the proof's part beside the directory: none here
  Calls cold = Start();
  const std::string cache = test::Utf8(test::CorePath(Cache()));
  const std::string sibling = test::Utf8(state.unpackDirectory);
  Calls ordered;
  for (const std::string &call : cold)
    if (call == "CreateDirectoryW " + sibling ||
        call == "CreateFileW " + sibling + " directory write share rwd" ||
        call == "CloseHandle " + sibling ||
        call.compare(0, 12, "MoveFileExW ") == 0)
      ordered.push_back(call);
  EXPECT_EQ(ordered,
            (Calls{"CreateDirectoryW " + sibling,
                   "CreateFileW " + sibling + " directory write share rwd",
                   // the check's own handle
                   "CloseHandle " + sibling, "MoveFileExW " + cache}));
  ASSERT_NE(state.cache.directoryHold, nullptr);
  EXPECT_EQ(state.unpackDirectoryHold, nullptr);
  EXPECT_EQ(TakeRemovalProof(test::CorePath(Cache()).c_str(), &lock), nullptr);

  Calls warm = Start();
  Calls expected = test::HoldCalls(cache);
  expected.push_back("CreateFileW " + cache + "\\.onefile-marker read");
  Calls opens;
  for (const std::string &call : warm)
    if (call.compare(0, 12, "CreateFileW ") == 0 ||
        call.compare(0, 26, "GetFileInformationByHandle") == 0 ||
        call == "CloseHandle " + cache)
      opens.push_back(call);
  EXPECT_EQ(Calls(opens.begin(), opens.begin() + 6), expected);
  ASSERT_NE(state.cache.directoryHold, nullptr);
  EXPECT_EQ(TakeRemovalProof(test::CorePath(Cache()).c_str(), &lock), nullptr);
  // Once the runs have ended, the proof can be taken.
  test::ResetLauncherState();
  HANDLE proof = TakeRemovalProof(test::CorePath(Cache()).c_str(), &lock);
  EXPECT_NE(proof, nullptr);
  CloseHandle(proof);
}

// A cache directory whose hold cannot be taken (another start is removing
// it: an old build's directory, as it thinks) is not used: the run unpacks
// into its own sibling and runs from there, and leaves the directory alone.
TEST_F(CacheCallsTest, ACacheDirectoryThatCannotBeHeldIsNotUsed) {
  Start();
  test::ResetLauncherState();
  int removal = open(Cache().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(removal, 0);
  ASSERT_EQ(flock(removal, LOCK_EX | LOCK_NB), 0);
  auto before = test::ListTree(Cache());
  Calls calls = Start();
  close(removal);
  EXPECT_EQ(state.cache.directoryHold, nullptr);
  EXPECT_TRUE(state.unpackDirectoryOwned);
  EXPECT_NE(state.unpackDirectoryHold, nullptr);
  EXPECT_EQ(test::Utf8(state.childExecutablePath),
            test::Utf8(state.unpackDirectory) + "\\main");
  EXPECT_EQ(Named(calls, "CreateFileW " + test::Utf8(test::CorePath(
                                              Cache() + "/.onefile-marker"))),
            Calls());
  EXPECT_EQ(Named(calls, "MoveFileExW"), Calls());
  EXPECT_TRUE(test::ListTree(Cache()) == before);
}

// Windows refuses to replace a file another process holds open (a second
// instance running it, one writing to it): the broken file stays as it is,
// and this start runs from a whole sibling of its own, removed at its end.
TEST_F(CacheCallsTest, AFileThatCannotBeReplacedLeavesTheRunInItsOwnSibling) {
  const DWORD kSharingViolation = 32;
  for (DWORD error : {(DWORD)ERROR_ACCESS_DENIED, kSharingViolation}) {
    SCOPED_TRACE(error);
    test::RemoveAll(scratch_ / "cache");
    PrepareARepairThatCannotReplace(error);
    ExpandCachePaths();
    PrepareCacheDirectory();
    EXPECT_EQ(Named(veskar_recording::Calls(), "MoveFileExW"),
              (Calls{"MoveFileExW " +
                     test::Utf8(test::CorePath(Cache() + "/sub/a.txt"))}));
    EXPECT_TRUE(state.unpackDirectoryOwned);
    std::string sibling = test::Utf8(state.unpackDirectory);
    EXPECT_EQ(test::Utf8(state.childExecutablePath), sibling + "\\main");
    std::replace(sibling.begin(), sibling.end(), '\\', '/');
    EXPECT_TRUE(test::ListTree(sibling) == Expected(kRecords));
    EXPECT_EQ(test::ReadBytes(Cache() + "/sub/a.txt"), "changed");
  }
}

// A later start looks at each directory of the cache once: one listing of
// it, after its levels have been found plain directories, and no file
// looked up by its path. What the listings show decides, case by case,
// which files are written again, or that the directory is no image of this
// payload (the run then goes on from its own sibling and leaves the cache
// directory as it is). The records interleave their directories, as an
// archive's do.
TEST_F(CacheCallsTest, EachDirectoryIsListedOnceAndDecidesItsFiles) {
  UseRecords({{u"main", "m"},
              {u"sub\\a.txt", "aa"},
              {u"b.txt", "bbb"},
              {u"sub\\deep\\c.txt", "cccc"},
              {u"other\\e.bin", "eeeee"},
              {u"sub\\d.txt", "dd"}});
  const std::string outside = scratch_ / "outside";
  const struct {
    const char *what;
    std::function<bool(const std::string &cache)> change; // false: skip
    // The directories listed ("" the cache directory itself), in order.
    std::vector<std::string> listed;
    // The files moved into place, in order.
    std::vector<std::string> moved;
    // The run goes on from its own sibling; the cache directory is left
    // as it was.
    bool ownSibling;
  } kCases[] = {
      {"every file whole", [](const std::string &) { return true; },
       {"", "other", "sub", "sub/deep"}, {}, false},
      {"a file missing",
       [](const std::string &cache) {
         return unlink((cache + "/sub/a.txt").c_str()) == 0;
       },
       {"", "other", "sub", "sub/deep"}, {"sub/a.txt"}, false},
      {"a file of another size",
       [](const std::string &cache) {
         test::WriteBytes(cache + "/sub/d.txt", "ddd");
         return true;
       },
       {"", "other", "sub", "sub/deep"}, {"sub/d.txt"}, false},
      {"a link to a file of the listed size",
       [&](const std::string &cache) {
         test::WriteBytes(outside, "xyz");
         return unlink((cache + "/b.txt").c_str()) == 0 &&
                symlink(outside.c_str(), (cache + "/b.txt").c_str()) == 0;
       },
       {"", "other", "sub", "sub/deep"}, {"b.txt"}, false},
      {"a fifo",
       [](const std::string &cache) {
         return unlink((cache + "/other/e.bin").c_str()) == 0 &&
                mkfifo((cache + "/other/e.bin").c_str(), 0600) == 0;
       },
       {"", "other", "sub", "sub/deep"}, {"other/e.bin"}, false},
      // Another case of the name is another file on Linux (on Windows the
      // same one: names_test holds the order the listing is searched in to
      // that).
      {"another case of the name",
       [](const std::string &cache) {
         return rename((cache + "/b.txt").c_str(),
                       (cache + "/B.TXT").c_str()) == 0;
       },
       {"", "other", "sub", "sub/deep"}, {"b.txt"}, false},
      {"a directory level missing",
       [](const std::string &cache) {
         test::RemoveAll(cache + "/sub/deep");
         return true;
       },
       {"", "other", "sub"}, {"sub/deep/c.txt"}, false},
      // A directory where a file is listed cannot be replaced: the repair
      // fails and nothing of the cache directory is touched.
      {"a directory where a file is listed",
       [](const std::string &cache) {
         test::RemoveAll(cache + "/b.txt");
         test::MakeDirectories(cache + "/b.txt");
         test::WriteBytes(cache + "/b.txt/inside", "i");
         return test::Exists(cache + "/b.txt/inside");
       },
       {"", "other", "sub", "sub/deep"}, {"b.txt"}, true},
      // Nothing is listed through a link at a level.
      {"a link as a directory level",
       [&](const std::string &cache) {
         return rename((cache + "/sub").c_str(), outside.c_str()) == 0 &&
                symlink(outside.c_str(), (cache + "/sub").c_str()) == 0;
       },
       {"", "other"}, {}, true},
      {"a file as a directory level",
       [](const std::string &cache) {
         test::RemoveAll(cache + "/other");
         test::WriteBytes(cache + "/other", "o");
         return true;
       },
       {""}, {}, true},
      // Needs root to give a level away.
      {"a level of another user",
       [](const std::string &cache) {
         return chown((cache + "/sub").c_str(), getuid() + 1, (gid_t)-1) == 0;
       },
       {"", "other"}, {}, true},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.what);
    test::RemoveAll(scratch_ / "cache");
    test::RemoveAll(outside);
    Start();
    if (!c.change(Cache())) {
      if (getuid() == 0)
        ADD_FAILURE() << "the case could not be set up";
      continue;
    }
    auto before = test::ListTree(Cache());
    Calls warm = Start();
    Calls listed, moved;
    for (const std::string &directory : c.listed)
      listed.push_back(
          "FindFirstFileExW " +
          test::Utf8(test::CorePath(
              directory.empty() ? Cache() : Cache() + "/" + directory)) +
          "\\*");
    for (const std::string &file : c.moved)
      moved.push_back("MoveFileExW " +
                      test::Utf8(test::CorePath(Cache() + "/" + file)));
    EXPECT_EQ(Named(warm, "FindFirstFileExW"), listed);
    EXPECT_EQ(Named(warm, "GetFileAttributesExW"), Calls());
    EXPECT_EQ(Named(warm, "MoveFileExW"), moved);
    EXPECT_EQ(state.unpackDirectoryOwned, c.ownSibling);
    if (c.ownSibling) {
      EXPECT_EQ(test::Utf8(state.childExecutablePath),
                test::Utf8(state.unpackDirectory) + "\\main");
      EXPECT_TRUE(test::ListTree(Cache()) == before);
    } else {
      EXPECT_EQ(test::Utf8(state.childExecutablePath),
                test::Utf8(test::CorePath(Cache() + "/main")));
      auto tree = test::ListTree(Cache());
      tree.erase(".onefile-marker");
      tree.erase("B.TXT");
      EXPECT_TRUE(tree == Expected(records_));
    }
  }
}

// A directory that cannot be listed (access taken away meanwhile, say)
// has every file of its own written again; the others are left alone.
TEST_F(CacheCallsTest, FilesOfADirectoryThatCannotBeListedAreWrittenAgain) {
  Start();
  Attach();
  veskar_recording::Reset();
  veskar_recording::ScriptAlways("Sleep", 0);
  veskar_recording::Script("FindFirstFileExW",
                           (uint64_t)(intptr_t)INVALID_HANDLE_VALUE,
                           ERROR_ACCESS_DENIED);
  ExpandCachePaths();
  PrepareCacheDirectory();
  Calls calls = veskar_recording::Calls();
  EXPECT_EQ(Named(calls, "FindFirstFileExW").size(), 2u);
  EXPECT_EQ(Named(calls, "MoveFileExW"),
            (Calls{"MoveFileExW " + test::Utf8(test::CorePath(Cache() +
                                                              "/main")),
                   "MoveFileExW " +
                       test::Utf8(test::CorePath(Cache() + "/b.txt"))}));
  EXPECT_FALSE(state.unpackDirectoryOwned);
}

// A listing on NTFS may show a size that is not current for a file open
// elsewhere (Linux and Wine list what the file holds, so the recording layer
// shows the stale size). Listed sizes are trusted, except for a file
// written later than the marker: that one is opened, and the open file's
// size decides. Elsewhere no file is opened.
TEST_F(CacheCallsTest, AListedFileWrittenSinceTheMarkerIsCheckedOpen) {
  const time_t kMarkerTime = 1000000000;
  struct Row {
    const char *what;
    const char *held;     // what sub/a.txt holds (the marker lists 2 bytes)
    DWORD listedSize;     // the size its listing entry shows
    time_t writtenAfter;  // its last write, in seconds after the marker's
    bool opened, repaired;
  };
  const Row kRows[] = {
      {"cut short, listed whole, written later", "a", 2, 10, true, true},
      {"cut short, listed whole, written with the marker", "a", 2, 0, false,
       false},
      {"cut short, listed whole, written earlier", "a", 2, -10, false, false},
      {"whole, written later", "aa", 2, 10, true, false},
      {"whole, listed at another size, written later", "aa", 5, 10, true,
       false},
      {"grown, listed whole, written later", "aaaa", 2, 10, true, true},
  };
  const std::string aPath = test::Utf8(test::CorePath(Cache() + "/sub/a.txt"));
  for (const Row &row : kRows) {
    SCOPED_TRACE(row.what);
    test::RemoveAll(scratch_ / "cache");
    Start();
    test::WriteBytes(Cache() + "/sub/a.txt", row.held);
    // Every file written before the marker, as a cold start leaves them,
    // but sub/a.txt as the row says.
    auto setTime = [](const std::string &path, time_t seconds) {
      struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
      ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW),
                0)
          << path;
    };
    for (const char *name : {"/main", "/b.txt"})
      setTime(Cache() + name, kMarkerTime - 10);
    setTime(Cache() + "/sub/a.txt", kMarkerTime + row.writtenAfter);
    setTime(Cache() + "/.onefile-marker", kMarkerTime);
    Attach();
    veskar_recording::Reset();
    veskar_recording::ScriptAlways("Sleep", 0);
    DWORD listedSize = row.listedSize;
    veskar_recording::EditListedEntries([listedSize](WIN32_FIND_DATAW &entry) {
      if (test::Utf8(std::u16string((const char16_t *)entry.cFileName)) ==
          "a.txt") {
        entry.nFileSizeHigh = 0;
        entry.nFileSizeLow = listedSize;
      }
    });
    ExpandCachePaths();
    PrepareCacheDirectory();
    Calls calls = veskar_recording::Calls();
    size_t opens = std::count(calls.begin(), calls.end(),
                              "CreateFileW " + aPath + " read");
    EXPECT_EQ(opens, row.opened ? 1u : 0u);
    // Only sub/a.txt was ever in doubt.
    EXPECT_EQ(Named(calls, "MoveFileExW"),
              row.repaired ? Calls{"MoveFileExW " + aPath} : Calls());
    EXPECT_EQ(test::ReadBytes(Cache() + "/sub/a.txt"),
              row.repaired ? "aa" : row.held);
    EXPECT_FALSE(state.unpackDirectoryOwned);
  }
}

// A junction at a level below the cache directory (a directory that is a
// reparse point on Windows): nothing is read or written through it; the
// directory is no image of this payload, and the run goes on from its own
// sibling.
TEST_F(CacheCallsTest, AJunctionAtALevelLeavesTheRunInItsOwnSibling) {
  Start();
  Attach();
  veskar_recording::Reset();
  veskar_recording::ScriptAlways("Sleep", 0);
  // The cache directory (there), its parent and itself (the user's own),
  // then the level "sub".
  for (int i = 0; i < 3; ++i)
    veskar_recording::Script("GetFileAttributesW", FILE_ATTRIBUTE_DIRECTORY);
  veskar_recording::Script("GetFileAttributesW",
                           FILE_ATTRIBUTE_DIRECTORY |
                               FILE_ATTRIBUTE_REPARSE_POINT);
  ExpandCachePaths();
  PrepareCacheDirectory();
  Calls looks = Named(veskar_recording::Calls(), "GetFileAttributesW");
  ASSERT_GE(looks.size(), 4u);
  EXPECT_EQ(looks[3], "GetFileAttributesW " +
                          test::Utf8(test::CorePath(Cache() + "/sub")));
  EXPECT_EQ(Named(veskar_recording::Calls(), "MoveFileExW"), Calls());
  EXPECT_TRUE(state.unpackDirectoryOwned);
  EXPECT_EQ(test::Utf8(state.childExecutablePath),
            test::Utf8(state.unpackDirectory) + "\\main");
}

// A repair decodes only the frames that hold a broken file: a frame that
// holds none may even be damaged. With one decoder thread as with two.
TEST_F(CacheCallsTest, ARepairDecodesOnlyTheFramesOfTheBrokenFiles) {
  const std::vector<Record> records = {
      {u"main", test::SampleBytes(3000, 1)},
      {u"sub\\a.txt", test::SampleBytes(5000, 2)},
      {u"b.txt", test::SampleBytes(6000, 3)}};
  // Frames: "main" and the start of a.txt; the rest of a.txt; b.txt.
  const size_t b = (2 * 4 + 10 + 3000) + (2 * 9 + 10 + 5000);
  const std::vector<size_t> cuts = {3100, b};
  std::string good = test::IndexedContainer(records, cuts);
  std::string damaged = good;
  // A byte of the first frame, which follows the index's skippable frame.
  size_t frames = 3 + 8 + GetLittleEndian32((const unsigned char *)&good[7]);
  damaged[frames + 40] ^= 0x55;
  UseRecords(records);
  for (int threads : {1, 2}) {
    SCOPED_TRACE("threads " + std::to_string(threads));
    test::RemoveAll(scratch_ / "cache");
    threads_ = threads;
    next_ = good;
    Start();
    auto tree = test::ListTree(Cache());
    tree.erase(".onefile-marker");
    EXPECT_TRUE(tree == Expected(records));

    test::WriteBytes(Cache() + "/b.txt", "broken");
    next_ = damaged;
    Calls repair = Start();
    EXPECT_EQ(Named(repair, "MoveFileExW").size(), 1u);
    tree = test::ListTree(Cache());
    tree.erase(".onefile-marker");
    EXPECT_TRUE(tree == Expected(records));
    EXPECT_FALSE(state.unpackDirectoryOwned);
  }
}

// An index that disagrees with a sound stream: the cold start and the
// repair stop their parallel pass, remove what it made in the sibling, and
// read the stream alone. The cold start's marker lists the stream's
// records, so its sibling is published as the cache directory; the repair
// puts the stream's file in place. Each start runs in a child: a decode
// error ends it, and the tree it leaves tells.
TEST_F(CacheCallsTest, AForgedIndexOverASoundStreamStillFillsAndRepairs) {
  const std::vector<Record> records = {
      {u"main", test::SampleBytes(3000, 1)},
      {u"sub\\a.txt", test::SampleBytes(5000, 2)},
      {u"b.txt", test::SampleBytes(6000, 3)}};
  std::vector<Record> renamed = records;
  renamed[2].name = u"c.txt";
  // Two frames, the first ending in a.txt's data, which the index says ends
  // a byte later: the second frame's bytes land a byte off.
  const std::string stream = test::ArchiveStream(records);
  const size_t cut = (2 * 4 + 10 + 3000) + 2000;
  const std::string first = test::Compress(stream.substr(0, cut));
  const std::string second = test::Compress(stream.substr(cut));
  const std::string shifted = test::Container(
      test::IndexFrame(records,
                       {{first.size(), cut + 1},
                        {second.size(), stream.size() - cut - 1}},
                       stream.size()) +
      first + second);
  UseRecords(records);
  threads_ = 2;
  auto startAlone = [this] {
    return test::RunInChild([this] { Start(); });
  };
  auto cached = [this] {
    auto tree = test::ListTree(Cache());
    EXPECT_EQ(tree.erase(".onefile-marker"), 1u);
    return tree;
  };

  test::RemoveAll(scratch_ / "cache");
  next_ = test::IndexedContainer(records, {3100, 9000}, renamed);
  test::Ending ending = startAlone();
  EXPECT_TRUE(test::ExitedWith(ending, test::kReturned)) << ending;
  EXPECT_TRUE(cached() == Expected(records));

  test::WriteBytes(Cache() + "/b.txt", "broken");
  next_ = shifted;
  ending = startAlone();
  EXPECT_TRUE(test::ExitedWith(ending, test::kReturned)) << ending;
  EXPECT_TRUE(cached() == Expected(records));
  // Nothing but the cache directory is left beside it.
  for (const auto &entry : test::ListTree(scratch_ / "cache"))
    EXPECT_EQ(entry.first.compare(0, 17, "a0a1a2a3a4a5a6a7/"), 0)
        << entry.first;
}

} // namespace
