//===- packer/unicode.h - The shared text codec on std strings ----------===//
//
// The packer's text is std::string (UTF-8) and std::u16string; these hand it
// to the one codec in common/text, strictly where a name is stored or
// written to disk and leniently where it is only shown.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <string>

namespace veskar {

// Strict UTF-8 to UTF-16: false for malformed, overlong or surrogate
// sequences.
bool Utf8ToUtf16(const std::string &text, std::u16string *out);

// Strict UTF-16 to UTF-8: false for an unpaired surrogate.
bool Utf16ToUtf8(const std::u16string &text, std::string *out);

// UTF-8 text of a UTF-16 name, for messages and listings (unpaired
// surrogates become U+FFFD).
std::string NameToUtf8(const std::u16string &name);

} // namespace veskar
