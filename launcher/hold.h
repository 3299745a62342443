//===- launcher/hold.h - What proves that a run is alive ----------------===//
//
// A run holds its unpack directory (in a cache mode: its sibling, and the
// cache directory it runs from) open for its whole life. Any number of
// runs may hold one directory; nobody may take the proof that a directory
// may be removed while one of them does. The system drops a hold when its
// process ends, however it ends, so a directory whose proof can be taken
// belongs to no living run. launcher/hold.cpp says how, on each system.
//
//===----------------------------------------------------------------------===//
#pragma once

#include "platform/platform.h"

enum HoldResult {
  kHoldTaken,
  // Nothing is at the path any more, or not the directory that was opened
  // (removed since it was made): it may be made again.
  kHoldDirectoryGone,
  // Someone holds the proof that it may be removed, and kept it longer
  // than a hold waits.
  kHoldRefused,
  // The system gives no hold here (a file system without locks): nobody can
  // take the proof either, so nothing removes the directory.
  kHoldUnavailable,
};

// Takes a hold on `directory` into `*hold`, a handle on the directory, and
// where holds lie beside the directory (kHoldsBesideDirectory) into `*lock`,
// the lock file's (null elsewhere). Waits a moment while a removal holds
// its proof.
HoldResult TakeDirectoryHold(const WCHAR *directory, HANDLE *hold,
                             HANDLE *lock);

// Takes the proof that `directory` may be removed: no run holds it, and the
// proof stops any from taking a hold until it is closed. Null when it
// cannot be taken, and on a file system whose locks the kernel does not
// keep for every process that can see it (a network or FUSE one, or one
// not known): there a hold taken another way may not show. Where holds lie
// beside the directory, `*lock` gets the lock file's part of the proof.
// Kept for the whole removal, then ended by EndRemovalProof.
HANDLE TakeRemovalProof(const WCHAR *directory, HANDLE *lock);

// Ends a proof once its removal is done (or given up): the lock file
// beside the directory goes with it.
void EndRemovalProof(const WCHAR *directory, HANDLE proof, HANDLE lock);

// Closes the handle in `*hold`, if any, and leaves null there. Either
// thread may call it, at the same time: the handle is taken out atomically,
// so it is closed once.
void ReleaseHold(HANDLE volatile *hold);

// After this run has removed a directory it held (or tried to) and let go
// of the hold: the lock file beside it goes too, unless another run holds
// it. Nothing where holds do not lie beside directories.
void RemoveHoldLock(const WCHAR *directory);

// The cache mode (launcher/cache.cpp). Takes this run's hold on the cache
// directory, before its marker is read; false when it cannot be taken, and
// the directory must then not be used.
bool HoldCacheDirectory(void);
// Lets go of this run's hold on the cache directory, if any.
void ReleaseCacheDirectoryHold(void);
// Before the sibling is renamed into place: where holds lie beside the
// directory, takes the hold beside the cache directory's path into `*lock`
// (a rename does not carry it there); false when it cannot be taken.
bool HoldBesideCacheDirectory(HANDLE *lock);
// The sibling has been renamed into place: its hold on the directory, which
// followed it, and `lock` (HoldBesideCacheDirectory's) become the hold on
// the cache directory; the sibling's lock file goes.
void CarrySiblingHoldIntoPlace(HANDLE lock);
// Before this run removes its own sibling or unpack directory.
void ReleaseUnpackDirectoryHold(void);
