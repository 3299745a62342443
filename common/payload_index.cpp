//===- common/payload_index.cpp - The payload index, for every side -----===//
#include "common/payload_index.h"

#include <string.h>

#include <zstd.h>
#include <zstd_errors.h>

#include "common/cache_marker.h"
#include "common/container.h"

const unsigned char kPayloadIndexSignature[8] = {'V', 'S', 'K', 'I',
                                                 'N', 'D', 'E', 'X'};

namespace {

// A record's bytes in the archive stream in front of its data: the name's
// units, its terminator and the 64-bit size.
uint64_t RecordHeadBytes(uint32_t units) {
  return 2 * (uint64_t)units + 2 + kContainerCountSize;
}

// zstd's densest block: an RLE block, a 3-byte header and one byte for up
// to 128 KiB of content. No packed table unpacks to more than this many
// times its size.
const uint64_t kDensestRatio = (128 * 1024) / 4;

} // namespace

uint64_t PayloadIndexFrameBytes(const unsigned char *at) {
  if (GetLittleEndian32(at) != kPayloadIndexMagic)
    return 0;
  return kSkippableHeaderSize + (uint64_t)GetLittleEndian32(at + 4);
}

PayloadIndexProblem ParsePayloadIndex(const unsigned char *at,
                                      uint64_t available,
                                      uint64_t containerSize,
                                      PayloadIndex *index) {
  // Ours only with the magic and the signature: another writer's skippable
  // frame is stepped over as the decoder does.
  if (available < kSkippableHeaderSize + sizeof kPayloadIndexSignature)
    return kIndexAbsent;
  uint64_t frameBytes = PayloadIndexFrameBytes(at);
  if (frameBytes < kSkippableHeaderSize + sizeof kPayloadIndexSignature ||
      memcmp(at + kSkippableHeaderSize, kPayloadIndexSignature,
             sizeof kPayloadIndexSignature) != 0)
    return kIndexAbsent;
  if (frameBytes > available || containerSize < kContainerHeaderSize ||
      frameBytes > containerSize - kContainerHeaderSize ||
      containerSize - kContainerHeaderSize - frameBytes < kContainerTailSize)
    return kIndexTruncated;
  const unsigned char *content = at + kSkippableHeaderSize;
  uint64_t contentSize = frameBytes - kSkippableHeaderSize;
  if (contentSize >= kPayloadIndexFormatOffset + 4 &&
      GetLittleEndian32(content + kPayloadIndexFormatOffset) !=
          kPayloadIndexFormat)
    return kIndexUnknownFormat;
  if (contentSize < kPayloadIndexHeaderSize)
    return kIndexShort;

  uint32_t frameCount = GetLittleEndian32(content + kPayloadIndexFramesOffset);
  uint32_t recordCount =
      GetLittleEndian32(content + kPayloadIndexRecordsOffset);
  uint64_t streamSize = GetLittleEndian64(content + kPayloadIndexStreamOffset);
  uint64_t left = contentSize - kPayloadIndexHeaderSize;
  if (frameCount == 0)
    return kIndexNoFrames;
  if (frameCount > left / kPayloadIndexFrameSize)
    return kIndexTooManyFrames;

  // The data frames fill the container from the index's end to the two
  // zero bytes in front of the tail.
  const uint64_t framesRoom =
      containerSize - kContainerHeaderSize - frameBytes - kContainerTailSize;
  const unsigned char *frames = content + kPayloadIndexHeaderSize;
  uint64_t compressed = 0, decompressed = 0;
  for (uint32_t i = 0; i < frameCount; ++i) {
    const unsigned char *entry = frames + (uint64_t)i * kPayloadIndexFrameSize;
    uint64_t frameCompressed = GetLittleEndian64(entry);
    uint64_t frameDecompressed = GetLittleEndian64(entry + 8);
    if (frameCompressed == 0 || frameDecompressed == 0)
      return kIndexEmptyFrame;
    if (frameCompressed > framesRoom - compressed)
      return kIndexFramesNotContainer;
    if (frameDecompressed > streamSize - decompressed)
      return kIndexFramesNotStream;
    compressed += frameCompressed;
    decompressed += frameDecompressed;
  }
  if (compressed != framesRoom)
    return kIndexFramesNotContainer;
  if (decompressed != streamSize)
    return kIndexFramesNotStream;
  left -= (uint64_t)frameCount * kPayloadIndexFrameSize;

  // The packed record table fills the rest of the content.
  uint64_t packedSize = GetLittleEndian64(content + kPayloadIndexPackedOffset);
  uint64_t tableSize = GetLittleEndian64(content + kPayloadIndexUnpackedOffset);
  if (packedSize > left)
    return kIndexTablePastEnd;
  if (packedSize < left)
    return kIndexTrailingBytes;
  // Bounds on what the table unpacks to, before anyone gives room for it:
  // every record takes 20 to 18 + 2 * kMaxNameUnits bytes; without its 8
  // bytes of offset it is the record's head in the stream, and the heads
  // and the end marker fit the stream; and zstd cannot unpack more than
  // its densest ratio from the packed bytes.
  const uint64_t offsets = 8 * (uint64_t)recordCount;
  if (tableSize < (kPayloadIndexRecordFixedSize + 2) * (uint64_t)recordCount ||
      tableSize > (kPayloadIndexRecordFixedSize + 2 * (uint64_t)kMaxNameUnits) *
                      recordCount ||
      streamSize < 2 || tableSize - offsets > streamSize - 2 ||
      tableSize > kDensestRatio * packedSize)
    return kIndexTableSize;
  // Exactly one data frame (not a skippable one) whose header gives the
  // declared size, and no second frame or other bytes after it: checked
  // from the headers alone, before the caller gives room for the table.
  const unsigned char *packed =
      frames + (uint64_t)frameCount * kPayloadIndexFrameSize;
  if (packedSize < 4 || GetLittleEndian32(packed) != ZSTD_MAGICNUMBER ||
      ZSTD_findFrameCompressedSize(packed, (size_t)packedSize) != packedSize)
    return kIndexTableUndecodable;
  unsigned long long declared =
      ZSTD_getFrameContentSize(packed, (size_t)packedSize);
  if (declared == ZSTD_CONTENTSIZE_ERROR)
    return kIndexTableUndecodable;
  if (declared != tableSize)
    return kIndexTableWrongSize;

  index->frameCount = frameCount;
  index->recordCount = recordCount;
  index->streamSize = streamSize;
  index->indexFrameSize = frameBytes;
  index->frames = frames;
  index->packedTable = packed;
  index->packedTableSize = packedSize;
  index->tableSize = tableSize;
  index->records = nullptr;
  return kIndexSound;
}

