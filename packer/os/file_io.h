//===- packer/os/file_io.h - Whole reads and writes on descriptors --------===//
//
// A read or a write may move fewer bytes than asked; these loop until
// everything has moved or a real error comes.
// The error text is the system's, for a one-line message.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "packer/os/fs.h"

namespace veskar {

// Writes all `count` bytes at the current position; false with errno set.
bool WriteAll(int fd, const void *data, size_t count);

// Writes all `count` bytes at `offset` without moving the position.
bool WriteAllAt(int fd, const void *data, size_t count, uint64_t offset);

// Reads exactly `count` bytes at `offset`; false on error or end of file
// (errno is then 0).
bool ReadAllAt(int fd, void *data, size_t count, uint64_t offset);

// Opens the regular file at `path` for reading into `*fd`. Anything else
// (a directory, a fifo, a socket, a device) is refused without blocking:
// the open itself does not wait for a fifo's writer. False with a one-line
// reason naming the path, with `what` in front of it ("the icon").
// `*size`, when given, receives the file's size.
bool OpenRegularFile(const std::string &path, const std::string &what, int *fd,
                     std::string *error, uint64_t *size = nullptr);

// What a file of `kind` is, for a message: "a fifo", "a directory", ...
const char *KindOf(fs::Kind kind);

// Reads the whole regular file at `path`, refusing one larger than
// `limit`. False with a one-line reason naming the path.
bool ReadSmallFile(const std::string &path, uint64_t limit,
                   std::vector<uint8_t> *bytes, std::string *error);

// The system's text for errno `code`.
std::string SystemError(int code);

// "couldn't write the output: " and the reason for errno `code`.
std::string OutputWriteError(int code);

} // namespace veskar
