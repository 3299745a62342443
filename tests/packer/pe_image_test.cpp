//===- tests/packer/pe_image_test.cpp - The PE reader and writer ----------===//
//
// Which stubs the PE writer refuses, the resource layout read back by our
// own reader, and the image checksum.
//
//===----------------------------------------------------------------------===//
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "packer/image/binary.h"
#include "packer/image/pe_image.h"
#include "packer/image/pe_writer.h"
#include "packer/os/file_io.h"
#include "tests/packer/temp_file.h"

namespace veskar {
namespace {

Bytes ReadStub() {
  std::ifstream in(VESKAR_WINDOWS_STUB, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in),
               std::istreambuf_iterator<char>());
}

// Offsets in the real stub, read the plain way.
struct StubOffsets {
  uint32_t pe, optional, table, sections;
};

StubOffsets Offsets(const Bytes &stub) {
  StubOffsets o;
  o.pe = GetLittleEndian32(stub.data() + 0x3C);
  o.optional = o.pe + 24;
  o.sections = GetLittleEndian16(stub.data() + o.pe + 6);
  o.table = o.optional + GetLittleEndian16(stub.data() + o.pe + 20);
  return o;
}

TEST(PlanImageTest, RefusesStubsItCannotExtend) {
  const Bytes original = ReadStub();
  ASSERT_GT(original.size(), 4096u) << "no stub at " VESKAR_WINDOWS_STUB;
  const StubOffsets o = Offsets(original);
  struct Case {
    const char *what;
    void (*damage)(Bytes &, const StubOffsets &);
    const char *message;
  };
  const Case cases[] = {
      {"no MZ", [](Bytes &s, const StubOffsets &) { s[0] = 'X'; },
       "no MZ header"},
      {"PE header past the end",
       [](Bytes &s, const StubOffsets &) {
         PutLittleEndian32(s.data() + 0x3C, 0x7FFFFFF0);
       },
       "no PE signature"},
      {"32-bit machine",
       [](Bytes &s, const StubOffsets &o) {
         PutLittleEndian16(s.data() + o.pe + 4, 0x14C);
       },
       "not an x86-64 image"},
      {"PE32 magic",
       [](Bytes &s, const StubOffsets &o) {
         PutLittleEndian16(s.data() + o.optional, 0x10B);
       },
       "not a PE32+ image"},
      {"resources already there",
       [](Bytes &s, const StubOffsets &o) {
         PutLittleEndian32(s.data() + o.optional + kOptDataDirectories + 16,
                           0x1000);
       },
       "already has resources"},
      {"signed",
       [](Bytes &s, const StubOffsets &o) {
         PutLittleEndian32(s.data() + o.optional + kOptDataDirectories + 36,
                           0x100);
       },
       "is signed"},
      {"bytes after the last section",
       [](Bytes &s, const StubOffsets &) { s.resize(s.size() + 512, 0xCC); },
       "bytes after its last section"},
      {"section header slot in use",
       [](Bytes &s, const StubOffsets &o) {
         s[o.table + o.sections * kSectionHeaderSize + 3] = 1;
       },
       "no room for another section"},
      {"image size off",
       [](Bytes &s, const StubOffsets &o) {
         PutLittleEndian32(
             s.data() + o.optional + kOptSizeOfImage,
             GetLittleEndian32(s.data() + o.optional + kOptSizeOfImage) +
                 0x1000);
       },
       "image size does not match"},
      {"cut short",
       [](Bytes &s, const StubOffsets &) { s.resize(s.size() - 512); },
       "runs past the end of the file"},
      {"bad alignment",
       [](Bytes &s, const StubOffsets &o) {
         PutLittleEndian32(s.data() + o.optional + kOptFileAlignment, 300);
       },
       "alignments are not valid"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Bytes stub = original;
    c.damage(stub, o);
    ImagePlan plan;
    std::string error;
    EXPECT_FALSE(PlanImage(stub, {}, kResourceRcdata, 27, &plan, &error));
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
  }
  ImagePlan plan;
  std::string error;
  EXPECT_TRUE(PlanImage(original, {}, kResourceRcdata, 27, &plan, &error))
      << error;
}

TEST(PlanImageTest, ResourcesLandWhereTheDirectorySays) {
  const Bytes stub = ReadStub();
  std::vector<ResourceItem> items = {
      {kResourceManifest, 1, Bytes(1001, 'm')},
      {kResourceIcon, 2, Bytes(7, 2)},
      {kResourceIcon, 1, Bytes(13, 1)},
      {kResourceVersion, 1, Bytes(64, 'v')},
  };
  ImagePlan plan;
  std::string error;
  ASSERT_TRUE(PlanImage(stub, items, kResourceRcdata, 27, &plan, &error))
      << error;
  const Bytes payload(300001, 0xAB);
  TempFile file;
  ASSERT_TRUE(WriteImage(
      plan,
      [&](int fd, uint64_t *size, std::string *) {
        *size = payload.size();
        return WriteAll(fd, payload.data(), payload.size());
      },
      file.fd(), &error))
      << error;
  uint64_t fileSize = (uint64_t)lseek(file.fd(), 0, SEEK_END);
  FileSource source(file.fd(), fileSize);
  PeHeaders headers;
  ASSERT_TRUE(ReadPeHeaders(source, &headers, &error)) << error;
  items.push_back({kResourceRcdata, 27, payload});
  for (const ResourceItem &item : items) {
    SCOPED_TRACE(std::to_string(item.type) + "/" + std::to_string(item.id));
    uint64_t offset;
    uint32_t size;
    ASSERT_TRUE(FindResourceData(source, headers, item.type, item.id, &offset,
                                 &size, &error))
        << error;
    EXPECT_EQ(offset % 8, 0u);
    Bytes data(size);
    ASSERT_TRUE(source.ReadAt(offset, data.data(), size));
    EXPECT_EQ(data, item.data);
  }
  uint64_t offset;
  uint32_t size;
  EXPECT_FALSE(FindResourceData(source, headers, kResourceIcon, 3, &offset,
                                &size, &error));
  EXPECT_EQ(error, "the image has no resource 3 of type 3");
  EXPECT_EQ(fileSize % headers.fileAlignment, 0u);
  // The stored checksum is the file's.
  uint32_t checkSum;
  ASSERT_TRUE(ComputeImageChecksum(file.fd(), fileSize,
                                   headers.optionalOffset + kOptCheckSum,
                                   &checkSum, &error));
  EXPECT_EQ(checkSum, headers.checkSum);
}

TEST(ChecksumTest, OddLengthsAndCarries) {
  // 0xFFFF words make the sum carry at every step; the odd last byte counts
  // as the low byte of a word.
  TempFile file;
  Bytes bytes(1001, 0xFF);
  bytes[1000] = 0x12;
  ASSERT_TRUE(WriteAll(file.fd(), bytes.data(), bytes.size()));
  uint32_t sum;
  std::string error;
  ASSERT_TRUE(ComputeImageChecksum(file.fd(), bytes.size(), 4, &sum, &error));
  // 498 words of 0xFFFF fold to 0xFFFF; plus 0x0012 carries to 0x0012;
  // plus the length.
  EXPECT_EQ(sum, 0x12u + 1001u);
}

} // namespace
} // namespace veskar
