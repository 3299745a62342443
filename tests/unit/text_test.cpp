//===- tests/unit/text_test.cpp - The shared UTF-8/UTF-16 codec ---------===//
//
// Well-formed text round-trips in both modes; malformed text is refused in
// strict mode and shown with one U+FFFD per broken piece in lenient mode;
// output that does not fit is cut at a whole code point and still counted.
// Text for messages keeps every character but shows the control characters
// escaped, from UTF-16 and from UTF-8 alike.
//
//===----------------------------------------------------------------------===//
#include <string>

#include <gtest/gtest.h>

#include "common/text.h"

namespace {

// The codec's answer for `utf8`: its units, or "malformed".
struct Decoded {
  bool malformed;
  std::u16string units;
};

Decoded Decode(const std::string &utf8, TextMode mode) {
  Utf16Unit out[64];
  size_t n = Utf8ToUtf16(utf8.data(), utf8.size(), out, 64, mode);
  if (n == kTextMalformed)
    return {true, u""};
  EXPECT_LT(n, 64u);
  EXPECT_EQ(out[n], 0);
  return {false, std::u16string(out, n)};
}

TEST(TextCodecTest, Utf8InBothModes) {
  const std::u16string R = u"\ufffd";
  const struct {
    const char *label;
    std::string utf8;
    std::u16string lenient; // strict gives the same, or refuses when
    bool strictRefuses;     // the input is malformed
  } kCases[] = {
      {"empty", "", u"", false},
      {"ASCII", "a/b\\c", u"a/b\\c", false},
      {"two bytes", "\xC3\xA4", u"\u00e4", false},
      {"three bytes", "\xE2\x82\xAC", u"\u20ac", false},
      {"four bytes", "\xF0\x9F\x98\x80", u"\U0001F600", false},
      {"highest", "\xF4\x8F\xBF\xBF", u"\U0010FFFF", false},
      {"stray continuation",
       "a\x80"
       "b",
       u"a" + R + u"b", true},
      {"lead without continuation",
       "\xC3"
       "a",
       R + u"a", true},
      {"cut at the end", "a\xE2\x82", u"a" + R, true},
      {"overlong slash", "\xC0\xAF", R + R, true},
      {"overlong three", "\xE0\x80\xAF", R + R + R, true},
      {"encoded surrogate", "\xED\xA0\x80", R + R + R, true},
      {"above U+10FFFF", "\xF4\x90\x80\x80", R + R + R + R, true},
      {"not a lead", "\xFF", R, true},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.label);
    Decoded lenient = Decode(c.utf8, kTextLenient);
    EXPECT_FALSE(lenient.malformed);
    EXPECT_EQ(lenient.units, c.lenient);
    Decoded strict = Decode(c.utf8, kTextStrict);
    EXPECT_EQ(strict.malformed, c.strictRefuses);
    if (!c.strictRefuses) {
      EXPECT_EQ(strict.units, c.lenient);
    }
  }
}

TEST(TextCodecTest, Utf16InBothModes) {
  const struct {
    const char *label;
    std::u16string units;
    std::string lenient;
    bool strictRefuses;
  } kCases[] = {
      {"ASCII", u"abc", "abc", false},
      {"BMP", u"\u00e4\u20ac", "\xC3\xA4\xE2\x82\xAC", false},
      {"pair", u"\U0001F600", "\xF0\x9F\x98\x80", false},
      {"lone high at the end", u"a\xD800", "a\xEF\xBF\xBD", true},
      {"lone low", std::u16string(1, (char16_t)0xDC00) + u"b",
       "\xEF\xBF\xBD"
       "b",
       true},
      {"high then not low", std::u16string(1, (char16_t)0xD800) + u"x",
       "\xEF\xBF\xBDx", true},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.label);
    char out[64];
    size_t n = Utf16ToUtf8(c.units.data(), c.units.size(), out, sizeof out,
                           kTextLenient);
    ASSERT_LT(n, sizeof out);
    EXPECT_EQ(std::string(out, n), c.lenient);
    n = Utf16ToUtf8(c.units.data(), c.units.size(), out, sizeof out,
                    kTextStrict);
    EXPECT_EQ(n == kTextMalformed, c.strictRefuses);
  }
}

TEST(TextCodecTest, OutputThatDoesNotFitIsCutAtACodePointAndCounted) {
  // "a€b" takes 5 bytes; with room for 3 bytes and the terminator, the
  // euro sign's three bytes do not fit after the 'a', and nothing after it
  // is written even where it would fit.
  const std::u16string text = u"a\u20acb";
  char out[4] = {'#', '#', '#', '#'};
  EXPECT_EQ(
      Utf16ToUtf8(text.data(), text.size(), out, sizeof out, kTextLenient), 5u);
  EXPECT_STREQ(out, "a");
  // The length alone, with no buffer.
  EXPECT_EQ(Utf16ToUtf8(text.data(), text.size(), nullptr, 0, kTextLenient),
            5u);

  // A pair is never split: with room for two units and the terminator,
  // "x" and the pair do not fit together.
  const std::string pair = "x\xF0\x9F\x98\x80";
  Utf16Unit units[3] = {9, 9, 9};
  EXPECT_EQ(Utf8ToUtf16(pair.data(), pair.size(), units, 3, kTextLenient), 3u);
  EXPECT_EQ(units[0], u'x');
  EXPECT_EQ(units[1], 0);
  // Exactly enough room.
  Utf16Unit four[4];
  EXPECT_EQ(Utf8ToUtf16(pair.data(), pair.size(), four, 4, kTextLenient), 3u);
  EXPECT_EQ(std::u16string(four, 3), u"x\U0001F600");
  EXPECT_EQ(four[3], 0);
}

