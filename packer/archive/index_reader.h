//===- packer/archive/index_reader.h - Reading a container by its index ---===//
//
// A container with a sound index (common/payload_index.h) need not be
// decoded front to back: the index lists every record, and each frame can
// be decoded alone. list reads the records from the index and decodes
// nothing; extract NAME decodes only the frames that hold the named files;
// verify decodes all frames, several at once. A reader that trusts the
// index compares each record header it decodes with it; what it does not
// decode it has not checked, and must not call sound.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stdint.h>

#include <string>

#include "packer/archive/archive.h"

namespace veskar {

enum class IndexedRead {
  kDone,    // every record the index lists went to the visitor
  kFailed,  // a fault or the visitor's stop; `error` says which
  kNoIndex, // no sound index to read by: read the whole container instead
};

// Reads the container stored at [offset, offset + size) of `fd` by its
// index: checks the header and the tail, hands every record the index
// lists to `visitor` in order, and decodes only the frames that hold the
// data of records whose Begin returns true; each such frame is decoded
// whole, so that its checksum and size are checked, and each such record's
// header in the stream must be the one the index lists (the index's
// disagreement otherwise). A visitor that wants no data decodes nothing.
// kNoIndex, with the visitor untouched, when the container has no index,
// one of a format this packer does not know, or one that is damaged on its
// own (ReadContainer reports which). `facts`, when given, counts the
// frames from their headers, as ReadContainer does.
IndexedRead ReadByIndex(int fd, uint64_t offset, uint64_t size,
                        RecordVisitor &visitor, std::string *error,
                        FrameFacts *facts = nullptr);

// The frames' part of VerifyByIndex: decodes every frame the index lists,
// on up to `threads` threads at once, and checks it against the index
// (its size, its checksum, the record headers and end marker in it).
// kNoIndex as for ReadByIndex; kFailed with the first fault in frame
// order, named by its frame ("frame 3: ..."), or "interrupted" when
// `stop`, when given, asked every thread to stop.
IndexedRead CheckFramesByIndex(int fd, uint64_t offset, uint64_t size,
                               int threads, bool (*stop)(),
                               std::string *error);

// Checks the whole container as ReadContainer does, decoding its frames on
// up to `threads` threads at once: each frame must decode, with its
// checksum, to the size the index gives it, and every record header and
// the end marker in it must be where and what the index says. Then the
// visitor gets every record (Begin and End; no data). When anything is
// wrong, the container is read again by ReadContainer, front to back, so
// that the reason is the one it gives (the first fault in stream order).
// kNoIndex as for ReadByIndex.
IndexedRead VerifyByIndex(int fd, uint64_t offset, uint64_t size, int threads,
                          bool (*stop)(), RecordVisitor &visitor,
                          std::string *error, FrameFacts *facts = nullptr);

} // namespace veskar
