//===- tests/unit/payload_index_test.cpp - The payload index parser -----===//
//
// The index is hostile input: a sound index must come out whole (frames with
// their places, records with their offsets), and every field broken on its
// own must be refused with the fault it is, never read past the bytes
// given, whatever the counts and sizes claim.
//
//===----------------------------------------------------------------------===//
#include <string.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#define ZSTD_STATIC_LINKING_ONLY // ZSTD_getCParams; linked statically
#include <zstd.h>

#include "common/container.h"
#include "common/payload_index.h"

namespace {

struct Sample {
  std::vector<unsigned char>
      bytes;          // the index frame, from the container's byte 3
  uint64_t available; // what the parser may read
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

// Where the fields lie in the sample's frame.
const size_t kContent = kSkippableHeaderSize;
const size_t kFrameTable = kContent + kPayloadIndexHeaderSize;
const size_t kPackedTable = kFrameTable + 2 * kPayloadIndexFrameSize;
const size_t kPackedSize = kContent + kPayloadIndexPackedOffset;
const size_t kTableSize = kContent + kPayloadIndexUnpackedOffset;
// ...and in the unpacked record table.
size_t RecordAt(int n) {
  size_t at = 0;
  for (int i = 0; i < n; ++i)
    at += kPayloadIndexRecordFixedSize + 2 * kRecords[i].name.size();
  return at;
}
size_t RecordSizeAt(int n) {
  return RecordAt(n) + 2 + 2 * kRecords[n].name.size();
}
size_t RecordOffsetAt(int n) { return RecordSizeAt(n) + 8; }

std::vector<unsigned char> Table() {
  uint64_t units = 0;
  for (const SampleRecord &r : kRecords)
    units += r.name.size();
  std::vector<unsigned char> table(PayloadIndexTableSize(3, units));
  unsigned char *to = table.data();
  uint64_t offset = 0;
  for (const SampleRecord &r : kRecords) {
    to += PutPayloadIndexRecord(to, (const Utf16Unit *)r.name.data(),
                                r.name.size(), r.size, offset);
    offset += 2 * (r.name.size() + 1) + 8 + r.size;
  }
  return table;
}

std::vector<unsigned char> Pack(const std::vector<unsigned char> &table) {
  std::vector<unsigned char> packed(ZSTD_compressBound(table.size()));
  packed.resize(ZSTD_compress(packed.data(), packed.size(), table.data(),
                              table.size(), 19));
  return packed;
}

// The index frame around the packed record table `packed`, declared to
// unpack to `tableSize` bytes.
Sample Assemble(const std::vector<unsigned char> &packed, uint64_t tableSize) {
  uint64_t content = PayloadIndexContentSize(2, packed.size());
  Sample s;
  s.bytes.assign(kSkippableHeaderSize + content, 0);
  PutPayloadIndexHeader(s.bytes.data(), (uint32_t)content, 2, 3, StreamSize(),
                        packed.size(), tableSize);
  PutPayloadIndexFrame(&s.bytes[kFrameTable], kCompressed[0], kFirstFrameBytes);
  PutPayloadIndexFrame(&s.bytes[kFrameTable + kPayloadIndexFrameSize],
                       kCompressed[1], StreamSize() - kFirstFrameBytes);
  if (!packed.empty()) // an empty table has no bytes to copy (nor a pointer)
    memcpy(&s.bytes[kPackedTable], packed.data(), packed.size());
  s.available = s.bytes.size();
  s.containerSize = kContainerHeaderSize + s.bytes.size() + kCompressed[0] +
                    kCompressed[1] + kContainerTailSize;
  return s;
}

Sample Good() {
  std::vector<unsigned char> table = Table();
  return Assemble(Pack(table), table.size());
}

// Room for a record table as it is unpacked: each step gets a fresh room of
// exactly the size asked, the bytes before copied in, so that anything the
// unpacking writes past the room is out of bounds for the address
// sanitizer. `asked` keeps every size asked for.
struct ExactRoom {
  std::vector<unsigned char> bytes;
  std::vector<uint64_t> asked;
  uint64_t limit = ~(uint64_t)0; // no room past this size
};

unsigned char *GiveExactRoom(void *owner, uint64_t size) {
  ExactRoom &room = *(ExactRoom *)owner;
  room.asked.push_back(size);
  if (size > room.limit)
    return nullptr;
  std::vector<unsigned char> fresh(size, 0xEE);
  std::copy(room.bytes.begin(),
            room.bytes.begin() + std::min<size_t>(room.bytes.size(), size),
            fresh.begin());
  room.bytes.swap(fresh);
  return room.bytes.data();
}

// The two steps of reading an index, the first problem found. `table`
// receives the unpacked record table, and `asked`, when given, the sizes of
// room asked for.
PayloadIndexProblem Read(const unsigned char *at, uint64_t available,
                         uint64_t containerSize, PayloadIndex *index,
                         std::vector<unsigned char> *table,
                         std::vector<uint64_t> *asked = nullptr) {
  PayloadIndexProblem problem =
      ParsePayloadIndex(at, available, containerSize, index);
  if (problem != kIndexSound)
    return problem;
  ExactRoom room;
  ZSTD_DCtx *dctx = ZSTD_createDCtx();
  problem = ReadPayloadIndexRecords(index, dctx, GiveExactRoom, &room);
  ZSTD_freeDCtx(dctx);
  table->swap(room.bytes);
  if (asked != nullptr)
    asked->swap(room.asked);
  return problem;
}

PayloadIndexProblem Parse(const Sample &s, PayloadIndex *index,
                          std::vector<unsigned char> *table,
                          std::vector<uint64_t> *asked = nullptr) {
  return Read(s.bytes.data(), s.available, s.containerSize, index, table,
              asked);
}

TEST(PayloadIndexTest, ASoundIndexGivesItsFramesAndRecords) {
  Sample s = Good();
  PayloadIndex index;
  std::vector<unsigned char> table;
  ASSERT_EQ(Parse(s, &index, &table), kIndexSound);
  EXPECT_EQ(index.tableSize, Table().size());
  EXPECT_EQ(index.packedTable, s.bytes.data() + kPackedTable);
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
  // Edits of the unpacked record table, packed again.
  using TableEdit = std::function<void(std::vector<unsigned char> &)>;
  auto inTable = [](TableEdit edit) {
    return [=](Sample &s) {
      std::vector<unsigned char> table = Table();
      edit(table);
      s = Assemble(Pack(table), table.size());
    };
  };
  auto put16 = [](size_t at, uint16_t v) -> TableEdit {
    return [=](std::vector<unsigned char> &t) { PutLittleEndian16(&t[at], v); };
  };
  auto tput64 = [](size_t at, uint64_t v) -> TableEdit {
    return [=](std::vector<unsigned char> &t) { PutLittleEndian64(&t[at], v); };
  };
  auto tadd64 = [](size_t at, int64_t by) -> TableEdit {
    return [=](std::vector<unsigned char> &t) {
      PutLittleEndian64(&t[at], GetLittleEndian64(&t[at]) + by);
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
         s.containerSize =
             kContainerHeaderSize + s.bytes.size() + kContainerTailSize - 1;
         s.available = s.bytes.size() + 100;
       },
       kIndexTruncated},
      {"the largest size the field holds", put32(4, 0xFFFFFFFFu),
       kIndexTruncated},
      {"a container shorter than its header",
       [](Sample &s) { s.containerSize = 2; }, kIndexTruncated},
      {"format 1, the development builds' unpacked records",
       put32(kContent + kPayloadIndexFormatOffset, 1), kIndexUnknownFormat},
      {"format 3", put32(kContent + kPayloadIndexFormatOffset, 3),
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
      // The packed record table and its sizes.
      {"a packed size past the content", add64(kPackedSize, 1),
       kIndexTablePastEnd},
      {"a packed size short of the content", add64(kPackedSize, -1),
       kIndexTrailingBytes},
      {"a packed size that would wrap", put64(kPackedSize, ~(uint64_t)0),
       kIndexTablePastEnd},
      {"more records than any table of its size holds",
       put32(kRecordCount, 0xFFFFFFFFu), kIndexTableSize},
      {"a declared size below 20 bytes a record", put64(kTableSize, 59),
       kIndexTableSize},
      {"a declared size above the longest names' records",
       put64(kTableSize, 3 * (18 + 2 * kMaxNameUnits) + 1), kIndexTableSize},
      {"a declared size whose records outgrow the stream",
       [](Sample &s) {
         // Three records of the longest names, in a stream too short for
         // their heads.
         PutLittleEndian64(&s.bytes[kTableSize], 3 * (18 + 2 * 1000));
       },
       kIndexTableSize},
      {"a declared size beyond what zstd can unpack from the bytes",
       [](Sample &s) { s = Assemble({}, Table().size()); }, kIndexTableSize},
      {"the largest declared size", put64(kTableSize, ~(uint64_t)0),
       kIndexTableSize},
      {"a declared size one byte over", add64(kTableSize, 1),
       kIndexTableWrongSize},
      {"a declared size one byte short", add64(kTableSize, -1),
       kIndexTableWrongSize},
      {"a table frame that does not say its size",
       [](Sample &s) {
         std::vector<unsigned char> table = Table();
         std::vector<unsigned char> packed(ZSTD_compressBound(table.size()));
         ZSTD_CCtx *cctx = ZSTD_createCCtx();
         ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, 0);
         // Streamed, so that the size is not known to the header.
         ZSTD_outBuffer out = {packed.data(), packed.size(), 0};
         ZSTD_inBuffer in = {table.data(), table.size(), 0};
         ZSTD_compressStream2(cctx, &out, &in, ZSTD_e_continue);
         while (ZSTD_compressStream2(cctx, &out, &in, ZSTD_e_end) != 0) {
         }
         ZSTD_freeCCtx(cctx);
         packed.resize(out.pos);
         s = Assemble(packed, table.size());
       },
       kIndexTableWrongSize},
      {"garbage for a table",
       [](Sample &s) {
         for (size_t i = kPackedTable; i < s.bytes.size(); ++i)
           s.bytes[i] = 0xA5;
       },
       kIndexTableUndecodable},
      {"garbage behind a frame header",
       [](Sample &s) {
         for (size_t i = kPackedTable + 6; i < s.bytes.size(); ++i)
           s.bytes[i] = 0xA5;
       },
       kIndexTableUndecodable},
      {"a table frame cut short",
       [](Sample &s) {
         std::vector<unsigned char> table = Table(), packed = Pack(table);
         packed.pop_back();
         s = Assemble(packed, table.size());
       },
       kIndexTableUndecodable},
      {"a byte after the table frame",
       [](Sample &s) {
         std::vector<unsigned char> table = Table(), packed = Pack(table);
         packed.push_back(0);
         s = Assemble(packed, table.size());
       },
       kIndexTableUndecodable},
      {"a second frame after the table frame",
       [](Sample &s) {
         std::vector<unsigned char> table = Table(), packed = Pack(table);
         std::vector<unsigned char> nothing = Pack({});
         packed.insert(packed.end(), nothing.begin(), nothing.end());
         s = Assemble(packed, table.size());
       },
       kIndexTableUndecodable},
      {"a skippable frame after the table frame",
       [](Sample &s) {
         std::vector<unsigned char> table = Table(), packed = Pack(table);
         const unsigned char skippable[] = {0x50, 0x2A, 0x4D, 0x18, 1,
                                            0,    0,    0,    7};
         packed.insert(packed.end(), skippable, skippable + sizeof skippable);
         s = Assemble(packed, table.size());
       },
       kIndexTableUndecodable},
      {"the table split over two frames",
       [](Sample &s) {
         std::vector<unsigned char> table = Table();
         std::vector<unsigned char> front(table.begin(), table.begin() + 30),
             back(table.begin() + 30, table.end());
         std::vector<unsigned char> packed = Pack(front), more = Pack(back);
         packed.insert(packed.end(), more.begin(), more.end());
         s = Assemble(packed, table.size());
       },
       kIndexTableUndecodable},
      // The records.
      {"one record more than listed", put32(kRecordCount, 4),
       kIndexTooManyRecords},
      {"one record fewer than listed", put32(kRecordCount, 2),
       kIndexTrailingBytes},
      {"a name of no units", inTable(put16(RecordAt(1), 0)), kIndexBadName},
      {"a name longer than a launcher reads", inTable(put16(RecordAt(1), 1024)),
       kIndexBadName},
      {"a name running past the end", inTable(put16(RecordAt(2), 1023)),
       kIndexTooManyRecords},
      {"a name holding a zero unit", inTable(put16(RecordAt(1) + 4, 0)),
       kIndexBadName},
      {"a first record not at the start", inTable(tput64(RecordOffsetAt(0), 1)),
       kIndexBadOffset},
      {"offsets out of order", inTable(tput64(RecordOffsetAt(2), 0)),
       kIndexBadOffset},
      {"overlapping records", inTable(tadd64(RecordOffsetAt(2), -1)),
       kIndexBadOffset},
      {"a size the next offset does not follow",
       inTable(tadd64(RecordSizeAt(0), 1)), kIndexBadOffset},
      {"a last record running into the end marker",
       inTable(tadd64(RecordSizeAt(2), 1)), kIndexRecordsNotStream},
      {"a last record short of the end marker",
       inTable(tadd64(RecordSizeAt(2), -1)), kIndexRecordsNotStream},
      {"a size that would wrap the offset",
       inTable(tput64(RecordSizeAt(2), ~(uint64_t)0)), kIndexRecordsNotStream},
      {"a byte after the last record",
       inTable([](std::vector<unsigned char> &t) { t.push_back(0); }),
       kIndexTrailingBytes},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.what);
    Sample s = Good();
    c.breakIt(s);
    // The parser gets exactly `available` bytes: anything past them is
    // out of bounds for the address sanitizer.
    std::vector<unsigned char> exact(
        s.bytes.begin(),
        s.bytes.begin() + std::min<size_t>(s.available, s.bytes.size()));
    PayloadIndex index;
    std::vector<unsigned char> table;
    EXPECT_EQ(Read(exact.data(),
                   s.available > s.bytes.size() ? exact.size() : s.available,
                   s.containerSize, &index, &table),
              c.expected);
  }
}

} // namespace