// The shown text of UTF-16 `units`, and of their UTF-8, which must agree,
// as UTF-8.
std::string ShownFromUtf16(const std::u16string &units) {
  Utf16Unit out[128];
  size_t n = EscapeForMessage(units.data(), units.size(), out, 128);
  EXPECT_LT(n, 128u);
  EXPECT_EQ(out[n], 0);
  char utf8[512];
  Utf16ToUtf8(out, n, utf8, sizeof utf8, kTextLenient);
  return utf8;
}

std::string ShownFromUtf8(const std::string &text) {
  char out[512];
  size_t n = EscapeForMessage(text.data(), text.size(), out, sizeof out);
  EXPECT_LT(n, sizeof out);
  EXPECT_EQ(out[n], 0);
  return std::string(out, n);
}

TEST(MessageTextTest, ControlCharactersAreEscapedAndEverythingElseKept) {
  const struct {
    const char *label;
    std::u16string text;
    const char *shown;
  } kCases[] = {
      {"plain", u"app\\data\\a.txt", "app\\data\\a.txt"},
      {"escape sequence", u"a\x1b[2Jb", "a\\x1b[2Jb"},
      {"line feed and carriage return", u"one\ntwo\r", "one\\x0atwo\\x0d"},
      {"tab, bell, backspace", u"\t\a\b", "\\x09\\x07\\x08"},
      {"zero unit inside", std::u16string(u"a\0b", 3), "a\\x00b"},
      {"last C0 and the space after it", u"\x1f ", "\\x1f "},
      {"DEL", u"x\x7f", "x\\x7f"},
      {"C1 controls, CSI among them", u"\u0080\u009b\u009f", "\\x80\\x9b\\x9f"},
      {"no-break space is no control", u"\u00a0\u00e9", "\u00a0\u00e9"},
      {"Japanese", u"\u65e5\u672c\\CON", "\u65e5\u672c\\CON"},
      {"a pair", u"\U0001F600", "\U0001F600"},
      // The backslash stays single, so the text "\x1b" looks like an
      // escaped ESC: a price for paths that stay readable.
      {"an escape's text", u"\\x1b", "\\x1b"},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(ShownFromUtf16(c.text), c.shown);
    std::string utf8;
    char buffer[256];
    size_t n = Utf16ToUtf8(c.text.data(), c.text.size(), buffer, sizeof buffer,
                           kTextStrict);
    utf8.assign(buffer, n);
    EXPECT_EQ(ShownFromUtf8(utf8), c.shown);
  }
}

TEST(MessageTextTest, BytesThatAreNotUtf8AreShownAsBytes) {
  const struct {
    const char *label;
    std::string utf8;
    const char *shown;
  } kCases[] = {
      {"lone byte",
       "a\xff"
       "b",
       "a\\xffb"},
      {"lone continuation", "\x80", "\\x80"},
      {"cut sequence",
       "\xe6\x97"
       "x",
       "\\xe6\\x97x"},
      {"overlong slash", "\xc0\xaf", "\\xc0\\xaf"},
      {"encoded surrogate", "\xed\xa0\x80", "\\xed\\xa0\\x80"},
      {"beyond U+10FFFF", "\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},
      {"good after bad", "\xfe\xc3\xa9", "\\xfe\u00e9"},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(ShownFromUtf8(c.utf8), c.shown);
  }
}

TEST(MessageTextTest, OutputThatDoesNotFitIsCutAtAWholeEscapeAndCounted) {
  // "a", ESC, "b" shows as 6 units; with room for 4 and the terminator,
  // the escape does not fit after the 'a' and is not begun.
  const std::u16string text = u"a\x1b"
                              "b";
  Utf16Unit units[5] = {9, 9, 9, 9, 9};
  EXPECT_EQ(EscapeForMessage(text.data(), text.size(), units, 5), 6u);
  EXPECT_EQ(std::u16string(units), u"a");
  EXPECT_EQ(EscapeForMessage(text.data(), text.size(), nullptr, 0), 6u);

  // A character is never split either: "é" is two bytes.
  const std::string utf8 = "\x01\xc3\xa9";
  char out[6] = {'#', '#', '#', '#', '#', '#'};
  EXPECT_EQ(EscapeForMessage(utf8.data(), utf8.size(), out, 6), 6u);
  EXPECT_STREQ(out, "\\x01");
  char exact[7];
  EXPECT_EQ(EscapeForMessage(utf8.data(), utf8.size(), exact, 7), 6u);
  EXPECT_STREQ(exact, "\\x01\xc3\xa9");
}

} // namespace
