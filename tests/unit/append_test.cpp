//===- tests/unit/append_test.cpp - Bounded appends into wide buffers ---===//
//
// An append that fits fills the buffer up to its last unit; one unit more
// ends the process through abort() with nothing printed.
//
//===----------------------------------------------------------------------===//
#include <string.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "paths/paths.h"
#include "tests/unit/support.h"

namespace {

// A buffer of `capacity` units holding `start`, guarded by '#' behind it.
struct Guarded {
  WCHAR units[16];
  Guarded(const char16_t *start) {
    for (WCHAR &unit : units)
      unit = u'#';
    size_t i = 0;
    for (; start[i] != 0; ++i)
      units[i] = start[i];
    units[i] = 0;
  }
  std::u16string text() const { return units; }
};

TEST(AppendTest, AnAppendThatFitsExactlyFillsTheBuffer) {
  Guarded wide(u"ab");
  AppendWideString(wide.units, u"cd", 5);
  EXPECT_EQ(wide.text(), u"abcd");
  EXPECT_EQ(wide.units[5], u'#');

  Guarded narrow(u"ab");
  AppendNarrowAsWide(narrow.units, "12", 5);
  EXPECT_EQ(narrow.text(), u"ab12");
  EXPECT_EQ(narrow.units[5], u'#');

  // Nothing appended to a full buffer is still fine.
  Guarded full(u"abcd");
  AppendWideString(full.units, u"", 5);
  AppendNarrowAsWide(full.units, "", 5);
  EXPECT_EQ(full.text(), u"abcd");
}

struct Overflow {
  const char *what;
  std::function<void(WCHAR *)> append;
};

TEST(AppendTest, AnAppendThatDoesNotFitAbortsWithoutAMessage) {
  const Overflow kOverflows[] = {
      {"wide, one unit too many",
       [](WCHAR *b) { AppendWideString(b, u"cde", 5); }},
      {"wide, into a full buffer",
       [](WCHAR *b) {
         AppendWideString(b, u"cd", 5);
         AppendWideString(b, u"e", 5);
       }},
      {"wide, capacity 0", [](WCHAR *b) { AppendWideString(b, u"x", 0); }},
      {"narrow, one unit too many",
       [](WCHAR *b) { AppendNarrowAsWide(b, "123", 5); }},
      {"narrow, a byte that does not widen to one character",
       [](WCHAR *b) { AppendNarrowAsWide(b, "1\xff", 5); }},
      // A buffer with no terminator inside its capacity is already broken.
      {"wide, no terminator inside the capacity",
       [](WCHAR *b) {
         b[0] = u'x', b[1] = u'y';
         AppendWideString(b, u"", 2);
       }},
  };
  for (const Overflow &overflow : kOverflows) {
    SCOPED_TRACE(overflow.what);
    test::Ending ending = test::RunInChild([&] {
      Guarded buffer(u"ab");
      overflow.append(buffer.units);
      // Reached only when the append returned: show what it wrote.
      printf("%s", test::Utf8(buffer.text()).c_str());
    });
    EXPECT_TRUE(test::Aborted(ending)) << ending;
    EXPECT_EQ(ending.out + ending.err, "");
  }
}

} // namespace
