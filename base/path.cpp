// Path helpers that step by character in the ANSI code page.
#include "base/path.h"

#include <string.h>

#include "base/text.h"

static unsigned char leadBytes[256];

void SetPathLeadBytes(const unsigned char* ranges, size_t pairs) {
  memset(leadBytes, 0, sizeof leadBytes);
  for (size_t i = 0; ranges != nullptr && i < pairs; ++i) {
    for (unsigned c = ranges[2 * i]; c != 0 && c <= ranges[2 * i + 1]; ++c) leadBytes[c] = 1;
  }
}

int IsPathLeadByte(unsigned char c) { return leadBytes[c]; }

const char* NextPathChar(const char* p) {
  if (*p == '\0') return p;
  if (IsPathLeadByte((unsigned char)*p) && p[1] != '\0') return p + 2;
  return p + 1;
}

const char* LastPathSeparator(const char* path) {
  const char* last = nullptr;
  for (const char* p = path; p != nullptr && *p != '\0'; p = NextPathChar(p)) {
    if (*p == '\\') last = p;
  }
  return last;
}

char* LastPathSeparator(char* path) {
  return const_cast<char*>(LastPathSeparator(static_cast<const char*>(path)));
}

const char* PathFileName(const char* path) {
  const char* last = LastPathSeparator(path);
  return last != nullptr ? last + 1 : path;
}

// The last character of a non-empty s.
static const char* LastPathChar(const char* s) {
  const char* last = s;
  for (const char* p = s; *p != '\0'; p = NextPathChar(p)) last = p;
  return last;
}

int EndsWithBackslash(const char* s) {
  if (s == nullptr || s[0] == '\0') return 0;
  return *LastPathChar(s) == '\\';
}

int JoinPath(char* dst, size_t size, const char* folder, const char* name) {
  if (dst == nullptr || size == 0) return 0;
  if (dst != folder && !TextCopy(dst, size, folder)) return 0;
  if (dst == folder && TextLength(dst, size) >= size) {
    dst[0] = '\0';
    return 0;
  }
  const char* last = dst[0] != '\0' ? LastPathChar(dst) : nullptr;
  // A folder cut after a lead byte would take the separator as that character's second byte.
  if (last != nullptr && IsPathLeadByte((unsigned char)*last) && last[1] == '\0') {
    dst[0] = '\0';
    return 0;
  }
  if ((last == nullptr || *last != '\\') && !TextAppend(dst, size, "\\")) return 0;
  return TextAppend(dst, size, name);
}

size_t PathRootLength(const char* path, int slashToo) {
  if (path == nullptr) return 0;
  auto separator = [slashToo](char c) { return c == '\\' || (slashToo && c == '/'); };
  const char first = path[0];
  const bool letter = (first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z');
  if (letter && path[1] == ':' && separator(path[2])) return 3;
  if (!separator(path[0]) || !separator(path[1]) || path[2] == '?' || path[2] == '.') return 0;
  const char* server = path + 2;
  const char* share = PathComponentEnd(server, slashToo);
  if (share == server || *share == '\0') return 0;
  const char* end = PathComponentEnd(share + 1, slashToo);
  if (end == share + 1) return 0;
  return (size_t)(end - path) + (*end != '\0' ? 1 : 0);
}

const char* PathComponentEnd(const char* p, int slashToo) {
  while (*p != '\0' && *p != '\\' && !(slashToo && *p == '/')) p = NextPathChar(p);
  return p;
}
