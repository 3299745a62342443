//===- tests/packer/packer_unit_test.cpp - The packer's own parts --------===//
//
// The parts of veskar-pack whose faults the whole-program tests would show
// only indirectly: which stubs the PE writer refuses, the build values
// block, the name rules of both targets, the version and icon parsers, and
// the resource layout read back by our own reader.
//
//===----------------------------------------------------------------------===//
#include <fcntl.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <iterator>

#include <gtest/gtest.h>

#include "common/sha256.h"
#include "packer/archive.h"
#include "packer/binary.h"
#include "packer/build_values.h"
#include "packer/byte_source.h"
#include "packer/file_io.h"
#include "packer/icon.h"
#include "packer/names.h"
#include "packer/pe_image.h"
#include "packer/pe_writer.h"
#include "packer/progress.h"
#include "packer/version_record.h"

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
  o.pe = Get32(stub.data() + 0x3C);
  o.optional = o.pe + 24;
  o.sections = Get16(stub.data() + o.pe + 6);
  o.table = o.optional + Get16(stub.data() + o.pe + 20);
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
       [](Bytes &s, const StubOffsets &) { Set32(s.data() + 0x3C, 0x7FFFFFF0); },
       "no PE signature"},
      {"32-bit machine",
       [](Bytes &s, const StubOffsets &o) { Set16(s.data() + o.pe + 4, 0x14C); },
       "not an x86-64 image"},
      {"PE32 magic",
       [](Bytes &s, const StubOffsets &o) { Set16(s.data() + o.optional, 0x10B); },
       "not a PE32+ image"},
      {"resources already there",
       [](Bytes &s, const StubOffsets &o) {
         Set32(s.data() + o.optional + kOptDataDirectories + 16, 0x1000);
       },
       "already has resources"},
      {"signed",
       [](Bytes &s, const StubOffsets &o) {
         Set32(s.data() + o.optional + kOptDataDirectories + 36, 0x100);
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
         Set32(s.data() + o.optional + kOptSizeOfImage,
               Get32(s.data() + o.optional + kOptSizeOfImage) + 0x1000);
       },
       "image size does not match"},
      {"cut short", [](Bytes &s, const StubOffsets &) { s.resize(s.size() - 512); },
       "runs past the end of the file"},
      {"bad alignment",
       [](Bytes &s, const StubOffsets &o) {
         Set32(s.data() + o.optional + kOptFileAlignment, 300);
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

// The share build and list print: one decimal, rounded, and no division
// when there is nothing to share.
TEST(FormatPercentTest, OneDecimalAndNothingToShare) {
  struct Case {
    uint64_t part, whole;
    const char *shown;
  };
  const Case cases[] = {
      {0, 0, "100.0%"},          {7, 0, "100.0%"},
      {112102, 242886, "46.2%"}, {1, 3, "33.3%"},
      {2, 3, "66.7%"},           {5, 4, "125.0%"},
      {0, 10, "0.0%"},           {UINT64_MAX, UINT64_MAX, "100.0%"},
  };
  for (const Case &c : cases)
    EXPECT_EQ(FormatPercent(c.part, c.whole), c.shown)
        << c.part << " of " << c.whole;
}

// The block as the launchers lay it out: the marker, three fields of 64
// units, one of 512, the 16-bit unpack mode, the 32-byte payload digest,
// the cache marker's 32-byte digest and its 64-bit size (written out here,
// not taken from the header).
TEST(BuildValuesTest, PatchesTheOneBlockAndReadsItBack) {
  const size_t kBlock = 16 + 3 * 128 + 1024 + 2 + 32 + 32 + 8;
  Bytes stub(100, 0x11);
  const char marker[] = "VESKAR-BUILD-VAL";
  stub.insert(stub.end(), marker, marker + 16);
  stub.resize(stub.size() + kBlock - 16, 0x77); // stale content is overwritten
  stub.resize(stub.size() + 50, 0x22);
  BuildValueStrings values;
  values.company = u"Ä";
  values.product = std::u16string(63, u'p');
  values.version = u"1.2.3.4";
  values.unpackMode = kUnpackCacheContent;
  for (int i = 0; i < 32; ++i) {
    values.payloadDigest[i] = (uint8_t)(0xA0 + i);
    values.markerDigest[i] = (uint8_t)(0x40 + i);
  }
  values.markerSize = 0x0102030405060708;
  std::string error;
  ASSERT_TRUE(PatchBuildValues(stub, values, &error)) << error;
  const uint8_t *block = stub.data() + 116;
  EXPECT_EQ(Get16(block), 0xC4u);
  for (int i = 1; i < 64; ++i)
    EXPECT_EQ(Get16(block + 2 * i), 0u) << i;
  for (int i = 0; i < 63; ++i)
    EXPECT_EQ(Get16(block + 128 + 2 * i), (uint32_t)'p');
  EXPECT_EQ(Get16(block + 128 + 126), 0u);
  EXPECT_EQ(Get16(block + 256), (uint32_t)'1');
  // The unpack-directory template: the built-in one unless set.
  const std::u16string builtIn = u"{TEMP}\\onefile_{PID}_{TIME}";
  for (size_t i = 0; i < builtIn.size(); ++i)
    EXPECT_EQ(Get16(block + 384 + 2 * i), (uint32_t)builtIn[i]);
  EXPECT_EQ(Get16(block + 384 + 2 * builtIn.size()), 0u);
  EXPECT_EQ(Get16(block + 384 + 1022), 0u);
  EXPECT_EQ(Get16(block + 1408), 2u);
  for (int i = 0; i < 32; ++i) {
    EXPECT_EQ(block[1410 + i], 0xA0 + i) << i;
    EXPECT_EQ(block[1442 + i], 0x40 + i) << i;
  }
  for (int i = 0; i < 8; ++i)
    EXPECT_EQ(block[1474 + i], 8 - i) << i;
  EXPECT_EQ(stub[99], 0x11);
  EXPECT_EQ(stub[100 + kBlock], 0x22);

  BuildValueStrings back;
  ASSERT_TRUE(ReadBuildValues(stub.data(), stub.size(), &back, &error));
  EXPECT_EQ(back.company, values.company);
  EXPECT_EQ(back.product, values.product);
  EXPECT_EQ(back.version, values.version);
  EXPECT_EQ(back.unpackTemplate, builtIn);
  EXPECT_EQ(back.unpackMode, kUnpackCacheContent);
  EXPECT_EQ(back.payloadDigest, values.payloadDigest);
  EXPECT_EQ(back.markerDigest, values.markerDigest);
  EXPECT_EQ(back.markerSize, values.markerSize);

  const struct {
    BuildValueStrings values;
    const char *error;
  } kTooLong[] = {
      {{std::u16string(64, u'c'), u"p", u"v"},
       "the company is 64 UTF-16 units long; at most 63 fit"},
      {{u"c", u"p", u"v", std::u16string(512, u'x')},
       "the unpack-directory template is 512 UTF-16 units long; at most 511 "
       "fit"},
  };
  for (const auto &c : kTooLong) {
    Bytes copy = stub;
    EXPECT_FALSE(PatchBuildValues(copy, c.values, &error));
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(copy, stub) << "a refused patch changed the stub";
  }

  BuildValueStrings plain = {u"c", u"p", u"v"};
  Bytes twice = stub;
  twice.insert(twice.end(), marker, marker + 16);
  twice.resize(twice.size() + kBlock);
  EXPECT_FALSE(PatchBuildValues(twice, plain, &error));
  EXPECT_NE(error.find("no single block"), std::string::npos);
  EXPECT_FALSE(ReadBuildValues(twice.data(), twice.size(), &back, &error));
  Bytes none(1000, 0);
  EXPECT_FALSE(PatchBuildValues(none, plain, &error));
  Bytes cut(stub.begin(), stub.begin() + 100 + kBlock - 1);
  EXPECT_FALSE(PatchBuildValues(cut, plain, &error));
  EXPECT_NE(error.find("cut short"), std::string::npos);
}

// --unpack-dir and --cache-dir: the launcher's variables only, braces
// paired, a fresh directory per run or one shared by all, '/' taken as '\'.
TEST(BuildValuesTest, UnpackTemplatesAreCheckedWhenPacking) {
  const UnpackTemplateUse kPerRun = kTemplatePerRun;
  const struct {
    std::string text;
    std::u16string stored; // empty: refused
    const char *error;
    UnpackTemplateUse use = kPerRun;
  } kCases[] = {
      {"{TEMP}/myapp_{PID}_{TIME}", u"{TEMP}\\myapp_{PID}_{TIME}", ""},
      {"{cache_dir}\\x\\{Pid}-{time}", u"{cache_dir}\\x\\{Pid}-{time}", ""},
      {"{HOME}/{COMPANY}/{PRODUCT}/{VERSION}/{PID}{TIME}",
       u"{HOME}\\{COMPANY}\\{PRODUCT}\\{VERSION}\\{PID}{TIME}", ""},
      {"", u"", "is empty"},
      {"{TEMP}/{PID}", u"", "must hold {PID} and {TIME}"},
      {"{TEMP}/x", u"", "must hold {PID} and {TIME}"},
      {"{TMP}/{PID}_{TIME}", u"", "names a variable the launcher does not know"},
      {"{TEMP/{PID}_{TIME}", u"", "has a '{' without its '}'"},
      {"{TEMP}}/{PID}_{TIME}", u"", "has a '{' without its '}'"},
      {"{TEMP}/{PID}_{TIME", u"", "has a '{' without its '}'"},
      {"{TEMP}/{}{PID}_{TIME}", u"", "names a variable the launcher does not know"},
      {"{TEMP}/" + std::string(500, 'x') + "{PID}_{TIME}", u"",
       "UTF-16 units long; at most 511 fit"},
      {"{TEMP}/\xff{PID}_{TIME}", u"", "not valid UTF-8"},
      {"{CACHE_DIR}/{COMPANY}\\{PRODUCT}/{VERSION}",
       u"{CACHE_DIR}\\{COMPANY}\\{PRODUCT}\\{VERSION}", "", kTemplateCache},
      {"{CACHE_DIR}/x_{PID}", u"", "must hold neither {PID} nor {TIME}",
       kTemplateCache},
      {"{CACHE_DIR}/x_{time}", u"", "the cache-directory template",
       kTemplateCache},
      {"{CACHE}/x", u"", "names a variable the launcher does not know",
       kTemplateCache},
      {"{CACHE_DIR/x", u"", "has a '{' without its '}'", kTemplateCache},
      {"{CACHE_DIR}/" + std::string(500, 'x'), u"",
       "UTF-16 units long; at most 511 fit", kTemplateCache},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.text.substr(0, 40));
    std::u16string stored;
    std::string error;
    bool ok = MakeUnpackTemplate(c.text, c.use, &stored, &error);
    EXPECT_EQ(ok, c.error[0] == 0) << error;
    if (ok) {
      EXPECT_EQ(stored, c.stored);
    } else {
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
  }
}

// The payload digest's SHA-256 against the standard vectors (FIPS 180-4
// examples, and a million 'a'), fed in uneven pieces so that the block
// boundaries fall everywhere.
TEST(DigestTest, Sha256StandardVectors) {
  const struct {
    std::string text;
    const char *hex;
  } kCases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc",
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.text.substr(0, 20));
    Sha256 sha;
    Sha256Init(sha);
    for (size_t at = 0, piece = 1; at < c.text.size(); piece = piece * 3 + 1) {
      size_t take = std::min(piece % 997 + 1, c.text.size() - at);
      Sha256Update(sha, c.text.data() + at, take);
      at += take;
    }
    char hex[65];
    Sha256HexDigest(sha, hex);
    EXPECT_STREQ(hex, c.hex);
  }
}

