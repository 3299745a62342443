//===- tests/integration/container_tool.cpp - Test containers -------------===//
//
//   veskar-container write OUT MAIN [FILE...]   names are the paths as given,
//                                               '/' turned into '\'
//   veskar-container tree OUT DIR MAIN-REL      DIR as veskar-pack walks it
//                                               for Linux: MAIN-REL first,
//                                               the rest sorted by name
//   veskar-container append LAUNCHER CONTAINER OUT
//   options before the command: --level N --threads N --frame-bytes N
//                               --no-checksum
//
//===----------------------------------------------------------------------===//
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "packer/archive/app_tree.h"
#include "packer/archive/archive.h"
#include "packer/archive/archive_names.h"

using namespace veskar;

namespace {

// The archive name of a path given on the command line: '/' becomes '\\'.
bool ToName(const std::string &utf8, std::u16string *name) {
  if (!Utf8ToUtf16(utf8, name))
    return false;
  for (char16_t &unit : *name)
    if (unit == u'/')
      unit = u'\\';
  return true;
}

bool AddFile(std::vector<ArchiveInput> &files, const std::string &name,
             const std::string &path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    fprintf(stderr, "veskar-container: '%s' is not a readable file\n",
            path.c_str());
    return false;
  }
  std::u16string archiveName;
  if (!ToName(name, &archiveName)) {
    fprintf(stderr, "veskar-container: '%s' is not valid UTF-8\n",
            name.c_str());
    return false;
  }
  files.push_back({archiveName, path, (uint64_t)info.st_size});
  return true;
}

// The inputs of the application directory `root` with `main` (relative,
// '/' between levels) first, by the packer's own walk and order for a Linux
// package: links to files inside are stored as copies, anything else that
// is not a regular file is refused, empty directories are not carried.
bool AddTree(std::vector<ArchiveInput> &files, const std::string &root,
             const std::string &main) {
  AppTree tree;
  size_t mainIndex = 0;
  std::string error;
  if (!ScanAppDirectory(root, &tree, &error) ||
      !ChooseMainFile(tree, Target::kLinux, main, &mainIndex, &error) ||
      !MakeArchiveInputs(tree, mainIndex, Target::kLinux, &files, &error)) {
    fprintf(stderr, "veskar-container: %s\n", error.c_str());
    return false;
  }
  return true;
}

bool CopyInto(int out, const char *path) {
  int in = open(path, O_RDONLY);
  if (in < 0)
    return false;
  char buffer[1 << 16];
  ssize_t n;
  while ((n = read(in, buffer, sizeof buffer)) > 0)
    if (write(out, buffer, (size_t)n) != n) {
      close(in);
      return false;
    }
  close(in);
  return n == 0;
}

int Usage() {
  fprintf(stderr, "usage: veskar-container [--level N] [--threads N] "
                  "[--frame-bytes N] [--no-checksum] write OUT MAIN [FILE...] "
                  "| tree OUT DIR MAIN-REL | append LAUNCHER CONTAINER OUT\n");
  return 2;
}

} // namespace

int main(int argc, char **argv) {
  CompressionOptions options;
  int i = 1;
  for (; i < argc && strncmp(argv[i], "--", 2) == 0; ++i) {
    std::string flag = argv[i];
    if (flag == "--no-checksum") {
      options.checksum = false;
    } else if (i + 1 < argc && flag == "--level") {
      options.level = atoi(argv[++i]);
    } else if (i + 1 < argc && flag == "--threads") {
      options.threads = atoi(argv[++i]);
    } else if (i + 1 < argc && flag == "--frame-bytes") {
      options.frameInputLimit = strtoull(argv[++i], nullptr, 10);
    } else {
      return Usage();
    }
  }
  if (i >= argc)
    return Usage();
  std::string command = argv[i++];
  std::vector<ArchiveInput> files;
  std::string out;
  if (command == "append" && argc - i == 3) {
    int fd = open(argv[i + 2], O_WRONLY | O_CREAT | O_TRUNC, 0755);
    if (fd < 0 || !CopyInto(fd, argv[i]) || !CopyInto(fd, argv[i + 1]) ||
        close(fd) != 0) {
      fprintf(stderr, "veskar-container: couldn't write '%s'\n", argv[i + 2]);
      return 1;
    }
    return 0;
  } else if (command == "write" && argc - i >= 2) {
    out = argv[i++];
    for (; i < argc; ++i)
      if (!AddFile(files, argv[i], argv[i]))
        return 1;
  } else if (command == "tree" && argc - i == 3) {
    out = argv[i];
    if (!AddTree(files, argv[i + 1], argv[i + 2]))
      return 1;
  } else {
    return Usage();
  }
  int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) {
    fprintf(stderr, "veskar-container: couldn't create '%s'\n", out.c_str());
    return 1;
  }
  uint64_t size = 0;
  std::string error;
  if (!WriteContainer(files, options, fd, &size, &error)) {
    fprintf(stderr, "veskar-container: %s\n", error.c_str());
    close(fd);
    unlink(out.c_str());
    return 1;
  }
  close(fd);
  return 0;
}