namespace {

// An index frame over `records` records, `streamSize` bytes of stream cut
// into the sample's two frames, with the packed record table `packed`
// declared to unpack to `tableSize` bytes.
Sample AssembleTable(const std::vector<unsigned char> &packed,
                     uint64_t tableSize, uint32_t records,
                     uint64_t streamSize) {
  Sample s = Assemble(packed, tableSize);
  PutLittleEndian32(&s.bytes[kContent + kPayloadIndexRecordsOffset], records);
  PutLittleEndian64(&s.bytes[kContent + kPayloadIndexStreamOffset], streamSize);
  PutPayloadIndexFrame(&s.bytes[kFrameTable + kPayloadIndexFrameSize],
                       kCompressed[1], streamSize - kFirstFrameBytes);
  return s;
}

// A zstd frame that decodes to `size` bytes of `byte` (a multiple of 128
// KiB), built block by block: one RLE block of 128 KiB costs 4 bytes, so a
// gigabyte takes 32 KiB. With `singleSegment` its window is the whole
// content; otherwise 2^windowLog bytes.
std::vector<unsigned char> RunOfBytes(uint64_t size, unsigned char byte,
                                      bool singleSegment, int windowLog) {
  std::vector<unsigned char> frame(4);
  PutLittleEndian32(frame.data(), ZSTD_MAGICNUMBER);
  // The content size in 8 bytes; no checksum, no dictionary.
  frame.push_back((unsigned char)(0xC0 | (singleSegment ? 0x20 : 0)));
  if (!singleSegment)
    frame.push_back((unsigned char)((windowLog - 10) << 3));
  unsigned char count[8];
  PutLittleEndian64(count, size);
  frame.insert(frame.end(), count, count + 8);
  const uint32_t block = 128 * 1024;
  for (uint64_t at = 0; at < size; at += block) {
    uint32_t header = (block << 3) | (1 << 1) | (at + block >= size ? 1 : 0);
    frame.push_back((unsigned char)header);
    frame.push_back((unsigned char)(header >> 8));
    frame.push_back((unsigned char)(header >> 16));
    frame.push_back(byte);
  }
  return frame;
}

// A packed record table that declares 1 GiB, as a forger writes it in 32
// KiB, is refused where its records go wrong, having asked for no more
// room than a step; one whose window would be the whole gigabyte is
// refused before any room. Declared sizes the parser lets through: 2^30
// bytes of records, each at least 20 of them, over a stream that holds
// their heads.
TEST(PayloadIndexTest, AForgedTableSizeCostsAStepOfRoomNotTheSize) {
  const uint64_t kGiB = 1ull << 30;
  const uint32_t records = (uint32_t)(kGiB / 20);
  const uint64_t stream = kGiB - 8ull * records + 2;
  struct {
    const char *what;
    std::vector<unsigned char> packed;
    PayloadIndexProblem expected;
  } const kCases[] = {
      {"zero bytes, an 8 MiB window", RunOfBytes(kGiB, 0, false, 23),
       kIndexBadName},
      {"a name of 257 units, a 1 MiB window", RunOfBytes(kGiB, 1, false, 20),
       kIndexBadOffset},
      {"a window of the whole gigabyte", RunOfBytes(kGiB, 0, true, 0),
       kIndexTableUndecodable},
      {"a 16 MiB window, past the writer's", RunOfBytes(kGiB, 0, false, 24),
       kIndexTableUndecodable},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.what);
    Sample s = AssembleTable(c.packed, kGiB, records, stream);
    PayloadIndex index;
    std::vector<unsigned char> table;
    std::vector<uint64_t> asked;
    EXPECT_EQ(Parse(s, &index, &table, &asked), c.expected);
    EXPECT_EQ(index.records, nullptr);
    for (uint64_t size : asked)
      EXPECT_LE(size, (uint64_t)kPayloadIndexTableStep);
  }
}

