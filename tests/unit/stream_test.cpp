//===- tests/unit/stream_test.cpp - The decompressing payload reader ----===//
//
// The reader is put in front of containers and bare frames built here, as
// OpenPayload leaves it, and asked for exact amounts. Whatever the cut of the
// requests and of the frames, the bytes must come out in order and complete;
// whatever is wrong with the frames, the process must end with the decode
// message and status 2, never hang.
//
//===----------------------------------------------------------------------===//
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#define ZSTD_STATIC_LINKING_ONLY // ZSTD_getFrameHeader; linked statically
#include <zstd.h>

#include <gtest/gtest.h>

#include "launcher/state.h"
#include "packer/archive/archive.h"
#include "payload/stream.h"
#include "tests/unit/support.h"

namespace {

const char kDecodeMessage[] = "Error, couldn't decode attached data.\n";

// The decoder as the reader sees it. The test program is linked with
// --wrap=ZSTD_decompressStream, so every call the reader makes comes here:
// it is counted, and in greedy mode it behaves as the streaming interface
// allows a decoder to: it takes all the input it is given in one call and
// holds back whatever does not fit the output.
struct DecoderProbe {
  int calls = 0;
  bool greedy = false;
  std::string held;
} probe;

} // namespace

extern "C" size_t __real_ZSTD_decompressStream(ZSTD_DStream *decoder,
                                               ZSTD_outBuffer *output,
                                               ZSTD_inBuffer *input);

extern "C" size_t __wrap_ZSTD_decompressStream(ZSTD_DStream *decoder,
                                               ZSTD_outBuffer *output,
                                               ZSTD_inBuffer *input) {
  ++probe.calls;
  if (!probe.greedy)
    return __real_ZSTD_decompressStream(decoder, output, input);
  std::vector<char> chunk(1 << 16);
  for (bool more = input->pos < input->size; more;) {
    ZSTD_outBuffer out = {chunk.data(), chunk.size(), 0};
    size_t result = __real_ZSTD_decompressStream(decoder, &out, input);
    if (ZSTD_isError(result))
      return result;
    probe.held.append(chunk.data(), out.pos);
    more = input->pos < input->size || out.pos == out.size;
  }
  size_t take = std::min(probe.held.size(), output->size - output->pos);
  memcpy((char *)output->dst + output->pos, probe.held.data(), take);
  output->pos += take;
  probe.held.erase(0, take);
  return probe.held.empty() ? 0 : 1;
}

namespace {

class StreamTest : public ::testing::Test {
protected:
  void SetUp() override { test::ResetLauncherState(); }
  void TearDown() override { test::ResetLauncherState(); }
};

// Reads the stream in requests of the given sizes, repeated until `total`
// bytes have come.
std::string ReadInRequests(size_t total, const std::vector<size_t> &sizes) {
  std::string bytes(total, '\0');
  size_t at = 0;
  for (size_t i = 0; at < total; ++i) {
    size_t count = std::min(sizes[i % sizes.size()], total - at);
    ReadPayload(&bytes[at], count);
    at += count;
  }
  return bytes;
}

TEST_F(StreamTest, ACountOfZeroTouchesNothing) {
  // Not even a stream that was never opened.
  char byte = 'x';
  ReadPayload(&byte, 0);
  EXPECT_EQ(byte, 'x');

  test::AttachPayload(test::Container(test::Compress("abc")));
  int before = probe.calls;
  ReadPayload(&byte, 0);
  EXPECT_EQ(probe.calls, before);
  EXPECT_EQ(byte, 'x');
  EXPECT_EQ(state.payload.input.pos, 0u);
  EXPECT_EQ(state.payload.output.size, 0u);
  char three[3];
  ReadPayload(three, 3);
  EXPECT_EQ(std::string(three, 3), "abc");
}

TEST_F(StreamTest, RequestsOfAnySizeDeliverTheStreamInOrder) {
  const std::string stream = test::SampleBytes(700000, 11);
  struct {
    const char *what;
    std::vector<size_t> requests;
    test::FrameOptions frames;
  } const kCases[] = {
      // Straddling each refill of the 131,072-byte buffer.
      {"odd sizes", {1, 131070, 2, 7, 65536, 131072, 3}, {}},
      {"one unit at a time, then a record's worth", {2, 2, 8, 32768}, {}},
      {"more than the buffer in one request", {300000}, {}},
      {"the whole stream in one request", {700000}, {}},
      {"frames without checksums", {5, 140000}, {false, 0, 3, {}}},
      {"several frames, cut anywhere",
       {3, 131073},
       {true, 0, 3, {1, 2, 131072, 131075, 400001}}},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.what);
    test::ResetLauncherState();
    test::AttachPayload(test::Container(test::Compress(stream, c.frames)));
    EXPECT_TRUE(ReadInRequests(stream.size(), c.requests) == stream);
    // The reader never looks past what it was asked for: the tail stays.
    EXPECT_LT(state.payload.input.pos, state.payload.input.size);
  }
}

