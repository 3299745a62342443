//===- tests/unit/parallel_test.cpp - Frames decoded on several threads --===//
//
// A payload with an index is decoded frame by frame on several threads. The
// tests cut one archive stream at the places that matter (inside a name, a
// size, a file's data, on a record's edge) and hold the parallel reader to
// the one-thread reader's results: the same files, the same endings, the
// same messages. The index is never trusted for content: where it
// disagrees with the stream, the one-thread reader runs the payload from
// its start and decides. Over the recording layer, which does the real
// work.
//
//===----------------------------------------------------------------------===//
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <zstd.h>

#include "common/container.h"
#include "common/payload_index.h"
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
  // Every file made is closed, once, and after every write to it: none
  // left open for the process to end with, none closed while a frame still
  // has bytes for it.
  void ExpectEachFileClosedOnceAfterItsWrites(const Calls &calls) {
    const std::string d = CoreD("");
    std::map<std::string, size_t> lastWrite, closes, closedAt;
    std::vector<std::string> files;
    for (size_t i = 0; i < calls.size(); ++i) {
      const std::string &call = calls[i];
      size_t at = call.find(' ' + d);
      if (at == std::string::npos)
        continue;
      std::string path = call.substr(at + 1);
      if (call.compare(0, 12, "CreateFileW ") == 0) {
        if (path.find(" directory") == std::string::npos)
          files.push_back(path);
      } else if (call.compare(0, 10, "WriteFile ") == 0) {
        lastWrite[path] = i;
      } else if (call.compare(0, 12, "CloseHandle ") == 0) {
        ++closes[path];
        closedAt[path] = i;
      }
    }
    for (const std::string &file : files) {
      EXPECT_EQ(closes[file], 1u) << file;
      if (lastWrite.count(file) != 0) {
        EXPECT_GT(closedAt[file], lastWrite[file]) << file;
      }
    }
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
// records hold; and at every cut an index with one name forged (same
// length, so it still checks out) still gives the stream's files, as the
// one-thread reader, which never looks at the index, writes them.
TEST_F(IndexedExtractionTest, EveryCutGivesTheSameFilesOnEveryThreadCount) {
  const std::vector<Record> &records = Tree();
  std::vector<size_t> at = Offsets(records);
  size_t bigData = at[2] + 2 * 9 + 10; // "d\big.bin" is 9 units
  struct Case {
    const char *what;
    std::vector<size_t> cuts;
  };
  const Case cases[] = {
      {"one frame", {}},
      {"inside the first name", {3}},
      {"inside a size", {at[1] + 2 * 7 + 2 + 3}},
      // The frame before ends with the head, and holds none of the data.
      {"between a header and its data", {bigData}},
      {"two bytes into a file's data", {bigData + 2}},
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
      veskar_recording::Reset();
      ExtractPayload();
      EXPECT_TRUE(test::ListTree(unpackDirectory_) == Expected(records));
      EXPECT_EQ(test::Utf8(state.childExecutablePath), CoreD("main"));
      ExpectEachFileClosedOnceAfterItsWrites(veskar_recording::Calls());
      test::RemoveAll(unpackDirectory_);

      PrepareIndexed(records, c.cuts, threads, forged);
      test::Ending ending = ExtractAlone();
      EXPECT_TRUE(test::ExitedWith(ending, test::kReturned)) << ending;
      EXPECT_TRUE(test::ListTree(unpackDirectory_) == Expected(records));
      test::RemoveAll(unpackDirectory_);
    }
  }
}