namespace {

// How far the records of a table being unpacked have checked out.
struct RecordsChecked {
  uint64_t at;       // the table's bytes of the records checked
  uint32_t records;  // their count
  uint64_t expected; // where the next record must start in the stream
};

// Checks the records that lie whole in the first `made` bytes of the
// table, past those already checked; once every record is checked, that
// the table and the stream end with the last. kIndexSound while nothing is
// wrong so far. The declared size bounds every record from the start: a
// record that runs past it is refused before its bytes are there.
PayloadIndexProblem CheckRecordsUpTo(const PayloadIndex &index,
                                     const unsigned char *table, uint64_t made,
                                     RecordsChecked *checked) {
  const uint64_t streamSize = index.streamSize;
  while (checked->records < index.recordCount) {
    uint64_t left = index.tableSize - checked->at;
    if (left < 2)
      return kIndexTooManyRecords;
    if (made - checked->at < 2)
      return kIndexSound; // not yet unpacked
    const unsigned char *record = table + checked->at;
    uint32_t units = GetLittleEndian16(record);
    if (units == 0 || units > kMaxNameUnits)
      return kIndexBadName;
    uint64_t bytes = kPayloadIndexRecordFixedSize + 2 * (uint64_t)units;
    if (bytes > left)
      return kIndexTooManyRecords;
    if (bytes > made - checked->at)
      return kIndexSound;
    for (uint32_t u = 0; u < units; ++u)
      if (GetLittleEndian16(record + 2 + 2 * u) == 0)
        return kIndexBadName;
    const unsigned char *numbers = record + 2 + 2 * (uint64_t)units;
    uint64_t size = GetLittleEndian64(numbers);
    uint64_t offset = GetLittleEndian64(numbers + 8);
    uint64_t expected = checked->expected;
    if (offset != expected)
      return kIndexBadOffset;
    uint64_t head = RecordHeadBytes(units);
    if (head > streamSize - expected || size > streamSize - expected - head)
      return kIndexRecordsNotStream;
    checked->expected = expected + head + size;
    checked->at += bytes;
    ++checked->records;
  }
  if (checked->at != index.tableSize)
    return kIndexTrailingBytes;
  // The end marker, and nothing after it.
  if (streamSize - checked->expected != 2)
    return kIndexRecordsNotStream;
  return kIndexSound;
}

// The room the next step needs, grown by half at least so that a large
// table is not moved at every step, and never past the declared size.
uint64_t GrownRoom(uint64_t room, uint64_t needed, uint64_t tableSize) {
  uint64_t grown = room + room / 2;
  if (grown < needed)
    grown = needed;
  return grown < tableSize ? grown : tableSize;
}

PayloadIndexProblem UnpackAndCheck(PayloadIndex *index, ZSTD_DCtx *dctx,
                                   PayloadIndexRoom room, void *owner) {
  if (ZSTD_isError(ZSTD_DCtx_setParameter(dctx, ZSTD_d_windowLogMax,
                                          kPayloadIndexTableWindowLog)))
    return kIndexTableUndecodable;
  const uint64_t tableSize = index->tableSize;
  ZSTD_inBuffer input = {index->packedTable, (size_t)index->packedTableSize, 0};
  unsigned char *table = nullptr;
  uint64_t roomSize = 0, made = 0;
  RecordsChecked checked = {0, 0, 0};
  for (;;) {
    uint64_t needed = tableSize - made < kPayloadIndexTableStep
                          ? tableSize
                          : made + kPayloadIndexTableStep;
    if (needed > roomSize) {
      uint64_t grown = GrownRoom(roomSize, needed, tableSize);
      table = room(owner, grown);
      if (table == nullptr)
        return kIndexNoRoom;
      roomSize = grown;
    }
    ZSTD_outBuffer output = {table + made, (size_t)(needed - made), 0};
    size_t consumed = input.pos;
    size_t result = ZSTD_decompressStream(dctx, &output, &input);
    if (ZSTD_isError(result))
      return ZSTD_getErrorCode(result) == ZSTD_error_memory_allocation
                 ? kIndexNoRoom
                 : kIndexTableUndecodable;
    made += output.pos;
    PayloadIndexProblem problem =
        CheckRecordsUpTo(*index, table, made, &checked);
    if (problem != kIndexSound)
      return problem;
    if (result == 0)
      break;
    // Neither input used nor output made: the frame is cut short.
    if (output.pos == 0 && input.pos == consumed)
      return kIndexTableUndecodable;
  }
  // The frame's header gave the declared size, which the decoder holds it
  // to; the count is checked all the same.
  if (made != tableSize)
    return kIndexTableWrongSize;
  index->records = table;
  return kIndexSound;
}

} // namespace

