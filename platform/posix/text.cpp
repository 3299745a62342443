//===- platform/posix/text.cpp - UTF-16 and UTF-8 at the POSIX boundary -===//
#include <stdlib.h>
#include <string.h>

#include "platform/posix/internal.h"

namespace veskar_posix {

// The conversion itself is the shared codec's, in its lenient mode: the
// file system and the environment take whatever bytes they are given, and
// text that is not well-formed is shown with replacement characters. Only
// the separators are this layer's own business. A backslash or slash never
// occurs inside a multi-byte sequence, so swapping them after the
// conversion is exact.

bool ToNative(const WCHAR *text, char *out, size_t capacity, bool isPath) {
  size_t length =
      Utf16ToUtf8(text, Utf16Length(text), out, capacity, kTextLenient);
  if (length + 1 > capacity) {
    if (capacity > 0)
      out[0] = 0;
    return false;
  }
  if (isPath)
    for (size_t i = 0; i < length; ++i)
      if (out[i] == '\\')
        out[i] = '/';
  return true;
}

size_t FromNative(const char *text, WCHAR *out, size_t capacity, bool isPath) {
  size_t length = Utf8ToUtf16(text, strlen(text), out, capacity, kTextLenient);
  if (isPath && out != nullptr)
    for (size_t i = 0; i < capacity && out[i] != 0; ++i)
      if (out[i] == '/')
        out[i] = '\\';
  return length;
}

} // namespace veskar_posix

using namespace veskar_posix;

void PrintWithWideText(FILE *stream, const char *format, const WCHAR *text) {
  // The core's formats carry one "%ls"; here the text goes out as UTF-8.
  static char native[kNativePathCapacity];
  ToNative(text, native, sizeof native, false);
  char narrowFormat[512];
  size_t j = 0;
  for (size_t i = 0; format[i] != 0 && j + 2 < sizeof narrowFormat; ++i) {
    if (format[i] == '%' && format[i + 1] == 'l' && format[i + 2] == 's') {
      narrowFormat[j++] = '%';
      narrowFormat[j++] = 's';
      i += 2;
    } else {
      narrowFormat[j++] = format[i];
    }
  }
  narrowFormat[j] = 0;
  fprintf(stream, narrowFormat, native);
}
