//===- launcher/unpack.cpp - The launcher's passes over the payload -----===//
//
// The order of RunPayloadPass is the safe one for every pass. The payload
// is opened first, so that a damaged header ends the run before the
// extraction is marked. The extraction is begun before the first file and
// ended only after the pass's last write, rename or removal, so that a
// console event's handler never removes the directory under a write. The
// payload is closed last: freeing the decoder writes nothing, and the
// handler need not wait for it.
//
// The unpack directory is made at the first record, after its name has
// been checked: a payload that is refused at once leaves nothing behind.
//
//===----------------------------------------------------------------------===//
#include "launcher/unpack.h"

#include "common/names.h"
#include "diagnostics/fatal.h"
#include "launcher/cache.h"
#include "launcher/console.h"
#include "launcher/hold.h"
#include "launcher/progress_window.h"
#include "launcher/state.h"
#include "paths/paths.h"
#include "payload/extract.h"
#include "payload/parallel.h"
#include "payload/record.h"
#include "payload/stream.h"
#include "payload/writer.h"

namespace {

// How long the main thread waits for the decoder threads before it looks
// at console events and the progress window again.
const DWORD kDecoderPollMs = 50;

// How often the unpack directory is made again when a removal took it
// between its making and this run's hold.
const int kMakeAttempts = 5;

// The unpack directory must be made by this run where TEMP may be shared:
// a directory of anyone, or a link, already at its path is never used. Its
// missing parents are made as any directory; what they are is not this
// run's to judge. It is held (launcher/hold.h) before anything is written
// into it, so that no other start's sweep takes it for a leftover; one
// that a sweep removed before the hold was taken is made again. The hold
// is the launcher's, not the payload's: it is what the sweep
// (launcher/sweep.cpp) and the cache mode go by.
void CreateUnpackDirectory(void) {
  const WCHAR *directory = state.unpackDirectory;
  for (int attempt = 1;; ++attempt) {
    BOOL made = CreateDirectoryW(directory, nullptr);
    if (!made && GetLastError() == ERROR_PATH_NOT_FOUND) {
      CreateParentDirectories(directory);
      made = CreateDirectoryW(directory, nullptr);
    }
    // TEMP that is the user's own: a directory already there is used, and
    // any other failure shows at the first file's open.
    if (!made && !kTempIsPrivate)
      ReportFatalUnpackDirectory(directory, GetLastError());
    HANDLE hold = nullptr, lock = nullptr;
    HoldResult held = TakeDirectoryHold(directory, &hold, &lock);
    if (held == kHoldTaken || held == kHoldUnavailable ||
        (!made && held == kHoldDirectoryGone)) {
      state.unpackDirectoryHold = hold;
      RememberUnpackDirectory(hold);
      state.unpackDirectoryLock = lock;
      state.unpackDirectoryOwned = true;
      state.unpackDirectoryMade = made != FALSE;
      if (made)
        RememberDirectory(directory);
      return;
    }
    if (attempt >= kMakeAttempts)
      ReportFatalPathOsError("Error, couldn't hold the unpack directory '%ls'",
                             directory,
                             held == kHoldRefused ? ERROR_SHARING_VIOLATION
                                                  : ERROR_FILE_NOT_FOUND);
  }
}

NameVerdict CheckRecordName(const WCHAR *name) {
  size_t units = Utf16Length(name);
  return CacheModeSelected()
             ? CheckCacheArchiveName(name, units, kFileSystemNameStyle)
             : CheckArchiveName(name, units, kFileSystemNameStyle);
}

} // namespace

bool WouldPlaceRecord(const WCHAR *name, uint64_t, bool first) {
  if (CheckRecordName(name).problem != kNameAllowed ||
      !JoinedPathFits(state.unpackDirectory, name, kPathCapacity))
    return false;
  if (!first)
    return true;
  WCHAR path[kPathCapacity];
  JoinPath(path, state.unpackDirectory, name, kPathCapacity);
  return Utf16Length(path) < kChildPathCapacity;
}