PayloadIndexProblem ReadPayloadIndexRecords(PayloadIndex *index,
                                            ZSTD_DCtx *dctx,
                                            PayloadIndexRoom room,
                                            void *owner) {
  index->records = nullptr;
  ZSTD_DCtx_reset(dctx, ZSTD_reset_session_and_parameters);
  PayloadIndexProblem problem = UnpackAndCheck(index, dctx, room, owner);
  // The caller may use the decoder next, with zstd's defaults.
  ZSTD_DCtx_reset(dctx, ZSTD_reset_session_and_parameters);
  return problem;
}

PayloadIndexProblem CheckPayloadIndexRecords(PayloadIndex *index,
                                             const unsigned char *table) {
  RecordsChecked checked = {0, 0, 0};
  PayloadIndexProblem problem =
      CheckRecordsUpTo(*index, table, index->tableSize, &checked);
  if (problem == kIndexSound)
    index->records = table;
  return problem;
}

void StartPayloadIndexFrames(const PayloadIndex &index,
                             PayloadIndexCursor *cursor) {
  cursor->at = index.frames;
  cursor->left = index.frameCount;
  cursor->containerOffset = kContainerHeaderSize + index.indexFrameSize;
  cursor->streamOffset = 0;
}

bool NextPayloadIndexFrame(PayloadIndexCursor *cursor,
                           PayloadIndexFrame *frame) {
  if (cursor->left == 0)
    return false;
  frame->compressedSize = GetLittleEndian64(cursor->at);
  frame->decompressedSize = GetLittleEndian64(cursor->at + 8);
  frame->containerOffset = cursor->containerOffset;
  frame->streamOffset = cursor->streamOffset;
  cursor->containerOffset += frame->compressedSize;
  cursor->streamOffset += frame->decompressedSize;
  cursor->at += kPayloadIndexFrameSize;
  --cursor->left;
  return true;
}

void StartPayloadIndexRecords(const PayloadIndex &index,
                              PayloadIndexCursor *cursor) {
  cursor->at = index.records;
  cursor->left = index.recordCount;
  cursor->containerOffset = 0;
  cursor->streamOffset = 0;
}

