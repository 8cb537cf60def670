// Bounded text helpers: copy, append and a one-argument formatter.
#include "base/text.h"

#include <string.h>

size_t TextLength(const char* s, size_t max) {
  size_t n = 0;
  if (s == nullptr) return 0;
  while (n < max && s[n] != '\0') ++n;
  return n;
}

static int Fail(char* dst, size_t size) {
  if (dst != nullptr && size > 0) dst[0] = '\0';
  return 0;
}

int TextCopy(char* dst, size_t size, const char* src) {
  if (dst == nullptr || size == 0) return 0;
  size_t n = TextLength(src, size);
  if (n >= size) return Fail(dst, size);
  memmove(dst, src == nullptr ? "" : src, n);
  dst[n] = '\0';
  return 1;
}

int TextAppend(char* dst, size_t size, const char* src) {
  if (dst == nullptr || size == 0) return 0;
  size_t have = TextLength(dst, size);
  if (have >= size) return Fail(dst, size);
  size_t n = TextLength(src, size - have);
  if (have + n >= size) return Fail(dst, size);
  memmove(dst + have, src == nullptr ? "" : src, n);
  dst[have + n] = '\0';
  return 1;
}

int TextFormat(char* dst, size_t size, const char* format, const char* arg) {
  if (dst == nullptr || size == 0) return 0;
  size_t out = 0;
  const char* insert = arg == nullptr ? "" : arg;
  for (const char* p = format == nullptr ? "" : format; *p != '\0'; ++p) {
    const char* piece = p;
    size_t len = 1;
    if (p[0] == '%' && p[1] == 's') {
      piece = insert;
      len = strlen(insert);
      ++p;
    } else if (p[0] == '%' && p[1] == '%') {
      ++p;
    }
    if (len >= size - out) return Fail(dst, size);
    memcpy(dst + out, piece, len);
    out += len;
  }
  dst[out] = '\0';
  return 1;
}
