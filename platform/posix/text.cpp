//===- platform/posix/text.cpp - UTF-16 and UTF-8 at the POSIX boundary -===//
#include <stdlib.h>
#include <string.h>

#include "platform/posix/internal.h"

namespace veskar_posix {

bool ToNative(const WCHAR *text, char *out, size_t capacity, bool isPath) {
  size_t n = 0;
  auto put = [&](unsigned char byte) {
    if (n + 1 >= capacity)
      return false;
    out[n++] = (char)byte;
    return true;
  };
  for (size_t i = 0; text[i] != 0; ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (isPath && c == '\\')
      c = '/';
    bool ok;
    if (c < 0x80) {
      ok = put((unsigned char)c);
    } else if (c < 0x800) {
      ok = put(0xC0 | (c >> 6)) && put(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      ok = put(0xE0 | (c >> 12)) && put(0x80 | ((c >> 6) & 0x3F)) &&
           put(0x80 | (c & 0x3F));
    } else {
      ok = put(0xF0 | (c >> 18)) && put(0x80 | ((c >> 12) & 0x3F)) &&
           put(0x80 | ((c >> 6) & 0x3F)) && put(0x80 | (c & 0x3F));
    }
    if (!ok) {
      if (capacity > 0)
        out[0] = 0;
      return false;
    }
  }
  out[n] = 0;
  return true;
}

size_t FromNative(const char *text, WCHAR *out, size_t capacity, bool isPath) {
  const unsigned char *p = (const unsigned char *)text;
  size_t n = 0;
  auto put = [&](uint32_t unit) {
    if (n + 1 < capacity)
      out[n] = (WCHAR)unit;
    ++n;
  };
  while (*p != 0) {
    uint32_t c = *p++;
    int more = 0;
    if (c >= 0xF0 && c < 0xF8) {
      c &= 0x07;
      more = 3;
    } else if (c >= 0xE0) {
      c &= 0x0F;
      more = 2;
    } else if (c >= 0xC0) {
      c &= 0x1F;
      more = 1;
    } else if (c >= 0x80) {
      c = 0xFFFD;
    }
    for (; more > 0; --more) {
      if ((*p & 0xC0) != 0x80) {
        c = 0xFFFD;
        break;
      }
      c = (c << 6) | (*p++ & 0x3F);
    }
    if (isPath && c == '/')
      c = '\\';
    if (c >= 0x10000 && c <= 0x10FFFF) {
      put(0xD800 + ((c - 0x10000) >> 10));
      put(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      put(c > 0x10FFFF ? 0xFFFD : c);
    }
  }
  if (capacity > 0)
    out[n + 1 <= capacity ? n : capacity - 1] = 0;
  return n;
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
