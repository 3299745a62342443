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

// The number of units before the first zero unit.
size_t Utf16Length(const Utf16Unit *text);

// Whether two zero-terminated texts hold the same units.
bool Utf16Equal(const Utf16Unit *a, const Utf16Unit *b);
