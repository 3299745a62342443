//===- common/text.cpp - UTF-8 and UTF-16, for every side ----------------===//
#include "common/text.h"

namespace {

const uint32_t kReplacement = 0xFFFD;

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Decodes one code point at text[*at], advancing *at. A malformed sequence
// gives kReplacement and consumes its maximal valid prefix (at least one
// byte), so that each broken piece stands for exactly one replacement.
uint32_t DecodeUtf8(const unsigned char *text, size_t length, size_t *at,
                    bool *malformed) {
  unsigned char lead = text[(*at)++];
  if (lead < 0x80)
    return lead;
  size_t extra;
  uint32_t code;
  // The valid range of the second byte depends on the lead: this refuses
  // overlong forms, surrogates and values beyond U+10FFFF at the earliest
  // byte that shows them.
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1, code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2, code = lead & 0x0F;
    if (lead == 0xE0)
      low = 0xA0;
    else if (lead == 0xED)
      high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3, code = lead & 0x07;
    if (lead == 0xF0)
      low = 0x90;
    else if (lead == 0xF4)
      high = 0x8F;
  } else {
    *malformed = true;
    return kReplacement;
  }
  for (size_t k = 0; k < extra; ++k) {
    if (*at >= length) {
      *malformed = true;
      return kReplacement;
    }
    unsigned char next = text[*at];
    bool fits = k == 0 ? next >= low && next <= high : IsContinuation(next);
    if (!fits) {
      *malformed = true;
      return kReplacement;
    }
    code = (code << 6) | (next & 0x3F);
    ++*at;
  }
  return code;
}

} // namespace

namespace {

// Collects output units or bytes: writes whole code points while they fit
// with room for the terminator, and counts all of them.
template <typename Unit> class Sink {
public:
  Sink(Unit *out, size_t capacity) : out_(out), capacity_(capacity) {}
  void Put(const uint32_t *units, size_t count) {
    if (!full_ && written_ + count + 1 <= capacity_) {
      for (size_t i = 0; i < count; ++i)
        out_[written_ + i] = (Unit)units[i];
      written_ += count;
    } else {
      full_ = true;
    }
    needed_ += count;
  }
  size_t Finish() {
    if (capacity_ > 0)
      out_[written_] = 0;
    return needed_;
  }

private:
  Unit *out_;
  size_t capacity_;
  size_t written_ = 0;
  size_t needed_ = 0;
  bool full_ = false;
};

} // namespace

size_t Utf8ToUtf16(const char *text, size_t length, Utf16Unit *out,
                   size_t capacity, TextMode mode) {
  const unsigned char *bytes = (const unsigned char *)text;
  Sink<Utf16Unit> sink(out, capacity);
  for (size_t at = 0; at < length;) {
    bool malformed = false;
    uint32_t code = DecodeUtf8(bytes, length, &at, &malformed);
    if (malformed && mode == kTextStrict) {
      sink.Finish();
      return kTextMalformed;
    }
    if (code >= 0x10000) {
      uint32_t pair[2] = {0xD800 + ((code - 0x10000) >> 10),
                          0xDC00 + ((code - 0x10000) & 0x3FF)};
      sink.Put(pair, 2);
    } else {
      sink.Put(&code, 1);
    }
  }
  return sink.Finish();
}

size_t Utf16ToUtf8(const Utf16Unit *text, size_t length, char *out,
                   size_t capacity, TextMode mode) {
  Sink<char> sink(out, capacity);
  for (size_t i = 0; i < length; ++i) {
    uint32_t c = (uint16_t)text[i];
    uint32_t next = i + 1 < length ? (uint16_t)text[i + 1] : 0;
    if (c >= 0xD800 && c <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      if (mode == kTextStrict) {
        sink.Finish();
        return kTextMalformed;
      }
      c = kReplacement;
    }
    uint32_t bytes[4];
    size_t count;
    if (c < 0x80) {
      bytes[0] = c, count = 1;
    } else if (c < 0x800) {
      bytes[0] = 0xC0 | (c >> 6), bytes[1] = 0x80 | (c & 0x3F), count = 2;
    } else if (c < 0x10000) {
      bytes[0] = 0xE0 | (c >> 12), bytes[1] = 0x80 | ((c >> 6) & 0x3F);
      bytes[2] = 0x80 | (c & 0x3F), count = 3;
    } else {
      bytes[0] = 0xF0 | (c >> 18), bytes[1] = 0x80 | ((c >> 12) & 0x3F);
      bytes[2] = 0x80 | ((c >> 6) & 0x3F), bytes[3] = 0x80 | (c & 0x3F);
      count = 4;
    }
    sink.Put(bytes, count);
  }
  return sink.Finish();
}

size_t Utf16Length(const Utf16Unit *text) {
  size_t length = 0;
  while (text[length] != 0)
    ++length;
  return length;
}

namespace {

bool IsControl(uint32_t code) {
  return code < 0x20 || (code >= 0x7F && code <= 0x9F);
}

// Puts "\xNN" for the code or byte `value` (at most 0xFF).
template <typename Unit> void PutEscape(Sink<Unit> &sink, uint32_t value) {
  uint32_t escape[4] = {'\\', 'x', (uint32_t)HexDigit(value >> 4),
                        (uint32_t)HexDigit(value)};
  sink.Put(escape, 4);
}

} // namespace

size_t EscapeForMessage(const Utf16Unit *text, size_t length, Utf16Unit *out,
                        size_t capacity, Utf16Unit separatorShown) {
  Sink<Utf16Unit> sink(out, capacity);
  // No unit of a surrogate pair is a control character: the pairs pass
  // through unit by unit.
  for (size_t i = 0; i < length; ++i) {
    uint32_t unit = (uint16_t)text[i];
    if (unit == '\\')
      unit = (uint16_t)separatorShown;
    if (IsControl(unit))
      PutEscape(sink, unit);
    else
      sink.Put(&unit, 1);
  }
  return sink.Finish();
}

size_t EscapeForMessage(const char *text, size_t length, char *out,
                        size_t capacity) {
  const unsigned char *bytes = (const unsigned char *)text;
  Sink<char> sink(out, capacity);
  for (size_t at = 0; at < length;) {
    size_t start = at;
    bool malformed = false;
    uint32_t code = DecodeUtf8(bytes, length, &at, &malformed);
    if (malformed) {
      for (size_t i = start; i < at; ++i)
        PutEscape(sink, bytes[i]);
    } else if (IsControl(code)) {
      PutEscape(sink, code);
    } else {
      // A well-formed sequence is one to four bytes.
      uint32_t piece[4];
      size_t count = at - start;
      for (size_t k = 0; k < 4; ++k)
        piece[k] = k < count ? bytes[start + k] : 0;
      sink.Put(piece, count < 4 ? count : 4);
    }
  }
  return sink.Finish();
}

bool Utf16Equal(const Utf16Unit *a, const Utf16Unit *b) {
  while (*a != 0 && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}
