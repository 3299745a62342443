//===- tests/unit/cache_marker_test.cpp - The marker's bytes, both ways ---===//
//
// The marker is the only thing a later start believes about a cache
// directory, so its reader is held to every way a file can be wrong: cut
// short anywhere, counting more or fewer records than it holds, a name too
// long or empty, a name the cache keeps for itself or one that climbs out,
// bytes after the last record, another format or payload. The writer is
// held to the bytes spelled out by hand.
//
//===----------------------------------------------------------------------===//
#include <string.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/cache_marker.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct Listed {
  std::u16string name;
  uint64_t size;
};

const unsigned char kDigest[32] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,
                                   12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22,
                                   23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

// A marker of `records` for kDigest, written with the writer under test.
Bytes Marker(const std::vector<Listed> &records) {
  Bytes bytes(kCacheMarkerHeaderSize);
  PutCacheMarkerHeader(bytes.data(), kDigest, (uint32_t)records.size());
  for (const Listed &record : records) {
    unsigned char one[kCacheMarkerRecordCapacity];
    size_t length = PutCacheMarkerRecord(one, record.name.data(),
                                         record.name.size(), record.size);
    bytes.insert(bytes.end(), one, one + length);
  }
  return bytes;
}

// The records NextCacheMarkerRecord reads from `bytes`, from a copy of
// exactly their size (a read past the end shows in the sanitizer build),
// until it gives false.
std::vector<Listed> ReadAll(const Bytes &bytes, bool *whole) {
  std::unique_ptr<unsigned char[]> exact(new unsigned char[bytes.size() + 1]);
  memcpy(exact.get(), bytes.data(), bytes.size());
  std::vector<Listed> read;
  *whole = IsWholeCacheMarker(exact.get(), bytes.size(), kDigest, kPosixNames);
  if (bytes.size() < kCacheMarkerHeaderSize)
    return read;
  CacheMarkerCursor cursor = FirstCacheMarkerRecord(exact.get());
  // The name's room, and a guard after it that no read may touch.
  const size_t room = kMaxNameUnits + 1, guard = 8;
  Utf16Unit name[room + guard];
  for (size_t i = 0; i < room + guard; ++i)
    name[i] = u'#';
  uint64_t size = 0;
  while (NextCacheMarkerRecord(exact.get(), bytes.size(), cursor, name, &size,
                               kPosixNames))
    read.push_back({name, size});
  for (size_t i = room; i < room + guard; ++i)
    EXPECT_EQ(name[i], u'#') << "a name was written past its room";
  return read;
}

const std::vector<Listed> kTwo = {{u"main", 5}, {u"sub\\a.txt", 1ull << 40}};

struct MarkerCase {
  const char *what;
  std::function<void(Bytes &)> change;
  bool whole;
  size_t recordsRead;
};

