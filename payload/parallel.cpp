//===- payload/parallel.cpp - Decoding the payload's frames on several threads
//-===//
//
// Who waits for whom. A decoder thread waits only for the main thread to
// create a file it has bytes for; the main thread waits only for room
// (kParallelOpenFileCapacity open files) and, at the end, for the decoders.
// That cannot close into a circle: the main thread creates the records in
// archive order and frames are taken in archive order, so every open file's
// remaining bytes come in the stream before those of any record not yet
// created, and the thread with the earliest of them never waits.
//
// Every file is closed by the thread that writes its last bytes (a record
// that spans frames counts the frames still to write it), or by the main
// thread for a record without data, or by the main thread once every
// decoder has ended when a stop left files open.
//
//===----------------------------------------------------------------------===//
#include "payload/parallel.h"

#include <stdlib.h>
#include <string.h>
#include <zstd.h>
#include <zstd_errors.h>

#include "common/container.h"
#include "common/names.h"
#include "diagnostics/fatal.h"
#include "launcher/state.h"
#include "paths/paths.h"
#include "payload/extract.h"
#include "payload/writer.h"

namespace {

// What a decoder thread needs of its own: given before it starts.
struct DecoderSlot {
  ZSTD_DCtx *decoder;
  unsigned char *output;
};

DecoderSlot slots[kDecoderThreadCapacity];

// Compressed bytes a decoder has used are handed back to the system in
// steps of this size.
const size_t kReleaseStep = 1 << 20;

ParallelExtraction &Shared(void) { return state.parallel; }

int ProcessorCount(void) {
  DWORD_PTR mask = 0, system = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &mask, &system))
    return 1;
  int count = 0;
  for (; mask != 0; mask &= mask - 1)
    ++count;
  return count;
}

// The name of a record as the launcher's text: `units` units, terminated.
void CopyIndexedName(const IndexedRecord &record, WCHAR *to) {
  for (uint32_t i = 0; i < record.units; ++i)
    to[i] = (WCHAR)GetLittleEndian16(record.name + 2 * i);
  to[record.units] = 0;
}

// --- What the main thread sets up ------------------------------------------

void ReleaseIndex(void) {
  ParallelExtraction &shared = Shared();
  free(shared.table);
  free(shared.records);
  free(shared.frames);
  free(shared.frameOrder);
  shared.table = nullptr;
  shared.records = nullptr;
  shared.frames = nullptr;
  shared.frameOrder = nullptr;
  for (DecoderSlot &slot : slots) {
    ZSTD_freeDCtx(slot.decoder);
    free(slot.output);
    slot.decoder = nullptr;
    slot.output = nullptr;
  }
}

// Room for the record table as it is unpacked (PayloadIndexRoom).
unsigned char *GrowTable(void *, uint64_t size) {
  ParallelExtraction &shared = Shared();
  void *grown =
      size <= SIZE_MAX ? realloc(shared.table, (size_t)size) : nullptr;
  if (grown != nullptr)
    shared.table = (unsigned char *)grown;
  return (unsigned char *)grown;
}

// Reads the index into state.parallel: false where there is none, or one
// that does not check out, or no memory for it. The record table is
// unpacked and checked in steps, and the arrays are sized by the records
// that checked out, never by the counts the index declares.
bool LoadIndex(void) {
  ParallelExtraction &shared = Shared();
  PayloadStream &payload = state.payload;
  shared.container = payload.readPosition - kContainerHeaderSize;
  PayloadIndex &index = shared.index;
  if (ParsePayloadIndex(payload.readPosition,
                        payload.resourceSize - kContainerHeaderSize,
                        payload.resourceSize, &index) != kIndexSound ||
      index.recordCount == 0)
    return false;
  // The one-thread reader may use the decoder next: it is left as new.
  if (ReadPayloadIndexRecords(&index, payload.decoder, GrowTable, nullptr) !=
      kIndexSound)
    return false;
  shared.records =
      (IndexedRecord *)calloc(index.recordCount, sizeof(IndexedRecord));
  shared.frames =
      (PayloadIndexFrame *)malloc(index.frameCount * sizeof(PayloadIndexFrame));
  if (shared.records == nullptr || shared.frames == nullptr)
    return false;

  PayloadIndexCursor cursor;
  StartPayloadIndexFrames(index, &cursor);
  for (uint32_t f = 0; NextPayloadIndexFrame(&cursor, &shared.frames[f]); ++f) {
  }
  StartPayloadIndexRecords(index, &cursor);
  PayloadIndexRecord record;
  for (uint32_t r = 0; NextPayloadIndexRecord(&cursor, &record); ++r) {
    IndexedRecord &to = shared.records[r];
    to.name = record.name;
    to.units = record.units;
    to.offset = record.offset;
    to.dataOffset = record.dataOffset;
    to.size = record.size;
  }
  return true;
}

