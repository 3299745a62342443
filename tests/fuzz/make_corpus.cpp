//===- tests/fuzz/make_corpus.cpp - Writes the fuzz seed corpus ---------===//
//
//   veskar-fuzz-make-corpus DIR
//
// Writes the seeds kept in tests/fuzz/corpus: small containers made by the
// archive writer, a few assembled by hand (raw zstd blocks, which mutations
// can change without breaking a checksum; a window beyond the decoder's
// limit), and damaged ones. Each file's name starts with the ending the
// replay expects of it (see replay.cpp). Run it again only to change the
// seeds; the committed files are what the tests use.
//
//===----------------------------------------------------------------------===//
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "packer/archive.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Record {
  std::u16string name;
  Bytes data;
};

std::string scratchDir;
int scratchCount = 0;

Bytes Text(const char *text) { return Bytes(text, text + strlen(text)); }

void PutLittleEndian(Bytes &out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i)
    out.push_back((uint8_t)(value >> (8 * i)));
}

// The archive stream of `records`, with the end marker unless told not to.
Bytes ArchiveStream(const std::vector<Record> &records, bool endMarker = true) {
  Bytes out;
  for (const Record &record : records) {
    for (char16_t unit : record.name)
      PutLittleEndian(out, unit, 2);
    PutLittleEndian(out, 0, 2);
    PutLittleEndian(out, record.data.size(), 8);
    out.insert(out.end(), record.data.begin(), record.data.end());
  }
  if (endMarker)
    PutLittleEndian(out, 0, 2);
  return out;
}

// A container made by the archive writer, the records' bytes going through
// files as they do when packing.
Bytes WriterContainer(const std::vector<Record> &records,
                      const veskar::CompressionOptions &options = {}) {
  std::vector<veskar::ArchiveInput> inputs;
  for (const Record &record : records) {
    std::string path = scratchDir + "/" + std::to_string(scratchCount++);
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr ||
        fwrite(record.data.data(), 1, record.data.size(), f) !=
            record.data.size() ||
        fclose(f) != 0) {
      fprintf(stderr, "make-corpus: cannot write %s\n", path.c_str());
      exit(1);
    }
    inputs.push_back({record.name, path, record.data.size()});
  }
  std::string path = scratchDir + "/container";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  uint64_t size = 0;
  std::string error;
  if (fd < 0 || !veskar::WriteContainer(inputs, options, fd, &size, &error)) {
    fprintf(stderr, "make-corpus: %s\n", error.c_str());
    exit(1);
  }
  Bytes out(size);
  if (pread(fd, out.data(), size, 0) != (ssize_t)size) {
    fprintf(stderr, "make-corpus: cannot read back the container\n");
    exit(1);
  }
  close(fd);
  return out;
}

// A container around `frames`, with the tail unless told not to.
Bytes Container(const Bytes &frames, bool tail = true) {
  Bytes out(3 + frames.size());
  out[0] = 'V';
  out[1] = 'E';
  out[2] = 'Y';
  std::copy(frames.begin(), frames.end(), out.begin() + 3);
  if (tail) {
    PutLittleEndian(out, 0, 2);
    PutLittleEndian(out, out.size(), 8);
  }
  return out;
}

// One zstd frame of raw blocks of at most `blockSize` bytes, without content
// size or checksum: a mutation of the archive bytes stays decodable.
Bytes RawFrame(const Bytes &content, size_t blockSize, int windowLog = 17) {
  Bytes out = {0x28, 0xB5, 0x2F, 0xFD, 0x00,
               (uint8_t)((windowLog - 10) << 3)};
  size_t done = 0;
  do {
    size_t take = content.size() - done < blockSize ? content.size() - done
                                                     : blockSize;
    bool last = done + take == content.size();
    PutLittleEndian(out, (take << 3) | (last ? 1 : 0), 3);
    out.insert(out.end(), content.begin() + done, content.begin() + done + take);
    done += take;
  } while (done < content.size());
  return out;
}

// A frame like RawFrame's whose last block is an RLE block of `zeros` zero
// bytes: four bytes of input that decode to up to 128 KiB of output.
Bytes RawFrameEndingInZeros(const Bytes &content, size_t zeros) {
  Bytes out = {0x28, 0xB5, 0x2F, 0xFD, 0x00, (17 - 10) << 3};
  PutLittleEndian(out, content.size() << 3, 3);
  out.insert(out.end(), content.begin(), content.end());
  PutLittleEndian(out, (zeros << 3) | (1 << 1) | 1, 3);
  out.push_back(0);
  return out;
}

