//===- packer/archive/archive.h - Writing and reading containers ----------===//
//
// The container's layout and limits are common/container.h's; this is the
// packer's writer and its checking reader.
//
// Both sides stream: files are read and written in chunks, so memory stays
// bounded however large the input.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

namespace veskar {

struct ArchiveInput {
  std::u16string name; // relative, '\\' between levels
  std::string path;    // where to read the bytes from
  uint64_t size;       // the size the record declares; the file must match
};

struct CompressionOptions {
  int level = 3;   // 1 to 22; every level's window is capped at 2^27
  int threads = 0; // worker threads; 0 compresses on the calling thread
  // Long-distance matching, over the largest window the launcher's decoder
  // accepts (2^27): finds repeats far apart, such as a library carried twice.
  bool longDistance = false;
  bool checksum = true;
  // When not 0, the archive stream is cut into frames of this many bytes,
  // each compressed on its own (on `threads` workers at once, the same bytes
  // for any number); 0 writes one frame.
  uint64_t frameInputLimit = 0;
  // An index of the frames and records in front of the frames
  // (common/payload_index.h).
  bool index = true;
};

// The frames build cuts the archive stream into at `level`, unless
// long-distance matching asks for one frame over the whole stream: eight
// windows of the level, sixteen from level 17, at least 16 MiB (16 MiB at
// the default level, 128 MiB at 19), so that what a frame loses by starting
// without history stays small (bench/RESULTS.md).
uint64_t DefaultFrameInputLimit(int level);

// Bytes of archive stream done, of the total.
using ProgressFn = std::function<void(uint64_t done, uint64_t total)>;

// The decompressed size of the archive stream for these inputs.
uint64_t ArchiveStreamSize(const std::vector<ArchiveInput> &files);

// Streams the whole container to `fd` at its current position. On failure
// returns false with a one-line reason in `error`; what was written is then
// not a container.
bool WriteContainer(const std::vector<ArchiveInput> &files,
                    const CompressionOptions &options, int fd,
                    uint64_t *containerSize, std::string *error,
                    const ProgressFn &progress = {});

// Receives the records of a container in order.
class RecordVisitor {
public:
  virtual ~RecordVisitor();
  // A record begins; false skips its data (it is still decoded and checked).
  virtual bool Begin(const std::u16string &name, uint64_t size) = 0;
  // Some of the record's data; false stops reading with `error` unchanged.
  virtual bool Data(const void *bytes, size_t count) = 0;
  // The record's data is complete; false stops reading.
  virtual bool End() = 0;
};

// What reading a container saw of its frames.
struct FrameFacts {
  uint64_t frames = 0;          // zstd frames, skippable ones included
  uint64_t uncheckedFrames = 0; // data frames that carry no content checksum
  uint64_t firstUnchecked = 0;  // the number (from 1) of the first of those
  bool indexed = false;         // an index was found and agreed with the stream
  bool unknownIndex = false; // an index of a format this packer does not know
};

// Reads the container stored at [offset, offset + size) of `fd`: checks the
// header, decodes every frame (checking each content checksum), reads every
// record up to the end marker, and checks that nothing but the two zero bytes
// and the tail follow. False with a one-line reason in `error` on any fault,
// or when a visitor call returned false. A frame without a content checksum
// is no fault (the launcher decodes it too), but its content cannot be
// checked: `facts`, when given, counts such frames. An index, when the
// container has one, must agree with the stream frame by frame and record
// by record; a container without one is sound too.
bool ReadContainer(int fd, uint64_t offset, uint64_t size,
                   RecordVisitor &visitor, std::string *error,
                   FrameFacts *facts = nullptr);

// Checks the container's header and tail (the two zero bytes and the
// count); false with a one-line reason.
bool CheckContainerEnds(int fd, uint64_t offset, uint64_t size,
                        std::string *error);

// Counts the frame whose header starts at `at` of `fd` (before `end`) and
// whether it carries a content checksum. A header that cannot be read is
// left to the decoder, which reports the damage.
void NoteFrame(int fd, uint64_t at, uint64_t end, FrameFacts *facts);

} // namespace veskar
