//===- payload/record.cpp - The archive's records, one at a time --------===//
#include "payload/record.h"

#include <string.h>

#include "diagnostics/fatal.h"
#include "launcher/state.h"
#include "payload/stream.h"

bool ReadRecordName(void) {
  PayloadRecord &record = state.record;
  record.size = record.left = 0;
  uint16_t unit;
  ReadPayload(&unit, 2);
  if (unit == 0) {
    record.name[0] = 0;
    return false;
  }
  size_t length = 0;
  record.name[length++] = (WCHAR)unit;
  for (;;) {
    ReadPayload(&unit, 2);
    if (unit == 0)
      break;
    if (length + 1 >= kNameCapacity)
      ReportFatalNameTooLong();
    record.name[length++] = (WCHAR)unit;
  }
  record.name[length] = 0;
  return true;
}

void ReadRecordSize(void) {
  unsigned char bytes[8];
  ReadPayload(bytes, 8);
  state.record.size = state.record.left = GetLittleEndian64(bytes);
}

DWORD ReadRecordChunk(unsigned char *to, DWORD capacity) {
  PayloadRecord &record = state.record;
  DWORD chunk = record.left <= capacity ? (DWORD)record.left : capacity;
  ReadPayload(to, chunk);
  record.left -= chunk;
  return chunk;
}

void SkipRecordData(void) {
  while (ReadRecordChunk(state.record.buffer, sizeof state.record.buffer) !=
         0) {
  }
}

bool CompareRecordData(HANDLE file) {
  const DWORD half = sizeof state.record.buffer / 2;
  unsigned char *decoded = state.record.buffer;
  unsigned char *held = state.record.buffer + half;
  bool same = file != INVALID_HANDLE_VALUE;
  while (DWORD chunk = ReadRecordChunk(decoded, half)) {
    if (same && (ReadFileUpTo(file, held, chunk) != chunk ||
                 memcmp(decoded, held, chunk) != 0))
      same = false;
  }
  if (same && ReadFileUpTo(file, held, 1) != 0)
    same = false; // longer than the record
  return same;
}

DWORD ReadFileUpTo(HANDLE file, unsigned char *to, DWORD count) {
  DWORD done = 0;
  while (done < count) {
    DWORD got = 0;
    if (!ReadFile(file, to + done, count - done, &got, nullptr) || got == 0)
      break;
    done += got;
  }
  return done;
}