TEST(VersionTest, FourNumbersWithoutLeadingZeros) {
  const struct {
    const char *text;
    bool ok;
    uint16_t n[4];
  } cases[] = {
      {"1.1.0.0", true, {1, 1, 0, 0}},
      {"65535.0.65535.9", true, {65535, 0, 65535, 9}},
      {"1.2.3", false, {}},
      {"1.2.3.4.5", false, {}},
      {"1.2.3.65536", false, {}},
      {"1.02.3.4", false, {}},
      {"1..3.4", false, {}},
      {"1.2.3.4 ", false, {}},
      {"-1.2.3.4", false, {}},
      {"1.2.3.1000000", false, {}},
      {"", false, {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    uint16_t n[4] = {};
    EXPECT_EQ(ParseVersion(c.text, n), c.ok);
    if (c.ok) {
      EXPECT_TRUE(std::equal(n, n + 4, c.n));
    }
  }
}

TEST(NamesTest, WhatEachTargetCanStore) {
  setlocale(LC_CTYPE, "C.UTF-8");
  const std::string long1023 =
      std::string(255, 'a') + "/" + std::string(255, 'b') + "/" +
      std::string(255, 'c') + "/" + std::string(255, 'd');
  const struct {
    std::string relative;
    Target target;
    std::u16string name; // empty: refused
    const char *message;
  } cases[] = {
      {"a/b/c.txt", Target::kWindows, u"a\\b\\c.txt", ""},
      {"gr\xC3\xBC\xC3\x9F" "e/\xF0\x9F\x98\x80.txt", Target::kWindows,
       u"gr\u00fc\u00dfe\\\U0001F600.txt", ""},
      {"nullable.txt", Target::kWindows, u"nullable.txt", ""},
      {"COM10", Target::kWindows, u"COM10", ""},
      {".hidden", Target::kWindows, u".hidden", ""},
      {"a:b", Target::kLinux, u"a:b", ""},
      {"trailing ", Target::kLinux, u"trailing ", ""},
      {long1023, Target::kWindows, u"", ""}, // exactly the most that fits
      {long1023 + "e", Target::kWindows, u"", "1024 UTF-16 units long"},
      {"a:b", Target::kWindows, u"", "holds ':'"},
      {"a*b", Target::kWindows, u"", "holds '*'"},
      {"x/a?b", Target::kWindows, u"", "holds '?'"},
      {"a\"b", Target::kWindows, u"", "holds '\"'"},
      {"a<b", Target::kWindows, u"", "holds '<'"},
      {"a|b", Target::kWindows, u"", "holds '|'"},
      {"a\\b", Target::kWindows, u"", "holds '\\'"},
      {"a\\b", Target::kLinux, u"", "holds '\\'"},
      {"tab\there", Target::kWindows, u"", "control character"},
      {"dir/NUL", Target::kWindows, u"", "names a Windows device"},
      {"con.txt", Target::kWindows, u"", "names a Windows device"},
      {"Aux .log", Target::kWindows, u"", "names a Windows device"},
      {"CONIN$", Target::kWindows, u"", "names a Windows device"},
      {"lpt9.x", Target::kWindows, u"", "names a Windows device"},
      {"COM\xC2\xB9", Target::kWindows, u"", "names a Windows device"},
      {"end.", Target::kWindows, u"", "ending in a dot or space"},
      {"dir /x", Target::kWindows, u"", "ending in a dot or space"},
      {"bad\xFF", Target::kWindows, u"", "not valid UTF-8"},
      {"\xC0\xAF", Target::kLinux, u"", "not valid UTF-8"},           // overlong
      {"\xED\xA0\x80", Target::kLinux, u"", "not valid UTF-8"},       // surrogate
      {"\xF4\x90\x80\x80", Target::kLinux, u"", "not valid UTF-8"},   // too high
      {"a//b", Target::kLinux, u"", "empty level"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.relative.substr(0, 40));
    std::u16string name;
    std::string error;
    bool ok = MakeArchiveName(c.relative, c.target, &name, &error);
    if (c.message[0] == 0) {
      EXPECT_TRUE(ok) << error;
      if (!c.name.empty()) {
        EXPECT_EQ(name, c.name);
      }
    } else {
      EXPECT_FALSE(ok);
      EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
  }
}

TEST(NamesTest, WhatExtractWritesBelowItsDirectory) {
  const struct {
    std::u16string name;
    const char *path; // null: refused
  } cases[] = {
      {u"a\\b\\c.txt", "a/b/c.txt"},
      {u"x:y", "x:y"},
      {u"\U0001F600", "\xF0\x9F\x98\x80"},
      {u"", nullptr},
      {u"\\abs", nullptr},
      {u"a\\\\b", nullptr},
      {u"a\\", nullptr},
      {u"a\\..\\..\\b", nullptr},
      {u"..", nullptr},
      {u". .\\x", nullptr},
      {u"a/b", nullptr},
      {u"a\x01", nullptr},
      {std::u16string(1, (char16_t)0xD800) + u"x", nullptr},
      {std::u16string(1, (char16_t)0xDC00), nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(NameToUtf8(c.name));
    std::string path, error;
    bool ok = ArchiveNameToPath(c.name, &path, &error);
    EXPECT_EQ(ok, c.path != nullptr) << error;
    if (ok) {
      EXPECT_EQ(path, c.path);
    }
  }
}

TEST(NamesTest, CaseFoldingAsWindowsCompares) {
  ASSERT_NE(setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
  EXPECT_EQ(FoldForWindows(u"Data\\\u00e4\u03b2.txt"),
            FoldForWindows(u"DATA\\\u00c4\u0392.TXT"));
  EXPECT_NE(FoldForWindows(u"a"), FoldForWindows(u"b"));
  // Outside the BMP nothing folds, as on Windows.
  EXPECT_NE(FoldForWindows(u"\U00010428"), FoldForWindows(u"\U00010400"));
}

TEST(IconTest, ChecksEveryImage) {
  auto ico = [](const std::vector<std::pair<int, Bytes>> &images) {
    Bytes out;
    Put16(out, 0);
    Put16(out, 1);
    Put16(out, (uint32_t)images.size());
    uint32_t offset = 6 + 16 * (uint32_t)images.size();
    for (const auto &image : images) {
      out.push_back((uint8_t)(image.first == 256 ? 0 : image.first));
      out.push_back((uint8_t)(image.first == 256 ? 0 : image.first));
      out.push_back(0);
      out.push_back(0);
      Put16(out, 0); // planes and depth left 0
      Put16(out, 0);
      Put32(out, (uint32_t)image.second.size());
      Put32(out, offset);
      offset += (uint32_t)image.second.size();
    }
    for (const auto &image : images)
      out.insert(out.end(), image.second.begin(), image.second.end());
    return out;
  };
  auto png = [](uint32_t size, uint8_t depth, uint8_t colourType) {
    Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13,
                 'I', 'H', 'D', 'R'};
    for (uint32_t v : {size, size})
      for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back((uint8_t)(v >> shift));
    out.insert(out.end(), {depth, colourType, 0, 0, 0, 0, 0, 0, 0});
    return out;
  };
  auto bmp = [](int32_t width, int32_t height, uint16_t bits) {
    Bytes out;
    Put32(out, 40);
    Put32(out, (uint32_t)width);
    Put32(out, (uint32_t)height);
    Put16(out, 1);
    Put16(out, bits);
    out.resize(40 + 64, 0);
    return out;
  };
  std::vector<IconImage> images;
  std::string error;
  ASSERT_TRUE(ParseIconFile(ico({{256, png(256, 8, 6)}, {32, png(32, 8, 3)},
                                 {16, bmp(16, 32, 4)}}),
                            &images, &error))
      << error;
  ASSERT_EQ(images.size(), 3u);
  // Depth from the image when the entry leaves it 0: RGBA 8 -> 32,
  // palette 8 -> 8, BMP as its header says.
  EXPECT_EQ(images[0].bitCount, 32);
  EXPECT_EQ(images[1].bitCount, 8);
  EXPECT_EQ(images[2].bitCount, 4);
  EXPECT_EQ(images[0].planes, 1);
  EXPECT_EQ(images[0].width, 0);
  Bytes group = BuildGroupIcon(images, 5);
  ASSERT_EQ(group.size(), 6u + 3 * 14);
  EXPECT_EQ(Get16(group.data() + 6 + 14 * 2 + 12), 7u); // third id
  EXPECT_EQ(Get32(group.data() + 6 + 8), images[0].bytes.size());

  const Bytes full = png(16, 8, 6);
  const struct {
    const char *what;
    Bytes file;
    const char *message;
  } bad[] = {
      {"BMP height not doubled", ico({{16, bmp(16, 16, 32)}}),
       "is 16x8 but its entry says 16x16"},
      {"BMP odd height", ico({{16, bmp(16, 33, 32)}}), "a BMP with a header"},
      {"BMP depth 7", ico({{16, bmp(16, 32, 7)}}), "a BMP with a header"},
      {"PNG without IHDR", ico({{16, Bytes(full.begin(), full.begin() + 20)}}),
       "damaged PNG"},
      {"PNG colour type 5", ico({{16, png(16, 8, 5)}}), "unknown colour type"},
      {"PNG 300 pixels", ico({{256, png(300, 8, 6)}}),
       "is 300x300 but its entry says 256x256"},
      {"empty file", Bytes(), "not an icon file"},
  };
  for (const auto &c : bad) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(ParseIconFile(c.file, &images, &error));
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
  }
}

TEST(VersionRecordTest, BlockLengthsAddUp) {
  VersionStrings s;
  s.company = u"C";
  s.product = u"Product";
  s.version = u"1.2.3.4";
  s.description = u"";
  s.copyright = u"\u00a9";
  s.originalFilename = u"a.exe";
  s.internalName = u"a";
  uint16_t numbers[4] = {1, 2, 3, 4};
  std::copy(numbers, numbers + 4, s.numbers);
  Bytes record = BuildVersionRecord(s);
  // Walks the tree: every block's length must end inside its parent, and
  // the children must exactly fill the parent up to 4-byte padding.
  std::function<size_t(size_t, size_t)> walk = [&](size_t at, size_t end) {
    EXPECT_LE(at + 6, end);
    size_t length = Get16(record.data() + at);
    EXPECT_LE(at + length, end);
    size_t valueLength = Get16(record.data() + at + 2);
    size_t type = Get16(record.data() + at + 4);
    size_t p = at + 6;
    while (Get16(record.data() + p) != 0)
      p += 2;
    p = AlignUp(p + 2, 4);
    p += type == 1 ? 2 * valueLength : valueLength;
    size_t children = 0;
    while (AlignUp(p, 4) < at + length) {
      p = AlignUp(p, 4);
      p += walk(p, at + length);
      ++children;
    }
    EXPECT_EQ(p, at + length);
    return length;
  };
  EXPECT_EQ(walk(0, record.size()), record.size());
  EXPECT_EQ(Get16(record.data() + 2), 52u); // the fixed part
}

TEST(NameClashTest, NamesOneArchiveCannotHold) {
  ASSERT_NE(setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
  const auto kSame = NameClashFinder::kSameName;
  const auto kCase = NameClashFinder::kCaseOnly;
  const auto kLevel = NameClashFinder::kFileAndDirectory;
  const bool no = false, yes = true;
  const struct {
    std::vector<std::u16string> names;
    bool foldCase;
    bool clashes;
    NameClashFinder::Kind kind;
    size_t earlier; // the index the clash names
    bool caseOnly, earlierIsFile;
  } cases[] = {
      {{u"a", u"b", u"a"}, no, yes, kSame, 0, no, no},
      {{u"a", u"b", u"a"}, yes, yes, kSame, 0, no, no},
      {{u"A", u"a"}, no, no, kSame, 0, no, no},
      {{u"x\\A", u"x\\a"}, yes, yes, kCase, 0, no, no},
      {{u"\u00e4", u"\u00c4"}, yes, yes, kCase, 0, no, no},
      // A file and a directory level, in both orders and at any depth.
      {{u"a", u"a\\b"}, no, yes, kLevel, 0, no, yes},
      {{u"a\\b\\c", u"x", u"a\\b"}, no, yes, kLevel, 0, no, no},
      {{u"lib", u"LIB\\x.dll"}, yes, yes, kLevel, 0, yes, yes},
      {{u"LIB\\x.dll", u"Lib\\y.dll", u"lib"}, yes, yes, kLevel, 0, yes, no},
      {{u"lib", u"LIB\\x.dll"}, no, no, kSame, 0, no, no},
      // Directories shared by several names, and names that only begin
      // alike, are no clash.
      {{u"a\\b", u"A\\c", u"ab", u"a b"}, yes, no, kSame, 0, no, no},
      {{u"a\\b", u"a\\c", u"a\\d\\e"}, no, no, kSame, 0, no, no},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(NameToUtf8(c.names.back()));
    NameClashFinder finder(c.foldCase);
    NameClashFinder::Clash clash;
    bool added = true;
    for (size_t i = 0; i < c.names.size() && added; ++i)
      added = finder.Add(c.names[i], i, &clash);
    EXPECT_EQ(!added, c.clashes);
    if (c.clashes && !added) {
      EXPECT_EQ(clash.kind, c.kind);
      EXPECT_EQ(clash.earlier, c.earlier);
      EXPECT_EQ(clash.earlierName, c.names[c.earlier]);
      if (c.kind == NameClashFinder::kFileAndDirectory) {
        EXPECT_EQ(clash.caseOnly, c.caseOnly);
        EXPECT_EQ(clash.earlierIsFile, c.earlierIsFile);
      }
    }
  }
}

// Our writer's frames, with and without checksums, read back; the frames
// are cut so that they straddle the reader's 1 MiB chunks.
TEST(FrameFactsTest, CountsFramesWithoutChecksum) {
  char name[] = "/tmp/veskar-packer-test-XXXXXX";
  int in = mkstemp(name);
  ASSERT_GE(in, 0);
  std::vector<char> data(3 << 20);
  uint32_t state = 12345;
  for (char &c : data) {
    state = state * 1103515245u + 12345u;
    c = (char)(state >> 24);
  }
  ASSERT_TRUE(WriteAll(in, data.data(), data.size()));
  close(in);
  std::vector<ArchiveInput> inputs = {{u"main.exe", name, data.size()}};
  const uint64_t stream = ArchiveStreamSize(inputs);

  // The index, when written, is a frame too (a skippable one, always the
  // first, which has no checksum to lack).
  const struct {
    bool checksum;
    uint64_t frameLimit;
    bool index;
  } cases[] = {{true, 0, false},         {false, 0, false},
               {true, 700 << 10, false}, {false, 700 << 10, false},
               {true, 0, true},          {false, 700 << 10, true}};
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << "checksum " << c.checksum
                                    << ", frames of " << c.frameLimit
                                    << ", index " << c.index);
    CompressionOptions options;
    options.checksum = c.checksum;
    options.frameInputLimit = c.frameLimit;
    options.index = c.index;
    TempFile file;
    uint64_t size = 0;
    std::string error;
    ASSERT_TRUE(WriteContainer(inputs, options, file.fd(), &size, &error))
        << error;
    struct Ignore : RecordVisitor {
      bool Begin(const std::u16string &, uint64_t) override { return false; }
      bool Data(const void *, size_t) override { return true; }
      bool End() override { return true; }
    } visitor;
    FrameFacts facts;
    ASSERT_TRUE(ReadContainer(file.fd(), 0, size, visitor, &error, &facts))
        << error;
    uint64_t frames =
        c.frameLimit == 0 ? 1 : (stream + c.frameLimit - 1) / c.frameLimit;
    EXPECT_EQ(facts.frames, frames + c.index);
    EXPECT_EQ(facts.uncheckedFrames, c.checksum ? 0 : frames);
    EXPECT_EQ(facts.firstUnchecked, c.checksum ? 0u : 1u + c.index);
    EXPECT_EQ(facts.indexed, c.index);
  }
  unlink(name);
}

} // namespace
} // namespace veskar
