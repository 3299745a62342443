//===- payload/stream.h - Decompressing reader over the payload ---------===//
#pragma once

#include <stdint.h>
#include <zstd.h>

enum { kPayloadOutputSize = 131072 };

struct PayloadStream {
  const unsigned char *readPosition; // first byte after the header
  uint64_t resourceSize;             // the whole resource, header included
  ZSTD_DCtx *decoder;
  ZSTD_inBuffer input;   // points into the resource; never copied
  ZSTD_outBuffer output; // size = fill level, pos = cursor between calls
  size_t releasedInput;  // input bytes already handed back to the system
};

// Finds the payload resource, checks its header and sets up the decoder.
// Ends the process with the header or memory message on failure.
void OpenPayload(void);

// Copies exactly `count` next bytes of the archive stream to `destination`,
// or ends the process with the decode message (the memory message when the
// decoder is refused memory).
void ReadPayload(void *destination, uint64_t count);

// Frees the decoder, then the output buffer.
void ClosePayload(void);
