//===- tests/fuzz/make_corpus.cpp - Writes the fuzz seed corpus ---------===//
//
//   veskar-fuzz-make-corpus DIR
//   veskar-fuzz-make-corpus --check DIR
//
// Writes the seeds kept in tests/fuzz/corpus: small containers made by the
// archive writer, a few assembled by hand from the pieces in
// tests/support/test_container.h (raw zstd blocks, which mutations can
// change without breaking a checksum; a window beyond the decoder's limit),
// and damaged ones. Each file's name starts with the ending the
// replay expects of it (see replay.cpp). Run it again only to change the
// seeds; the committed files are what the tests use. The output is the
// same on every run, and --check (a test) compares it with the files in DIR
// instead of writing: a seed changed here but not written again, or not
// committed, shows there.
//
//===----------------------------------------------------------------------===//
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include <zstd.h>

#include "common/container.h"
#include "packer/archive/archive.h"
#include "tests/support/test_container.h"

namespace {

using test::ArchiveStream;
using test::Container;
using test::RawFrame;
using test::RawFrameEndingInZeros;
using test::RawFrames;
using test::Record;
using test::RecordHead;
using test::SkippableFrame;

bool checking = false; // compare with the files in DIR instead of writing
int stale = 0;         // seeds that differ from their files, when checking

// A container made by the archive writer, the records' bytes going through
// files as they do when packing.
std::string WriterContainer(const std::vector<Record> &records,
                            const veskar::CompressionOptions &options = {}) {
  std::string container, error;
  if (!test::PackWithArchiveWriter(records, options, &container, &error)) {
    fprintf(stderr, "make-corpus: %s\n", error.c_str());
    exit(1);
  }
  return container;
}

// A frame whose archive stream starts with a record of `size` bytes named
// "main", followed by `zeroBlocks` RLE blocks of 128 KiB of zeros each: a
// few hundred bytes that decode to megabytes.
std::string ZerosFrame(uint64_t size, int zeroBlocks) {
  return RawFrameEndingInZeros(RecordHead(u"main", size), 131072, zeroBlocks);
}

void Save(const std::string &dir, const std::string &name,
          const std::string &data) {
  std::string path = dir + "/" + name;
  if (checking) {
    std::string found;
    if (FILE *f = fopen(path.c_str(), "rb")) {
      char buffer[65536];
      size_t n;
      while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
        found.append(buffer, n);
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
  std::string pairs(300, '\0');
  for (size_t i = 0; i < pairs.size(); ++i)
    pairs[i] = i % 3 == 0 ? 'x' : 0;
  std::string chunkExact(32768, '\0'), chunkAndOne(32769, '\0');
  for (size_t i = 0; i < chunkAndOne.size(); ++i)
    chunkAndOne[i] = (char)(i * 7 + i / 251);
  std::copy(chunkAndOne.begin(), chunkAndOne.begin() + 32768,
            chunkExact.begin());

  const std::vector<Record> tree = {
      {u"app.exe", kScript},
      {u"lib\\core\\module.dat", "module data\n"},
      {u"lib\\core\\empty", {}},
      {u"lib\\zeros.bin", pairs},
      {u"data\\d\u00e4t\u00e4\\\u00fcber \u65e5\u672c.txt", "non-ASCII\n"},
      {u"lib\\core\\module.dat", "the later record wins\n"},
  };

  // Containers the launcher extracts completely.
  Save(dir, "completed-one-file", WriterContainer({{u"main.exe", kScript}}));
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
         WriterContainer({{u"run", kScript},
                          {u"a\\b.txt", "a record cut by a frame end, "
                                        "read on from the next frame\n"}},
                         options));
  }
  Save(dir, "completed-32768-and-32769",
       WriterContainer({{u"first", chunkExact}, {u"second", chunkAndOne}}));
  {
    // Decodes to more than the 128 KiB output buffer from a few bytes: the
    // decoder still holds output when the input is used up.
    std::string zeros(300000, '\0');
    zeros[150000] = 1;
    Save(dir, "completed-more-than-buffer",
         WriterContainer({{u"main", kScript}, {u"zeros", zeros}}));
  }
  {
    // No tail behind the frame: the resource ends with the frame, and its
    // last block, an RLE block, overflows the output buffer right there.
    // The record's size covers the zeros but two, the end marker.
    std::string head = RecordHead(u"main", 131072 - 2);
    Save(dir, "completed-output-pending-at-input-end",
         Container(RawFrameEndingInZeros(head, 131072), false));
  }
  Save(dir, "completed-end-marker-only",
       Container(RawFrame(ArchiveStream({}), 64)));
  Save(dir, "completed-raw-blocks",
       Container(RawFrame(ArchiveStream({{u"main", kScript},
                                         {u"x\\y\\z.txt", "zzz\n"},
                                         {u"x\\w", pairs}}),
                          48)));
  {
    std::string stream = ArchiveStream({{u"main", kScript}});
    stream += "bytes after the end marker are never read";
    Save(dir, "completed-bytes-after-end-marker",
         Container(RawFrame(stream, 128)));
  }
  {
    // Past the 1024 entries of the known-directory list.
    std::vector<Record> many = {{u"main", kScript}};
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
         WriterContainer({{u"main", kScript}, {deep + u"f", "deep\n"}}));
  }

