//===- tests/packer/temp_file.h - A scratch file for the packer's tests ---===//
#pragma once

#include <stdlib.h>
#include <unistd.h>

namespace veskar {

// A temporary file that goes away with the test.
class TempFile {
public:
  TempFile() {
    char name[] = "/tmp/veskar-packer-test-XXXXXX";
    fd_ = mkstemp(name);
    unlink(name);
  }
  ~TempFile() { close(fd_); }
  int fd() const { return fd_; }

private:
  int fd_;
};

} // namespace veskar