size_t CopyNumberedName(void *, uint32_t index, Utf16Unit *to) {
  const IndexedRecord &record = Shared().records[index];
  CopyIndexedName(record, (WCHAR *)to);
  return record.units;
}

// Whether every record is one the caller would place, and no two may name
// one file (common/names.h, the wider rule): such records must never be
// written by two threads at once, and the one-thread reader writes them,
// one after the other. A file system that takes still other names for one
// file is met at the open (OpenIndexedRecordFile).
bool RecordsArePlaceable(RecordCheck placeable) {
  ParallelExtraction &shared = Shared();
  uint32_t count = shared.index.recordCount;
  WCHAR name[kMaxNameUnits + 1];
  for (uint32_t r = 0; r < count; ++r) {
    const IndexedRecord &record = shared.records[r];
    CopyIndexedName(record, name);
    if (!placeable(name, record.size, r == 0))
      return false;
  }
  uint32_t *order = (uint32_t *)malloc(count * sizeof(uint32_t));
  if (order == nullptr)
    return false;
  NameSource source = {CopyNumberedName, nullptr};
  bool alike = AnyMayBeSameFile(source, count, order);
  free(order);
  return !alike;
}

// Chooses the frames to decode (every frame, or those that hold part of a
// record whose data is wanted), and counts, per wanted record, the frames
// that hold part of its data. False without memory.
bool ChooseFrames(bool everyFrame) {
  ParallelExtraction &shared = Shared();
  shared.frameOrder =
      (uint32_t *)malloc(shared.index.frameCount * sizeof(uint32_t));
  if (shared.frameOrder == nullptr)
    return false;
  shared.frameOrderCount = 0;
  uint32_t first = 0;
  for (uint32_t f = 0; f < shared.index.frameCount; ++f) {
    uint64_t start = shared.frames[f].streamOffset;
    uint64_t end = start + shared.frames[f].decompressedSize;
    while (first < shared.index.recordCount &&
           shared.records[first].dataOffset + shared.records[first].size <=
               start)
      ++first;
    bool wanted = everyFrame;
    for (uint32_t r = first;
         r < shared.index.recordCount && shared.records[r].offset < end; ++r) {
      IndexedRecord &record = shared.records[r];
      if (record.skip)
        continue;
      wanted = true;
      if (record.size != 0 && record.dataOffset < end &&
          record.dataOffset + record.size > start)
        ++record.framesLeft;
    }
    if (wanted)
      shared.frameOrder[shared.frameOrderCount++] = f;
  }
  return true;
}

// --- The decoder threads ----------------------------------------------------

// Whether a failure at stream byte `at` (before that byte when `open`)
// comes before the one found so far, as the one-thread reader would meet
// them. With the lock held.
bool EarlierThanFailure(uint64_t at, bool open) {
  const ParallelExtraction &shared = Shared();
  if (shared.failure == kParallelFine)
    return true;
  return at < shared.failureAt ||
         (at == shared.failureAt && open && !shared.failureIsOpen);
}

// With the lock not held: keeps the failure where it is the earliest so
// far, and moves the decoders' limit to it.
void Fail(ParallelFailure failure, uint32_t record, DWORD code, uint64_t at,
          bool open = false) {
  ParallelExtraction &shared = Shared();
  AcquireSRWLockExclusive(&shared.lock);
  if (EarlierThanFailure(at, open)) {
    shared.failure = failure;
    shared.failureAt = at;
    shared.failureIsOpen = open;
    shared.errorRecord = record;
    shared.errorCode = code;
    InterlockedExchange64(&shared.limit, (LONG64)at);
  }
  WakeAllConditionVariable(&shared.changed);
  ReleaseSRWLockExclusive(&shared.lock);
}