// An index that checks out by itself but disagrees with a sound stream:
// the parallel pass stops where it finds out, removes what it made, and
// the one-thread reader runs the payload from its start. The run goes on
// with the stream's files and nothing else (no file of a name only the
// index gives), and its program is the stream's first record. Each forgery
// keeps the stream's size, so only decoding can tell. The decoders are
// held at their first write until the main thread has made every file the
// index names (or a failure is found), so that a file under a forged name
// is there to be removed; the wait decides only when they go on.
TEST_F(IndexedExtractionTest, AForgedIndexOverASoundStreamRunsTheStreamsFiles) {
  const std::vector<Record> &records = Tree();
  std::vector<size_t> at = Offsets(records);
  std::vector<size_t> cuts = {4000, 100000, 250000};
  const std::string stream = test::ArchiveStream(records);
  // The index's frames and sizes, from pieces of the stream.
  auto framed = [&stream](const std::vector<Record> &listed,
                          const std::vector<size_t> &pieces,
                          const std::vector<uint64_t> &claimed,
                          uint64_t streamSize) {
    std::string frames;
    std::vector<test::IndexedFrame> sizes;
    for (size_t i = 0, from = 0; i < pieces.size(); from += pieces[i++]) {
      std::string frame = test::Compress(stream.substr(from, pieces[i]));
      sizes.push_back({frame.size(), claimed[i]});
      frames += frame;
    }
    return test::Container(test::IndexFrame(listed, sizes, streamSize) +
                           frames);
  };
  std::vector<Record> renamed = records, moved = records, swapped = records,
                      dropped = records, first = records, blocked = records,
                      shorter = records;
  renamed[2].name = u"d\big.exe";
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
  // The index ends the stream where the stream's last record begins: its
  // end marker is where the stream has "g"'s header.
  shorter.pop_back();
  const uint64_t size = stream.size(), cut = at[2] + 100;
  struct Case {
    const char *what;
    std::vector<Record> listed; // the files the pass makes
    std::string container;
  };
  const Case cases[] = {
      {"a header byte: a name", renamed,
       test::IndexedContainer(records, cuts, renamed)},
      {"two sizes", moved, test::IndexedContainer(records, cuts, moved)},
      {"a name on each side of the stream", swapped,
       test::IndexedContainer(records, cuts, swapped)},
      {"a record fewer", dropped,
       test::IndexedContainer(records, cuts, dropped)},
      {"the first name", first, test::IndexedContainer(records, cuts, first)},
      {"a name the directory before it takes", blocked,
       test::IndexedContainer(records, cuts, blocked)},
      {"the end marker", shorter,
       framed(shorter, {size}, {at[3] + 2}, at[3] + 2)},
      {"a frame's decoded size", records,
       framed(records, {cut, size - cut}, {cut + 1, size - cut - 1}, size)},
  };
  static std::atomic<int> created;
  static size_t listedFiles;
  const std::string prefix = "CreateFileW " + CoreD() + "\\";
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    test::RemoveAll(unpackDirectory_);
    PrepareContainer(c.container, 2);
    veskar_recording::Reset();
    created = 0;
    listedFiles = c.listed.size();
    veskar_recording::OnEachCall(
        "CreateFileW", [prefix](const std::string &call) {
          if (call.compare(0, prefix.size(), prefix) == 0)
            ++created;
        });
    veskar_recording::OnEachCall("WriteFile", [](const std::string &) {
      for (int i = 0; i < 10000 && state.parallel.active &&
                      created < (int)listedFiles &&
                      state.parallel.failure == kParallelFine;
           ++i)
        usleep(1000);
    });
    test::Ending ending = test::RunInChild([] {
      ExtractPayload();
      printf("%s", test::Utf8(state.childExecutablePath).c_str());
    });
    EXPECT_TRUE(test::ExitedWith(ending, test::kReturned)) << ending;
    EXPECT_EQ(ending.out, CoreD("main"));
    EXPECT_TRUE(test::ListTree(unpackDirectory_) == Expected(records));
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
  // Frames without checksums, in which "d\big.bin" has become
  // "..\ig.bin": they decode, to other than the index says, and the
  // one-thread reader refuses the name. Likewise its size, now past the
  // stream's end.
  std::vector<size_t> at = Offsets(records);
  auto rawWith = [&records, &at](size_t from, const std::string &bytes) {
    std::string stream = test::ArchiveStream(records);
    stream.replace(from, bytes.size(), bytes);
    size_t cut = at[2] + 40;
    std::string one = test::RawFrame(stream.substr(0, cut), 1000);
    std::string two = test::RawFrame(stream.substr(cut), 1000);
    return test::Container(
        test::IndexFrame(records,
                         {{one.size(), cut}, {two.size(), stream.size() - cut}},
                         stream.size()) +
        one + two);
  };
  const std::string escaping = rawWith(at[2], std::string(".\0.\0\\\0", 6));
  const std::string longer = rawWith(at[2] + 2 * 9 + 2 + 5, "\x7f");
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
      {"a name damaged into one no run may write", escaping, 2, "", ""},
      {"a size damaged past the stream's end", longer, 2, "", ""},
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

// In a child: the address space may grow by `more` bytes from here, room
// for the threads' stacks but not for a 128 MiB window.
void LimitAddressSpaceTo(uint64_t more) {
  long pages = 0;
  FILE *statm = fopen("/proc/self/statm", "r");
  if (statm == nullptr || fscanf(statm, "%ld", &pages) != 1)
    abort();
  fclose(statm);
  rlim_t bytes = (rlim_t)pages * (rlim_t)sysconf(_SC_PAGESIZE) + more;
  struct rlimit limit = {bytes, bytes};
  if (setrlimit(RLIMIT_AS, &limit) != 0)
    abort();
}

// The container with the content checksum of its frame `n` (from 0, as
// its index lists them) broken: the frame decodes, and fails at its end.
std::string WithFrameChecksumBroken(std::string container, uint32_t n) {
  PayloadIndex index;
  const unsigned char *bytes = (const unsigned char *)container.data();
  EXPECT_EQ(ParsePayloadIndex(bytes + kContainerHeaderSize,
                              container.size() - kContainerHeaderSize,
                              container.size(), &index),
            kIndexSound);
  PayloadIndexCursor cursor;
  PayloadIndexFrame frame = {};
  StartPayloadIndexFrames(index, &cursor);
  for (uint32_t f = 0; f <= n; ++f)
    EXPECT_TRUE(NextPayloadIndexFrame(&cursor, &frame));
  container[frame.containerOffset + frame.compressedSize - 1] ^= 0x5A;
  return container;
}

// Where a package holds two failures, both readers name the one in front,
// as the one-thread reader meets them in archive order: whichever a decoder
// thread finds first. The main thread's open of "d" (a directory by then)
// is held until a decoder has found the failure behind it, so that the
// one found first in time is the later one.
TEST_F(IndexedExtractionTest, TheFailureNamedIsTheFirstInArchiveOrder) {
  const std::vector<Record> records = {{u"main", "1"},
                                       {u"d\\third", "3"},
                                       {u"d", "5"},
                                       {u"sixth", test::SampleBytes(6000, 6)}};
  std::vector<size_t> at = Offsets(records);
  // The second frame begins with the record after "d": the decoder of the
  // first waits for "d" to be made, that of the second for nothing.
  const std::vector<size_t> atData = {at[3]};
  std::vector<Record> renamed = records;
  renamed[3].name = u"sixtj";
  const std::string openFailed =
      "Error, failed to open '" + D("d") + "' for writing.\n";
  // Frames whose window (128 MiB, their sizes not given) the system
  // refuses under the limit below: the system's failure, not damage.
  test::FrameOptions window;
  window.windowLog = 27;
  std::string stream = test::ArchiveStream(records);
  const size_t cut = atData[0];
  std::string first = test::Compress(stream.substr(0, cut), window);
  std::string second = test::Compress(stream.substr(cut), window);
  const std::string refused = test::Container(
      test::IndexFrame(
          records, {{first.size(), cut}, {second.size(), stream.size() - cut}},
          stream.size()) +
      first + second);
  struct Case {
    const char *what;
    std::string container;
    std::string out, err;
    bool limitMemory;
  };
  const Case cases[] = {
      {"damage behind an open failure",
       WithFrameChecksumBroken(test::IndexedContainer(records, atData), 1), "",
       openFailed, false},
      {"a disagreement with the index behind an open failure",
       test::IndexedContainer(records, atData, renamed), "", openFailed, false},
      {"damage in front of an open failure",
       WithFrameChecksumBroken(test::IndexedContainer(records, {at[1] + 3}), 0),
       kDecodeError, "", false},
      {"a window the system refuses", refused,
       "Error, couldn't allocate memory.\n", "", true},
  };
  for (const Case &c : cases) {
    for (int threads : {1, 2}) {
      SCOPED_TRACE(std::string(c.what) + ", threads " +
                   std::to_string(threads));
      test::RemoveAll(unpackDirectory_);
      PrepareContainer(c.container, threads);
      veskar_recording::Reset();
      const std::string openOfD = "CreateFileW " + CoreD("d");
      veskar_recording::OnEachCall(
          "CreateFileW", [openOfD](const std::string &call) {
            if (call != openOfD || !state.parallel.active)
              return;
            for (int i = 0;
                 i < 10000 && state.parallel.failure == kParallelFine; ++i)
              usleep(1000);
          });
      const bool limitMemory = c.limitMemory;
      test::Ending ending = test::RunInChild([limitMemory] {
        if (limitMemory)
          LimitAddressSpaceTo(64 << 20);
        ExtractPayload();
      });
      EXPECT_TRUE(test::ExitedWith(ending, 2)) << ending;
      EXPECT_EQ(ending.out, c.out);
      EXPECT_EQ(ending.err, c.err);
      EXPECT_FALSE(test::Exists(D()));
    }
  }
}

// A file's bytes past 4 GiB land past 4 GiB: the positional write's offset
// keeps its high half. The file's first 4 GiB are zeros, which the
// recording layer keeps as a hole, so that nothing that large is written;
// its last bytes lie in a frame of their own.
TEST_F(IndexedExtractionTest, BytesPastFourGiBAreWrittenThere) {
  const uint64_t zeros = (4ull << 30) + 1;
  const std::string tail = "TAIL1234";
  const uint64_t size = zeros + tail.size();
  const std::string head =
      test::RecordHead(u"main", 1) + "m" + test::RecordHead(u"big.bin", size);
  // 1 + 32768 x 128 KiB zero bytes.
  const std::string frames[] = {
      test::Compress(head),
      test::RawFrameEndingInZeros(std::string(1, '\0'), 131072, 32768),
      test::Compress(tail + std::string(2, '\0'))};
  const uint64_t decoded[] = {head.size(), zeros, tail.size() + 2};
  const uint64_t streamSize = head.size() + size + 2;
  // The index, field by field.
  std::vector<unsigned char> table(2 * kPayloadIndexRecordFixedSize + 2 * 11);
  size_t used =
      PutPayloadIndexRecord(table.data(), (const Utf16Unit *)u"main", 4, 1, 0);
  PutPayloadIndexRecord(table.data() + used, (const Utf16Unit *)u"big.bin", 7,
                        size, 2 * 5 + 8 + 1);
  std::string packed(ZSTD_compressBound(table.size()), '\0');
  packed.resize(
      ZSTD_compress(&packed[0], packed.size(), table.data(), table.size(), 19));
  uint64_t content = PayloadIndexContentSize(3, packed.size());
  std::string index(kSkippableHeaderSize + content, '\0');
  unsigned char *to = (unsigned char *)&index[0];
  PutPayloadIndexHeader(to, (uint32_t)content, 3, 2, streamSize, packed.size(),
                        table.size());
  to += kSkippableHeaderSize + kPayloadIndexHeaderSize;
  for (int f = 0; f < 3; ++f, to += kPayloadIndexFrameSize)
    PutPayloadIndexFrame(to, frames[f].size(), decoded[f]);
  memcpy(to, packed.data(), packed.size());
  std::string container =
      test::Container(index + frames[0] + frames[1] + frames[2]);
  // A sound index: the parallel reader runs, which alone writes by
  // position (the one-thread reader would write the zeros).
  PayloadIndex parsed;
  ASSERT_EQ(ParsePayloadIndex((const unsigned char *)container.data() +
                                  kContainerHeaderSize,
                              container.size() - kContainerHeaderSize,
                              container.size(), &parsed),
            kIndexSound);
  PrepareContainer(container, 2);
  veskar_recording::Reset();
  veskar_recording::WriteZerosAsHoles(true);
  ExtractPayload();
  veskar_recording::Reset();
  int fd = open(D("big.bin").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  struct stat info;
  ASSERT_EQ(fstat(fd, &info), 0);
  EXPECT_EQ((uint64_t)info.st_size, size);
  char found[16] = {};
  EXPECT_EQ(pread(fd, found, tail.size(), (off_t)zeros), (ssize_t)tail.size());
  EXPECT_EQ(std::string(found, tail.size()), tail);
  char front[16] = {};
  EXPECT_EQ(pread(fd, front, tail.size(), 0), (ssize_t)tail.size());
  EXPECT_EQ(std::string(front, tail.size()), std::string(tail.size(), '\0'));
  close(fd);
}

// Failures the environment decides end both readers with the same kind of
// message, naming the file: no descriptor left at a file's open, a file
// that may not grow past 64 KiB.
TEST_F(IndexedExtractionTest, TheEnvironmentsFailuresNameTheFileInBothReaders) {
  const std::vector<Record> records = {
      {u"main", "m"},
      {u"d\\third.txt", test::SampleBytes(1000, 1)},
      {u"big.bin", test::SampleBytes(200000, 2)},
      {u"z", "z"}};
  std::vector<size_t> at = Offsets(records);
  const std::string container =
      test::IndexedContainer(records, {at[2] + 40000, at[2] + 120000});
  struct Case {
    const char *what;
    void (*before)();
    std::string err;
  };
  const Case cases[] = {
      {"no descriptor left",
       [] {
         veskar_recording::OnEachCall("CreateFileW", [](const std::string &c) {
           if (c.size() > 10 &&
               c.compare(c.size() - 10, 10, "\\third.txt") == 0)
             veskar_recording::Script("CreateFileW",
                                      (uint64_t)INVALID_HANDLE_VALUE,
                                      ERROR_TOO_MANY_OPEN_FILES);
         });
       },
       "Error, failed to open '" + D("d/third.txt") + "' for writing.\n"},
      {"a file size limit", LimitFilesTo64KiB,
       "Error, couldn't unpack file to target path. '" + D("big.bin") +
           "' ([Error 112] No space left on device)\n"},
  };
  for (const Case &c : cases) {
    for (int threads : {1, 2}) {
      SCOPED_TRACE(std::string(c.what) + ", threads " +
                   std::to_string(threads));
      test::RemoveAll(unpackDirectory_);
      PrepareContainer(container, threads);
      veskar_recording::Reset();
      Calls calls;
      test::Ending ending = ExtractInChild(&calls, c.before);
      EXPECT_TRUE(test::ExitedWith(ending, 2)) << ending;
      EXPECT_EQ(ending.out, "");
      EXPECT_EQ(ending.err, c.err);
      EXPECT_FALSE(test::Exists(D()));
    }
  }
}

// A file the parallel pass cannot make (here: no descriptor left while its
// decoders hold files open) leaves the payload to the one-thread reader,
// which keeps fewer open: a package that it runs runs.
TEST_F(IndexedExtractionTest, AnOpenThatFailsOnlyInTheParallelPassStillRuns) {
  const std::vector<Record> records = {
      {u"main", "m"},
      {u"d\\third.txt", test::SampleBytes(1000, 1)},
      {u"big.bin", test::SampleBytes(200000, 2)}};
  std::vector<size_t> at = Offsets(records);
  PrepareIndexed(records, {at[1] + 3, at[2] + 40000}, 2);
  veskar_recording::Reset();
  veskar_recording::OnEachCall("CreateFileW", [](const std::string &c) {
    if (state.parallel.active && c.size() > 10 &&
        c.compare(c.size() - 10, 10, "\\third.txt") == 0)
      veskar_recording::Script("CreateFileW", (uint64_t)INVALID_HANDLE_VALUE,
                               ERROR_TOO_MANY_OPEN_FILES);
  });
  test::Ending ending = ExtractAlone();
  EXPECT_TRUE(test::ExitedWith(ending, test::kReturned)) << ending;
  EXPECT_TRUE(test::ListTree(unpackDirectory_) == Expected(records));
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
// for the decoders to close some, and never holds more than the limit the
// documentation gives: 256 at most, and never more than half the
// descriptors the process may still open. The decoders are held at their
// first write until the main thread has made one file more than the limit,
// or has made none for a second after reaching it, so that a main thread
// that does not wait always shows it (the second decides only when the
// decoders go on, never what is asserted).
TEST_F(IndexedExtractionTest, NoMoreFilesAreOpenAtOnceThanTheLimit) {
  std::vector<Record> records = {{u"main", "m"}};
  for (int i = 0; i < 3 * 256; ++i)
    records.push_back({u"f\\" + test::Utf16(std::to_string(i)),
                       test::SampleBytes(100 + i % 7, i)});
  std::vector<size_t> at = Offsets(records);
  struct Case {
    const char *what;
    uint64_t room; // GetFileHandleRoom
    int limit;
  };
  const Case cases[] = {{"descriptors without limit", MAXDWORD, 256},
                        {"600 descriptors left", 600, 256},
                        {"100 descriptors left", 100, 50},
                        {"17 descriptors left", 17, 8}};
  static std::atomic<int> created;
  static std::atomic<bool> released;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    test::RemoveAll(unpackDirectory_);
    PrepareIndexed(records, {at[400] + 5, at[500] + 30}, 2);
    veskar_recording::Reset();
    veskar_recording::ScriptAlways("GetFileHandleRoom", c.room);
    // Every file of the payload, "main" among them: not the run's hold.
    const std::string prefix = "CreateFileW " + CoreD() + "\\";
    created = 0;
    released = false;
    veskar_recording::OnEachCall(
        "CreateFileW", [prefix](const std::string &call) {
          if (call.compare(0, prefix.size(), prefix) == 0)
            ++created;
        });
    const int limit = c.limit;
    veskar_recording::OnCall("WriteFile", [limit] {
      using Clock = std::chrono::steady_clock;
      int seen = created;
      Clock::time_point since = Clock::now();
      while (!released && created <= limit) {
        if (created != seen) {
          seen = created;
          since = Clock::now();
        } else if (Clock::now() - since > std::chrono::seconds(1)) {
          break;
        }
        usleep(1000);
      }
      released = true;
    });
    ExtractPayload();
    const Calls calls = veskar_recording::Calls();
    EXPECT_TRUE(test::ListTree(unpackDirectory_) == Expected(records));
    const std::string closePrefix = "CloseHandle " + CoreD() + "\\";
    int open = 0, most = 0, made = 0;
    for (const std::string &call : calls) {
      if (call.compare(0, prefix.size(), prefix) == 0)
        most = std::max(most, ++open), ++made;
      else if (call.compare(0, closePrefix.size(), closePrefix) == 0)
        --open;
    }
    EXPECT_EQ(made, 3 * 256 + 1);
    EXPECT_EQ(open, 0);
    // The main thread made files up to the limit while the decoders were
    // held, and no more.
    EXPECT_EQ(most, c.limit);
  }
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