TEST(CacheMarkerTest, ReadingRefusesEveryDamagedMarker) {
  const size_t header = kCacheMarkerHeaderSize;
  const size_t first = 2 + 2 * 4 + 8; // "main"
  const MarkerCase kCases[] = {
      {"as written", [](Bytes &) {}, true, 2},
      {"cut inside the header", [&](Bytes &b) { b.resize(header - 1); }, false,
       0},
      {"the header alone", [&](Bytes &b) { b.resize(header); }, false, 0},
      {"cut inside a name's length", [&](Bytes &b) { b.resize(header + 1); },
       false, 0},
      {"cut inside a name", [&](Bytes &b) { b.resize(header + 5); }, false, 0},
      {"cut inside the last size", [](Bytes &b) { b.pop_back(); }, false, 1},
      {"counting more records than it holds",
       [](Bytes &b) { SetCacheMarkerCount(b.data(), 3); }, false, 2},
      {"counting fewer records than it holds",
       [](Bytes &b) { SetCacheMarkerCount(b.data(), 1); }, false, 1},
      {"counting none", [](Bytes &b) { SetCacheMarkerCount(b.data(), 0); },
       false, 0},
      {"a byte after the last record", [](Bytes &b) { b.push_back(0); }, false,
       2},
      {"an empty name",
       [&](Bytes &b) { PutLittleEndian16(&b[header + first], 0); }, false, 1},
      {"a name longer than any archive holds",
       [&](Bytes &b) {
         PutLittleEndian16(&b[header + first], kMaxNameUnits + 1);
         b.resize(header + first + 2 + 2 * (kMaxNameUnits + 1) + 8, 'x');
       },
       false, 1},
      {"another magic", [](Bytes &b) { b[0] = 'W'; }, false, 2},
      {"an older format",
       [](Bytes &b) { PutLittleEndian32(&b[kCacheMarkerFormatOffset], 1); },
       false, 2},
      {"a newer format",
       [](Bytes &b) { PutLittleEndian32(&b[kCacheMarkerFormatOffset], 3); },
       false, 2},
      {"another payload's digest",
       [](Bytes &b) { b[kCacheMarkerDigestOffset + 31] ^= 1; }, false, 2},
  };
  for (const MarkerCase &c : kCases) {
    Bytes bytes = Marker(kTwo);
    c.change(bytes);
    bool whole = false;
    std::vector<Listed> read = ReadAll(bytes, &whole);
    EXPECT_EQ(whole, c.whole) << c.what;
    ASSERT_EQ(read.size(), c.recordsRead) << c.what;
    for (size_t i = 0; i < read.size(); ++i) {
      EXPECT_TRUE(read[i].name == kTwo[i].name) << c.what;
      EXPECT_EQ(read[i].size, kTwo[i].size) << c.what;
    }
  }
}

TEST(CacheMarkerTest, ReadingRefusesNamesNoCacheMayHold) {
  const struct {
    std::u16string name;
    bool whole;
  } kNames[] = {
      {std::u16string(kMaxNameUnits, u'n'), true},
      {u".onefile-marker", false}, // the cache's own first level
      {u".ONEFILE-x\\y", false},   // in any case
      {u"sub\\.onefile-x", true},  // below the first level it is a name
      {u"..\\escape", false},      // out of the directory
      {u"\\rooted", false},
      {u"a\\\\b", false},
  };
  for (const auto &c : kNames) {
    bool whole = false;
    std::vector<Listed> read =
        ReadAll(Marker({{u"main", 1}, {c.name, 2}}), &whole);
    EXPECT_EQ(whole, c.whole) << std::string(c.name.begin(), c.name.end());
    EXPECT_EQ(read.size(), c.whole ? 2u : 1u);
  }
}

TEST(CacheMarkerTest, WritingGivesTheBytesOfTheFormat) {
  Bytes bytes = Marker({{u"ab", 0x0102}});
  Bytes expected = {'V', 'S', 'K', 'C', 'A', 'C', 'H', 'E', 2, 0, 0, 0};
  expected.insert(expected.end(), kDigest, kDigest + 32);
  const unsigned char tail[] = {1, 0, 0,   0,         // one record
                                2, 0, 'a', 0, 'b', 0, // its name
                                2, 1, 0,   0, 0,   0, 0, 0};
  expected.insert(expected.end(), tail, tail + sizeof tail);
  EXPECT_EQ(bytes, expected);
  EXPECT_EQ(CacheMarkerCount(bytes.data()), 1u);
}

TEST(CacheMarkerTest, OnlyAHeldFormatMayBeReclaimed) {
  const struct {
    uint32_t format;
    size_t size;
    bool magic;
    bool held;
  } kCases[] = {
      {1, 12, true, false}, // an older launcher held nothing
      {2, 12, true, true},   {3, 12, true, true},
      {2, 11, true, false},  // too short to show a format
      {2, 12, false, false}, // not a marker
  };
  for (const auto &c : kCases) {
    Bytes bytes = Marker(kTwo);
    PutLittleEndian32(&bytes[kCacheMarkerFormatOffset], c.format);
    if (!c.magic)
      bytes[7] = 'X';
    EXPECT_EQ(IsHeldFormatCacheMarker(bytes.data(), c.size), c.held)
        << c.format << " " << c.size;
  }
}

} // namespace
