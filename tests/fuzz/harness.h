//===- tests/fuzz/harness.h - Running the payload code on one input -----===//
//
// The fuzz build runs the launcher's OpenPayload and ExtractPayload in
// process, once per input, with the input as the payload resource and a
// fresh unpack directory inside a scratch folder. The pieces that make this
// possible replace three parts of the product for this build only: the
// resource comes from memory (memory_resource.cpp), the fatal reports jump
// back instead of ending the process (recoverable_fatal.cpp), and the file
// calls of the core are watched (guard.cpp).
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace veskar_fuzz {

// How one run of the payload code ended: completed, one of the launcher's
// fatal reports, or stopped by the harness's budget.
enum class Ending {
  kCompleted,
  kHeader,
  kDecode,
  kMemory,
  kOpen,
  kUnpack,
  kUnsafeName,
  kNameTooLong,
  kChildPathTooLong,
  kExpand,
  kOtherFatal,
  kBudget,
};

const char *EndingName(Ending ending);

// Runs `body`. Returns kCompleted when it returns, else the ending of the
// fatal report that cut it short (the report jumps back here).
Ending RunUntilFatal(void (*body)(void));

// Ends the current run with `ending`, as a fatal report does. Outside a run
// it aborts.
[[noreturn]] void EndRun(Ending ending);

// The next payload resource. With `present` false, FindResourceA finds
// nothing. The bytes must stay valid for the run.
void SetPayloadResource(const uint8_t *data, size_t size, bool present);

// Bounds per run, so that a tiny input that decodes to gigabytes costs the
// fuzzer little: past them the guard ends the run with kBudget.
enum : uint64_t {
  kBudgetBytes = 8u << 20,
  kBudgetFiles = 2048,
};

// Clears the guard's counters before a run.
void ResetGuard(void);

// Closes the files that a fatal ending left open.
void CloseAbandonedHandles(void);

// Whether the run spent its budget: on the main thread that ends it at
// once, on a decoder thread the write fails and the run ends with the
// decoders' failure, which counts as the budget's.
bool BudgetSpent(void);

// The decoder threads the run started (the parallel reader ran when any).
uint64_t DecoderThreadsStarted(void);

// Runs the payload code on one input and checks what it left on disk: never
// anything outside the unpack directory, and, for a container the archive
// reader accepts, exactly the files it holds. Aborts on a violation.
Ending RunPayloadInput(const uint8_t *data, size_t size);

// How the last input's run with the parallel reader went: whether it ran
// at all (its index parsed), whether it started decoder threads, and how it
// ended.
struct ParallelRun {
  bool ran;
  bool decoders;
  Ending ending;
};
ParallelRun LastParallelRun(void);

} // namespace veskar_fuzz
