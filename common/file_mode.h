//===- common/file_mode.h - The mode of an extracted file ----------------===//
//
// Where files have modes (the Linux launcher, `veskar-pack extract` on
// Linux), every extracted file is created with this mode less the umask.
// Records carry no permissions, and any file of an application may be a
// program to start: the main program, and also a helper or a script it
// runs. So every file is made executable, and nothing is made writable for
// others than the owner. Both the launcher's POSIX layer and the packer's
// extract take it from here, so the two cannot drift apart.
//
//===----------------------------------------------------------------------===//
#pragma once

const unsigned kExtractedFileMode = 0755;