bool NextPayloadIndexRecord(PayloadIndexCursor *cursor,
                            PayloadIndexRecord *record) {
  if (cursor->left == 0)
    return false;
  uint32_t units = GetLittleEndian16(cursor->at);
  const unsigned char *numbers = cursor->at + 2 + 2 * units;
  record->name = cursor->at + 2;
  record->units = units;
  record->size = GetLittleEndian64(numbers);
  record->offset = GetLittleEndian64(numbers + 8);
  record->dataOffset = record->offset + RecordHeadBytes(units);
  cursor->at = numbers + 16;
  --cursor->left;
  return true;
}

const char *DescribePayloadIndexProblem(PayloadIndexProblem problem) {
  switch (problem) {
  case kIndexSound:
    return "the index is sound";
  case kIndexAbsent:
    return "the payload has no index";
  case kIndexUnknownFormat:
    return "the index has a format this version does not know";
  case kIndexTruncated:
    return "the index runs past the end of the container";
  case kIndexShort:
    return "the index is shorter than its header";
  case kIndexNoFrames:
    return "the index lists no frames";
  case kIndexTooManyFrames:
    return "the index lists more frames than it holds";
  case kIndexEmptyFrame:
    return "the index lists an empty frame";
  case kIndexFramesNotContainer:
    return "the index's frame sizes do not add up to the compressed data";
  case kIndexFramesNotStream:
    return "the index's frames do not decode to its archive size";
  case kIndexTooManyRecords:
    return "the index's records run past its end";
  case kIndexTablePastEnd:
    return "the index's packed record table runs past its end";
  case kIndexTableSize:
    return "the index declares a record table size its records cannot have";
  case kIndexTableUndecodable:
    return "the index's record table does not decode as one zstd frame";
  case kIndexTableWrongSize:
    return "the index's record table decodes to a size other than declared";
  case kIndexBadName:
    return "the index holds a name that is empty, too long or holds a zero "
           "unit";
  case kIndexBadOffset:
    return "a record's offset in the index is not where the record before "
           "it ends";
  case kIndexRecordsNotStream:
    return "the index's records and end marker do not fill its archive size";
  case kIndexTrailingBytes:
    return "the index holds bytes after its last record";
  case kIndexNoRoom:
    return "there is no memory for the index's records";
  }
  return "the index is damaged";
}

uint64_t PayloadIndexTableSize(uint64_t records, uint64_t nameUnits) {
  return records * kPayloadIndexRecordFixedSize + 2 * nameUnits;
}

uint64_t PayloadIndexContentSize(uint64_t frames, uint64_t packedTableSize) {
  return kPayloadIndexHeaderSize + frames * kPayloadIndexFrameSize +
         packedTableSize;
}

void PutPayloadIndexHeader(unsigned char *to, uint32_t contentSize,
                           uint32_t frames, uint32_t records,
                           uint64_t streamSize, uint64_t packedTableSize,
                           uint64_t tableSize) {
  PutLittleEndian32(to, kPayloadIndexMagic);
  PutLittleEndian32(to + 4, contentSize);
  unsigned char *content = to + kSkippableHeaderSize;
  memcpy(content, kPayloadIndexSignature, sizeof kPayloadIndexSignature);
  PutLittleEndian32(content + kPayloadIndexFormatOffset, kPayloadIndexFormat);
  PutLittleEndian32(content + kPayloadIndexFramesOffset, frames);
  PutLittleEndian32(content + kPayloadIndexRecordsOffset, records);
  PutLittleEndian64(content + kPayloadIndexStreamOffset, streamSize);
  PutLittleEndian64(content + kPayloadIndexPackedOffset, packedTableSize);
  PutLittleEndian64(content + kPayloadIndexUnpackedOffset, tableSize);
}

void PutPayloadIndexFrame(unsigned char *to, uint64_t compressedSize,
                          uint64_t decompressedSize) {
  PutLittleEndian64(to, compressedSize);
  PutLittleEndian64(to + 8, decompressedSize);
}

size_t PutPayloadIndexRecord(unsigned char *to, const Utf16Unit *name,
                             size_t units, uint64_t size, uint64_t offset) {
  // A cache marker's record (count, units, size), then the offset.
  size_t bytes = PutCacheMarkerRecord(to, name, units, size);
  PutLittleEndian64(to + bytes, offset);
  return bytes + 8;
}

unsigned char PayloadIndexHeadByte(const unsigned char *name, uint32_t units,
                                   uint64_t size, uint64_t at) {
  uint64_t nameBytes = 2 * (uint64_t)units;
  if (at < nameBytes)
    return name[at];
  if (at < nameBytes + 2)
    return 0;
  return (unsigned char)(size >> (8 * (at - nameBytes - 2)));
}