namespace {

// Waits for the decoder threads, serving console events and the progress
// window meanwhile.
void AwaitDecoders(ParallelWait what) {
  while (!WaitForDecoders(what, kDecoderPollMs)) {
    NoteBytesUnpacked(TakeParallelBytesWritten());
    PauseExtractionForConsoleEvent();
  }
  NoteBytesUnpacked(TakeParallelBytesWritten());
}

} // namespace

void PlaceRecord(void) {
  const WCHAR *name = state.record.name;
  NameVerdict verdict = CheckRecordName(name);
  if (verdict.problem != kNameAllowed)
    ReportFatalUnsafeName(name, verdict);

  // An orderly ending, not the overflow's abort: files of this run may
  // be written already, and they go with the unpack directory.
  if (!JoinedPathFits(state.unpackDirectory, name, kPathCapacity))
    ReportFatalPathTooLong(name);
  JoinPath(state.outputFilePath, state.unpackDirectory, name, kPathCapacity);

  if (state.childExecutablePath[0] == 0) {
    if (Utf16Length(state.outputFilePath) >= kChildPathCapacity)
      ReportFatalChildPathTooLong(state.outputFilePath);
    CreateUnpackDirectory();
    AppendWideString(state.childExecutablePath, state.outputFilePath,
                     kChildPathCapacity);
  }
}

void WriteRecord(void) {
  int file = OpenRecordFile(state.outputFilePath);
  for (;;) {
    uint64_t left = state.record.left;
    if (!WriteRecordChunk(file))
      break;
    NoteBytesUnpacked((DWORD)(left - state.record.left));
    PauseExtractionForConsoleEvent();
  }
}

bool StartIndexedExtraction(void) {
  return StartParallelExtraction(WouldPlaceRecord);
}

void WriteIndexedRecord(void) {
  AwaitDecoders(kWaitForFileRoom);
  OpenIndexedRecordFile(state.outputFilePath);
}

namespace {

// A parallel pass that stopped where the stream is not what its index says
// may have made files under names the stream does not hold, and written
// part of others: the directory this run made for them goes, as at the
// run's end, and the one-thread reader makes it anew at its first record,
// which is the stream's (its name is the child's). A directory this run
// found at its path (where TEMP is the user's own) is never emptied: it is
// only let go of and taken again, and the one-thread reader writes over
// what is in it, as it would have.
void DiscardIndexedPass(void) {
  PauseExtractionForConsoleEvent();
  // The progress window counts the one-thread reader's bytes from 0.
  InterlockedExchange64(&state.progressWindow.bytesWritten, 0);
  // Whether two records name one file is the stream's to say.
  state.recordFileExisted = false;
  if (state.childExecutablePath[0] == 0)
    return; // nothing made yet
  if (state.unpackDirectoryMade)
    RemoveUnpackDirectory();
  else
    ReleaseUnpackDirectoryHold();
  ForgetKnownDirectories(); // the unpack directory's levels among them
  state.childExecutablePath[0] = 0;
}

} // namespace

bool FinishIndexedRecords(void) {
  AwaitDecoders(kWaitForEnd);
  if (FinishParallelExtraction())
    return true;
  DiscardIndexedPass();
  return false;
}

void ExtractPayload(void) {
  if (StartIndexedExtraction()) {
    while (NextIndexedRecord()) {
      PauseExtractionForConsoleEvent();
      PlaceRecord();
      WriteIndexedRecord();
    }
    if (FinishIndexedRecords())
      return;
  }
  while (ReadRecordName()) {
    PauseExtractionForConsoleEvent();
    PlaceRecord();
    ReadRecordSize();
    WriteRecord();
  }
  // Every file is written and closed, or the failure is reported, before
  // the child can start.
  FinishWriters();
}

bool RunPayloadPass(PayloadPass pass) {
  OpenPayload();
  BeginExtraction();
  bool result = true;
  switch (pass) {
  case kExtractEveryRecord:
    ExtractPayload();
    break;
  case kCacheColdStart:
    result = FillAndPublishSibling();
    break;
  case kCacheContentCheck:
    result = CompareCachedFiles();
    break;
  case kCacheRepair:
    result = RepairBrokenFiles();
    break;
  }
  EndExtraction();
  ClosePayload();
  return result;
}
