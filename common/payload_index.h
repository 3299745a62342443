//===- common/payload_index.h - The payload index, for every side -------===//
//
// A container may carry an index of its archive stream: where each zstd
// frame lies and what it decodes to, and where each record lies in the
// stream. It is a zstd skippable frame (magic 0x184D2A5E, a 32-bit
// little-endian content size, the content), the first frame after the
// container's three header bytes, so a reader finds it at a fixed place and
// a reader that knows nothing of it steps over it: the decoder produces no
// output for a skippable frame. Content, little-endian:
//
//   "VSKINDEX", a 32-bit format number, 32-bit counts of frames and of
//   records, the 64-bit size of the archive stream, the 64-bit packed and
//   unpacked sizes of the record table; per frame, the 64-bit compressed
//   size (header to end, checksum included) and the 64-bit decompressed
//   size; then the record table, packed as one zstd frame that fills the
//   rest of the content.
//
// The record table, unpacked: per record, in archive order, a 16-bit count
// of UTF-16 units, the name's units, the 64-bit data size and the 64-bit
// offset of the record (its name's first byte) in the archive stream. It is
// packed because it is most of the index: names compress well, and a tree
// of many small files would otherwise pay for its names twice. The frame
// table stays unpacked, as the writer fills in the compressed sizes once
// the frames are done.
//
// The frames cover the container from the index frame's end up to the two
// zero bytes in front of the tail; their decompressed sizes add up to the
// archive stream, whose last two bytes are the end marker. Nothing follows
// the last record.
//
// The index is hostile input like the rest of the container: the parser
// checks every count and size before it uses it, and everything that can
// be checked without decoding. Reading takes two steps: ParsePayloadIndex
// checks the header and the frame table and bounds the record table's
// unpacked size; ReadPayloadIndexRecords unpacks the table in steps and
// checks each record as soon as it is whole, asking the caller for room as
// the table grows, so that a forged size costs no more than the bytes that
// check out. Whether the index agrees with the frames' content only decoding
// the frames can tell: a reader that trusts it must compare each record it
// decodes with the index.
//
// Plain procedural code over caller-given bytes, no allocation of its own
// (the room for the unpacked table is the caller's): the launcher parses
// with the same functions.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "common/text.h"

// The skippable frame's magic: the zstd decoder steps over 0x184D2A50 to
// 0x184D2A5F; this one is the index's.
const uint32_t kPayloadIndexMagic = 0x184D2A5Eu;
// Format 1 was the development builds' layout with the records unpacked;
// no reader uses it, and this side treats it as unknown.
const uint32_t kPayloadIndexFormat = 2;
extern const unsigned char kPayloadIndexSignature[8];

enum : size_t {
  // The skippable frame's own header: magic, content size.
  kSkippableHeaderSize = 8,
  // Signature, format, frame count, record count, stream size, the record
  // table's packed and unpacked sizes.
  kPayloadIndexFormatOffset = 8,
  kPayloadIndexFramesOffset = 12,
  kPayloadIndexRecordsOffset = 16,
  kPayloadIndexStreamOffset = 20,
  kPayloadIndexPackedOffset = 28,
  kPayloadIndexUnpackedOffset = 36,
  kPayloadIndexHeaderSize = 44,
  kPayloadIndexFrameSize = 16,
  // A record without its name's units: count, size, offset.
  kPayloadIndexRecordFixedSize = 2 + 8 + 8,
  // The record table is unpacked, and its room grown, by at most this
  // many bytes at a time.
  kPayloadIndexTableStep = 1 << 20,
};

// The largest window the packed record table's frame may ask the decoder
// for (8 MiB): the writer packs it at level 19, whose window is 8 MiB at
// most. A frame asking for more is refused as undecodable, so that the
// decoder's own buffer never takes the size a forged frame declares.
const int kPayloadIndexTableWindowLog = 23;

enum PayloadIndexProblem {
  kIndexSound = 0,
  // The first frame is no index: a container without one.
  kIndexAbsent,
  // An index of a format this side does not know.
  kIndexUnknownFormat,
  kIndexTruncated,          // the frame runs past the container
  kIndexShort,              // the content is shorter than its header
  kIndexNoFrames,           // a stream needs at least one frame
  kIndexTooManyFrames,      // more frames than the content holds
  kIndexEmptyFrame,         // a frame of no bytes, or decoding to none
  kIndexFramesNotContainer, // compressed sizes miss the frames' room
  kIndexFramesNotStream,    // decompressed sizes miss the stream's size
  kIndexTooManyRecords,     // more records than the content holds
  kIndexTablePastEnd,       // the packed record table runs past the content
  kIndexTableSize,          // an unpacked size its records cannot have
  kIndexTableUndecodable,   // the packed records are not one zstd frame
  kIndexTableWrongSize,     // they unpack to a size other than declared
  kIndexBadName,            // no units, too many, or a zero unit
  kIndexBadOffset,          // not where the record before it ends
  kIndexRecordsNotStream,   // the records and end marker miss the stream
  kIndexTrailingBytes,      // bytes after the record table or last record
  kIndexNoRoom,             // no memory for the unpacked table
};

// A parsed, checked index. The pointers lead into the caller's bytes,
// which must stay as they are while the index is used.
struct PayloadIndex {
  uint32_t frameCount;
  uint32_t recordCount;
  uint64_t streamSize;
  // The whole skippable frame's size, header included: the first data
  // frame starts this many bytes after the container's header.
  uint64_t indexFrameSize;
  const unsigned char *frames; // the frame table
  // The packed record table (one zstd frame) and the size it must unpack
  // to, within the bounds ParsePayloadIndex checked.
  const unsigned char *packedTable;
  uint64_t packedTableSize;
  uint64_t tableSize;
  // The first unpacked record: null until the records have checked out.
  const unsigned char *records;
};

