//===- tests/support/test_container.h - Test containers, piece by piece ---===//
//
// The one writer of archive streams, frames and containers for the tests
// that need bytes the packer would never write (or must not be trusted to
// write): the launcher's unit tests and the fuzz seed corpus. Every piece
// is plain bytes in a std::string, so pieces can be cut, joined and damaged
// before they are put together:
//
//   ArchiveStream({{u"main", data}, ...})   records, then the end marker
//   Compress(stream, options)               zstd frames made by libzstd
//   RawFrame / RawFrames / SkippableFrame   frames assembled by hand
//   Container(frames)                       "VEY", the frames, the tail
//   PackWithArchiveWriter(records, ...)     the packer's own container
//
// The container's layout is in common/container.h.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "packer/archive/archive.h"

namespace test {

// One record of an archive stream.
struct Record {
  std::u16string name;
  std::string data;
};

// A record's head: the UTF-16LE name, its 0x0000 terminator and the 64-bit
// size, without the data (which a test may leave to later frames, or let
// run short).
std::string RecordHead(const std::u16string &name, uint64_t size);

// The archive stream: the records, then the end marker unless told not to.
std::string ArchiveStream(const std::vector<Record> &records,
                          bool endMarker = true);

// How Compress makes its frames.
struct FrameOptions {
  bool checksum = true;
  int windowLog = 0; // 0: the library's choice
  int level = 3;
  // Offsets into the stream where one frame ends and the next begins.
  std::vector<size_t> cuts;
};
// The stream compressed as one frame, or one frame per piece between cuts.
// The frames carry no content size, as a streaming writer makes them.
std::string Compress(const std::string &stream,
                     const FrameOptions &options = {});

// One zstd frame of raw blocks of at most `blockSize` bytes, without content
// size or checksum, and with a window of 2^windowLog bytes: a mutation of
// the archive bytes in it stays decodable.
std::string RawFrame(const std::string &content, size_t blockSize,
                     int windowLog = 17);

// The stream cut into one raw frame per `slice` bytes: frame ends fall
// inside names, sizes and data.
std::string RawFrames(const std::string &stream, size_t slice);

// A frame of one raw block of `content`, then `zeroBlocks` RLE blocks of
// `zeros` zero bytes each (at most 128 KiB): four bytes of input a block
// that decode to as much output as asked for.
std::string RawFrameEndingInZeros(const std::string &content, size_t zeros,
                                  int zeroBlocks = 1);

// A zstd skippable frame (magic 0x184D2A50 + `variant`, 0 to 15) around
// `content`; the decoder passes over it. `declared` overrides the size
// field, to make one that runs past the end.
std::string SkippableFrame(int variant, const std::string &content,
                           uint64_t declared = UINT64_MAX);

// "VE", 'Y', the frames, then unless told not to the tail: 0x00 0x00 and
// the 64-bit count of the bytes in front of it.
std::string Container(const std::string &frames, bool tail = true);

// One frame of the index: its compressed and decompressed sizes.
struct IndexedFrame {
  uint64_t compressed;
  uint64_t decompressed;
};

// The index (a skippable frame) of a stream of `streamSize` bytes in
// `frames`, listing `records` (names and sizes; each record's offset is
// where the one before it ends, from 0).
std::string IndexFrame(const std::vector<Record> &records,
                       const std::vector<IndexedFrame> &frames,
                       uint64_t streamSize);

// A container with an index in front of the archive stream of `records`,
// compressed as one frame per piece between `cuts` (FrameOptions::cuts). The
// index lists `listed` where a test forges it (the stream's own records when
// empty); its frames are the real ones.
std::string IndexedContainer(const std::vector<Record> &records,
                             const std::vector<size_t> &cuts = {},
                             const std::vector<Record> &listed = {});

// The records packed by the packer's archive writer, their bytes going
// through files in a scratch directory as they do when packing (the writer
// reads files). False with a one-line reason.
bool PackWithArchiveWriter(const std::vector<Record> &records,
                           const veskar::CompressionOptions &options,
                           std::string *container, std::string *error);

} // namespace test
