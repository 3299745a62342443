//===- payload/record.h - The archive's records, one at a time ----------===//
//
// The archive stream (common/container.h) read record by record: the
// primitives every pass over the payload is made of. A pass reads a name,
// decides what to do with it, reads the size, and then does exactly one
// thing with the data: writes it (payload/extract.h), skips it, or compares
// it with a file. None of them looks at the console, the cache or the
// unpack directory: the caller's loop decides, and parks between records
// and chunks where it must.
//
// Every operation here is the main thread's, on state.record, between
// OpenPayload and ClosePayload. A failure to decode ends the process with
// the decode message (ReadPayload).
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stdint.h>

#include "common/container.h"
#include "payload/writer.h"
#include "platform/platform.h"

enum { kNameCapacity = kMaxNameUnits + 1 };

// The record being read (state.record).
struct PayloadRecord {
  // Its name, terminated; empty at the end marker.
  WCHAR name[kNameCapacity];
  // Its size, as the record gives it, and the bytes of its data not read
  // yet.
  uint64_t size;
  uint64_t left;
  // Decoded bytes a skip or a comparison reads, apart from the writers'
  // buffers, which may be in use at the same time.
  unsigned char buffer[kWriteBufferSize];
};

// Reads the next record's name into state.record.name. False at the end
// marker. Ends the process with the name message when the name does not
// fit in kNameCapacity units. The name is not checked: the caller decides
// which names it accepts.
bool ReadRecordName(void);

// Reads the size that follows the name into state.record.size; all of the
// data is left to read.
void ReadRecordSize(void);

// The one chunking of a record's data: reads its next bytes, at most
// `capacity`, into `to`, and gives their count; 0 once the data is all read.
DWORD ReadRecordChunk(unsigned char *to, DWORD capacity);

// Reads past the rest of the record's data.
void SkipRecordData(void);

// Reads the rest of the record's data and compares it with what `file`
// holds from its current position. True when the file holds exactly those
// bytes and ends there. The data is read whole whatever the answer, so the
// next record can be read; `file` may be INVALID_HANDLE_VALUE (never the
// same), and is not closed.
bool CompareRecordData(HANDLE file);

// Reads up to `count` bytes of `file`, as many as it holds; the count read.
DWORD ReadFileUpTo(HANDLE file, unsigned char *to, DWORD count);
