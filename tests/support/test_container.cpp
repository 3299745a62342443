//===- tests/support/test_container.cpp - Test containers, piece by piece -===//
#include "tests/support/test_container.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include <zstd.h>

#include "common/container.h"
#include "common/payload_index.h"

namespace test {

namespace {

// The zstd frame magic, then the frame header descriptor of a frame without
// content size, checksum or dictionary, whose window descriptor follows.
const char kFrameStart[] = "\x28\xB5\x2F\xFD\x00";
const uint32_t kSkippableMagic = 0x184D2A50u;
// A block header's two lowest bits after the last-block bit: the block type.
const uint32_t kRleBlock = 1 << 1;
const size_t kBlockHeaderSize = 3;

void Append16(std::string &to, uint16_t value) {
  unsigned char bytes[2];
  PutLittleEndian16(bytes, value);
  to.append((const char *)bytes, sizeof bytes);
}

void Append32(std::string &to, uint32_t value, size_t size = 4) {
  unsigned char bytes[4];
  PutLittleEndian32(bytes, value);
  to.append((const char *)bytes, size);
}

void Append64(std::string &to, uint64_t value) {
  unsigned char bytes[8];
  PutLittleEndian64(bytes, value);
  to.append((const char *)bytes, sizeof bytes);
}

// A zstd block header: the size (or an RLE block's repeat count), the
// type, and whether the block is the frame's last.
void AppendBlockHeader(std::string &to, size_t size, uint32_t type, bool last) {
  Append32(to, (uint32_t)(size << 3) | type | (last ? 1 : 0), kBlockHeaderSize);
}

// A frame's start with a window of 2^windowLog bytes.
std::string FrameStart(int windowLog) {
  std::string out(kFrameStart, sizeof kFrameStart - 1);
  out.push_back((char)((windowLog - 10) << 3));
  return out;
}

} // namespace

std::string RecordHead(const std::u16string &name, uint64_t size) {
  std::string head;
  for (char16_t unit : name)
    Append16(head, unit);
  Append16(head, 0);
  Append64(head, size);
  return head;
}

std::string ArchiveStream(const std::vector<Record> &records, bool endMarker) {
  std::string stream;
  for (const Record &record : records)
    stream += RecordHead(record.name, record.data.size()) + record.data;
  if (endMarker)
    Append16(stream, 0);
  return stream;
}

std::string Compress(const std::string &stream, const FrameOptions &options) {
  std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx *)> cctx(ZSTD_createCCtx(),
                                                           ZSTD_freeCCtx);
  ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, options.level);
  ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_checksumFlag, options.checksum);
  ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_contentSizeFlag, 0);
  if (options.windowLog != 0)
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_windowLog, options.windowLog);

  std::vector<size_t> bounds = options.cuts;
  bounds.push_back(stream.size());
  std::string frames;
  std::vector<char> buffer(ZSTD_CStreamOutSize());
  size_t begin = 0;
  for (size_t end : bounds) {
    // Fed first without ending the frame, so the frame does not learn its
    // size and keeps the window asked for.
    ZSTD_inBuffer in = {stream.data() + begin, end - begin, 0};
    for (ZSTD_EndDirective mode : {ZSTD_e_continue, ZSTD_e_end}) {
      for (;;) {
        ZSTD_outBuffer out = {buffer.data(), buffer.size(), 0};
        size_t left = ZSTD_compressStream2(cctx.get(), &out, &in, mode);
        if (ZSTD_isError(left))
          abort();
        frames.append(buffer.data(), out.pos);
        if (mode == ZSTD_e_continue ? in.pos == in.size : left == 0)
          break;
      }
    }
    begin = end;
  }
  return frames;
}

std::string IndexFrame(const std::vector<Record> &records,
                       const std::vector<IndexedFrame> &frames,
                       uint64_t streamSize) {
  uint64_t units = 0;
  for (const Record &record : records)
    units += record.name.size();
  std::string table(PayloadIndexTableSize(records.size(), units), '\0');
  unsigned char *to = (unsigned char *)&table[0];
  uint64_t offset = 0;
  for (const Record &record : records) {
    to += PutPayloadIndexRecord(to, (const Utf16Unit *)record.name.data(),
                                record.name.size(), record.data.size(), offset);
    offset += 2 * record.name.size() + 10 + record.data.size();
  }
  std::string packed(ZSTD_compressBound(table.size()), '\0');
  size_t packedSize =
      ZSTD_compress(&packed[0], packed.size(), table.data(), table.size(), 3);
  if (ZSTD_isError(packedSize))
    abort();
  packed.resize(packedSize);
  uint64_t content = PayloadIndexContentSize(frames.size(), packed.size());
  std::string frame(kSkippableHeaderSize + kPayloadIndexHeaderSize, '\0');
  PutPayloadIndexHeader((unsigned char *)&frame[0], (uint32_t)content,
                        (uint32_t)frames.size(), (uint32_t)records.size(),
                        streamSize, packed.size(), table.size());
  for (const IndexedFrame &entry : frames) {
    unsigned char bytes[kPayloadIndexFrameSize];
    PutPayloadIndexFrame(bytes, entry.compressed, entry.decompressed);
    frame.append((const char *)bytes, sizeof bytes);
  }
  return frame + packed;
}

