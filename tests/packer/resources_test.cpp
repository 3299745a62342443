//===- tests/packer/resources_test.cpp - Icons and the version record -----===//
//
// The icon parser, the version numbers and the version record's block
// lengths.
//
//===----------------------------------------------------------------------===//
#include <algorithm>

#include <gtest/gtest.h>

#include "packer/image/binary.h"
#include "packer/image/icon.h"
#include "packer/image/version_record.h"

namespace veskar {
namespace {

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
    Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n',
                 0,    0,   0,   13,  'I',  'H',  'D',  'R'};
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
  ASSERT_TRUE(ParseIconFile(
      ico({{256, png(256, 8, 6)}, {32, png(32, 8, 3)}, {16, bmp(16, 32, 4)}}),
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
  EXPECT_EQ(GetLittleEndian16(group.data() + 6 + 14 * 2 + 12), 7u); // third id
  EXPECT_EQ(GetLittleEndian32(group.data() + 6 + 8), images[0].bytes.size());

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
    size_t length = GetLittleEndian16(record.data() + at);
    EXPECT_LE(at + length, end);
    size_t valueLength = GetLittleEndian16(record.data() + at + 2);
    size_t type = GetLittleEndian16(record.data() + at + 4);
    size_t p = at + 6;
    while (GetLittleEndian16(record.data() + p) != 0)
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
  EXPECT_EQ(GetLittleEndian16(record.data() + 2), 52u); // the fixed part
}

} // namespace
} // namespace veskar
