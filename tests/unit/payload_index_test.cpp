//===- tests/unit/payload_index_test.cpp - The payload index parser -----===//
//
// The index is hostile input: a sound index must come out whole (frames with
// their places, records with their offsets), and every field broken on its
// own must be refused with the fault it is, never read past the bytes
// given, whatever the counts and sizes claim.
//
//===----------------------------------------------------------------------===//
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/container.h"
#include "common/payload_index.h"

namespace {

struct Sample {
  std::vector<unsigned char> bytes; // the index frame, from the container's byte 3
  uint64_t available;               // what the parser may read
  uint64_t containerSize;
};

struct SampleRecord {
  std::u16string name;
  uint64_t size;
};

const SampleRecord kRecords[] = {
    {u"app.exe", 100}, {u"lib\\empty", 0}, {u"lib\\data.bin", 5000}};
// The frames' compressed sizes; the stream is cut after kFirstFrameBytes.
const uint64_t kCompressed[] = {40, 30};
const uint64_t kFirstFrameBytes = 1000;

uint64_t StreamSize() {
  uint64_t total = 2;
  for (const SampleRecord &r : kRecords)
    total += 2 * (r.name.size() + 1) + 8 + r.size;
  return total;
}

// Where the fields lie in the sample.
const size_t kContent = kSkippableHeaderSize;
const size_t kFrameTable = kContent + kPayloadIndexHeaderSize;
const size_t kFirstRecord = kFrameTable + 2 * kPayloadIndexFrameSize;
size_t RecordAt(int n) {
  size_t at = kFirstRecord;
  for (int i = 0; i < n; ++i)
    at += kPayloadIndexRecordFixedSize + 2 * kRecords[i].name.size();
  return at;
}
size_t RecordSizeAt(int n) { return RecordAt(n) + 2 + 2 * kRecords[n].name.size(); }
size_t RecordOffsetAt(int n) { return RecordSizeAt(n) + 8; }

Sample Good() {
  uint64_t units = 0;
  for (const SampleRecord &r : kRecords)
    units += r.name.size();
  uint64_t content = PayloadIndexContentSize(2, 3, units);
  Sample s;
  s.bytes.assign(kSkippableHeaderSize + content, 0);
  PutPayloadIndexHeader(s.bytes.data(), (uint32_t)content, 2, 3, StreamSize());
  PutPayloadIndexFrame(&s.bytes[kFrameTable], kCompressed[0], kFirstFrameBytes);
  PutPayloadIndexFrame(&s.bytes[kFrameTable + kPayloadIndexFrameSize],
                       kCompressed[1], StreamSize() - kFirstFrameBytes);
  unsigned char *to = &s.bytes[kFirstRecord];
  uint64_t offset = 0;
  for (const SampleRecord &r : kRecords) {
    to += PutPayloadIndexRecord(to, (const Utf16Unit *)r.name.data(),
                                r.name.size(), r.size, offset);
    offset += 2 * (r.name.size() + 1) + 8 + r.size;
  }
  s.available = s.bytes.size();
  s.containerSize = kContainerHeaderSize + s.bytes.size() + kCompressed[0] +
                    kCompressed[1] + kContainerTailSize;
  return s;
}

PayloadIndexProblem Parse(const Sample &s, PayloadIndex *index) {
  return ParsePayloadIndex(s.bytes.data(), s.available, s.containerSize,
                           index);
}

TEST(PayloadIndexTest, ASoundIndexGivesItsFramesAndRecords) {
  Sample s = Good();
  PayloadIndex index;
  ASSERT_EQ(Parse(s, &index), kIndexSound);
  EXPECT_EQ(index.frameCount, 2u);
  EXPECT_EQ(index.recordCount, 3u);
  EXPECT_EQ(index.streamSize, StreamSize());
  EXPECT_EQ(index.indexFrameSize, s.bytes.size());

  PayloadIndexCursor cursor;
  PayloadIndexFrame frame;
  StartPayloadIndexFrames(index, &cursor);
  ASSERT_TRUE(NextPayloadIndexFrame(&cursor, &frame));
  EXPECT_EQ(frame.containerOffset, kContainerHeaderSize + s.bytes.size());
  EXPECT_EQ(frame.streamOffset, 0u);
  EXPECT_EQ(frame.compressedSize, kCompressed[0]);
  ASSERT_TRUE(NextPayloadIndexFrame(&cursor, &frame));
  EXPECT_EQ(frame.containerOffset,
            kContainerHeaderSize + s.bytes.size() + kCompressed[0]);
  EXPECT_EQ(frame.streamOffset, kFirstFrameBytes);
  EXPECT_EQ(frame.decompressedSize, StreamSize() - kFirstFrameBytes);
  EXPECT_FALSE(NextPayloadIndexFrame(&cursor, &frame));

  PayloadIndexRecord record;
  StartPayloadIndexRecords(index, &cursor);
  uint64_t offset = 0;
  for (const SampleRecord &r : kRecords) {
    ASSERT_TRUE(NextPayloadIndexRecord(&cursor, &record));
    std::u16string name;
    for (uint32_t i = 0; i < record.units; ++i)
      name += (char16_t)GetLittleEndian16(record.name + 2 * i);
    EXPECT_TRUE(name == r.name);
    EXPECT_EQ(record.size, r.size);
    EXPECT_EQ(record.offset, offset);
    EXPECT_EQ(record.dataOffset, offset + 2 * (r.name.size() + 1) + 8);
    offset = record.dataOffset + r.size;
  }
  EXPECT_FALSE(NextPayloadIndexRecord(&cursor, &record));
  EXPECT_EQ(offset + 2, StreamSize());
}

TEST(PayloadIndexTest, EachBrokenFieldIsRefusedForWhatItIs) {
  auto put32 = [](size_t at, uint32_t v) {
    return [=](Sample &s) { PutLittleEndian32(&s.bytes[at], v); };
  };
  auto put64 = [](size_t at, uint64_t v) {
    return [=](Sample &s) { PutLittleEndian64(&s.bytes[at], v); };
  };
  auto add64 = [](size_t at, int64_t by) {
    return [=](Sample &s) {
      PutLittleEndian64(&s.bytes[at], GetLittleEndian64(&s.bytes[at]) + by);
    };
  };
  const size_t kFrames = kContent + kPayloadIndexFramesOffset;
  const size_t kRecordCount = kContent + kPayloadIndexRecordsOffset;
  const size_t kStream = kContent + kPayloadIndexStreamOffset;
  struct {
    const char *what;
    std::function<void(Sample &)> breakIt;
    PayloadIndexProblem expected;
  } const kCases[] = {
      // Not an index at all: the reader steps over it.
      {"another skippable frame's magic", put32(0, 0x184D2A50u), kIndexAbsent},
      {"a data frame's magic", put32(0, 0xFD2FB528u), kIndexAbsent},
      {"another writer's signature", [](Sample &s) { s.bytes[kContent] = 'X'; },
       kIndexAbsent},
      {"fewer bytes than a header and signature",
       [](Sample &s) { s.available = 15; }, kIndexAbsent},
      {"a frame too short for the signature", put32(4, 7), kIndexAbsent},
      // Its own size.
      {"cut short in the caller's hands",
       [](Sample &s) { s.available = s.bytes.size() - 1; }, kIndexTruncated},
      {"a size beyond the container",
       [](Sample &s) {
         s.containerSize = kContainerHeaderSize + s.bytes.size() +
                           kContainerTailSize - 1;
         s.available = s.bytes.size() + 100;
       },
       kIndexTruncated},
      {"the largest size the field holds", put32(4, 0xFFFFFFFFu),
       kIndexTruncated},
      {"a container shorter than its header",
       [](Sample &s) { s.containerSize = 2; }, kIndexTruncated},
      {"format 2", put32(kContent + kPayloadIndexFormatOffset, 2),
       kIndexUnknownFormat},
      {"format 0", put32(kContent + kPayloadIndexFormatOffset, 0),
       kIndexUnknownFormat},
      {"content shorter than the header", put32(4, 20), kIndexShort},
      // The frames.
      {"no frames", put32(kFrames, 0), kIndexNoFrames},
      {"more frames than the bytes hold", put32(kFrames, 0xFFFFFFFFu),
       kIndexTooManyFrames},
      {"a frame of no bytes", put64(kFrameTable, 0), kIndexEmptyFrame},
      {"a frame decoding to nothing", put64(kFrameTable + 8, 0),
       kIndexEmptyFrame},
      {"compressed sizes one byte short", add64(kFrameTable, -1),
       kIndexFramesNotContainer},
      {"compressed sizes one byte over",
       add64(kFrameTable + kPayloadIndexFrameSize, 1),
       kIndexFramesNotContainer},
      {"a compressed size that would wrap the sum",
       put64(kFrameTable + kPayloadIndexFrameSize, ~(uint64_t)0 - 30),
       kIndexFramesNotContainer},
      {"decompressed sizes short of the stream", add64(kFrameTable + 8, -1),
       kIndexFramesNotStream},
      {"a decompressed size that would wrap the sum",
       put64(kFrameTable + kPayloadIndexFrameSize + 8, ~(uint64_t)0),
       kIndexFramesNotStream},
      {"a stream size the frames do not reach", add64(kStream, 1),
       kIndexFramesNotStream},
      // Two frames counted where three are listed: the third's bytes are
      // then read as records.
      {"one frame fewer than listed", put32(kFrames, 1),
       kIndexFramesNotContainer},
      // The records.
      {"more records than the bytes hold", put32(kRecordCount, 0xFFFFFFFFu),
       kIndexTooManyRecords},
      {"one record more than listed", put32(kRecordCount, 4),
       kIndexTooManyRecords},
      {"one record fewer than listed", put32(kRecordCount, 2),
       kIndexTrailingBytes},
      {"a name of no units",
       [](Sample &s) { s.bytes[RecordAt(1)] = 0, s.bytes[RecordAt(1) + 1] = 0; },
       kIndexBadName},
      {"a name longer than a launcher reads",
       [](Sample &s) { s.bytes[RecordAt(1)] = 0, s.bytes[RecordAt(1) + 1] = 4; },
       kIndexBadName},
      {"a name running past the end",
       [](Sample &s) {
         s.bytes[RecordAt(2)] = 0xFF, s.bytes[RecordAt(2) + 1] = 0x03;
       },
       kIndexTooManyRecords},
      {"a name holding a zero unit",
       [](Sample &s) {
         s.bytes[RecordAt(1) + 4] = 0, s.bytes[RecordAt(1) + 5] = 0;
       },
       kIndexBadName},
      {"a first record not at the start", put64(RecordOffsetAt(0), 1),
       kIndexBadOffset},
      {"offsets out of order", put64(RecordOffsetAt(2), 0), kIndexBadOffset},
      {"overlapping records", add64(RecordOffsetAt(2), -1), kIndexBadOffset},
      {"a size the next offset does not follow", add64(RecordSizeAt(0), 1),
       kIndexBadOffset},
      {"a last record running into the end marker", add64(RecordSizeAt(2), 1),
       kIndexRecordsNotStream},
      {"a last record short of the end marker", add64(RecordSizeAt(2), -1),
       kIndexRecordsNotStream},
      {"a size that would wrap the offset",
       put64(RecordSizeAt(2), ~(uint64_t)0), kIndexRecordsNotStream},
      {"a byte after the last record",
       [](Sample &s) {
         s.bytes.push_back(0);
         PutLittleEndian32(&s.bytes[4], (uint32_t)(s.bytes.size() - 8));
         s.available = s.bytes.size();
         s.containerSize += 1;
       },
       kIndexTrailingBytes},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.what);
    Sample s = Good();
    c.breakIt(s);
    // The parser gets exactly `available` bytes: anything past them is
    // out of bounds for the address sanitizer.
    std::vector<unsigned char> exact(s.bytes.begin(),
                                     s.bytes.begin() +
                                         std::min<size_t>(s.available,
                                                          s.bytes.size()));
    PayloadIndex index;
    EXPECT_EQ(ParsePayloadIndex(exact.data(), s.available > s.bytes.size()
                                                  ? exact.size()
                                                  : s.available,
                                s.containerSize, &index),
              c.expected);
  }
}

} // namespace
