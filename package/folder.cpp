// An entry placed under the target folder, and the walk of the folders above a path.
#include "package/folder.h"

#include <string.h>

#include "base/path.h"
#include "base/text.h"
#include "package/place.h"

int32_t PlaceInFolder(void* user, int32_t, const PackageEntry* entry, const uint8_t* bytes,
                      int32_t outcome) {
  const FolderWriter* writer = (const FolderWriter*)user;
  char entryPath[EXTRACT_PATH_SIZE];
  char folder[EXTRACT_PATH_SIZE];
  if (outcome != ENTRY_WRITTEN) return outcome;
  if (!JoinPath(entryPath, sizeof entryPath, writer->targetFolder, entry->entryName)) {
    return ENTRY_PATH_TOO_LONG;
  }
  TextCopy(folder, sizeof folder, entryPath);
  char* cut = LastPathSeparator(folder);  // JoinPath put at least one backslash in
  *cut = '\0';
  if (strcmp(folder, writer->targetFolder) != 0) writer->createFolderPath(writer->user, folder);
  return writer->writeWholeFile(writer->user, entryPath, entry->dataSize, bytes)
             ? ENTRY_WRITTEN : ENTRY_WRITE_FAILED;
}

int32_t WalkFolderPath(const char* path, int32_t (*makeFolder)(void* user, const char* folder),
                       void* user) {
  char work[EXTRACT_PATH_SIZE];
  if (path == nullptr || !TextCopy(work, sizeof work, path)) return 0;
  size_t length = strlen(work);
  if (length < 5) return 0;
  // The root (a drive, or the server and share of a network path) is never made; a path
  // without one is refused. The walk steps by character: the second byte of a double-byte
  // character may be a backslash.
  const size_t root = PathRootLength(work, 0);
  if (root == 0) return 0;
  if (work[root] == '\0') return 1;
  for (char* p = work + root; *p != '\0'; p = const_cast<char*>(NextPathChar(p))) {
    if (*p != '\\') continue;
    *p = '\0';
    int32_t made = makeFolder(user, work);
    *p = '\\';
    if (!made) return 0;
  }
  if (EndsWithBackslash(work)) return 1;
  return makeFolder(user, work);
}
