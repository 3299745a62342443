//===- packer/string_codec.cpp - The shared text codec on std strings -----===//
#include "packer/string_codec.h"

#include "common/text.h"

namespace veskar {

bool Utf8ToUtf16(const std::string &text, std::u16string *out) {
  size_t units = Utf8ToUtf16(text.data(), text.size(), nullptr, 0, kTextStrict);
  if (units == kTextMalformed)
    return false;
  std::u16string result(units + 1, u'\0');
  Utf8ToUtf16(text.data(), text.size(), Units(result), result.size(),
              kTextStrict);
  result.resize(units);
  *out = std::move(result);
  return true;
}

namespace {

bool ToUtf8(const std::u16string &text, TextMode mode, std::string *out) {
  size_t bytes = Utf16ToUtf8(Units(text), text.size(), nullptr, 0, mode);
  if (bytes == kTextMalformed)
    return false;
  std::string result(bytes + 1, '\0');
  Utf16ToUtf8(Units(text), text.size(), &result[0], result.size(), mode);
  result.resize(bytes);
  *out = std::move(result);
  return true;
}

} // namespace

bool Utf16ToUtf8(const std::u16string &text, std::string *out) {
  return ToUtf8(text, kTextStrict, out);
}

std::string NameToUtf8(const std::u16string &name) {
  std::string text;
  ToUtf8(name, kTextLenient, &text);
  return text;
}

std::string Shown(const std::string &text) {
  size_t bytes = EscapeForMessage(text.data(), text.size(), nullptr, 0);
  std::string result(bytes + 1, '\0');
  EscapeForMessage(text.data(), text.size(), &result[0], result.size());
  result.resize(bytes);
  return result;
}

std::string Shown(const std::u16string &name) {
  return Shown(NameToUtf8(name));
}

} // namespace veskar
