//===- payload/writer.h - Writing and closing files behind the decoder --===//
//
// The main thread decodes and opens each file; a small fixed pool of writer
// threads writes the chunks it hands over and closes each file when it is
// complete. Every operation here is the main thread's; the threads and what
// they share are described in payload/writer.cpp.
//
//===----------------------------------------------------------------------===//
#pragma once

#include "paths/paths.h"
#include "platform/platform.h"

enum {
  // The chunk a record's data is decoded and written in.
  kWriteBufferSize = 32768,
  // Threads, chunks in flight, files open at once, and the tasks one writer
  // may have waiting (never more than a task per chunk and one close per
  // file).
  kWriterThreadCapacity = 4,
  kWriterBufferCount = 16,
  kWriterFileCapacity = 16,
  kWriterQueueCapacity = kWriterBufferCount + kWriterFileCapacity,
};

// One step for a writer thread: a chunk to write, or the file's close.
struct WriterTask {
  int file;   // index in WriterPool::files
  int buffer; // index in WriterPool::buffers; -1 for the close
  DWORD size;
};

// A file the main thread has opened and handed to the writers, until its
// close has run.
struct WriterFile {
  HANDLE handle;
  int writer; // the thread that runs all its tasks, in order
  bool inUse;
  WCHAR path[kPathCapacity];
};

// The file writers (state.writers). `threads`, `threadCount` and
// `running` are the main thread's alone; everything else above `buffers` is
// shared with the writer threads and is read or written only with `lock`
// held. A buffer belongs to whoever holds its index (the main thread while
// it fills it, then the task that writes it), and a file slot's handle and
// path are set before its first task is queued and not changed until its
// close has run.
struct WriterPool {
  SRWLOCK lock;
  CONDITION_VARIABLE taskQueued[kWriterThreadCapacity];
  CONDITION_VARIABLE taskDone;
  HANDLE threads[kWriterThreadCapacity];
  // 0 when no thread could be made: the main thread runs each task itself.
  int threadCount;
  bool running;
  // The writers end once their queues are empty.
  bool quit;
  // Writes are dropped, closes still run: set when the main thread gives
  // up (an error, a fatal ending, a console event).
  bool stopping;
  bool mainWaiting;
  bool writerIdle[kWriterThreadCapacity];
  // The first error of a write or a close, with its file's path.
  bool failed;
  DWORD errorCode;
  WCHAR errorPath[kPathCapacity];
  // The file the main thread is filling, as index + 1; 0 when none.
  int currentFile;
  WriterTask queue[kWriterThreadCapacity][kWriterQueueCapacity];
  int queueHead[kWriterThreadCapacity];
  int queueCount[kWriterThreadCapacity];
  // Tasks queued or under way, per writer and in all.
  int unfinishedOf[kWriterThreadCapacity];
  int unfinished;
  int freeBuffers[kWriterBufferCount];
  int freeBufferCount;
  WriterFile files[kWriterFileCapacity];
  int filesInUse;
  unsigned char buffers[kWriterBufferCount][kWriteBufferSize];
};

// How long a fatal ending or a console event waits for the writers to
// close their files (StopWriters). A console event's handler waits longer
// for the main thread to stop writing (common/console_bounds.h), so the
// files are closed, or given up, before it removes the unpack directory.
const DWORD kWriterStopWaitMs = 800;

// Waits until no file the writers hold may be the file at `path`: a later
// record of the same file replaces it, and its open (which truncates) must
// not cut short a file whose chunks are still being written. Called before
// that open. "May be the same file" is the wider rule of common/names.h:
// "a.txt" and "A.TXT", or "t.bin" and "t.bin.", on every system.
void AwaitSamePathClosed(const WCHAR *path);

// Waits until the writers hold no file at all: the file just opened as
// `opened` (not handed over yet) was there already, so it may be one that
// is still being written under another name. Closes `opened` and ends the
// process with the unpack message when a write or a close has failed.
void AwaitEveryFileClosed(HANDLE opened);

// Hands an open file to the writers, which write its chunks in the order
// they are queued and then close it. The first hand-over sets the pool up
// and starts its threads; without a thread (none could be made) the main
// thread runs every task itself, in the same order. Returns the file's index
// for QueueWrite and QueueClose. Waits while the pool holds as many files as it
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
// closed and the threads have ended, for kWriterStopWaitMs at most. A
// writer stuck in a write or a close after that keeps the files it holds
// open (Windows then cannot remove them); the caller goes on without it.
// Does nothing when the pool is not running. Returns.
void StopWriters(void);