// Whether stream byte `at` is one no decoder needs any more: a failure
// comes before it, or the decoders are to stop.
bool PastLimit(uint64_t at) {
  const ParallelExtraction &shared = Shared();
  return shared.stopping || at >= (uint64_t)InterlockedExchangeAdd64(
                                      (volatile LONG64 *)&shared.limit, 0);
}

// The first record that ends after stream byte `at`: the one that byte
// belongs to (its header or its data), or the count past the last.
uint32_t RecordAt(uint64_t at) {
  const ParallelExtraction &shared = Shared();
  uint32_t low = 0, high = shared.index.recordCount;
  while (low < high) {
    uint32_t middle = low + (high - low) / 2;
    const IndexedRecord &record = shared.records[middle];
    if (record.dataOffset + record.size <= at)
      low = middle + 1;
    else
      high = middle;
  }
  return low;
}

// A frame's bytes of one record are written, up to stream byte `at`: the
// last frame to do so closes the file.
bool ReleaseRecord(uint32_t r, uint64_t at) {
  ParallelExtraction &shared = Shared();
  IndexedRecord &record = shared.records[r];
  if (InterlockedDecrement(&record.framesLeft) != 0)
    return true;
  HANDLE file = record.file;
  record.file = nullptr;
  bool closed = CloseHandle(file) != 0;
  DWORD code = closed ? 0 : GetLastError();
  AcquireSRWLockExclusive(&shared.lock);
  --shared.openFiles;
  WakeAllConditionVariable(&shared.changed);
  ReleaseSRWLockExclusive(&shared.lock);
  if (!closed)
    Fail(kParallelWrite, r, code, at);
  return closed;
}

// Where a decoder is in the archive stream, and how far it knows the
// records to be created.
struct FrameCursor {
  uint64_t at;
  uint32_t record;
  uint32_t created;
};

// Waits until the record's file is created; false when the decoders stop
// first, or a failure comes before the cursor's place.
bool AwaitCreated(FrameCursor &cursor) {
  ParallelExtraction &shared = Shared();
  if (cursor.record < cursor.created)
    return true;
  AcquireSRWLockExclusive(&shared.lock);
  while (!PastLimit(cursor.at) && shared.createdCount <= cursor.record)
    SleepConditionVariableSRW(&shared.changed, &shared.lock, INFINITE, 0);
  cursor.created = shared.createdCount;
  bool created = cursor.record < cursor.created;
  ReleaseSRWLockExclusive(&shared.lock);
  return created && !shared.stopping;
}

