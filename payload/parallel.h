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
// exactly the bytes the index gives it. Where a frame does not decode, or
// what it holds disagrees with the index, or a file cannot be made (the
// stream's name or the index's, a directory in the way or no descriptor
// left: the one-thread reader decides), the pass stops, and the caller
// removes what it wrote and runs the one-thread reader (payload/record.h)
// over the payload from its start: a forged index cannot make a run go on
// with anything the stream does not say, and a sound stream still runs,
// with the one-thread reader's files, or ends with the one-thread reader's
// own first failure. Where the index is missing, does not check out, or
// names anything the one-thread reader would refuse or write twice (a name
// the checks refuse, a path too long, two records of one file), the
// one-thread reader runs from the first, and says what is wrong exactly as
// before.
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
//     if (FinishParallelExtraction())
//       return;
//     ... remove what the pass wrote ...
//   }
//   ... the one-thread reader, from the payload's start ...
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
  // the decoders to close some before it creates more. Never more than
  // half the descriptors the process may still open when the reader
  // starts (GetFileHandleRoom): where half is fewer than
  // kParallelLeastOpenFiles, the one-thread reader runs instead.
  kParallelOpenFileCapacity = 256,
  kParallelLeastOpenFiles = 8,
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
};

// The failure the reader will report.
enum ParallelFailure {
  kParallelFine,
  kParallelDecode, // a frame is damaged or disagrees with the index
  kParallelWrite,  // a write or a close failed (errorRecord, errorCode)
  kParallelOpen,   // the file of errorRecord or a directory of it; this
                   // and a decode failure leave it to the one-thread reader
  kParallelMemory, // a decoder was refused memory
};

// The decoder threads and what they share (state.parallel). `lock` guards
// the fields between it and `bytesWritten`; the rest is the main thread's,
// or set before the threads start and only read after.
//
// Failures are ranked as the one-thread reader would meet them, by their
// place in the archive stream, not by the time a thread finds them: a
// failure while decoding byte P (damage, a disagreement with the index, a
// write, no memory) comes before everything at P and after; the open of a
// record comes once its header is read, before its data's first byte. The
// earliest failure found so far is kept, and only what lies before it is
// still done: the decoders stop at `limit`, the main thread creates no
// record whose open comes after it. Once every decoder has ended, nothing
// before it is left unchecked, and it is the one reported.
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
  int openFileLimit;     // at most this many at once
  int running;           // decoder threads not ended
  // Set to end the decoders at once (a fatal ending, a console event).
  volatile bool stopping;
  // The earliest failure found: where it lies in the stream, and whether
  // it is the open of a record (which comes before the byte it lies at).
  volatile ParallelFailure failure;
  uint64_t failureAt;
  bool failureIsOpen;
  DWORD errorCode;
  uint32_t errorRecord;
  // No decoder decodes stream bytes at or past this point: the earliest
  // failure's place, or the stream's end while there is none. Read by the
  // decoders without the lock.
  volatile LONG64 limit;
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
// processors, too few descriptors left (kParallelLeastOpenFiles), no memory
// or no thread.
bool StartParallelExtraction(RecordCheck placeable);

// For a repair: as StartParallelExtraction, where only the records marked
// in `wanted` (one byte per record, `count` of them, 1 to write) are
// written, and only the frames that hold part of one (header or data) are
// decoded. One thread is enough here: the frames it saves pay. False also
// where the index does not list `count` records.
bool StartParallelRepair(RecordCheck placeable, const unsigned char *wanted,
                         uint32_t count);

// The next record in archive order into state.record (its name and size,
// all of its data left); false after the last, and where a failure comes
// before its open: the caller then waits for the decoders to end, and
// FinishParallelExtraction reports it.
bool NextIndexedRecord(void);

// Creates the file of the record NextIndexedRecord gave at `path` (its
// directories first), as the one-thread reader creates it, and hands it to
// the decoders; a record without data is closed at once. The caller has
// waited for room (kWaitForFileRoom). When the file or a directory cannot
// be made, that failure is kept in its place (see ParallelExtraction) and
// the next NextIndexedRecord gives false: once the decoders have done what
// lies before it, the one-thread reader runs instead
// (FinishParallelExtraction), and names the failure it meets first (the
// names come from the index: a forged one must not make a failure the
// stream does not hold).
void OpenIndexedRecordFile(const WCHAR *path);

// What the main thread waits for.
enum ParallelWait {
  kWaitForFileRoom, // fewer than openFileLimit files open, or no more
                    // record to create
  kWaitForEnd,      // every decoder has ended
};

// Waits up to `milliseconds` for `what`; false when the time ran out
// first. The caller serves console
// events and the progress window between waits.
bool WaitForDecoders(ParallelWait what, DWORD milliseconds);

// The bytes the decoders have written since the last call.
DWORD TakeParallelBytesWritten(void);

// Passes over the record NextIndexedRecord gave, which is not written.
void PassIndexedRecord(void);

// Once WaitForDecoders(kWaitForEnd) has said so: ends the run with the
// earliest failure's message where the environment decides it (a write or
// a close, no memory), and otherwise lets the threads and the index go;
// true then. False where the earliest failure is a frame that does not
// decode or disagrees with the index, or a file or directory that could
// not be made: every file is closed and the pass is over, the payload's
// stream is still at its start, and the caller removes what was written
// and runs the one-thread reader, which names the failure, if any, as it
// meets it. Every file is closed.
bool FinishParallelExtraction(void);

// For a fatal ending and a console event: stops the decoders, waits for
// them (kWriterStopWaitMs at most) and closes every file still open once
// they have all ended. Does nothing when no parallel pass is under way.
void StopParallelExtraction(void);
