// File helpers shared by the procedures' Wine tests: they set up and inspect folders without the
// code under test.
#pragma once
#include <windows.h>

#include <string.h>

#include <string>
#include <vector>

namespace proctest {

inline bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Names in the folder, in the order the search returns them, without "." and "..".
inline std::vector<std::string> List(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "\\*.*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (strcmp(found.cFileName, ".") != 0 && strcmp(found.cFileName, "..") != 0) {
      names.push_back(found.cFileName);
    }
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return names;
}

// Removes a tree for a test's own set-up. Links are removed as links (or left), never entered.
inline void Clean(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    if (!RemoveDirectoryA(path.c_str())) DeleteFileA(path.c_str());
    return;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    DeleteFileA(path.c_str());
    return;
  }
  for (const std::string& name : List(path)) Clean(path + "\\" + name);
  RemoveDirectoryA(path.c_str());
}

}  // namespace proctest
