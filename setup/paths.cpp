// Path rules of the target folder, the shortcut files and the user's "Programs" shell folder.
#include "setup/paths.h"

#include <string.h>

#include "base/path.h"
#include "base/product.h"
#include "base/text.h"

void PathToRoot(char* path) {
  if (path == nullptr || path[0] == '\0') return;
  const bool leadingBackslash = path[0] == '\\';
  bool root = false;
  size_t i = 0;
  for (; path[i] != '\0'; i = (size_t)(NextPathChar(path + i) - path)) {
    const char c = path[i];
    bool stop = false;
    if (c == ':') {
      root = true;
    } else if (c == '\\') {
      if (!leadingBackslash) {
        stop = true;
      } else if (i == 1) {
        root = true;
      } else if (i > 2) {
        stop = true;
      }
    }
    if (stop) {
      ++i;  // the backslash that stopped the scan stays
      break;
    }
  }
  path[root ? i : 0] = '\0';
}

int ProgramFilesFallback(char* windowsDir, size_t reportedLength, char* out, size_t outSize) {
  char root[2048];
  if (windowsDir != nullptr && reportedLength == strlen(windowsDir) &&
      TextCopy(root, sizeof root, windowsDir)) {
    PathToRoot(root);
  } else {
    root[0] = '\0';
  }
  // A Windows directory without a root (empty, relative) would give a path relative to the
  // current drive: use drive C: as when the length did not match.
  if (root[0] == '\0') TextCopy(root, sizeof root, "C:");
  return JoinPath(out, outSize, root, "Program Files\\");
}

int ComposeTargetFolder(const char* programFiles, char* out, size_t outSize) {
  if (programFiles == nullptr || programFiles[0] == '\0') {
    TextCopy(out, outSize, "");
    return 0;
  }
  return JoinPath(out, outSize, programFiles, PRODUCT_FOLDER);
}

int ComposeLinkPath(const char* folder, const char* name, char* out, size_t outSize) {
  return JoinPath(out, outSize, folder, name) && TextAppend(out, outSize, ".LNK");
}

int WorkingFolderOf(const char* target, char* out, size_t outSize) {
  if (!TextCopy(out, outSize, target)) return 0;
  char* lastBackslash = LastPathSeparator(out);
  if (lastBackslash != nullptr) *lastBackslash = '\0';
  return 1;
}

int IsAbsoluteFolder(const char* folder) { return PathRootLength(folder, 0) > 0; }

int IsPlainAbsoluteFolder(const char* folder) {
  if (!IsAbsoluteFolder(folder)) return 0;
  for (const char* start = folder; *start != '\0';) {
    size_t length = (size_t)(PathComponentEnd(start, 1) - start);
    if ((length == 1 || length == 2) && strncmp(start, "..", length) == 0) return 0;
    start += length;
    if (*start != '\0') ++start;
  }
  return 1;
}

static int IsSeparator(char c) { return c == '\\' || c == '/'; }

// The length of a device prefix at the start of folder: "\\?\" or "\\.\" (either slash), and
// "UNC" with its separator after it in any letter case; 0 when there is none. *unc says which.
static size_t DevicePrefixLength(const char* folder, int* unc) {
  *unc = 0;
  if (!IsSeparator(folder[0]) || !IsSeparator(folder[1]) ||
      (folder[2] != '?' && folder[2] != '.') || !IsSeparator(folder[3])) {
    return 0;
  }
  const char* rest = folder + 4;
  *unc = (rest[0] == 'U' || rest[0] == 'u') && (rest[1] == 'N' || rest[1] == 'n') &&
         (rest[2] == 'C' || rest[2] == 'c') && IsSeparator(rest[3]);
  return *unc ? 8 : 4;
}

int NormalizeFolderForm(char* folder) {
  if (folder == nullptr) return 0;
  // "\\?\UNC\server\share" and "\\.\UNC\server\share" are "\\server\share"; "\\?\C:\x" and
  // "\\.\C:\x" are "C:\x".
  int unc = 0;
  const size_t prefix = DevicePrefixLength(folder, &unc);
  if (prefix > 0) memmove(folder + (unc ? 2 : 0), folder + prefix, strlen(folder + prefix) + 1);
  for (char* p = folder; *p != '\0'; p = const_cast<char*>(NextPathChar(p))) {
    if (*p == '/') *p = '\\';
  }
  return IsAbsoluteFolder(folder);
}

int CopyRegistryString(const char* data, size_t dataSize, char* out, size_t outSize) {
  if (out == nullptr || outSize == 0) return 0;
  out[0] = '\0';
  if (data == nullptr) return 0;
  const size_t length = TextLength(data, dataSize);
  if (length == 0 || length >= outSize) return 0;
  memcpy(out, data, length);
  out[length] = '\0';
  return 1;
}
