// Path rules of the removal: the ".del" name given to a file in use, the refusal of paths that
// DeleteFolderTree must never walk (empty, relative, drive or share roots), and their exact form.
#include "setup/delname.h"

#include <string.h>

#include "base/text.h"

int MakeDelName(const char* path, char* out, size_t outSize) {
  if (!TextCopy(out, outSize, path)) return 0;
  // Scan back from the last character to the first dot or backslash: only a dot inside the
  // file name itself starts an extension.
  for (size_t i = strlen(out); i > 0; --i) {
    char c = out[i - 1];
    if (c == '\\') break;
    if (c == '.') {
      out[i - 1] = '\0';
      return TextAppend(out, outSize, ".del");
    }
  }
  return 1;
}

static int IsSeparator(char c) { return c == '\\' || c == '/'; }

// Length of the root of an absolute path ("C:\" or "\\server\share\"), 0 when the path has none.
static size_t AbsoluteRootLength(const char* path) {
  char first = path[0];
  int letter = (first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z');
  if (letter && path[1] == ':' && IsSeparator(path[2])) return 3;
  if (!IsSeparator(path[0]) || !IsSeparator(path[1])) return 0;
  // "\\?\" and "\\.\" name devices and raw namespaces: never walked.
  if (path[2] == '?' || path[2] == '.') return 0;
  size_t i = 2;
  for (int part = 0; part < 2; ++part) {  // server, then share
    size_t start = i;
    while (path[i] != '\0' && !IsSeparator(path[i])) ++i;
    if (i == start || path[i] == '\0') return 0;  // missing part, or nothing below the share
    ++i;
  }
  return i;
}

int IsRemovableFolderPath(const char* path, size_t maxLength) {
  if (path == nullptr || TextLength(path, maxLength) >= maxLength) return 0;
  size_t i = AbsoluteRootLength(path);
  if (i == 0) return 0;
  int components = 0;
  while (path[i] != '\0') {
    size_t start = i;
    while (path[i] != '\0' && !IsSeparator(path[i])) ++i;
    size_t length = i - start;
    if (length == 1 && path[start] == '.') return 0;
    if (length == 2 && path[start] == '.' && path[start + 1] == '.') return 0;
    if (length > 0) ++components;
    while (IsSeparator(path[i])) ++i;
  }
  return components > 0;
}

int MakeExactFolderPath(const char* folder, char* out, size_t outSize) {
  if (out == nullptr || outSize == 0) return 0;
  out[0] = '\0';
  if (!IsRemovableFolderPath(folder, outSize)) return 0;
  const int server = IsSeparator(folder[0]);
  if (!TextCopy(out, outSize, server ? "\\\\?\\UNC" : "\\\\?\\")) return 0;
  size_t length = strlen(out);
  int separator = 0;  // one backslash is due before the next character
  for (const char* p = folder + server; *p != '\0'; ++p) {
    if (IsSeparator(*p)) {
      separator = 1;
      continue;
    }
    if (length + separator + 1 >= outSize) {
      out[0] = '\0';
      return 0;
    }
    if (separator) out[length++] = '\\';
    out[length++] = *p;
    separator = 0;
  }
  out[length] = '\0';
  return 1;
}