  // Refused at the header.
  std::string good = WriterContainer({{u"main.exe", kScript}});
  Save(dir, "header-empty", {});
  Save(dir, "header-short", "VE");
  {
    std::string swapped = good;
    std::swap(swapped[0], swapped[1]);
    Save(dir, "header-swapped-magic", swapped);
    std::string other = good;
    other[2] = 'Z';
    Save(dir, "header-other-compression", other);
  }

  // Decoding fails.
  {
    std::string wrongSum = WriterContainer(tree);
    wrongSum[wrongSum.size() - 10 - 2] ^= 0x40; // inside the content checksum
    Save(dir, "decode-wrong-checksum", wrongSum);
    std::string cut = wrongSum.substr(0, wrongSum.size() / 2);
    Save(dir, "decode-truncated", cut);
  }
  Save(dir, "decode-window-too-large",
       Container(RawFrame(ArchiveStream({{u"main", kScript}}), 64, 28)));
  {
    std::string stream = ArchiveStream({{u"main", kScript}}, false);
    Save(dir, "decode-no-end-marker", Container(RawFrame(stream, 64)));
    Save(dir, "decode-no-end-marker-no-tail",
         Container(RawFrame(stream, 64), false));
  }
  {
    // A record's size promises more than the archive holds.
    std::string stream = ArchiveStream({{u"main", kScript}}, false);
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
         Container(RawFrame(ArchiveStream({{bad.name, "x"}}), 64)));
  Save(dir, "unsafe-name-second-record",
       WriterContainer({{u"main", kScript}, {u"..\\..\\x", "x"}}));
  Save(dir, "name-too-long",
       Container(
           RawFrame(ArchiveStream({{std::u16string(1024, u'n'), "x"}}), 4096)));
  Save(dir, "child-path-too-long",
       Container(
           RawFrame(ArchiveStream({{std::u16string(1023, u'n'), "x"}}), 4096)));

