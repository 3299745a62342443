//===- tests/fuzz/make_corpus.cpp - Writes the fuzz seed corpus ---------===//
//
//   veskar-fuzz-make-corpus DIR
//   veskar-fuzz-make-corpus --check DIR
//
// Writes the seeds kept in tests/fuzz/corpus: small containers made by the
// archive writer, a few assembled by hand (raw zstd blocks, which mutations
// can change without breaking a checksum; a window beyond the decoder's
// limit), and damaged ones. Each file's name starts with the ending the
// replay expects of it (see replay.cpp). Run it again only to change the
// seeds; the committed files are what the tests use. The output is the
// same on every run, and --check (a test) compares it with the files in DIR
// instead of writing: a seed changed here but not written again, or not
// committed, shows there.
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

#include <zstd.h>

#include "packer/archive/archive.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Record {
  std::u16string name;
  Bytes data;
};

std::string scratchDir;
int scratchCount = 0;
bool checking = false; // compare with the files in DIR instead of writing
int stale = 0;         // seeds that differ from their files, when checking

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
    // An empty record writes nothing (its data may be a null pointer).
    if (f == nullptr ||
        (!record.data.empty() &&
         fwrite(record.data.data(), 1, record.data.size(), f) !=
             record.data.size()) ||
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

// A zstd skippable frame (magic 0x184D2A50 + `variant`, 0 to 15) around
// `content`; the decoder passes over it. `declared` overrides the size
// field, to make one that runs past the end.
Bytes SkippableFrame(int variant, const Bytes &content,
                     uint64_t declared = UINT64_MAX) {
  Bytes out;
  PutLittleEndian(out, 0x184D2A50u + (unsigned)variant, 4);
  PutLittleEndian(out, declared == UINT64_MAX ? content.size() : declared, 4);
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

// The archive stream cut into one raw frame per `slice` bytes: frame ends
// fall inside names, sizes and data.
Bytes RawFrames(const Bytes &stream, size_t slice) {
  Bytes out;
  for (size_t at = 0; at < stream.size(); at += slice) {
    size_t end = std::min(stream.size(), at + slice);
    Bytes frame = RawFrame(Bytes(stream.begin() + at, stream.begin() + end),
                           slice);
    out.insert(out.end(), frame.begin(), frame.end());
  }
  return out;
}

// A frame whose archive stream starts with a record of `size` bytes named
// "main", followed by `zeroBlocks` RLE blocks of 128 KiB of zeros each: a
// few hundred bytes that decode to megabytes.
Bytes ZerosFrame(uint64_t size, int zeroBlocks) {
  Bytes head;
  for (char16_t unit : std::u16string(u"main"))
    PutLittleEndian(head, unit, 2);
  PutLittleEndian(head, 0, 2);
  PutLittleEndian(head, size, 8);
  Bytes out = {0x28, 0xB5, 0x2F, 0xFD, 0x00, (17 - 10) << 3};
  PutLittleEndian(out, head.size() << 3, 3);
  out.insert(out.end(), head.begin(), head.end());
  for (int i = 0; i < zeroBlocks; ++i) {
    PutLittleEndian(out, (131072u << 3) | (1 << 1) | (i + 1 == zeroBlocks), 3);
    out.push_back(0);
  }
  return out;
}

void Save(const std::string &dir, const std::string &name, const Bytes &data) {
  std::string path = dir + "/" + name;
  if (checking) {
    Bytes found;
    if (FILE *f = fopen(path.c_str(), "rb")) {
      uint8_t buffer[65536];
      size_t n;
      while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
        found.insert(found.end(), buffer, buffer + n);
      fclose(f);
      if (found == data)
        return;
    }
    fprintf(stderr, "make-corpus: %s is not what make_corpus.cpp writes\n",
            path.c_str());
    ++stale;
    return;
  }
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
  checking = argc == 3 && strcmp(argv[1], "--check") == 0;
  if (argc != 2 + (checking ? 1 : 0)) {
    fprintf(stderr, "usage: veskar-fuzz-make-corpus [--check] DIR\n");
    return 2;
  }
  std::string dir = argv[argc - 1];
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

  // --- Hostile shapes ------------------------------------------------------

  {
    // Trees 500 levels deep: one that a file blocks 200 levels down, and a
    // name of exactly 1023 units made of 512 levels.
    std::u16string upper, lower;
    for (int i = 0; i < 200; ++i)
      upper += u"d\\";
    for (int i = 0; i < 300; ++i)
      lower += u"e\\";
    Save(dir, "open-deep-tree-through-file",
         WriterContainer({{u"main", Text(kScript)},
                          {upper + u"f", Text("a file in the way\n")},
                          {upper + u"f\\" + lower + u"x", Text("x")}}));
    std::u16string levels;
    for (int i = 0; i < 511; ++i)
      levels += u"n\\";
    levels += u"f";
    Save(dir, "completed-name-1023-units-deep",
         WriterContainer({{u"main", Text(kScript)}, {levels, Text("1023\n")}}));
  }

  {
    // The same name again, longer and then shorter: the later record wins,
    // and the longer content must not show through.
    Bytes longer(40000, 'L');
    Save(dir, "completed-duplicate-names",
         WriterContainer({{u"main", Text(kScript)},
                          {u"dup", longer},
                          {u"d\\dup", Text("first\n")},
                          {u"dup", Text("short\n")},
                          {u"d\\dup", {}},
                          {u"main", Text("the main program again\n")}}));
  }

  // Names that differ only in case are different files on Linux.
  Save(dir, "completed-case-collisions",
       WriterContainer({{u"main", Text(kScript)},
                        {u"Readme.txt", Text("1")},
                        {u"README.TXT", Text("2")},
                        {u"readme.txt", Text("3")},
                        {u"Lib\\a", Text("4")},
                        {u"lib\\a", Text("5")},
                        {u"LIB\\A", Text("6")},
                        {u"\u00c4rger", Text("7")},
                        {u"\u00e4rger", Text("8")},
                        {u"\u0130", Text("9")},
                        {u"i", Text("10")},
                        {u"main.EXE", Text("11")}}));

  {
    // Surrogates: a pair, a lone high one, a lone low one, a pair the
    // wrong way round. A lone surrogate becomes U+FFFD on Linux, so two
    // names that differ only in their lone surrogate are the same file...
    Save(dir, "completed-surrogates",
         WriterContainer({{u"main", Text(kScript)},
                          {u"\U0001F600.txt", Text("pair\n")},
                          {u"h\xD800", Text("high\n")},
                          {u"l\xDC00", Text("low\n")},
                          {u"r\xDC00\xD800", Text("reversed\n")},
                          {u"s\xD83D\\f", Text("high before a separator\n")},
                          {u"x\xD800", Text("first\n")},
                          {u"x\xDBFF", Text("second, the same file\n")},
                          {u"\xFFFD\\y", Text("beside the lone ones\n")}}));
    // ...and a file named like a directory made through another lone one
    // cannot be opened.
    Save(dir, "open-surrogate-alias-of-directory",
         WriterContainer({{u"main", Text(kScript)},
                          {u"d\xD800\\f", Text("x")},
                          {u"d\xDFFF", Text("y")}}));
  }

  {
    // Sizes past what follows: all of 64 bits, past 4 GiB, and a huge one
    // that a few hundred bytes of zeros fill past the run's budget.
    Bytes stream = ArchiveStream({{u"main", Text("ten bytes.")}}, false);
    for (int i = 0; i < 8; ++i)
      stream[12 + i] = 0xFF;
    Save(dir, "decode-size-all-ones", Container(RawFrame(stream, 64)));
    stream[12 + 4] = 1;
    for (int i = 5; i < 8; ++i)
      stream[12 + i] = 0;
    Save(dir, "decode-size-past-4-gib", Container(RawFrame(stream, 64)));
    Save(dir, "budget-huge-size-of-zeros",
         Container(ZerosFrame(UINT64_MAX / 2, 80)));
  }

  {
    // Many frames: the writer's, a frame per 5 bytes of archive stream (with
    // checksums), and raw ones of a single byte each.
    std::vector<Record> records = {{u"main", Text(kScript)},
                                   {u"a\\b", Text("bytes across frames\n")},
                                   {u"c", pairs}};
    veskar::CompressionOptions options;
    options.frameInputLimit = 5;
    Save(dir, "completed-many-frames", WriterContainer(records, options));
    Save(dir, "completed-one-byte-frames",
         Container(RawFrames(ArchiveStream({{u"main", Text(kScript)},
                                            {u"a\\b", Text("bytes\n")}}),
                             1)));
  }

  {
    // Skippable frames before, between and after the frames (the lowest and
    // the highest of the sixteen magic numbers), an empty one, and one whose
    // size runs past the end of the resource.
    Bytes stream = ArchiveStream({{u"main", Text(kScript)},
                                  {u"skip\\over", Text("between\n")}});
    Bytes first(stream.begin(), stream.begin() + 11);
    Bytes second(stream.begin() + 11, stream.end());
    Bytes frames = SkippableFrame(0, Text("before"));
    for (const Bytes &part :
         {RawFrame(first, 64), SkippableFrame(15, Bytes(300, 0xFD)),
          SkippableFrame(7, {}), RawFrame(second, 64),
          SkippableFrame(10, Text("after"))})
      frames.insert(frames.end(), part.begin(), part.end());
    Save(dir, "completed-skippable-frames", Container(frames));
    Bytes cut = RawFrame(first, 64);
    Bytes past = SkippableFrame(3, Text("short"), 0xFFFFFFF0u);
    cut.insert(cut.end(), past.begin(), past.end());
    Save(dir, "decode-skippable-frame-past-end", Container(cut));
  }

  {
    // Names at the limit and past it after the first record, and the file
    // system's 255-byte level: 85 three-byte characters fit, 64 surrogate
    // pairs (256 bytes in 128 units) do not.
    Save(dir, "name-too-long-second-record",
         Container(RawFrame(ArchiveStream({{u"main", Text(kScript)},
                                           {std::u16string(1024, u'n'), {}}}),
                            4096)));
    Save(dir, "name-too-long-far-beyond",
         Container(RawFrame(ArchiveStream({{u"main", Text(kScript)},
                                           {std::u16string(20000, u'n'), {}}}),
                            65536)));
    Save(dir, "completed-level-255-bytes",
         WriterContainer({{u"main", Text(kScript)},
                          {u"d\\" + std::u16string(85, u'\u65e5'), Text("255\n")}}));
    std::u16string pairs64;
    for (int i = 0; i < 64; ++i)
      pairs64 += u"\U0001F600";
    Save(dir, "open-level-256-bytes",
         WriterContainer({{u"main", Text(kScript)}, {pairs64, Text("256\n")}}));
  }

  // Levels of dots and separators the launcher refuses everywhere...
  const struct {
    const char *file;
    std::u16string name;
  } kMoreUnsafe[] = {
      {"unsafe-name-dot-dot-last", u"a\\.."},
      {"unsafe-name-three-dots", u"a\\...\\x"},
      {"unsafe-name-dot-space", u". "},
      {"unsafe-name-trailing-separator", u"a\\"},
  };
  for (const auto &bad : kMoreUnsafe)
    Save(dir, bad.file,
         WriterContainer({{u"main", Text(kScript)}, {bad.name, Text("x")}}));
  {
    std::u16string climb;
    for (int i = 0; i < 150; ++i)
      climb += u"d\\";
    for (int i = 0; i < 152; ++i)
      climb += u"..\\";
    Save(dir, "unsafe-name-climb-out-of-deep-tree",
         WriterContainer({{u"main", Text(kScript)}, {climb + u"x", Text("x")}}));
  }
  // ...and names only Windows refuses, which are ordinary files on Linux.
  {
    // The writer's index in front of its frames, and indexes that lie about
    // the frames behind them: the launcher's reader steps over the index
    // whatever it says, while the archive reader refuses the lies.
    std::vector<Record> records = {{u"main", Text(kScript)},
                                   {u"dir\\indexed", pairs},
                                   {u"z", Text("last\n")}};
    veskar::CompressionOptions options;
    options.frameInputLimit = 40;
    Bytes indexed = WriterContainer(records, options);
    Save(dir, "completed-indexed-frames", indexed);
    // The index: "VEY", magic and size, signature, format, the counts, the
    // stream size, the record table's packed and unpacked sizes, then 16
    // bytes per frame and the packed record table.
    const size_t kIndex = 3 + 8;
    const size_t kFrameTable = kIndex + 44;
    uint32_t frameCount = indexed[kIndex + 12] | indexed[kIndex + 13] << 8;
    struct Forgery {
      const char *file;
      size_t at;
      int add;
    } const kForgeries[] = {
        {"completed-index-frame-size-moved", kFrameTable, 1},
        {"completed-index-record-count-past-end", kIndex + 16, 1},
        {"completed-index-table-size-over", kIndex + 36, 1},
        {"completed-index-table-undecodable", kFrameTable + 16 * frameCount + 4,
         0x40},
        {"completed-index-unknown-format", kIndex + 8, 1},
    };
    for (const Forgery &forgery : kForgeries) {
      Bytes forged = indexed;
      forged[forgery.at] = (uint8_t)(forged[forgery.at] + forgery.add);
      // A moved frame boundary: the next frame one byte shorter, so that
      // the sizes still add up.
      if (forgery.at == kFrameTable)
        forged[forgery.at + 16] = (uint8_t)(forged[forgery.at + 16] - 1);
      Save(dir, forgery.file, forged);
    }
    // A forged name in an index sound on its own: the record table unpacked,
    // changed and packed again, the index's sizes and the tail's count
    // following.
    {
      auto get = [&](size_t at, int bytes) {
        uint64_t value = 0;
        for (int i = bytes - 1; i >= 0; --i)
          value = value << 8 | indexed[at + i];
        return value;
      };
      size_t packedAt = kFrameTable + 16 * frameCount;
      size_t packedSize = (size_t)get(kIndex + 28, 8);
      Bytes table((size_t)get(kIndex + 36, 8));
      ZSTD_decompress(table.data(), table.size(), &indexed[packedAt],
                      packedSize);
      table[2] = (uint8_t)(table[2] + 1); // the first name's first unit
      Bytes packed(ZSTD_compressBound(table.size()));
      packed.resize(ZSTD_compress(packed.data(), packed.size(), table.data(),
                                  table.size(), 19));
      Bytes forged(indexed.begin(), indexed.begin() + packedAt);
      forged.insert(forged.end(), packed.begin(), packed.end());
      forged.insert(forged.end(), indexed.begin() + packedAt + packedSize,
                    indexed.end() - 8);
      uint64_t content = packedAt - kIndex + packed.size();
      for (int i = 0; i < 4; ++i)
        forged[3 + 4 + i] = (uint8_t)(content >> 8 * i);
      for (int i = 0; i < 8; ++i)
        forged[kIndex + 28 + i] = (uint8_t)((uint64_t)packed.size() >> 8 * i);
      PutLittleEndian(forged, forged.size(), 8); // the tail's count
      Save(dir, "completed-index-forged-name", forged);
    }
  }

  Save(dir, "completed-device-names",
       WriterContainer({{u"main", Text(kScript)},
                        {u"CON", Text("1")},
                        {u"nul.txt", Text("2")},
                        {u"COM1\\x", Text("3")},
                        {u"lpt\u00b9", Text("4")},
                        {u"AUX.", Text("5")},
                        {u"prn ", Text("6")},
                        {u"CONIN$", Text("7")},
                        {u"a:b", Text("8")},
                        {u"c*?<>|\"", Text("9")},
                        {u"ctl\x01\x1f", Text("10")}}));

  std::string cleanup = "rm -rf '" + scratchDir + "'";
  if (system(cleanup.c_str()) != 0)
    return 1;
  return stale == 0 ? 0 : 1;
}