TEST_F(StreamTest, BytesDecodedAheadAreKeptForTheNextRequests) {
  const std::string stream = test::SampleBytes(600000, 12);
  const std::string container = test::Container(test::Compress(stream));
  test::AttachPayload(container);
  int before = probe.calls;
  ASSERT_TRUE(ReadInRequests(stream.size(), {stream.size()}) == stream);
  int inOneRequest = probe.calls - before;

  test::ResetLauncherState();
  test::AttachPayload(container);
  before = probe.calls;
  ASSERT_TRUE(ReadInRequests(stream.size(), {2, 2, 8, 1, 32768}) == stream);
  // The decoder is asked only once the buffer has been handed out.
  EXPECT_EQ(probe.calls - before, inOneRequest);
}

TEST_F(StreamTest, ADecoderThatFilledTheBufferIsAskedAgainWithNoInputLeft) {
  // A decoder may take every input byte at once and hold back what did
  // not fit the buffer; the reader must ask it again within the request.
  const std::string stream = test::SampleBytes(400000, 5);
  const std::string frames = test::Compress(stream);
  test::Ending ending = test::RunInChild([&] {
    probe.greedy = true;
    probe.calls = 0;
    test::AttachFrames(frames);
    std::string bytes(stream.size(), '\0');
    ReadPayload(&bytes[0], bytes.size());
    printf("%s after %d decoder calls, input %zu of %zu",
           bytes == stream ? "equal" : "different", probe.calls,
           state.payload.input.pos, state.payload.input.size);
  });
  EXPECT_TRUE(test::ExitedWith(ending, test::kReturned)) << ending;
  const int refills =
      (stream.size() + kPayloadOutputSize - 1) / kPayloadOutputSize;
  EXPECT_EQ(ending.out, "equal after " + std::to_string(refills) +
                            " decoder calls, input " +
                            std::to_string(frames.size()) + " of " +
                            std::to_string(frames.size()));
}

// Packs the records with the archive writer.
std::string WriterContainer(const std::vector<test::Record> &records,
                            const veskar::CompressionOptions &options) {
  std::string container, error;
  EXPECT_TRUE(test::PackWithArchiveWriter(records, options, &container, &error))
      << error;
  return container;
}

size_t CountFrames(const std::string &container) {
  size_t at = 3, count = 0;
  const size_t end = container.size() - 10;
  while (at < end) {
    size_t size = ZSTD_findFrameCompressedSize(container.data() + at, end - at);
    if (ZSTD_isError(size))
      return 0;
    at += size;
    ++count;
  }
  return count;
}

TEST_F(StreamTest, FramesEndingInsideARecordReadAsOneStream) {
  const std::vector<test::Record> records = {
      {u"main.exe", test::SampleBytes(3000, 1)},
      {u"a\\b.txt", std::string(100, 'b')},
      {u"empty", ""},
      {u"d", test::SampleBytes(5000, 2)},
  };
  const std::string stream = test::ArchiveStream(records);
  // Cuts inside the first name, inside its size, inside the data, and
  // after every byte.
  for (uint64_t limit : {7, 21, 1000, 4099, 1}) {
    SCOPED_TRACE("frames of " + std::to_string(limit) + " bytes");
    veskar::CompressionOptions options;
    options.frameInputLimit = limit;
    std::string container = WriterContainer(records, options);
    EXPECT_GE(CountFrames(container), (stream.size() + limit - 1) / limit);
    test::ResetLauncherState();
    test::AttachPayload(container);
    EXPECT_TRUE(ReadInRequests(stream.size(), {2, 2, 2, 8, 999}) == stream);
  }
}

