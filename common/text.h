//===- common/text.h - UTF-8 and UTF-16, for every side ------------------===//
//
// The one converter between UTF-8 and UTF-16 that the launchers' POSIX
// layer, the packer and the tests use. It works on caller-supplied buffers
// and never allocates, so the launcher can call it on its own path.
//
// Strict mode refuses malformed input: in UTF-8 a stray or missing
// continuation byte, an overlong form, an encoded surrogate, or a code point
// beyond U+10FFFF; in UTF-16 an unpaired surrogate. Lenient mode replaces
// each such piece with U+FFFD and goes on, as text for display or for the
// file system is best taken.
//
// Messages show text through EscapeForMessage, which keeps a line one line.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stddef.h>
#include <stdint.h>

// A UTF-16 code unit as the platform spells it: wchar_t on Windows, where
// the system's wide functions take it, char16_t elsewhere.
#if defined(_WIN32)
typedef wchar_t Utf16Unit;
#else
typedef char16_t Utf16Unit;
#endif
static_assert(sizeof(Utf16Unit) == 2, "a UTF-16 unit is two bytes");

enum TextMode { kTextStrict, kTextLenient };

// Returned for malformed input in strict mode.
const size_t kTextMalformed = (size_t)-1;

// Converts `length` bytes of UTF-8 at `text`. Returns the number of UTF-16
// units the whole text takes, without a terminator, or kTextMalformed. Into
// `out` goes as much of the result as fits in `capacity` units with a
// terminating zero unit, in whole code points, always terminated when
// capacity > 0. `out` may be null with capacity 0 to ask for the length.
size_t Utf8ToUtf16(const char *text, size_t length, Utf16Unit *out,
                   size_t capacity, TextMode mode);

// Converts `length` UTF-16 units at `text` to UTF-8, with the same contract:
// returns the bytes the whole text takes without the terminator, or
// kTextMalformed, and writes what fits in `capacity` bytes, terminated.
size_t Utf16ToUtf8(const Utf16Unit *text, size_t length, char *out,
                   size_t capacity, TextMode mode);

// The unit with an ASCII letter upper-cased, as names and template
// variables are compared; every other unit as it is.
inline Utf16Unit AsciiUpper(Utf16Unit unit) {
  return (unit >= 'a' && unit <= 'z') ? (Utf16Unit)(unit - 'a' + 'A') : unit;
}

// The lower-case hex digit of the low four bits of `value`: the one
// spelling of hex that digests, escapes and the cache directory's level
// share.
inline char HexDigit(unsigned value) { return "0123456789abcdef"[value & 15]; }

// The number of units before the first zero unit.
size_t Utf16Length(const Utf16Unit *text);

// A text as a one-line message shows it. A control character (U+0000 to
// U+001F, U+007F to U+009F) would split the line, move the cursor or start
// a terminal's escape sequence; each becomes "\x" and two lower-case hex
// digits of its code ("\x1b", a line feed "\x0a"). Everything else stays
// as it is, the backslash too: it separates the levels of names and Windows
// paths, and doubling it would garble every path shown. Works like the
// converters: returns the units the whole shown text takes, without the
// terminator, and writes what fits in `capacity` with a terminating zero,
// in whole characters and whole escapes. A path is shown as its user types
// it: with `separatorShown`, each backslash (the separator of the core's
// paths) becomes that unit ('/' for a path on Linux); a name of the
// archive keeps its backslashes.
size_t EscapeForMessage(const Utf16Unit *text, size_t length, Utf16Unit *out,
                        size_t capacity, Utf16Unit separatorShown = '\\');

// The same on UTF-8, where each byte that is not part of a well-formed
// sequence is shown as "\x" and its two hex digits as well, so that the
// shown text is always valid UTF-8.
size_t EscapeForMessage(const char *text, size_t length, char *out,
                        size_t capacity);

// Whether two zero-terminated texts hold the same units.
bool Utf16Equal(const Utf16Unit *a, const Utf16Unit *b);
