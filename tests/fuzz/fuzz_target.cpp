//===- tests/fuzz/fuzz_target.cpp - The libFuzzer entry -----------------===//
//
// Each input is a payload resource; harness.cpp runs the payload code on it
// and aborts when something landed outside the unpack directory or the
// files differ from what the archive reader reads.
//
//===----------------------------------------------------------------------===//
#include "tests/fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  veskar_fuzz::RunPayloadInput(data, size);
  return 0;
}
