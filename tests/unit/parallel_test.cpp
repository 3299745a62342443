//===- tests/unit/parallel_test.cpp - Frames decoded on several threads --===//
//
// A payload with an index is decoded frame by frame on several threads. The
// tests cut one archive stream at the places that matter (inside a name, a
// size, a file's data, on a record's edge) and hold the parallel reader to
// the one-thread reader's results: the same files, the same endings, the
// same messages. The index is never trusted for content: a forged one is a
// decode error. Over the recording layer, which does the real work.
//
//===----------------------------------------------------------------------===//
#include <signal.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "launcher/console.h"
#include "launcher/state.h"
#include "launcher/unpack.h"
#include "platform/recording/recording.h"
#include "tests/unit/calls_fixture.h"
#include "tests/unit/support.h"

using test::Record;

namespace {

const char kDecodeError[] = "Error, couldn't decode attached data.\n";

class IndexedExtractionTest : public ExtractionCallsFixture {
protected:
  // The records behind an index, in frames cut at `cuts`, to be read with
  // at most `threads` decoder threads (1: the one-thread reader).
  void PrepareIndexed(const std::vector<Record> &records,
                      const std::vector<size_t> &cuts, int threads,
                      const std::vector<Record> &listed = {}) {
    test::ResetLauncherState();
    test::AttachPayload(test::IndexedContainer(records, cuts, listed));
    SetUnpackDirectory();
    state.parallel.threadLimit = threads;
  }
  void PrepareContainer(const std::string &container, int threads) {
    test::ResetLauncherState();
    test::AttachPayload(container);
    SetUnpackDirectory();
    state.parallel.threadLimit = threads;
  }
  void SetUnpackDirectory() {
    std::u16string directory = test::CorePath(unpackDirectory_);
    std::copy(directory.begin(), directory.end(), state.unpackDirectory);
  }
  // Extracts in a child; what it wrote is gone with it unless it completed.
  test::Ending ExtractAlone() {
    return test::RunInChild([] { ExtractPayload(); });
  }
  // Where each record's header, data and end lie in the archive stream.
  static std::vector<size_t> Offsets(const std::vector<Record> &records) {
    std::vector<size_t> offsets;
    size_t at = 0;
    for (const Record &record : records) {
      offsets.push_back(at);
      at += 2 * record.name.size() + 10 + record.data.size();
    }
    offsets.push_back(at);
    return offsets;
  }
};

const std::vector<Record> &Tree() {
  static const std::vector<Record> records = {
      {u"main", test::SampleBytes(5000, 1)},
      {u"d\\empty", ""},
      {u"d\\big.bin", test::SampleBytes(300000, 2)},
      {u"g", "1"},
  };
  return records;
}

// Every cut of the stream, on every thread count, gives the files the
// records hold; and at every cut the parallel reader is the one that ran:
// an index with one name forged (same length, so it still checks out) is a
// decode error there, where the one-thread reader, which never looks at
// the index, writes the files.
TEST_F(IndexedExtractionTest, EveryCutGivesTheSameFilesOnEveryThreadCount) {
  const std::vector<Record> &records = Tree();
  std::vector<size_t> at = Offsets(records);
  size_t bigData = at[2] + 2 * 10 + 10; // "d\big.bin" is 10 units
  struct Case {
    const char *what;
    std::vector<size_t> cuts;
  };
  const Case cases[] = {
      {"one frame", {}},
      {"inside the first name", {3}},
      {"inside a size", {at[1] + 2 * 7 + 2 + 3}},
      {"between a header and its data", {bigData}},
      {"on a record's edge", {at[2], at[3]}},
      {"inside the data, three frames in one file",
       {bigData + 1000, bigData + 150000, bigData + 299999}},
      {"inside the end marker", {at[4] + 1}},
      {"every 40,000 bytes",
       {40000, 80000, 120000, 160000, 200000, 240000, 280000}},
  };
  std::vector<Record> forged = records;
  forged[3].name = u"h";
  for (const Case &c : cases) {
    for (int threads : {1, 2, 3, 4}) {
      SCOPED_TRACE(std::string(c.what) + ", threads " +
                   std::to_string(threads));
      test::RemoveAll(unpackDirectory_);
      PrepareIndexed(records, c.cuts, threads);
      ExtractPayload();
      EXPECT_TRUE(test::ListTree(unpackDirectory_) == Expected(records));
      EXPECT_EQ(test::Utf8(state.childExecutablePath), CoreD("main"));
      test::RemoveAll(unpackDirectory_);

      PrepareIndexed(records, c.cuts, threads, forged);
      test::Ending ending = ExtractAlone();
      if (threads == 1) {
        EXPECT_TRUE(test::ExitedWith(ending, test::kReturned)) << ending;
      } else {
        EXPECT_TRUE(test::ExitedWith(ending, 2)) << ending;
        EXPECT_EQ(ending.out, kDecodeError);
        EXPECT_FALSE(test::Exists(D()));
      }
    }
  }
}

// An index that checks out by itself but disagrees with the stream makes
// the run write nothing that stays: each forgery keeps the stream's size,
// so only decoding can tell.
TEST_F(IndexedExtractionTest, AForgedIndexIsADecodeErrorAndLeavesNothing) {
  const std::vector<Record> &records = Tree();
  std::vector<size_t> cuts = {4000, 100000, 250000};
  struct Case {
    const char *what;
    std::vector<Record> listed;
  };
  std::vector<Record> renamed = records, moved = records, swapped = records,
                      dropped = records, first = records, blocked = records;
  renamed[2].name = u"d\\big.exe";
  // Three bytes move from one file to the next: every offset after stays.
  moved[2].data.resize(moved[2].data.size() - 3);
  moved[3].data += "xyz";
  swapped[0].name = u"g";
  swapped[3].name = u"main";
  // The empty file's record goes, and the one before takes its bytes.
  dropped[0].data += std::string(2 * 7 + 10, 'x');
  dropped.erase(dropped.begin() + 1);
  first[0].name = u"nain";
  // A forged name that cannot be opened ("d" is a directory by then): the
  // main thread meets it before any decoder has seen the stream's "g", and
  // must not report an open failure the stream does not hold.
  blocked[3].name = u"d";
  const Case cases[] = {{"a name", renamed},
                        {"two sizes", moved},
                        {"a name on each side of the stream", swapped},
                        {"a record fewer", dropped},
                        {"the first name", first},
                        {"a name the directory before it takes", blocked}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    PrepareIndexed(records, cuts, 2, c.listed);
    test::Ending ending = ExtractAlone();
    EXPECT_TRUE(test::ExitedWith(ending, 2)) << ending;
    EXPECT_EQ(ending.out, kDecodeError);
    EXPECT_FALSE(test::Exists(D()));
  }
}

// Failures the stream itself holds end both readers alike, with the same
// message, and leave nothing behind.
TEST_F(IndexedExtractionTest, BothReadersEndAlikeOnWhatTheStreamHolds) {
  const std::vector<Record> &records = Tree();
  std::string good = test::IndexedContainer(records, {4000, 100000, 250000});
  // A byte in the middle of the third frame: its checksum fails.
  std::string damaged = good;
  size_t frames = damaged.size() - kContainerTailSize;
  damaged[frames - 2000] ^= 0x55;
  const std::vector<Record> refused = {
      {u"main", "m"}, {u"a.txt", "a"}, {u"..\\escape.txt", "e"}, {u"z", "z"}};
  const std::vector<Record> blocked = {
      {u"main", "1"}, {u"d\\third", "3"}, {u"d", "5"}, {u"sixth", "6"}};
  struct Case {
    const char *what;
    std::string container;
    int status;
    std::string out, err;
  };
  const Case cases[] = {
      {"a damaged frame", damaged, 2, kDecodeError, ""},
      {"a name no run may write", test::IndexedContainer(refused, {30}), 2, "",
       ""},
      {"a directory where a file goes", test::IndexedContainer(blocked, {20}),
       2, "", "Error, failed to open '" + D("d") + "' for writing.\n"},
  };
  for (const Case &c : cases) {
    test::Ending endings[2];
    for (int threads : {1, 2}) {
      SCOPED_TRACE(std::string(c.what) + ", threads " +
                   std::to_string(threads));
      PrepareContainer(c.container, threads);
      endings[threads - 1] = ExtractAlone();
      EXPECT_TRUE(test::ExitedWith(endings[threads - 1], c.status))
          << endings[threads - 1];
      if (!c.out.empty()) {
        EXPECT_EQ(endings[threads - 1].out, c.out);
      }
      if (!c.err.empty()) {
        EXPECT_EQ(endings[threads - 1].err, c.err);
      }
      EXPECT_FALSE(test::Exists(D()));
    }
    SCOPED_TRACE(c.what);
    EXPECT_EQ(endings[0].out, endings[1].out);
    EXPECT_EQ(endings[0].err, endings[1].err);
  }
}

// Two records of one file are never written by two threads: such a payload
// goes to the one-thread reader, and the later record wins as it always
// did.
TEST_F(IndexedExtractionTest, TwoRecordsOfOneFileAreWrittenOneAfterTheOther) {
  const std::vector<Record> records = {
      {u"main", "m"},
      {u"same.txt", test::SampleBytes(9000, 3)},
      {u"other", "o"},
      {u"same.txt", "later"}};
  PrepareIndexed(records, {20, 5000, 9050}, 2);
  ExtractPayload();
  std::map<std::string, std::string> tree = test::ListTree(unpackDirectory_);
  EXPECT_EQ(tree["same.txt"], "later");
  EXPECT_EQ(tree.size(), 3u);
}

// Two names that the file system opens as one file, which no name rule
// shows (a short name; a folder that folds case further than Windows): the
// later record's open finds the file there, and the file ends as that
// record alone, with either reader. The alias appears only once the first
// file is made (a hard link made at the second open, as a short name is
// made with its file), and the first file's writes are held until the
// second open has cut it, so that a write of the earlier record lands
// after that cut.
TEST_F(IndexedExtractionTest, ARecordOfAFileTheNamesDoNotShowEndsAsTheLater) {
  const std::string later = "short and later";
  const std::vector<Record> records = {
      {u"main", "m"},
      {u"averylongname.bin", test::SampleBytes(400000, 4)},
      {u"AVERYL~1.BIN", later},
      {u"z", "z"}};
  std::vector<size_t> at = Offsets(records);
  for (int threads : {1, 2}) {
    SCOPED_TRACE(threads);
    test::RemoveAll(D());
    PrepareIndexed(records, {20, at[1] + 200000, at[2]}, threads);
    veskar_recording::Reset();
    static std::string longPath, shortPath;
    static std::atomic<int> writes;
    static std::atomic<bool> cut;
    cut = false;
    longPath = D("averylongname.bin");
    shortPath = D("AVERYL~1.BIN");
    writes = 0;
    auto size = [] {
      struct stat info;
      return ::stat(longPath.c_str(), &info) == 0 ? info.st_size : -1;
    };
    veskar_recording::OnEachCall("CreateFileW", [size](const std::string &c) {
      if (c.size() < 12 || c.compare(c.size() - 12, 12, "AVERYL~1.BIN") != 0)
        return;
      ASSERT_EQ(link(longPath.c_str(), shortPath.c_str()), 0);
      while (size() <= 0) // the first write has landed
        usleep(1000);
    });
    // Every write of the first file but the first waits until the second
    // open has cut the file: the one-thread reader has queued the whole
    // record (fewer chunks than its buffers) by then. The cut is seen as
    // the file's size 0, or as a write to the second name, which comes
    // after its open.
    veskar_recording::OnEachCall("WriteFile", [size](const std::string &c) {
      const std::string tail = "averylongname.bin";
      if (c.compare(c.size() - 12, 12, "AVERYL~1.BIN") == 0)
        cut = true;
      if (c.compare(c.size() - tail.size(), tail.size(), tail) != 0 ||
          ++writes < 2)
        return;
      while (!cut) {
        if (size() == 0)
          cut = true;
        else
          usleep(1000);
      }
    });
    ExtractPayload();
    std::map<std::string, std::string> tree = test::ListTree(unpackDirectory_);
    // Sizes first: the earlier record's bytes would fill the screen.
    EXPECT_EQ(tree["averylongname.bin"].size(), later.size());
    EXPECT_TRUE(tree["averylongname.bin"] == later);
    EXPECT_TRUE(tree["AVERYL~1.BIN"] == later);
    EXPECT_TRUE(state.recordFileExisted);
  }
}

// More files than may be open at once, in few frames: the main thread waits
// for the decoders to close some, and never holds more than its limit.
TEST_F(IndexedExtractionTest, NoMoreFilesAreOpenAtOnceThanTheLimit) {
  std::vector<Record> records = {{u"main", "m"}};
  for (int i = 0; i < 3 * kParallelOpenFileCapacity; ++i)
    records.push_back({u"f\\" + test::Utf16(std::to_string(i)),
                       test::SampleBytes(100 + i % 7, i)});
  std::vector<size_t> at = Offsets(records);
  PrepareIndexed(records, {at[400] + 5, at[500] + 30}, 2);
  veskar_recording::Reset();
  ExtractPayload();
  const Calls calls = veskar_recording::Calls();
  EXPECT_TRUE(test::ListTree(unpackDirectory_) == Expected(records));
  const std::string prefix = "CreateFileW " + CoreD("f") + "\\";
  const std::string closePrefix = "CloseHandle " + CoreD("f") + "\\";
  int open = 0, most = 0, created = 0;
  for (const std::string &call : calls) {
    if (call.compare(0, prefix.size(), prefix) == 0)
      most = std::max(most, ++open), ++created;
    else if (call.compare(0, closePrefix.size(), closePrefix) == 0)
      --open;
  }
  EXPECT_EQ(created, 3 * kParallelOpenFileCapacity);
  EXPECT_EQ(open, 0);
  EXPECT_LE(most, kParallelOpenFileCapacity);
}

TEST_F(IndexedExtractionTest,
       AFailedWriteIsReportedWithItsFileAndEveryFileClosed) {
  // The file system refuses to grow a file past 64 KiB.
  const std::vector<Record> records = {
      {u"main", "m"},
      {u"a.txt", test::SampleBytes(1000, 1)},
      {u"big.bin", test::SampleBytes(200000, 2)},
      {u"b.txt", "b"}};
  std::vector<size_t> at = Offsets(records);
  PrepareIndexed(records, {at[2] + 40000, at[2] + 120000}, 2);
  veskar_recording::Reset();
  Calls calls;
  test::Ending ending = ExtractInChild(&calls, LimitFilesTo64KiB);
  EXPECT_TRUE(test::ExitedWith(ending, 2)) << ending;
  EXPECT_EQ(ending.err, "Error, couldn't unpack file to target path. '" +
                            D("big.bin") +
                            "' ([Error 112] No space left on device)\n");
  ExpectEveryFileClosedBeforeTheRemoval(calls);
  EXPECT_FALSE(test::Exists(D()));
}

TEST_F(IndexedExtractionTest, AConsoleEventStopsTheDecodersAndClosesEveryFile) {
  std::vector<Record> records = {{u"main", "m"}};
  for (int i = 0; i < 40; ++i)
    records.push_back({test::Utf16(std::to_string(i)) + u".bin",
                       test::SampleBytes(20000, i)});
  std::vector<size_t> at = Offsets(records);
  PrepareIndexed(records, {at[10] + 7, at[20] + 500, at[30]}, 2);
  veskar_recording::Reset();
  Calls calls;
  test::Ending ending = ExtractInChild(&calls, [] { CtrlCAtOpen(5); });
  EXPECT_TRUE(test::ExitedWith(ending, 42)) << ending;
  ExpectEveryFileClosedBeforeTheRemoval(WithoutSleeps(calls));
  EXPECT_FALSE(test::Exists(D()));
}

} // namespace
