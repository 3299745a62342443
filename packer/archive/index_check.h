//===- packer/archive/index_check.h - Does the index agree with the stream?
//-===//
//
// A container's index (common/payload_index.h) is checked twice as its
// container is read: on its own before anything is decoded (its counts,
// sizes and offsets, against the container's size), then against what
// decoding finds, frame by frame (where each frame lies, what it decodes
// to) and record by record (each record's name and size, in order). A
// reader that trusts the index writes what the index says; so an index
// that disagrees with the stream makes a package damaged, even when the
// stream alone is sound.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "common/payload_index.h"
#include "packer/archive/archive.h"

namespace veskar {

// A container's index, read and checked on its own (its counts, sizes and
// offsets, its record table unpacked), or none.
struct LoadedIndex {
  struct FreeTable {
    void operator()(unsigned char *table) const;
  };
  std::vector<unsigned char> bytes;                // the index frame
  std::unique_ptr<unsigned char, FreeTable> table; // its record table, unpacked
  PayloadIndex index = {};
  bool present = false; // a sound index, ready to use
  bool unknown = false; // an index of a format this packer does not know
};

// Reads the index of the container at [offset, offset + size) of `fd`, if
// it has one, and checks it on its own. False with a one-line reason when
// it is damaged; a container without an index, or with one of a format
// this packer does not know, passes with `present` false.
bool LoadIndex(int fd, uint64_t offset, uint64_t size, LoadedIndex *loaded,
               std::string *error);

// What every disagreement between the index and the stream says first.
extern const char kIndexDisagrees[];

// "'NAME' of SIZE bytes", as disagreements describe a record.
std::string DescribeRecord(const std::u16string &name, uint64_t size);

// Frame `number` (from 1) lay at `start` of the container, `compressed`
// bytes decoding to `decoded`, other than the index lists it.
std::string DescribeFrameDisagreement(uint64_t number, uint64_t start,
                                      uint64_t compressed, uint64_t decoded,
                                      const PayloadIndexFrame &listed);

// A record of a checked index as a name.
std::u16string IndexRecordName(const PayloadIndexRecord &record);

// Stands between the reader and its visitor, checking each record.
class IndexChecker : public RecordVisitor {
public:
  explicit IndexChecker(RecordVisitor &visitor) : visitor_(visitor) {}

  // LoadIndex, kept for the checks below (see present() and unknown()).
  bool Load(int fd, uint64_t offset, uint64_t size, std::string *error);
  bool present() const { return loaded_.present; }
  bool unknown() const { return loaded_.unknown; }

  // A frame, skippable or not, has ended: it lay at [start, end) of the
  // container and decoded to `bytes`. False with a reason when the index
  // says otherwise.
  bool FrameEnded(uint64_t start, uint64_t end, uint64_t bytes,
                  std::string *error);
  // The stream has ended: false with a reason when the index lists more
  // frames or records than it held.
  bool Finish(std::string *error);
  // Why a record stopped the reading, when it disagreed with the index.
  const std::string &disagreement() const { return disagreement_; }

  bool Begin(const std::u16string &name, uint64_t size) override;
  bool Data(const void *bytes, size_t count) override;
  bool End() override;

private:
  RecordVisitor &visitor_;
  LoadedIndex loaded_;
  PayloadIndexCursor frames_ = {};
  PayloadIndexCursor records_ = {};
  bool sawIndexFrame_ = false;
  uint64_t frameNumber_ = 0;  // data frames ended, from 1
  uint64_t recordNumber_ = 0; // records begun, from 1
  std::string disagreement_;
};

} // namespace veskar