// Puts `count` decoded bytes at the cursor where the index says they go:
// header and end-marker bytes are compared with what the index says they
// are, data bytes are written at their place in their file. False when
// the frame is to go no further: a failure found here (kept with Fail), or
// one before the cursor's place, or a stop.
bool Place(FrameCursor &cursor, const unsigned char *bytes, size_t count) {
  ParallelExtraction &shared = Shared();
  while (count > 0) {
    if (PastLimit(cursor.at))
      return false;
    if (cursor.record == shared.index.recordCount) {
      // The end marker: zero bytes, where the stream ends.
      for (size_t i = 0; i < count; ++i)
        if (bytes[i] != 0) {
          Fail(kParallelDecode, 0, 0, cursor.at + i);
          return false;
        }
      cursor.at += count;
      return true;
    }
    IndexedRecord &record = shared.records[cursor.record];
    if (cursor.at < record.dataOffset) {
      uint64_t left = record.dataOffset - cursor.at;
      size_t take = left < count ? (size_t)left : count;
      for (size_t i = 0; i < take; ++i)
        if (bytes[i] != PayloadIndexHeadByte(record.name, record.units,
                                             record.size,
                                             cursor.at - record.offset + i)) {
          Fail(kParallelDecode, 0, 0, cursor.at + i);
          return false;
        }
      cursor.at += take;
      bytes += take;
      count -= take;
      if (cursor.at == record.dataOffset && record.size == 0)
        ++cursor.record;
      continue;
    }
    uint64_t left = record.dataOffset + record.size - cursor.at;
    DWORD take = left < count ? (DWORD)left : (DWORD)count;
    if (record.skip) {
      cursor.at += take;
      bytes += take;
      count -= take;
      if (take == left)
        ++cursor.record;
      continue;
    }
    if (!AwaitCreated(cursor))
      return false; // a failure before this place, or a stop
    uint64_t position = cursor.at - record.dataOffset;
    OVERLAPPED where = {};
    where.Offset = (DWORD)position;
    where.OffsetHigh = (DWORD)(position >> 32);
    DWORD written = 0;
    if (!WriteFile(record.file, bytes, take, &written, &where) ||
        written != take) {
      DWORD code = GetLastError();
      Fail(kParallelWrite, cursor.record, code != 0 ? code : ERROR_WRITE_FAULT,
           cursor.at);
      return false;
    }
    InterlockedExchangeAdd64(&shared.bytesWritten, take);
    cursor.at += take;
    bytes += take;
    count -= take;
    if (take == left) {
      if (!ReleaseRecord(cursor.record, cursor.at))
        return false;
      ++cursor.record;
    }
  }
  return true;
}

// Decodes frame `f` with the slot's decoder and places its bytes. Every
// zstd frame in the index's frame must decode whole, to exactly the bytes
// the index gives it. A failure is kept (Fail) at the place where the
// frame's bytes stop being what they must be; the frame's bytes after the
// limit are not decoded.
void DecodeFrame(DecoderSlot &slot, uint32_t f) {
  ParallelExtraction &shared = Shared();
  const PayloadIndexFrame &frame = shared.frames[f];
  uint64_t end = frame.streamOffset + frame.decompressedSize;
  FrameCursor cursor = {frame.streamOffset, RecordAt(frame.streamOffset), 0};
  ZSTD_DCtx_reset(slot.decoder, ZSTD_reset_session_only);
  ZSTD_inBuffer input = {shared.container + frame.containerOffset,
                         (size_t)frame.compressedSize, 0};
  size_t released = 0;
  for (;;) {
    if (PastLimit(cursor.at))
      return;
    ZSTD_outBuffer output = {slot.output, kDecoderOutputSize, 0};
    size_t result = ZSTD_decompressStream(slot.decoder, &output, &input);
    if (ZSTD_isError(result)) {
      // A refused allocation is the system's, not damage.
      Fail(ZSTD_getErrorCode(result) == ZSTD_error_memory_allocation
               ? kParallelMemory
               : kParallelDecode,
           0, 0, cursor.at);
      return;
    }
    // Compressed bytes already decoded go back to the system as the
    // one-thread reader hands them back: a frame at the highest levels
    // holds tens of MiB of them.
    if (input.pos - released >= kReleaseStep) {
      VirtualUnlock((void *)((const unsigned char *)input.src + released),
                    input.pos - released);
      released = input.pos;
    }
    // Bytes past the frame's end as the index gives it disagree with the
    // index there.
    bool over = output.pos > end - cursor.at;
    size_t placed = over ? (size_t)(end - cursor.at) : output.pos;
    if (!Place(cursor, slot.output, placed))
      return;
    if (over) {
      Fail(kParallelDecode, 0, 0, end);
      return;
    }
    if (input.pos == input.size && result == 0)
      break;
    // The input is used up and the decoder still waits for more.
    if (input.pos == input.size && output.pos == 0) {
      Fail(kParallelDecode, 0, 0, cursor.at);
      return;
    }
  }
  if (cursor.at != end) {
    Fail(kParallelDecode, 0, 0, cursor.at);
    return;
  }
  // The record this frame ends in the middle of has its bytes from here
  // written.
  if (cursor.record < shared.index.recordCount) {
    const IndexedRecord &record = shared.records[cursor.record];
    if (!record.skip && cursor.at > record.dataOffset &&
        cursor.at < record.dataOffset + record.size &&
        !ReleaseRecord(cursor.record, cursor.at))
      return;
  }
  VirtualUnlock((void *)((const unsigned char *)input.src + released),
                input.size - released);
}

