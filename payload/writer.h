//===- payload/writer.h - Writing and closing files behind the decoder --===//
//
// The main thread decodes and opens each file; a small fixed pool of writer
// threads writes the chunks it hands over and closes each file when it is
// complete. Every operation here is the main thread's; the threads and what
// they share are described in payload/writer.cpp.
//
//===----------------------------------------------------------------------===//
#pragma once

#include "platform/platform.h"

// Waits until no file the writers hold has `path`: a later record of the
// same name replaces the file, and its open must not cut short a file whose
// chunks are still being written. Names that differ only in the case of
// ASCII letters count as the same, as they are on Windows.
void AwaitSamePathClosed(const WCHAR *path);

// Hands an open file to the writers, which write its chunks in the order
// they are queued and then close it. The first hand-over sets the pool up
// and starts its threads; without a thread (none could be made) the main
// thread runs every task itself, in the same order. Returns the file's index for
// QueueWrite and QueueClose. Waits while the pool holds as many files as it
// can; ends the process with the unpack message when a write or a close has
// failed.
int HandOverFile(HANDLE file, const WCHAR *path);

// A free chunk buffer of kWriteBufferSize bytes for the main thread to fill;
// waits for one while every buffer is queued. Ends the process with the
// unpack message when a write or a close has failed.
unsigned char *TakeWriteBuffer(void);

// Queues the first `size` bytes of a buffer from TakeWriteBuffer, which
// belongs to the writers from now on, as the file's next chunk.
void QueueWrite(int file, unsigned char *buffer, DWORD size);

// Queues the file's close, after its chunks.
void QueueClose(int file);

// Waits until every queued task has run and the threads have ended; ends the
// process with the unpack message, naming the file, when a write or a
// close failed. Nothing is open after it returns. Does nothing when the pool
// is not running.
void FinishWriters(void);

// For a fatal ending and a console event: drops the writes still queued,
// queues the close of the file being filled, and waits until every file is
// closed and the threads have ended. Does nothing when the pool is not
// running. Returns.
void StopWriters(void);