void Save(const std::string &dir, const std::string &name, const Bytes &data) {
  std::string path = dir + "/" + name;
  FILE *f = fopen(path.c_str(), "wb");
  if (f == nullptr || fwrite(data.data(), 1, data.size(), f) != data.size() ||
      fclose(f) != 0) {
    fprintf(stderr, "make-corpus: cannot write %s\n", path.c_str());
    exit(1);
  }
}

const char kScript[] = "#!/bin/sh\nexit 0\n";

} // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: veskar-fuzz-make-corpus DIR\n");
    return 2;
  }
  std::string dir = argv[1];
  char pattern[] = "/tmp/veskar-corpus-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    perror("make-corpus: mkdtemp");
    return 1;
  }
  scratchDir = pattern;

  Bytes pairs(300);
  for (size_t i = 0; i < pairs.size(); ++i)
    pairs[i] = i % 3 == 0 ? 'x' : 0;
  Bytes chunkExact(32768), chunkAndOne(32769);
  for (size_t i = 0; i < chunkAndOne.size(); ++i)
    chunkAndOne[i] = (uint8_t)(i * 7 + i / 251);
  std::copy(chunkAndOne.begin(), chunkAndOne.begin() + 32768,
            chunkExact.begin());

  const std::vector<Record> tree = {
      {u"app.exe", Text(kScript)},
      {u"lib\\core\\module.dat", Text("module data\n")},
      {u"lib\\core\\empty", {}},
      {u"lib\\zeros.bin", pairs},
      {u"data\\d\u00e4t\u00e4\\\u00fcber \u65e5\u672c.txt", Text("non-ASCII\n")},
      {u"lib\\core\\module.dat", Text("the later record wins\n")},
  };

  // Containers the launcher extracts completely.
  Save(dir, "completed-one-file", WriterContainer({{u"main.exe", Text(kScript)}}));
  Save(dir, "completed-tree", WriterContainer(tree));
  {
    veskar::CompressionOptions options;
    options.checksum = false;
    Save(dir, "completed-tree-no-checksum", WriterContainer(tree, options));
  }
  {
    // Two frames, the cut inside the second record's data.
    veskar::CompressionOptions options;
    options.frameInputLimit = 64;
    Save(dir, "completed-two-frames",
         WriterContainer({{u"run", Text(kScript)},
                          {u"a\\b.txt", Text("a record cut by a frame end, "
                                             "read on from the next frame\n")}},
                         options));
  }
  Save(dir, "completed-32768-and-32769",
       WriterContainer({{u"first", chunkExact}, {u"second", chunkAndOne}}));
  {
    // Decodes to more than the 128 KiB output buffer from a few bytes: the
    // decoder still holds output when the input is used up.
    Bytes zeros(300000);
    zeros[150000] = 1;
    Save(dir, "completed-more-than-buffer",
         WriterContainer({{u"main", Text(kScript)}, {u"zeros", zeros}}));
  }
  {
    // No tail behind the frame: the resource ends with the frame, and its
    // last block, an RLE block, overflows the output buffer right there.
    Bytes head;
    for (char16_t unit : std::u16string(u"main"))
      PutLittleEndian(head, unit, 2);
    PutLittleEndian(head, 0, 2);
    PutLittleEndian(head, 131072 - 2, 8); // the zeros, then the end marker
    Save(dir, "completed-output-pending-at-input-end",
         Container(RawFrameEndingInZeros(head, 131072), false));
  }
  Save(dir, "completed-end-marker-only", Container(RawFrame(ArchiveStream({}), 64)));
  Save(dir, "completed-raw-blocks",
       Container(RawFrame(ArchiveStream({{u"main", Text(kScript)},
                                         {u"x\\y\\z.txt", Text("zzz\n")},
                                         {u"x\\w", pairs}}),
                          48)));
  {
    Bytes stream = ArchiveStream({{u"main", Text(kScript)}});
    Bytes after = Text("bytes after the end marker are never read");
    stream.insert(stream.end(), after.begin(), after.end());
    Save(dir, "completed-bytes-after-end-marker", Container(RawFrame(stream, 128)));
  }
  {
    // Past the 1024 entries of the known-directory list.
    std::vector<Record> many = {{u"main", Text(kScript)}};
    for (int i = 0; i < 1100; ++i) {
      std::string n = "d" + std::to_string(i) + "\\f";
      many.push_back({std::u16string(n.begin(), n.end()), {}});
    }
    Save(dir, "completed-many-directories", WriterContainer(many));
  }

  {
    // One file 500 levels down, all of them new: the harness walks what
    // was extracted without a stack frame per level.
    std::u16string deep;
    for (int i = 0; i < 500; ++i)
      deep += u"d\\";
    Save(dir, "completed-deep-tree",
         WriterContainer({{u"main", Text(kScript)}, {deep + u"f", Text("deep\n")}}));
  }

  // Refused at the header.
  Bytes good = WriterContainer({{u"main.exe", Text(kScript)}});
  Save(dir, "header-empty", {});
  Save(dir, "header-short", {'V', 'E'});
  {
    Bytes swapped = good;
    std::swap(swapped[0], swapped[1]);
    Save(dir, "header-swapped-magic", swapped);
    Bytes other = good;
    other[2] = 'Z';
    Save(dir, "header-other-compression", other);
  }

  // Decoding fails.
  {
    Bytes wrongSum = WriterContainer(tree);
    wrongSum[wrongSum.size() - 10 - 2] ^= 0x40; // inside the content checksum
    Save(dir, "decode-wrong-checksum", wrongSum);
    Bytes cut(wrongSum.begin(), wrongSum.begin() + wrongSum.size() / 2);
    Save(dir, "decode-truncated", cut);
  }
  Save(dir, "decode-window-too-large",
       Container(RawFrame(ArchiveStream({{u"main", Text(kScript)}}), 64, 28)));
  {
    Bytes stream = ArchiveStream({{u"main", Text(kScript)}}, false);
    Save(dir, "decode-no-end-marker", Container(RawFrame(stream, 64)));
    Save(dir, "decode-no-end-marker-no-tail", Container(RawFrame(stream, 64), false));
  }
  {
    // A record's size promises more than the archive holds.
    Bytes stream = ArchiveStream({{u"main", Text(kScript)}}, false);
    stream.resize(stream.size() - 2);
    Save(dir, "decode-short-record", Container(RawFrame(stream, 64)));
  }

  // Names that would lead outside the unpack directory, or do not fit.
  const struct {
    const char *file;
    std::u16string name;
  } kUnsafe[] = {
      {"unsafe-name-dot-dot", u"..\\escape.txt"},
      {"unsafe-name-nested-dot-dot", u"a\\..\\..\\..\\escape.txt"},
      {"unsafe-name-leading-separator", u"\\escape.txt"},
      {"unsafe-name-slash", u"a/../../escape.txt"},
      {"unsafe-name-dots-and-spaces", u"a\\. .\\x"},
      {"unsafe-name-empty-level", u"a\\\\x"},
  };
  for (const auto &bad : kUnsafe)
    Save(dir, bad.file,
         Container(RawFrame(ArchiveStream({{bad.name, Text("x")}}), 64)));
  Save(dir, "unsafe-name-second-record",
       WriterContainer({{u"main", Text(kScript)}, {u"..\\..\\x", Text("x")}}));
  Save(dir, "name-too-long",
       Container(RawFrame(
           ArchiveStream({{std::u16string(1024, u'n'), Text("x")}}), 4096)));
  Save(dir, "child-path-too-long",
       Container(RawFrame(
           ArchiveStream({{std::u16string(1023, u'n'), Text("x")}}), 4096)));

  // A file that cannot be opened: a level that is a file already, and a
  // level longer than the file system allows.
  Save(dir, "open-file-as-directory",
       WriterContainer({{u"main", Text(kScript)}, {u"main\\x", Text("x")}}));
  Save(dir, "open-level-too-long",
       WriterContainer({{u"main", Text(kScript)},
                        {u"d\\" + std::u16string(300, u'l'), Text("x")}}));

  std::string cleanup = "rm -rf '" + scratchDir + "'";
  if (system(cleanup.c_str()) != 0)
    return 1;
  return 0;
}