DWORD WINAPI RunDecoder(LPVOID parameter) {
  ParallelExtraction &shared = Shared();
  DecoderSlot &slot = *(DecoderSlot *)parameter;
  for (;;) {
    // Frames are taken in archive order: once one starts at or past the
    // limit, so do all that are left.
    AcquireSRWLockExclusive(&shared.lock);
    bool done =
        shared.nextFrame == shared.frameOrderCount ||
        PastLimit(
            shared.frames[shared.frameOrder[shared.nextFrame]].streamOffset);
    uint32_t f = done ? 0 : shared.frameOrder[shared.nextFrame++];
    ReleaseSRWLockExclusive(&shared.lock);
    if (done)
      break;
    DecodeFrame(slot, f);
  }
  AcquireSRWLockExclusive(&shared.lock);
  --shared.running;
  WakeAllConditionVariable(&shared.changed);
  ReleaseSRWLockExclusive(&shared.lock);
  return 0;
}

// With every decoder ended: closes what a stop left open.
void CloseLeftFiles(void) {
  ParallelExtraction &shared = Shared();
  for (uint32_t r = 0; r < shared.createdCount; ++r)
    if (shared.records[r].file != nullptr) {
      CloseHandle(shared.records[r].file);
      shared.records[r].file = nullptr;
    }
  shared.openFiles = 0;
}

// Waits for the threads that have ended their work to return, and lets
// their handles go.
void JoinDecoders(void) {
  ParallelExtraction &shared = Shared();
  for (int t = 0; t < shared.threadCount; ++t) {
    WaitForSingleObject(shared.threads[t], INFINITE);
    CloseHandle(shared.threads[t]);
    shared.threads[t] = nullptr;
  }
  shared.threadCount = 0;
}

// Once every decoder has ended: reports the earliest failure, one the
// environment decides (a write, a close, no memory), every file closed.
// Its file is named by the index, whose headers in front of it the
// decoders have all compared with the stream by now.
[[noreturn]] void ReportFailure(void) {
  ParallelExtraction &shared = Shared();
  ParallelFailure failure = shared.failure;
  DWORD code = shared.errorCode;
  if (failure == kParallelWrite) {
    WCHAR name[kMaxNameUnits + 1];
    CopyIndexedName(shared.records[shared.errorRecord], name);
    JoinPath(state.outputFilePath, state.unpackDirectory, name, kPathCapacity);
  }
  StopParallelExtraction();
  if (failure == kParallelWrite)
    ReportFatalUnpack(state.outputFilePath, code);
  ReportFatalMemory();
}

// Whether the failure found so far comes before the open of record `r`.
// With the lock held.
bool FailureBeforeOpen(uint32_t r) {
  const ParallelExtraction &shared = Shared();
  return !EarlierThanFailure(shared.records[r].dataOffset, true);
}

// For TakeOverExistingFile: waits until every record created so far is
// written and closed. The decoders that hold their bytes never wait for
// the main thread (those records are created), so the wait ends.
void AwaitEarlierRecordsWritten(HANDLE opened) {
  ParallelExtraction &shared = Shared();
  AcquireSRWLockExclusive(&shared.lock);
  while (shared.failure == kParallelFine && !shared.stopping &&
         shared.running != 0 && shared.openFiles != 0)
    SleepConditionVariableSRW(&shared.changed, &shared.lock, INFINITE, 0);
  bool failed = shared.failure != kParallelFine;
  ReleaseSRWLockExclusive(&shared.lock);
  if (failed) {
    CloseHandle(opened);
    ReportFailure();
  }
}

} // namespace

