//===- tests/packer/package_test.cpp - The build values in a launcher stub
//---===//
//
// The build values block as the launchers lay it out, the unpack templates
// the packer accepts, and the SHA-256 the payload digest is made with.
//
//===----------------------------------------------------------------------===//
#include <algorithm>

#include <gtest/gtest.h>

#include "common/sha256.h"
#include "packer/image/binary.h"
#include "packer/package/build_values.h"

namespace veskar {
namespace {

// The block as the launchers lay it out: the marker, three fields of 64
// units, one of 512, the 16-bit unpack mode, the 32-byte payload digest,
// the cache marker's 32-byte digest and its 64-bit size (written out here,
// not taken from the header).
TEST(BuildValuesTest, PatchesTheOneBlockAndReadsItBack) {
  const size_t kBlock = 16 + 3 * 128 + 1024 + 2 + 32 + 32 + 8 + 4 + 2 + 8;
  Bytes stub(100, 0x11);
  // Room for all of it first: GCC 12 warns (wrongly) about an insert that
  // grows a vector made with a fixed size.
  stub.reserve(100 + kBlock + 50);
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
  values.launcherOptions = kOptionProgressWindow | kOptionErrorBox;
  values.fileBytes = 0x1112131415161718;
  std::string error;
  ASSERT_TRUE(PatchBuildValues(stub, values, &error)) << error;
  const uint8_t *block = stub.data() + 116;
  EXPECT_EQ(GetLittleEndian16(block), 0xC4u);
  for (int i = 1; i < 64; ++i)
    EXPECT_EQ(GetLittleEndian16(block + 2 * i), 0u) << i;
  for (int i = 0; i < 63; ++i)
    EXPECT_EQ(GetLittleEndian16(block + 128 + 2 * i), (uint32_t)'p');
  EXPECT_EQ(GetLittleEndian16(block + 128 + 126), 0u);
  EXPECT_EQ(GetLittleEndian16(block + 256), (uint32_t)'1');
  // The unpack-directory template: the built-in one unless set.
  const std::u16string builtIn = u"{TEMP}\\onefile_{PID}_{TIME}";
  for (size_t i = 0; i < builtIn.size(); ++i)
    EXPECT_EQ(GetLittleEndian16(block + 384 + 2 * i), (uint32_t)builtIn[i]);
  EXPECT_EQ(GetLittleEndian16(block + 384 + 2 * builtIn.size()), 0u);
  EXPECT_EQ(GetLittleEndian16(block + 384 + 1022), 0u);
  EXPECT_EQ(GetLittleEndian16(block + 1408), 2u);
  for (int i = 0; i < 32; ++i) {
    EXPECT_EQ(block[1410 + i], 0xA0 + i) << i;
    EXPECT_EQ(block[1442 + i], 0x40 + i) << i;
  }
  for (int i = 0; i < 8; ++i)
    EXPECT_EQ(block[1474 + i], 8 - i) << i;
  EXPECT_EQ(memcmp(block + 1482, "OPTS", 4), 0);
  EXPECT_EQ(GetLittleEndian16(block + 1486), 3u);
  for (int i = 0; i < 8; ++i)
    EXPECT_EQ(block[1488 + i], 0x18 - i) << i;
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
  EXPECT_EQ(back.launcherOptions, values.launcherOptions);
  EXPECT_EQ(back.fileBytes, values.fileBytes);

  // An older launcher's block ends at the marker's size: whatever follows
  // it (here bytes that would read as both options) is not taken as them.
  Bytes older = stub;
  std::fill(older.begin() + 116 + 1482, older.begin() + 100 + kBlock, 0xFF);
  ASSERT_TRUE(ReadBuildValues(older.data(), older.size(), &back, &error));
  EXPECT_EQ(back.launcherOptions, 0u);
  EXPECT_EQ(back.fileBytes, 0u);
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
      {"{TMP}/{PID}_{TIME}", u"",
       "names a variable the launcher does not know"},
      {"{TEMP/{PID}_{TIME}", u"", "has a '{' without its '}'"},
      {"{TEMP}}/{PID}_{TIME}", u"", "has a '{' without its '}'"},
      {"{TEMP}/{PID}_{TIME", u"", "has a '{' without its '}'"},
      {"{TEMP}/{}{PID}_{TIME}", u"",
       "names a variable the launcher does not know"},
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

} // namespace
} // namespace veskar