  // A file that cannot be opened: a level that is a file already, and a
  // level longer than the file system allows.
  Save(dir, "open-file-as-directory",
       WriterContainer({{u"main", kScript}, {u"main\\x", "x"}}));
  Save(dir, "open-level-too-long",
       WriterContainer(
           {{u"main", kScript}, {u"d\\" + std::u16string(300, u'l'), "x"}}));

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
         WriterContainer({{u"main", kScript},
                          {upper + u"f", "a file in the way\n"},
                          {upper + u"f\\" + lower + u"x", "x"}}));
    std::u16string levels;
    for (int i = 0; i < 511; ++i)
      levels += u"n\\";
    levels += u"f";
    Save(dir, "completed-name-1023-units-deep",
         WriterContainer({{u"main", kScript}, {levels, "1023\n"}}));
  }

  {
    // The same name again, longer and then shorter: the later record wins,
    // and the longer content must not show through.
    std::string longer(40000, 'L');
    Save(dir, "completed-duplicate-names",
         WriterContainer({{u"main", kScript},
                          {u"dup", longer},
                          {u"d\\dup", "first\n"},
                          {u"dup", "short\n"},
                          {u"d\\dup", {}},
                          {u"main", "the main program again\n"}}));
  }

  // Names that differ only in case are different files on Linux.
  Save(dir, "completed-case-collisions",
       WriterContainer({{u"main", kScript},
                        {u"Readme.txt", "1"},
                        {u"README.TXT", "2"},
                        {u"readme.txt", "3"},
                        {u"Lib\\a", "4"},
                        {u"lib\\a", "5"},
                        {u"LIB\\A", "6"},
                        {u"\u00c4rger", "7"},
                        {u"\u00e4rger", "8"},
                        {u"\u0130", "9"},
                        {u"i", "10"},
                        {u"main.EXE", "11"}}));

  {
    // Surrogates: a pair, a lone high one, a lone low one, a pair the
    // wrong way round. A lone surrogate becomes U+FFFD on Linux, so two
    // names that differ only in their lone surrogate are the same file...
    Save(dir, "completed-surrogates",
         WriterContainer({{u"main", kScript},
                          {u"\U0001F600.txt", "pair\n"},
                          {u"h\xD800", "high\n"},
                          {u"l\xDC00", "low\n"},
                          {u"r\xDC00\xD800", "reversed\n"},
                          {u"s\xD83D\\f", "high before a separator\n"},
                          {u"x\xD800", "first\n"},
                          {u"x\xDBFF", "second, the same file\n"},
                          {u"\xFFFD\\y", "beside the lone ones\n"}}));
    // ...and a file named like a directory made through another lone one
    // cannot be opened.
    Save(dir, "open-surrogate-alias-of-directory",
         WriterContainer(
             {{u"main", kScript}, {u"d\xD800\\f", "x"}, {u"d\xDFFF", "y"}}));
  }

  {
    // Sizes past what follows: all of 64 bits, past 4 GiB, and a huge one
    // that a few hundred bytes of zeros fill past the run's budget.
    std::string stream = ArchiveStream({{u"main", "ten bytes."}}, false);
    for (int i = 0; i < 8; ++i)
      stream[12 + i] = (char)0xFF;
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
    std::vector<Record> records = {
        {u"main", kScript}, {u"a\\b", "bytes across frames\n"}, {u"c", pairs}};
    veskar::CompressionOptions options;
    options.frameInputLimit = 5;
    Save(dir, "completed-many-frames", WriterContainer(records, options));
    Save(dir, "completed-one-byte-frames",
         Container(RawFrames(
             ArchiveStream({{u"main", kScript}, {u"a\\b", "bytes\n"}}), 1)));
  }

  {
    // Skippable frames before, between and after the frames (the lowest and
    // the highest of the sixteen magic numbers), an empty one, and one whose
    // size runs past the end of the resource.
    std::string stream =
        ArchiveStream({{u"main", kScript}, {u"skip\\over", "between\n"}});
    std::string first = stream.substr(0, 11);
    std::string second = stream.substr(11);
    std::string frames = SkippableFrame(0, "before") + RawFrame(first, 64) +
                         SkippableFrame(15, std::string(300, '\xFD')) +
                         SkippableFrame(7, {}) + RawFrame(second, 64) +
                         SkippableFrame(10, "after");
    Save(dir, "completed-skippable-frames", Container(frames));
    Save(dir, "decode-skippable-frame-past-end",
         Container(RawFrame(first, 64) +
                   SkippableFrame(3, "short", 0xFFFFFFF0u)));
  }

  {
    // Names at the limit and past it after the first record, and the file
    // system's 255-byte level: 85 three-byte characters fit, 64 surrogate
    // pairs (256 bytes in 128 units) do not.
    Save(dir, "name-too-long-second-record",
         Container(RawFrame(ArchiveStream({{u"main", kScript},
                                           {std::u16string(1024, u'n'), {}}}),
                            4096)));
    Save(dir, "name-too-long-far-beyond",
         Container(RawFrame(ArchiveStream({{u"main", kScript},
                                           {std::u16string(20000, u'n'), {}}}),
                            65536)));
    Save(dir, "completed-level-255-bytes",
         WriterContainer({{u"main", kScript},
                          {u"d\\" + std::u16string(85, u'\u65e5'), "255\n"}}));
    std::u16string pairs64;
    for (int i = 0; i < 64; ++i)
      pairs64 += u"\U0001F600";
    Save(dir, "open-level-256-bytes",
         WriterContainer({{u"main", kScript}, {pairs64, "256\n"}}));
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
    Save(dir, bad.file, WriterContainer({{u"main", kScript}, {bad.name, "x"}}));
  {
    std::u16string climb;
    for (int i = 0; i < 150; ++i)
      climb += u"d\\";
    for (int i = 0; i < 152; ++i)
      climb += u"..\\";
    Save(dir, "unsafe-name-climb-out-of-deep-tree",
         WriterContainer({{u"main", kScript}, {climb + u"x", "x"}}));
  }
  // ...and names only Windows refuses, which are ordinary files on Linux.
  {
    // The writer's index in front of its frames, and indexes that lie about
    // the frames behind them: the launcher's reader steps over the index
    // whatever it says, while the archive reader refuses the lies.
    std::vector<Record> records = {
        {u"main", kScript}, {u"dir\\indexed", pairs}, {u"z", "last\n"}};
    veskar::CompressionOptions options;
    options.frameInputLimit = 40;
    std::string indexed = WriterContainer(records, options);
    Save(dir, "completed-indexed-frames", indexed);
    // The index: "VEY", magic and size, signature, format, the counts, the
    // stream size, the record table's packed and unpacked sizes, then 16
    // bytes per frame and the packed record table.
    const size_t kIndex = 3 + 8;
    const size_t kFrameTable = kIndex + 44;
    uint32_t frameCount =
        GetLittleEndian16((const unsigned char *)indexed.data() + kIndex + 12);
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
      std::string forged = indexed;
      forged[forgery.at] = (char)(forged[forgery.at] + forgery.add);
      // A moved frame boundary: the next frame one byte shorter, so that
      // the sizes still add up.
      if (forgery.at == kFrameTable)
        forged[forgery.at + 16] = (char)(forged[forgery.at + 16] - 1);
      Save(dir, forgery.file, forged);
    }
    // A forged name in an index sound on its own: the record table unpacked,
    // changed and packed again, the index's sizes and the tail's count
    // following.
    {
      const unsigned char *bytes = (const unsigned char *)indexed.data();
      size_t packedAt = kFrameTable + 16 * frameCount;
      size_t packedSize = (size_t)GetLittleEndian64(bytes + kIndex + 28);
      std::string table((size_t)GetLittleEndian64(bytes + kIndex + 36), '\0');
      ZSTD_decompress(&table[0], table.size(), bytes + packedAt, packedSize);
      table[2] = (char)(table[2] + 1); // the first name's first unit
      std::string packed(ZSTD_compressBound(table.size()), '\0');
      packed.resize(ZSTD_compress(&packed[0], packed.size(), table.data(),
                                  table.size(), 19));
      std::string forged =
          indexed.substr(0, packedAt) + packed +
          indexed.substr(packedAt + packedSize,
                         indexed.size() - 8 - (packedAt + packedSize));
      unsigned char *out = (unsigned char *)&forged[0];
      PutLittleEndian32(out + 3 + 4,
                        (uint32_t)(packedAt - kIndex + packed.size()));
      PutLittleEndian64(out + kIndex + 28, packed.size());
      unsigned char count[8]; // the tail's count
      PutLittleEndian64(count, forged.size());
      forged.append((const char *)count, 8);
      Save(dir, "completed-index-forged-name", forged);
    }
  }

  {
    // Indexed containers for the parallel reader, which the harness runs
    // beside the one-thread reader. Frame ends fall inside names (3, 40,
    // 5080), inside sizes (12, 5120), inside data (2000) and right at a
    // record's start (5062).
    std::string noise(5000, '\0');
    for (size_t i = 0; i < noise.size(); ++i)
      noise[i] = (char)((i * 131 + i / 7) ^ (i >> 3));
    const std::vector<Record> records = {
        {u"app", kScript},                 // stream bytes 0..33
        {u"lib\\a.dat", noise},            // 34..5061
        {u"lib\\empty", {}},               // 5062..5089
        {u"lib\\sub\\b.txt", "b data\n"}, // 5090..5132
        {u"z", pairs},
    };
    const std::vector<size_t> cuts = {3, 12, 40, 2000, 5062, 5080, 5120};
    Save(dir, "completed-indexed-cuts",
         test::IndexedContainer(records, cuts));
    // The same stream in raw frames without checksums, which mutations can
    // change and still decode: the fuzzer's way to a stream that disagrees
    // with its index.
    {
      std::string stream = ArchiveStream(records);
      std::vector<size_t> bounds = cuts;
      bounds.push_back(stream.size());
      std::string frames;
      std::vector<test::IndexedFrame> table;
      size_t begin = 0;
      for (size_t end : bounds) {
        std::string frame = RawFrame(stream.substr(begin, end - begin), 1024);
        table.push_back({frame.size(), end - begin});
        frames += frame;
        begin = end;
      }
      Save(dir, "completed-indexed-raw-frames",
           Container(test::IndexFrame(records, table, stream.size()) + frames));
    }
    // Indexes sound on their own that lie about the stream: the one-thread
    // reader completes, the parallel one must call it a decode error.
    std::vector<Record> renamed = records;
    renamed[3].name = u"lib\\sub\\c.txt";
    Save(dir, "completed-forged-index-name",
         test::IndexedContainer(records, cuts, renamed));
    std::vector<Record> moved = records;
    moved[1].data.pop_back();
    moved[3].data.push_back('+');
    Save(dir, "completed-forged-index-sizes-moved",
         test::IndexedContainer(records, cuts, moved));
    // A record fewer: the last one's bytes counted into the one before, so
    // that the records still fill the stream.
    std::vector<Record> fewer(records.begin(), records.end() - 1);
    fewer.back().data += std::string(RecordHead(u"z", pairs.size()).size(), 'h');
    fewer.back().data += pairs;
    Save(dir, "completed-forged-index-record-fewer",
         test::IndexedContainer(records, cuts, fewer));
    // A record fewer and nothing else: the records miss the stream, so the
    // index does not check out and the one-thread reader runs.
    Save(dir, "completed-index-record-fewer-unsound",
         test::IndexedContainer(records, cuts,
                                std::vector<Record>(records.begin(),
                                                    records.end() - 1)));
    // A forged name that the unpack directory cannot take ("a" over the
    // directory "a"): the stream holds no open failure, so the parallel
    // reader must not report one. The first file is large and in the same
    // frame, so that the main thread reaches the forged name long before a
    // decoder does (a few megabytes, packed to a few hundred bytes).
    {
      std::string large(3 << 20, '\0');
      for (size_t i = 0; i < large.size(); ++i)
        large[i] = (char)('a' + i % 23);
      const std::vector<Record> stream = {
          {u"a\\b", large}, {u"c", "c data"}, {u"d", "d data"}};
      std::vector<Record> forged = stream;
      forged[1].name = u"a";
      Save(dir, "completed-forged-index-open-failure",
           test::IndexedContainer(stream, {1 << 20, (3 << 20) + 30}, forged));
      // The same failure held by the stream itself: both readers report it.
      Save(dir, "open-indexed-file-over-directory",
           test::IndexedContainer(forged, {1 << 20, (3 << 20) + 30}));
    }
    // A damaged frame behind sound ones: a checksum that fails.
    {
      std::string damaged = test::IndexedContainer(records, cuts);
      damaged[damaged.size() - 40] ^= 0x55;
      Save(dir, "decode-indexed-damaged-frame", damaged);
    }
    // Two records of one file (and two that fold to one on Windows): the
    // one-thread reader writes them, one after the other.
    Save(dir, "completed-indexed-duplicate-names",
         test::IndexedContainer({{u"app", kScript},
                                 {u"d\\x", "first"},
                                 {u"D\\X", "folded"},
                                 {u"d\\x", "second"}},
                                {20, 50}));
  }

  Save(dir, "completed-device-names",
       WriterContainer({{u"main", kScript},
                        {u"CON", "1"},
                        {u"nul.txt", "2"},
                        {u"COM1\\x", "3"},
                        {u"lpt\u00b9", "4"},
                        {u"AUX.", "5"},
                        {u"prn ", "6"},
                        {u"CONIN$", "7"},
                        {u"a:b", "8"},
                        {u"c*?<>|\"", "9"},
                        {u"ctl\x01\x1f", "10"}}));

  return stale == 0 ? 0 : 1;
}