namespace {

bool Start(RecordCheck placeable, const unsigned char *wanted, uint32_t count) {
  ParallelExtraction &shared = Shared();
  int threads = shared.threadLimit > 0 ? shared.threadLimit : ProcessorCount();
  if (threads > kDecoderThreadCapacity)
    threads = kDecoderThreadCapacity;
  if (threads < (wanted == nullptr ? 2 : 1))
    return false;
  if (!LoadIndex() ||
      (wanted != nullptr && shared.index.recordCount != count) ||
      !RecordsArePlaceable(placeable)) {
    ReleaseIndex();
    return false;
  }
  // A share of the descriptors the process may still open: the rest stays
  // for the hold, the directories' checks and the program it starts. Too
  // small a share leaves the payload to the one-thread reader, which keeps
  // fewer files open.
  DWORD room = GetFileHandleRoom() / 2;
  if (room < kParallelLeastOpenFiles) {
    ReleaseIndex();
    return false;
  }
  shared.openFileLimit =
      room < kParallelOpenFileCapacity ? (int)room : kParallelOpenFileCapacity;
  for (uint32_t r = 0; wanted != nullptr && r < count; ++r)
    shared.records[r].skip = wanted[r] == 0;
  if (!ChooseFrames(wanted == nullptr)) {
    ReleaseIndex();
    return false;
  }
  if ((uint32_t)threads > shared.frameOrderCount)
    threads = (int)shared.frameOrderCount;

  InitializeSRWLock(&shared.lock);
  InitializeConditionVariable(&shared.changed);
  shared.createdCount = shared.nextFrame = 0;
  shared.nextRecord = 0;
  shared.openFiles = shared.running = 0;
  shared.stopping = false;
  shared.failure = kParallelFine;
  shared.failureAt = 0;
  shared.failureIsOpen = false;
  shared.limit = (LONG64)(shared.index.streamSize > (uint64_t)INT64_MAX
                              ? (uint64_t)INT64_MAX
                              : shared.index.streamSize);
  shared.bytesWritten = shared.bytesNoted = 0;
  shared.threadCount = 0;
  for (int t = 0; t < threads; ++t) {
    DecoderSlot &slot = slots[t];
    slot.decoder = ZSTD_createDCtx();
    slot.output = (unsigned char *)malloc(kDecoderOutputSize);
    if (slot.decoder == nullptr || slot.output == nullptr)
      break;
    AcquireSRWLockExclusive(&shared.lock);
    ++shared.running;
    ReleaseSRWLockExclusive(&shared.lock);
    HANDLE thread = CreateThread(nullptr, 0, RunDecoder, &slot, 0, nullptr);
    if (thread == nullptr) {
      AcquireSRWLockExclusive(&shared.lock);
      --shared.running;
      ReleaseSRWLockExclusive(&shared.lock);
      break;
    }
    shared.threads[shared.threadCount++] = thread;
  }
  // A repair of empty files alone decodes nothing.
  if (shared.threadCount < threads && shared.threadCount == 0) {
    ReleaseIndex();
    return false;
  }
  shared.active = true;
  return true;
}

} // namespace

bool StartParallelExtraction(RecordCheck placeable) {
  return Start(placeable, nullptr, 0);
}

bool StartParallelRepair(RecordCheck placeable, const unsigned char *wanted,
                         uint32_t count) {
  return Start(placeable, wanted, count);
}

void PassIndexedRecord(void) {
  ParallelExtraction &shared = Shared();
  AcquireSRWLockExclusive(&shared.lock);
  shared.createdCount = shared.nextRecord + 1;
  WakeAllConditionVariable(&shared.changed);
  ReleaseSRWLockExclusive(&shared.lock);
  ++shared.nextRecord;
}

bool NextIndexedRecord(void) {
  ParallelExtraction &shared = Shared();
  PayloadRecord &record = state.record;
  AcquireSRWLockExclusive(&shared.lock);
  bool more = shared.nextRecord < shared.index.recordCount &&
              !FailureBeforeOpen(shared.nextRecord);
  ReleaseSRWLockExclusive(&shared.lock);
  if (!more) {
    record.name[0] = 0;
    record.size = record.left = 0;
    return false;
  }
  const IndexedRecord &indexed = shared.records[shared.nextRecord];
  CopyIndexedName(indexed, record.name);
  record.size = record.left = indexed.size;
  return true;
}

