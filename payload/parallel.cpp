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

// Reads the index into state.parallel: false where there is none, or one
// that does not check out, or no memory for it.
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
  shared.table = (unsigned char *)malloc((size_t)index.tableSize);
  shared.records =
      (IndexedRecord *)calloc(index.recordCount, sizeof(IndexedRecord));
  shared.frames =
      (PayloadIndexFrame *)malloc(index.frameCount * sizeof(PayloadIndexFrame));
  if (shared.table == nullptr || shared.records == nullptr ||
      shared.frames == nullptr)
    return false;
  PayloadIndexProblem problem =
      UnpackPayloadIndexRecords(index, payload.decoder, shared.table);
  // The one-thread reader may use the decoder next.
  ZSTD_DCtx_reset(payload.decoder, ZSTD_reset_session_only);
  if (problem != kIndexSound ||
      CheckPayloadIndexRecords(&index, shared.table) != kIndexSound)
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
    to.headerLeft = (LONG64)(record.dataOffset - record.offset);
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

// With the lock not held: the first failure stops every decoder.
void Fail(ParallelFailure failure, uint32_t record, DWORD code) {
  ParallelExtraction &shared = Shared();
  AcquireSRWLockExclusive(&shared.lock);
  if (shared.failure == kParallelFine) {
    shared.failure = failure;
    shared.errorRecord = record;
    shared.errorCode = code;
  }
  shared.stopping = true;
  WakeAllConditionVariable(&shared.changed);
  ReleaseSRWLockExclusive(&shared.lock);
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

// A frame's bytes of one record are written: the last frame to do so
// closes the file.
bool ReleaseRecord(uint32_t r) {
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
    Fail(kParallelWrite, r, code);
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
// first.
bool AwaitCreated(FrameCursor &cursor) {
  ParallelExtraction &shared = Shared();
  if (cursor.record < cursor.created)
    return true;
  AcquireSRWLockExclusive(&shared.lock);
  while (!shared.stopping && shared.createdCount <= cursor.record)
    SleepConditionVariableSRW(&shared.changed, &shared.lock, INFINITE, 0);
  cursor.created = shared.createdCount;
  bool stopping = shared.stopping;
  ReleaseSRWLockExclusive(&shared.lock);
  return !stopping;
}

// Puts `count` decoded bytes at the cursor where the index says they go:
// header and end-marker bytes are compared with what the index says they
// are, data bytes are written at their place in their file. Gives the
// failure, if any.
ParallelFailure Place(FrameCursor &cursor, const unsigned char *bytes,
                      size_t count) {
  ParallelExtraction &shared = Shared();
  while (count > 0) {
    if (cursor.record == shared.index.recordCount) {
      // The end marker: zero bytes, where the stream ends.
      for (size_t i = 0; i < count; ++i)
        if (bytes[i] != 0)
          return kParallelDecode;
      cursor.at += count;
      return kParallelFine;
    }
    IndexedRecord &record = shared.records[cursor.record];
    if (cursor.at < record.dataOffset) {
      uint64_t left = record.dataOffset - cursor.at;
      size_t take = left < count ? (size_t)left : count;
      for (size_t i = 0; i < take; ++i)
        if (bytes[i] != PayloadIndexHeadByte(record.name, record.units,
                                             record.size,
                                             cursor.at - record.offset + i))
          return kParallelDecode;
      InterlockedExchangeAdd64(&record.headerLeft, -(LONG64)take);
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
      return kParallelFine; // stopped: the reason is set already
    uint64_t position = cursor.at - record.dataOffset;
    OVERLAPPED where = {};
    where.Offset = (DWORD)position;
    where.OffsetHigh = (DWORD)(position >> 32);
    DWORD written = 0;
    if (!WriteFile(record.file, bytes, take, &written, &where) ||
        written != take) {
      DWORD code = GetLastError();
      Fail(kParallelWrite, cursor.record, code != 0 ? code : ERROR_WRITE_FAULT);
      return kParallelWrite;
    }
    InterlockedExchangeAdd64(&shared.bytesWritten, take);
    cursor.at += take;
    bytes += take;
    count -= take;
    if (take == left) {
      if (!ReleaseRecord(cursor.record))
        return kParallelWrite;
      ++cursor.record;
    }
  }
  return kParallelFine;
}

// Decodes frame `f` with the slot's decoder and places its bytes. Every
// zstd frame in the index's frame must decode whole, to exactly the bytes
// the index gives it.
ParallelFailure DecodeFrame(DecoderSlot &slot, uint32_t f) {
  ParallelExtraction &shared = Shared();
  const PayloadIndexFrame &frame = shared.frames[f];
  uint64_t end = frame.streamOffset + frame.decompressedSize;
  FrameCursor cursor = {frame.streamOffset, RecordAt(frame.streamOffset), 0};
  ZSTD_DCtx_reset(slot.decoder, ZSTD_reset_session_only);
  ZSTD_inBuffer input = {shared.container + frame.containerOffset,
                         (size_t)frame.compressedSize, 0};
  size_t released = 0;
  for (;;) {
    if (shared.stopping)
      return kParallelFine;
    ZSTD_outBuffer output = {slot.output, kDecoderOutputSize, 0};
    size_t result = ZSTD_decompressStream(slot.decoder, &output, &input);
    if (ZSTD_isError(result) || output.pos > end - cursor.at)
      return kParallelDecode;
    // Compressed bytes already decoded go back to the system as the
    // one-thread reader hands them back: a frame at the highest levels
    // holds tens of MiB of them.
    if (input.pos - released >= kReleaseStep) {
      VirtualUnlock((void *)((const unsigned char *)input.src + released),
                    input.pos - released);
      released = input.pos;
    }
    ParallelFailure placed = Place(cursor, slot.output, output.pos);
    if (placed != kParallelFine || shared.stopping)
      return placed;
    if (input.pos == input.size && result == 0)
      break;
    // The input is used up and the decoder still waits for more.
    if (input.pos == input.size && output.pos == 0)
      return kParallelDecode;
  }
  if (cursor.at != end)
    return kParallelDecode;
  // The record this frame ends in the middle of has its bytes from here
  // written.
  if (cursor.record < shared.index.recordCount) {
    const IndexedRecord &record = shared.records[cursor.record];
    if (!record.skip && cursor.at > record.dataOffset &&
        cursor.at < record.dataOffset + record.size &&
        !ReleaseRecord(cursor.record))
      return kParallelWrite;
  }
  VirtualUnlock((void *)((const unsigned char *)input.src + released),
                input.size - released);
  return kParallelFine;
}

DWORD WINAPI RunDecoder(LPVOID parameter) {
  ParallelExtraction &shared = Shared();
  DecoderSlot &slot = *(DecoderSlot *)parameter;
  for (;;) {
    AcquireSRWLockExclusive(&shared.lock);
    bool done = shared.stopping || shared.nextFrame == shared.frameOrderCount;
    uint32_t f = done ? 0 : shared.frameOrder[shared.nextFrame++];
    ReleaseSRWLockExclusive(&shared.lock);
    if (done)
      break;
    ParallelFailure failure = DecodeFrame(slot, f);
    if (failure == kParallelDecode)
      Fail(kParallelDecode, 0, 0);
    if (failure != kParallelFine)
      break;
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

// Once the decoders have stopped for a failure: reports it, every file
// closed.
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
  ReportFatalDecode();
}

// The file or a directory of record `r` cannot be made. Its name, and the
// names before it, are the index's: the failure is the stream's only once
// the decoders have compared every one of those headers with the stream.
// The decoders that hold those headers never wait for the main thread (the
// records before `r` are created, and their frames were taken before any
// later one), so the wait ends: with the headers found as the index says,
// or with a disagreement, which is the decode error.
[[noreturn]] void ReportOpenFailure(const WCHAR *path, uint32_t r) {
  ParallelExtraction &shared = Shared();
  uint32_t checked = 0;
  AcquireSRWLockExclusive(&shared.lock);
  for (;;) {
    while (checked <= r && shared.records[checked].headerLeft == 0)
      ++checked;
    // Once every decoder has ended, a header still unchecked lies in a
    // frame a repair does not decode.
    if (checked > r || shared.failure != kParallelFine || shared.stopping ||
        shared.running == 0)
      break;
    // The decoders signal no header they finish: a short sleep, on a path
    // that ends the run anyway.
    SleepConditionVariableSRW(&shared.changed, &shared.lock, 1, 0);
  }
  ReleaseSRWLockExclusive(&shared.lock);
  if (shared.failure != kParallelFine)
    ReportFailure();
  ReportFatalOpen(path);
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
  if (shared.failure != kParallelFine)
    ReportFailure();
  AcquireSRWLockExclusive(&shared.lock);
  shared.createdCount = shared.nextRecord + 1;
  WakeAllConditionVariable(&shared.changed);
  ReleaseSRWLockExclusive(&shared.lock);
  ++shared.nextRecord;
}

bool NextIndexedRecord(void) {
  ParallelExtraction &shared = Shared();
  if (shared.failure != kParallelFine)
    ReportFailure();
  PayloadRecord &record = state.record;
  if (shared.nextRecord == shared.index.recordCount) {
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
    done =
        shared.failure != kParallelFine ||
        (what == kWaitForFileRoom ? shared.openFiles < kParallelOpenFileCapacity
                                  : shared.running == 0);
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
  if (shared.failure != kParallelFine)
    ReportFailure();
  uint32_t r = shared.nextRecord;
  IndexedRecord &record = shared.records[r];
  if (!CreateParentDirectories(path))
    ReportOpenFailure(path, r);
  HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                            CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    ReportOpenFailure(path, r);
  if (GetLastError() == ERROR_ALREADY_EXISTS)
    TakeOverExistingFile(file, path, AwaitEarlierRecordsWritten);
  if (record.size == 0) {
    if (!CloseHandle(file))
      ReportFatalUnpack(path, GetLastError());
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

void FinishParallelExtraction(void) {
  ParallelExtraction &shared = Shared();
  if (shared.failure != kParallelFine)
    ReportFailure();
  JoinDecoders();
  shared.active = false;
  ReleaseIndex();
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
