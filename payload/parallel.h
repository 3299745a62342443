//===- payload/parallel.h - Decoding the payload's frames on several threads
//-===//
//
// A payload whose index (common/payload_index.h) checks out is decoded
// frame by frame on several threads at once, while the main thread places
// the records in archive order: it checks each name, makes its directories
// and creates its file, exactly as the one-thread reader does, and hands
// the open file over. Each decoder thread takes the next frame, decodes it,
// writes each record's bytes at their place in its file (a positional
// write: the index says where a frame's bytes go) and closes each file
// once every frame that holds part of it is done.
//
// The index is never trusted for content: every byte of a record's header
// (its name, its terminator, its size) and of the end marker that a thread
// decodes must be the byte the index says, and each frame must decode to
// exactly the bytes the index gives it. A disagreement is a decode error,
// as a damaged frame is, so that a forged index cannot make a run go on
// with anything the stream does not say; what was written by then goes
// with the unpack directory. Where the index is missing, does not check
// out, or names anything the one-thread reader would refuse or write
// twice (a name the checks refuse, a path too long, two records of one
// file), the one-thread reader (payload/record.h) runs instead, and says
// what is wrong exactly as before.
//
// The main thread drives it as it drives the one-thread reader, and serves
// console events and the progress window whenever a wait runs out:
//
//   if (StartParallelExtraction(check)) {
//     while (NextIndexedRecord()) {
//       ... check the name, join the path (state.outputFilePath) ...
//       while (!WaitForDecoders(kWaitForFileRoom, ms)) ...
//       OpenIndexedRecordFile(state.outputFilePath);
//     }
//     while (!WaitForDecoders(kWaitForEnd, ms)) ...
//     FinishParallelExtraction();
//   }
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stdint.h>

#include "common/payload_index.h"
#include "platform/platform.h"

enum {
  // Decoder threads at most, whatever the processor count.
  kDecoderThreadCapacity = 8,
  // What one decoder call writes at most: a thread's output buffer.
  kDecoderOutputSize = 131072,
  // Files created and not yet closed at once; the main thread waits for
  // the decoders to close some before it creates more.
  kParallelOpenFileCapacity = 256,
};

// One record as the index gives it, and the file its data goes to.
struct IndexedRecord {
  const unsigned char *name; // UTF-16LE units in the unpacked table
  uint32_t units;
  uint64_t offset;     // its header's first byte in the archive stream
  uint64_t dataOffset; // its data's first byte
  uint64_t size;
  // The open file, set by the main thread before it counts the record as
  // created; null once closed. Whoever brings `framesLeft` to 0 closes it.
  HANDLE file;
  // The frames that hold part of its data and have not yet written it.
  volatile LONG framesLeft;
  // Its data is not wanted (a repair writes only the broken files): its
  // header is still checked wherever a frame holding it is decoded.
  bool skip;
  // The bytes of its header (name, terminator, size) that no decoder has
  // yet compared with the stream.
  volatile LONG64 headerLeft;
};

// Why the decoders stopped early.
enum ParallelFailure {
  kParallelFine,
  kParallelDecode, // a frame is damaged or disagrees with the index
  kParallelWrite,  // a write or a close failed (errorRecord, errorCode)
};

// The decoder threads and what they share (state.parallel). `lock` guards
// the fields between it and `bytesWritten`; the rest is the main thread's,
// or set before the threads start and only read after.
struct ParallelExtraction {
  // Decoder threads at most; 0 for one per processor the process may run
  // on. Fewer than two runs the one-thread reader. Tests set it.
  int threadLimit;
  // The parallel pass is under way: StartParallelExtraction succeeded and
  // nothing has stopped it.
  bool active;
  PayloadIndex index;
  unsigned char *table; // the unpacked record table (heap)
  IndexedRecord *records;
  PayloadIndexFrame *frames;
  // The frames to decode, in archive order: every frame, or for a repair
  // those that hold part of a wanted record.
  uint32_t *frameOrder;
  uint32_t frameOrderCount;
  const unsigned char *container; // the container's first byte
  uint32_t nextRecord;            // the next one the main thread places

  SRWLOCK lock;
  // Broadcast whenever a count below moves or the decoders stop.
  CONDITION_VARIABLE changed;
  uint32_t createdCount; // records placed, in archive order
  uint32_t nextFrame;    // the next of frameOrder a decoder takes
  int openFiles;         // created and not yet closed
  int running;           // decoder threads not ended
  volatile bool stopping;
  volatile ParallelFailure failure;
  DWORD errorCode;
  uint32_t errorRecord;
  // Bytes written, for the progress window.
  volatile LONG64 bytesWritten;

  LONG64 bytesNoted; // the main thread's: bytesWritten already reported
  int threadCount;
  HANDLE threads[kDecoderThreadCapacity];
};

// Whether the caller would place a record of this name and size (the first
// record's when `first`); called for every record, in archive order, before
// anything is made. A record it refuses leaves the payload to the
// one-thread reader, which says why at its turn.
typedef bool (*RecordCheck)(const WCHAR *name, uint64_t size, bool first);

// Reads the payload's index (after OpenPayload) and starts the decoder
// threads. False, with nothing started and nothing reported, where the
// one-thread reader is to run: no index, one that does not check out, a
// record `placeable` refuses or two that may name one file, fewer than two
// processors, no memory or no thread.
bool StartParallelExtraction(RecordCheck placeable);

// For a repair: as StartParallelExtraction, where only the records marked
// in `wanted` (one byte per record, `count` of them, 1 to write) are
// written, and only the frames that hold part of one (header or data) are
// decoded. One thread is enough here: the frames it saves pay. False also
// where the index does not list `count` records.
bool StartParallelRepair(RecordCheck placeable, const unsigned char *wanted,
                         uint32_t count);

// The next record in archive order into state.record (its name and size,
// all of its data left); false after the last. Ends the run with the
// decoders' error once they have stopped for one.
bool NextIndexedRecord(void);

// Creates the file of the record NextIndexedRecord gave at `path` (its
// directories first), as the one-thread reader creates it, and hands it to
// the decoders; a record without data is closed at once. Waits while
// kParallelOpenFileCapacity files are open. Ends the run with the open
// message when the file or a directory cannot be made, once the decoders
// have found the headers of this record and of every one before it in the
// stream as the index gives them (the names come from the index: a forged
// one must not make a failure the stream does not hold); with the decode
// message when they found otherwise.
void OpenIndexedRecordFile(const WCHAR *path);

// What the main thread waits for.
enum ParallelWait {
  kWaitForFileRoom, // fewer than kParallelOpenFileCapacity files open
  kWaitForEnd,      // every decoder has ended
};

// Waits up to `milliseconds` for `what`, or for the decoders to stop for a
// failure; false when the time ran out first. The caller serves console
// events and the progress window between waits.
bool WaitForDecoders(ParallelWait what, DWORD milliseconds);

// The bytes the decoders have written since the last call.
DWORD TakeParallelBytesWritten(void);

// Passes over the record NextIndexedRecord gave, which is not written.
void PassIndexedRecord(void);

// Once WaitForDecoders(kWaitForEnd) has said so: ends the run with the
// decode or the unpack message when the decoders stopped for one, and
// otherwise lets the threads and the index go. Every file is closed.
void FinishParallelExtraction(void);

// For a fatal ending and a console event: stops the decoders, waits for
// them (kWriterStopWaitMs at most) and closes every file still open once
// they have all ended. Does nothing when no parallel pass is under way.
void StopParallelExtraction(void);
