//===- launcher/console_bounds.h - How long the console waits may last --===//
//
// Plain constants, nothing else: the launcher's console-event protocol
// (launcher/console.cpp) and the POSIX layer's wait for a pending console
// signal (platform/posix/process.cpp) both take their bounds from here, so
// the two waits cannot drift apart.
//
//===----------------------------------------------------------------------===//
#pragma once

// How long the launcher, done with its own work, leaves a console event's
// handling to end the process before it ends by itself after all.
const unsigned kConsoleEndingWaitMs = 30000;
// How often the core looks whether that handling is still going on.
const unsigned kConsoleEndingPollMs = 100;

// How long a console event's handler waits for the main thread to stop
// writing files before it removes the unpack directory regardless.
const unsigned kExtractionParkingWaitMs = 2000;
// How often the handler looks whether the main thread has stopped writing,
// and whether a child's start is over.
const unsigned kConsolePollMs = 1;