// The packer's index is the container's first frame, a skippable one: the
// decoder's first call consumes it and gives no output, and the reader must
// go on to the frames behind it, whichever way the decoder cuts its work.
TEST_F(StreamTest, AnIndexInFrontOfTheFramesIsSteppedOver) {
  const std::vector<test::Record> records = {
      {u"main.exe", test::SampleBytes(200000, 3)},
      {u"dir\\data", test::SampleBytes(70000, 4)},
  };
  const std::string stream = test::ArchiveStream(records);
  for (uint64_t limit : {0, 1000, 131072}) {
    veskar::CompressionOptions options;
    options.frameInputLimit = limit;
    const std::string container = WriterContainer(records, options);
    // The skippable frame's magic, 0x184D2A5E, right after "VEY".
    ASSERT_EQ(container.substr(3, 4), std::string("\x5e\x2a\x4d\x18"));
    // With the tail behind the frames, and with the frames alone, which
    // the decoder can use up.
    for (bool bare : {false, true}) {
      SCOPED_TRACE("frames of " + std::to_string(limit) + " bytes" +
                   (bare ? ", no tail" : ""));
      test::ResetLauncherState();
      if (bare)
        test::AttachFrames(container.substr(3, container.size() - 13));
      else
        test::AttachPayload(container);
      EXPECT_TRUE(ReadInRequests(stream.size(), {2, 2, 8, 32768}) == stream);
    }
  }
}

// Runs a read of `count` bytes over `container` in a child.
test::Ending ReadInChild(const std::string &container, size_t count,
                         bool bareFrames = false) {
  return test::RunInChild(
      [&] {
        if (bareFrames)
          test::AttachFrames(container);
        else
          test::AttachPayload(container);
        std::vector<char> bytes(count);
        ReadPayload(bytes.data(), count);
      },
      10);
}

TEST_F(StreamTest, ABrokenPayloadEndsWithTheDecodeMessage) {
  const std::string stream = test::SampleBytes(400000, 3);
  const std::string frames = test::Compress(stream);

  std::string damaged = frames;
  damaged[damaged.size() / 2] ^= 0x5A;
  std::string wrongChecksum = frames;
  wrongChecksum[wrongChecksum.size() - 1] ^= 0x01;
  test::FrameOptions wide;
  wide.windowLog = 28;
  const std::string wideWindow = test::Compress(stream, wide);
  ZSTD_frameHeader header;
  ASSERT_EQ(ZSTD_getFrameHeader(&header, wideWindow.data(), wideWindow.size()),
            0u);
  ASSERT_EQ(header.windowSize, 1ull << 28);

  struct {
    const char *what;
    std::string bytes;
    bool bareFrames;
    size_t count;
  } const kCases[] = {
      {"a damaged block", test::Container(damaged), false, stream.size()},
      {"a wrong content checksum", test::Container(wrongChecksum), false,
       stream.size()},
      {"a window above 2^27", test::Container(wideWindow), false, 1},
      {"no frame at all", test::Container(std::string(64, 'x')), false, 1},
      // More asked for than the stream holds: the decoder meets the tail.
      {"a stream that ends early, in a container", test::Container(frames),
       false, stream.size() + 1},
      // And where nothing at all follows the frames.
      {"a stream that ends early", frames, true, stream.size() + 1},
      {"a frame cut in half", frames.substr(0, frames.size() / 2), true,
       stream.size()},
      {"no input", "", true, 1},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.what);
    test::Ending ending = ReadInChild(c.bytes, c.count, c.bareFrames);
    EXPECT_TRUE(test::ExitedWith(ending, 2)) << ending;
    EXPECT_EQ(ending.out, kDecodeMessage);
    EXPECT_EQ(ending.err, "");
  }
}

} // namespace