// Tables of many steps read whole, their room grown as they unpack: a
// table the writer's level packs with its largest window (8 MiB, the
// frame's content larger than it), and one packed with its whole content
// as its window. The writer's level never asks for a larger window, at any
// size.
TEST(PayloadIndexTest, TablesOfManyStepsReadWhole) {
  for (uint64_t size = 1024; size <= (1ull << 34); size *= 2)
    EXPECT_LE(ZSTD_getCParams(19, size, 0).windowLog,
              (unsigned)kPayloadIndexTableWindowLog)
        << size;
  // Records of 27-unit names, 74 bytes each, up to the stream offset of
  // each; every third record has no data.
  auto makeTable = [](uint32_t records, uint64_t *streamSize) {
    std::vector<unsigned char> table;
    uint64_t offset = 0;
    for (uint32_t r = 0; r < records; ++r) {
      char digits[32];
      snprintf(digits, sizeof digits, "folder\\file-%012u.bin", r);
      std::u16string name(digits, digits + strlen(digits));
      unsigned char entry[kPayloadIndexRecordFixedSize + 2 * 64];
      uint64_t size = r % 3;
      size_t bytes = PutPayloadIndexRecord(
          entry, (const Utf16Unit *)name.data(), name.size(), size, offset);
      table.insert(table.end(), entry, entry + bytes);
      offset += 2 * (name.size() + 1) + 8 + size;
    }
    *streamSize = offset + 2;
    return table;
  };
  struct {
    const char *what;
    uint32_t records;
    int windowLog;
  } const kCases[] = {
      // 14.8 MB, with the writer's largest window.
      {"an 8 MiB window", 200000, 23},
      // 7.4 MB, the window the whole content, as the writer's level makes
      // it for a table of up to 8 MiB.
      {"the whole table as its window", 100000, 25},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.what);
    uint64_t streamSize = 0;
    std::vector<unsigned char> table = makeTable(c.records, &streamSize);
    std::vector<unsigned char> packed(ZSTD_compressBound(table.size()));
    ZSTD_CCtx *cctx = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, 1);
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, c.windowLog);
    packed.resize(ZSTD_compress2(cctx, packed.data(), packed.size(),
                                 table.data(), table.size()));
    ZSTD_freeCCtx(cctx);
    ZSTD_frameHeader header;
    ASSERT_EQ(ZSTD_getFrameHeader(&header, packed.data(), packed.size()), 0u);
    EXPECT_EQ(header.windowSize,
              std::min<uint64_t>(table.size(), 1ull << c.windowLog));
    Sample s = AssembleTable(packed, table.size(), c.records, streamSize);
    PayloadIndex index;
    std::vector<unsigned char> unpacked;
    std::vector<uint64_t> asked;
    ASSERT_EQ(Parse(s, &index, &unpacked, &asked), kIndexSound);
    EXPECT_TRUE(unpacked == table);
    EXPECT_GT(asked.size(), 2u);
    PayloadIndexCursor cursor;
    PayloadIndexRecord record;
    StartPayloadIndexRecords(index, &cursor);
    uint32_t count = 0;
    while (NextPayloadIndexRecord(&cursor, &record))
      ++count;
    EXPECT_EQ(count, c.records);
  }
}

} // namespace