bool WaitForDecoders(ParallelWait what, DWORD milliseconds) {
  ParallelExtraction &shared = Shared();
  AcquireSRWLockExclusive(&shared.lock);
  bool done;
  for (;;) {
    // Room, or no file to wait for: every decoder has ended, or a failure
    // comes before the next record's open.
    done = what == kWaitForFileRoom
               ? shared.openFiles < shared.openFileLimit ||
                     shared.running == 0 ||
                     shared.nextRecord == shared.index.recordCount ||
                     FailureBeforeOpen(shared.nextRecord)
               : shared.running == 0;
    if (done || !SleepConditionVariableSRW(&shared.changed, &shared.lock,
                                           milliseconds, 0))
      break;
  }
  ReleaseSRWLockExclusive(&shared.lock);
  return done;
}

DWORD TakeParallelBytesWritten(void) {
  ParallelExtraction &shared = Shared();
  LONG64 written = InterlockedExchangeAdd64(&shared.bytesWritten, 0);
  LONG64 fresh = written - shared.bytesNoted;
  if (fresh > 0x7FFFFFFF)
    fresh = 0x7FFFFFFF;
  shared.bytesNoted += fresh;
  return (DWORD)fresh;
}

void OpenIndexedRecordFile(const WCHAR *path) {
  ParallelExtraction &shared = Shared();
  uint32_t r = shared.nextRecord;
  IndexedRecord &record = shared.records[r];
  AcquireSRWLockExclusive(&shared.lock);
  bool later = FailureBeforeOpen(r);
  ReleaseSRWLockExclusive(&shared.lock);
  if (later)
    return; // the next NextIndexedRecord says no more
  // The file or a directory that cannot be made is a failure at this
  // record's place, which leaves the payload to the one-thread reader once
  // the decoders have done what lies before it (FinishParallelExtraction).
  HANDLE file = INVALID_HANDLE_VALUE;
  if (CreateParentDirectories(path))
    file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                       CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    Fail(kParallelOpen, r, GetLastError(), record.dataOffset, true);
    return;
  }
  if (GetLastError() == ERROR_ALREADY_EXISTS)
    TakeOverExistingFile(file, path, AwaitEarlierRecordsWritten);
  if (record.size == 0) {
    if (!CloseHandle(file)) {
      Fail(kParallelWrite, r, GetLastError(), record.dataOffset, true);
      return;
    }
    file = nullptr;
  }
  record.file = file;
  AcquireSRWLockExclusive(&shared.lock);
  if (file != nullptr)
    ++shared.openFiles;
  shared.createdCount = r + 1;
  WakeAllConditionVariable(&shared.changed);
  ReleaseSRWLockExclusive(&shared.lock);
  shared.nextRecord = r + 1;
}

bool FinishParallelExtraction(void) {
  ParallelExtraction &shared = Shared();
  // The package's bytes are not what the index says, or not sound, or a
  // file they name cannot be made: the one-thread reader, which never
  // looks at the index and keeps fewer files open, decides, and names its
  // own first failure. Every decoder has ended; what they left open is
  // closed.
  if (shared.failure == kParallelDecode || shared.failure == kParallelOpen) {
    StopParallelExtraction();
    return false;
  }
  if (shared.failure != kParallelFine)
    ReportFailure();
  JoinDecoders();
  shared.active = false;
  ReleaseIndex();
  return true;
}

void StopParallelExtraction(void) {
  ParallelExtraction &shared = Shared();
  if (!shared.active)
    return;
  AcquireSRWLockExclusive(&shared.lock);
  shared.stopping = true;
  WakeAllConditionVariable(&shared.changed);
  ULONGLONG deadline = GetTickCount64() + kWriterStopWaitMs;
  while (shared.running != 0) {
    ULONGLONG now = GetTickCount64();
    if (now >= deadline)
      break;
    SleepConditionVariableSRW(&shared.changed, &shared.lock,
                              (DWORD)(deadline - now), 0);
  }
  bool ended = shared.running == 0;
  ReleaseSRWLockExclusive(&shared.lock);
  shared.active = false;
  if (!ended)
    return; // a decoder stuck in a write keeps its file; the process ends
  JoinDecoders();
  CloseLeftFiles();
  ReleaseIndex();
}