std::string IndexedContainer(const std::vector<Record> &records,
                             const std::vector<size_t> &cuts,
                             const std::vector<Record> &listed) {
  std::string stream = ArchiveStream(records);
  std::vector<size_t> bounds = cuts;
  bounds.push_back(stream.size());
  std::string frames;
  std::vector<IndexedFrame> table;
  size_t begin = 0;
  for (size_t end : bounds) {
    std::string frame = Compress(stream.substr(begin, end - begin));
    table.push_back({frame.size(), end - begin});
    frames += frame;
    begin = end;
  }
  return Container(
      IndexFrame(listed.empty() ? records : listed, table, stream.size()) +
      frames);
}

std::string RawFrame(const std::string &content, size_t blockSize,
                     int windowLog) {
  std::string out = FrameStart(windowLog);
  size_t done = 0;
  do {
    size_t take = std::min(content.size() - done, blockSize);
    AppendBlockHeader(out, take, 0, done + take == content.size());
    out.append(content, done, take);
    done += take;
  } while (done < content.size());
  return out;
}

std::string RawFrames(const std::string &stream, size_t slice) {
  std::string out;
  for (size_t at = 0; at < stream.size(); at += slice)
    out += RawFrame(stream.substr(at, slice), slice);
  return out;
}

std::string RawFrameEndingInZeros(const std::string &content, size_t zeros,
                                  int zeroBlocks) {
  std::string out = FrameStart(17);
  AppendBlockHeader(out, content.size(), 0, false);
  out += content;
  for (int i = 0; i < zeroBlocks; ++i) {
    AppendBlockHeader(out, zeros, kRleBlock, i + 1 == zeroBlocks);
    out.push_back(0);
  }
  return out;
}

std::string SkippableFrame(int variant, const std::string &content,
                           uint64_t declared) {
  std::string out;
  Append32(out, kSkippableMagic + (uint32_t)variant);
  Append32(out, (uint32_t)(declared == UINT64_MAX ? content.size() : declared));
  return out + content;
}

std::string Container(const std::string &frames, bool tail) {
  std::string container = {kContainerMagic0, kContainerMagic1,
                           kCompressionZstd};
  container += frames;
  if (tail) {
    container.append(kContainerEndBytes, '\0');
    Append64(container, container.size());
  }
  return container;
}

bool PackWithArchiveWriter(const std::vector<Record> &records,
                           const veskar::CompressionOptions &options,
                           std::string *container, std::string *error) {
  const char *tmpdir = getenv("TMPDIR");
  std::string pattern = std::string(tmpdir && tmpdir[0] ? tmpdir : "/tmp") +
                        "/veskar-records-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) {
    *error = "cannot make a scratch directory: " + std::string(strerror(errno));
    return false;
  }
  const std::string scratch = pattern;
  std::vector<std::string> made;
  std::vector<veskar::ArchiveInput> inputs;
  bool ok = true;
  for (size_t i = 0; ok && i < records.size(); ++i) {
    const Record &record = records[i];
    std::string path = scratch + "/" + std::to_string(i);
    FILE *f = fopen(path.c_str(), "wb");
    if (f != nullptr)
      made.push_back(path);
    if (f == nullptr ||
        fwrite(record.data.data(), 1, record.data.size(), f) !=
            record.data.size() ||
        fclose(f) != 0) {
      *error = "cannot write " + path;
      ok = false;
    }
    inputs.push_back({record.name, path, record.data.size()});
  }
  if (ok) {
    std::string path = scratch + "/container";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0)
      made.push_back(path);
    uint64_t size = 0;
    if (fd < 0) {
      *error = "cannot create " + path;
      ok = false;
    } else if (!veskar::WriteContainer(inputs, options, fd, &size, error)) {
      ok = false;
    } else {
      container->assign(size, '\0');
      if (pread(fd, &(*container)[0], size, 0) != (ssize_t)size) {
        *error = "cannot read back " + path;
        ok = false;
      }
    }
    if (fd >= 0)
      close(fd);
  }
  for (const std::string &path : made)
    unlink(path.c_str());
  rmdir(scratch.c_str());
  return ok;
}

} // namespace test
