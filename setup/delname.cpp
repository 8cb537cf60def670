// Path rules of the removal: the ".del" name given to a file in use, the refusal of paths that
// DeleteFolderTree must never walk (empty, relative, drive or share roots), and their exact form.
#include "setup/delname.h"

#include <string.h>

#include "base/path.h"
#include "base/text.h"

int MakeDelName(const char* path, char* out, size_t outSize) {
  if (!TextCopy(out, outSize, path)) return 0;
  // The last dot of the file name starts its extension. The file name is found by character
  // (a double-byte character's second byte may be a backslash, never a dot).
  char* dot = strrchr(const_cast<char*>(PathFileName(out)), '.');
  if (dot == nullptr) return 1;
  *dot = '\0';
  return TextAppend(out, outSize, ".del");
}

static int IsSeparator(char c) { return c == '\\' || c == '/'; }

int IsRemovableFolderPath(const char* path, size_t maxLength) {
  if (path == nullptr || TextLength(path, maxLength) >= maxLength) return 0;
  size_t i = PathRootLength(path, 1);
  if (i == 0) return 0;
  int components = 0;
  while (path[i] != '\0') {
    size_t start = i;
    i = (size_t)(PathComponentEnd(path + i, 1) - path);
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
  for (const char* p = folder + server; *p != '\0';) {
    if (IsSeparator(*p)) {
      separator = 1;
      ++p;
      continue;
    }
    const char* next = NextPathChar(p);  // one character, both bytes of a double-byte one
    if (length + separator + (size_t)(next - p) >= outSize) {
      out[0] = '\0';
      return 0;
    }
    if (separator) out[length++] = '\\';
    while (p < next) out[length++] = *p++;
    separator = 0;
  }
  out[length] = '\0';
  return 1;
}
