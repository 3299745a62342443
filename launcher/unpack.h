//===- launcher/unpack.h - The launcher's passes over the payload -------===//
//
// Every pass over the payload runs in the one sequence of RunPayloadPass,
// and each is its own loop over the payload's record primitives
// (payload/record.h, payload/extract.h): this file's ExtractPayload for a
// per-run directory, launcher/cache.cpp's for the cache mode. The steps
// every writing loop shares are here too.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stdint.h>

#include "platform/platform.h"

// What a pass over the payload does.
enum PayloadPass {
  // Every record into the unpack directory (ExtractPayload): a per-run
  // directory, or in a cache mode a run's own sibling.
  kExtractEveryRecord,
  // The cache mode's (launcher/cache.h): a cold start into the sibling and
  // its publication; the content check; the repair of the broken files.
  kCacheColdStart,
  kCacheContentCheck,
  kCacheRepair,
};

// The one sequence around every pass, in this order: opens the payload
// (its header is checked before anything is marked), begins the extraction
// (from here on a console event waits for the main thread to park, and
// clean-up removes the unpack directory once this run has made it), runs
// the pass, ends the extraction (the pass writes nothing more, every file
// is closed), and closes the payload. Gives what the pass gives; true for
// kExtractEveryRecord.
bool RunPayloadPass(PayloadPass pass);

// Writes every record below the unpack directory and keeps the first
// record's full path as the child executable path; every file is written
// and closed when it returns. Parks between records and between chunks when
// a console event is seen. Runs inside RunPayloadPass.
void ExtractPayload(void);

// For the writing loops, once a record's name is read: ends the run unless
// the name is one this run may write (in a cache mode also not one the
// cache directory keeps for itself) and its path below the unpack directory
// fits; puts that path into state.outputFilePath. At the first record (the
// child executable path still empty) makes and holds the unpack directory
// and keeps the path as the child's.
void PlaceRecord(void);

// For the writing loops, once the record's size is read: writes its data to
// state.outputFilePath through the file writers, parking between chunks
// when a console event is seen.
void WriteRecord(void);

// The writing loops over a payload with an index (payload/parallel.h), whose
// frames are decoded on several threads while the main thread places the
// records in archive order:
//
//   if (StartIndexedExtraction()) {
//     while (NextIndexedRecord()) {
//       PauseExtractionForConsoleEvent();
//       PlaceRecord();
//       WriteIndexedRecord();
//     }
//     if (FinishIndexedRecords())
//       ... done ...
//   }
//   ... the loop over the one-thread reader, from the payload's start ...
//
// False from StartIndexedExtraction where the loop over the one-thread
// reader is to run instead (no usable index, one processor, a record
// PlaceRecord would refuse), and from FinishIndexedRecords where it is to
// run after all: the stream is not what the index says, or not sound, or
// a file cannot be made.
bool StartIndexedExtraction(void);
// Whether PlaceRecord would place a record of this name without ending the
// run (the first record's when `first`): a check for StartParallelExtraction
// and StartParallelRepair (payload/parallel.h).
bool WouldPlaceRecord(const WCHAR *name, uint64_t size, bool first);
// Creates the record's file at state.outputFilePath and hands it to the
// decoders, once fewer than their limit of files is open.
void WriteIndexedRecord(void);
// Waits for the decoders and reports what stopped them; every file is
// closed when it returns. Both waits serve console events and the
// progress window. False where a frame does not decode or disagrees with
// the index, or a file cannot be made: what the pass made is removed (only from a directory this run
// made), and the caller runs the one-thread reader from the payload's
// start, over the records it gives (the marker, the child's path and the
// directory start anew).
bool FinishIndexedRecords(void);
