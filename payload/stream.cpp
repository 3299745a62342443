//===- payload/stream.cpp - Decompressing reader over the payload -------===//
//
// The compressed bytes are read in place from the resource; everything
// decompressed passes through one 128 KiB output buffer, so a payload of any
// size is read with constant memory.
//
//===----------------------------------------------------------------------===//
#include <stdlib.h>
#include <string.h>

#include "common/container.h"
#include "diagnostics/fatal.h"
#include "launcher/state.h"
#include "payload/stream.h"

#include <zstd_errors.h>

namespace {

// A resource that cannot be found or mapped for want of memory is the
// system's failure, not a payload without its header.
[[noreturn]] void ReportResourceFailure(void) {
  DWORD code = GetLastError();
  if (code == ERROR_NOT_ENOUGH_MEMORY || code == ERROR_OUTOFMEMORY)
    ReportFatalMemory();
  ReportFatalHeader();
}

// Compressed bytes already decoded are handed back to the system in steps
// of this size, so the resident set stays small however large the payload.
const size_t kReleaseStep = 1 << 20;

void ReleaseConsumedInput(PayloadStream &stream) {
  if (stream.input.pos - stream.releasedInput < kReleaseStep)
    return;
  VirtualUnlock((unsigned char *)stream.input.src + stream.releasedInput,
                stream.input.pos - stream.releasedInput);
  stream.releasedInput = stream.input.pos;
}

} // namespace

void OpenPayload(void) {
  PayloadStream &stream = state.payload;

  // A missing or unloadable resource, or one too short for the header, gets
  // the header message: no byte outside the resource is ever looked at. One
  // the system had no memory to map gets the memory message.
  HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(kPayloadResourceNumber),
                              MAKEINTRESOURCEA(kResourceTypeRcdata));
  if (found == nullptr)
    ReportResourceFailure();
  HGLOBAL loaded = LoadResource(nullptr, found);
  if (loaded == nullptr)
    ReportResourceFailure();
  const unsigned char *bytes = (const unsigned char *)LockResource(loaded);
  stream.resourceSize = (uint64_t)SizeofResource(nullptr, found);
  if (bytes == nullptr || stream.resourceSize < kContainerHeaderSize)
    ReportFatalHeader();

  stream.readPosition = bytes;
  unsigned char magic0 = stream.readPosition[0];
  unsigned char magic1 = stream.readPosition[1];
  unsigned char compression = stream.readPosition[2];
  stream.readPosition += kContainerHeaderSize;
  if (magic0 != kContainerMagic0 || magic1 != kContainerMagic1 ||
      compression != kCompressionZstd)
    ReportFatalHeader();

  void *buffer = malloc(kPayloadOutputSize);
  if (buffer == nullptr)
    ReportFatalMemory();
  stream.decoder = ZSTD_createDCtx();
  if (stream.decoder == nullptr)
    ReportFatalMemory();

  stream.input.src = stream.readPosition;
  stream.input.size = (size_t)(stream.resourceSize - kContainerHeaderSize);
  stream.input.pos = 0;
  stream.output.dst = buffer;
  stream.output.size = 0;
  stream.output.pos = 0;
}

void ReadPayload(void *destination, uint64_t count) {
  PayloadStream &stream = state.payload;
  unsigned char *to = (unsigned char *)destination;
  if (count == 0)
    return;
  // A decoder call in this call filled the whole buffer: it may hold more.
  bool outputFull = false;

  while (count > 0) {
    size_t available = stream.output.size - stream.output.pos;
    if (available > 0) {
      size_t take = count < available ? (size_t)count : available;
      memcpy(to, (unsigned char *)stream.output.dst + stream.output.pos, take);
      stream.output.pos += take;
      to += take;
      count -= take;
      continue;
    }
    if (stream.input.pos < stream.input.size || outputFull) {
      stream.output.size = kPayloadOutputSize;
      stream.output.pos = 0;
      size_t result =
          ZSTD_decompressStream(stream.decoder, &stream.output, &stream.input);
      outputFull = stream.output.pos == kPayloadOutputSize;
      // The decoder's window is allocated as a frame begins: a refusal is
      // the system's, not damage.
      if (ZSTD_isError(result) &&
          ZSTD_getErrorCode(result) == ZSTD_error_memory_allocation)
        ReportFatalMemory();
      if (ZSTD_isError(result))
        ReportFatalDecode();
      stream.output.size = stream.output.pos;
      stream.output.pos = 0;
      ReleaseConsumedInput(stream);
      continue;
    }
    // The payload has run out before the end marker: the input is used up
    // and the decoder holds nothing more.
    ReportFatalDecode();
  }
}

void ClosePayload(void) {
  PayloadStream &stream = state.payload;
  ZSTD_freeDCtx(stream.decoder);
  stream.decoder = nullptr;
  free(stream.output.dst);
  stream.output.dst = nullptr;
}
