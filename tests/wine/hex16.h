//===- tests/wine/hex16.h - Text handed over as hex ------------------===//
//
// The Windows test programs take text from the tests as the hex of its
// UTF-16LE code units, so that every code unit arrives as the test wrote it.
//
//===----------------------------------------------------------------------===//
#pragma once

#include <wchar.h>

#include <string>

// Decodes the hex of UTF-16LE code units; false on a malformed string.
inline bool FromHex(const wchar_t *hex, std::wstring *out) {
  out->clear();
  size_t length = wcslen(hex);
  if (length % 4 != 0)
    return false;
  auto digit = [](wchar_t c) -> int {
    if (c >= L'0' && c <= L'9')
      return c - L'0';
    if (c >= L'a' && c <= L'f')
      return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
      return c - L'A' + 10;
    return -1;
  };
  for (size_t i = 0; i < length; i += 4) {
    int d[4];
    for (int j = 0; j < 4; ++j)
      if ((d[j] = digit(hex[i + j])) < 0)
        return false;
    out->push_back((wchar_t)(d[0] << 4 | d[1] | d[2] << 12 | d[3] << 8));
  }
  return true;
}
