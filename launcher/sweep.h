//===- launcher/sweep.h - Removing what ended runs left behind ----------===//
//
// A run that is killed, or loses its power, leaves its unpack directory in
// TEMP (in a cache mode, its unfinished sibling of the cache directory). The
// next run removes such leftovers, after its own child has
// started (launcher/sweep.cpp says which, and why only those).
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stdint.h>

#include "platform/platform.h"

// At most this many leftovers are removed by one run.
const int kSweepMaxRemovals = 8;
// No leftover is looked at, or removal begun, once the sweep has run this
// long (milliseconds).
const unsigned kSweepBudgetMs = 200;
// How much later than a leftover's {TIME} the process with its id may have
// been created and still count as its run, in 100-nanosecond ticks (10 s).
const uint64_t kSweepCreationSlack = 10ull * 10000000ull;

// The last level of `path`: what follows its last separator (all of it when
// there is none).
const WCHAR *LastLevel(const WCHAR *path);

// Removes, within the bounds above, the directories beside the unpack
// directory whose names the unpack template makes for some run and whose
// run has ended. Never the run's own directory, a link, or what belongs
// to another user. Failures are silent.
void SweepLeftovers(void);