struct PayloadIndexFrame {
  uint64_t compressedSize;
  uint64_t decompressedSize;
  // Where the frame starts in the container, and where its content
  // starts in the archive stream.
  uint64_t containerOffset;
  uint64_t streamOffset;
};

struct PayloadIndexRecord {
  const unsigned char *name; // `units` UTF-16LE units, not terminated
  uint32_t units;
  uint64_t size;
  uint64_t offset;     // the record's first byte in the archive stream
  uint64_t dataOffset; // its data's first byte
};

// Walks the frames or the records of a checked index in order.
struct PayloadIndexCursor {
  const unsigned char *at;
  uint32_t left;
  uint64_t containerOffset;
  uint64_t streamOffset;
};

// Checks the index that may start at `at`, the container's byte 3 (just
// after the header), of which `available` bytes can be read; the whole
// container is `containerSize` bytes. kIndexAbsent when the first frame is
// not an index (a foreign skippable frame included), kIndexSound with
// `index` filled when the header and the frame table check out, and the
// packed record table is one zstd frame whose header gives the declared
// unpacked size, a size its records can have; otherwise what is wrong.
// Only zstd's header functions are used, nothing is decoded. The records
// are not yet usable: see the next two functions.
PayloadIndexProblem ParsePayloadIndex(const unsigned char *at,
                                      uint64_t available,
                                      uint64_t containerSize,
                                      PayloadIndex *index);

// Gives room for `size` bytes, keeping the bytes the room held before (the
// room may move, as with realloc); null when there is none, the old room
// left as it was, for its owner to free.
typedef unsigned char *(*PayloadIndexRoom)(void *owner, uint64_t size);

// Unpacks the parsed index's record table with `dctx` (zstd's decompression
// context, whose session and parameters it resets before and after) and
// checks it: names, offsets, sizes and the end marker. The table is decoded
// in steps of at most kPayloadIndexTableStep bytes, each record checked as
// soon as it is whole, and the room (asked of `room`, with `owner`) grows
// only with what has checked out (a step past it, or by half): a table that
// goes wrong is refused at the step where it does, whatever size it declares.
// kIndexSound with index->records set into the room, which the caller keeps as
// it is while the index is used and frees after; kIndexTableUndecodable when
// the frame does not decode, kIndexNoRoom when `room` or the decoder had no
// memory, otherwise what is wrong with the records.
PayloadIndexProblem ReadPayloadIndexRecords(PayloadIndex *index,
                                            struct ZSTD_DCtx_s *dctx,
                                            PayloadIndexRoom room, void *owner);

// Checks an unpacked record table `table` (index->tableSize bytes, kept as
// they are while the index is used) against the parsed index, as
// ReadPayloadIndexRecords does step by step. kIndexSound with
// index->records set.
PayloadIndexProblem CheckPayloadIndexRecords(PayloadIndex *index,
                                             const unsigned char *table);

// The size of the index frame whose first kSkippableHeaderSize bytes are
// at `at`, header included, when it is the index's magic; 0 otherwise.
uint64_t PayloadIndexFrameBytes(const unsigned char *at);

void StartPayloadIndexFrames(const PayloadIndex &index,
                             PayloadIndexCursor *cursor);
// The next frame; false after the last.
bool NextPayloadIndexFrame(PayloadIndexCursor *cursor,
                           PayloadIndexFrame *frame);
void StartPayloadIndexRecords(const PayloadIndex &index,
                              PayloadIndexCursor *cursor);
// The next record; false after the last.
bool NextPayloadIndexRecord(PayloadIndexCursor *cursor,
                            PayloadIndexRecord *record);

// Byte `at` (counted from the record's first byte) of the head the archive
// stream must hold for a record the index lists with this name (`units`
// UTF-16LE units at `name`) and size: the name's units, a zero unit, the
// 64-bit size. A reader that trusts the index compares what it decodes
// with these bytes.
unsigned char PayloadIndexHeadByte(const unsigned char *name, uint32_t units,
                                   uint64_t size, uint64_t at);

// One line saying what is wrong, for messages ("its frames' sizes ...").
const char *DescribePayloadIndexProblem(PayloadIndexProblem problem);

// --- Writing ---------------------------------------------------------------

// The unpacked record table's size for `records` records whose names hold
// `nameUnits` units in all.
uint64_t PayloadIndexTableSize(uint64_t records, uint64_t nameUnits);

// The content size of an index of `frames` frames whose record table packs
// to `packedTableSize` bytes.
uint64_t PayloadIndexContentSize(uint64_t frames, uint64_t packedTableSize);

// Writes the skippable frame's header and the index header
// (kSkippableHeaderSize + kPayloadIndexHeaderSize bytes).
void PutPayloadIndexHeader(unsigned char *to, uint32_t contentSize,
                           uint32_t frames, uint32_t records,
                           uint64_t streamSize, uint64_t packedTableSize,
                           uint64_t tableSize);
// Writes one frame entry (kPayloadIndexFrameSize bytes).
void PutPayloadIndexFrame(unsigned char *to, uint64_t compressedSize,
                          uint64_t decompressedSize);
// Writes one record of the unpacked table for a name of `units` units (1 to
// kMaxNameUnits); gives the bytes written (kPayloadIndexRecordFixedSize +
// 2 * units).
size_t PutPayloadIndexRecord(unsigned char *to, const Utf16Unit *name,
                             size_t units, uint64_t size, uint64_t offset);
