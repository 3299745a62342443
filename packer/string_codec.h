//===- packer/string_codec.h - The shared text codec on std strings -------===//
//
// The packer's text is std::string (UTF-8) and std::u16string; these hand it
// to the one codec in common/text, strictly where a name is stored or
// written to disk and leniently where it is only shown.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <string>

#include "common/text.h"

namespace veskar {

// The units of a std::u16string as the shared codec takes them (wchar_t
// on Windows, char16_t elsewhere: the same two bytes).
inline const Utf16Unit *Units(const std::u16string &text) {
  return reinterpret_cast<const Utf16Unit *>(text.data());
}
inline Utf16Unit *Units(std::u16string &text) {
  return reinterpret_cast<Utf16Unit *>(&text[0]);
}

// Strict UTF-8 to UTF-16: false for malformed, overlong or surrogate
// sequences.
bool Utf8ToUtf16(const std::string &text, std::u16string *out);

// Strict UTF-16 to UTF-8: false for an unpaired surrogate.
bool Utf16ToUtf8(const std::u16string &text, std::string *out);

// UTF-8 text of a UTF-16 name (unpaired surrogates become U+FFFD).
std::string NameToUtf8(const std::u16string &name);

// Text as a message or listing shows it, on one line: each control
// character, and each byte of `text` outside a well-formed UTF-8 sequence,
// as "\xNN" (EscapeForMessage in common/text); everything else kept.
std::string Shown(const std::string &text);

// A UTF-16 name as a message or listing shows it: its UTF-8, shown.
std::string Shown(const std::u16string &name);

} // namespace veskar
