// What both package fuzz targets check of every sink call: paths inside the target folder, and a
// record of the files written.
#pragma once
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "package/folder.h"
#include "package/place.h"

namespace fuzzcheck {

const char kTarget[] = "C:\\T";

struct Seen {
  int writes = 0;
  std::vector<std::string> paths;
  std::vector<std::vector<uint8_t>> files;
};

// An independent, cruder form of the path rule: the target, then components that are not empty,
// hold no colon or slash, and do not end in a dot or a space (Windows drops those, so ".. "
// would be ".."). Names such as "read...txt" or "Manual..xt" are legal and pass.
inline bool InsideTarget(const char* path) {
  const std::string prefix = std::string(kTarget) + "\\";
  std::string p = path;
  if (p.compare(0, prefix.size(), prefix) != 0) return false;
  const std::string rest = p.substr(prefix.size()) + "\\";
  for (size_t start = 0, end; (end = rest.find('\\', start)) != std::string::npos;
       start = end + 1) {
    const std::string component = rest.substr(start, end - start);
    if (component.empty() || component.find_first_of(":/") != std::string::npos ||
        component.back() == '.' || component.back() == ' ') {
      return false;
    }
  }
  return true;
}

inline int32_t CheckFolder(void*, const char* path) {
  if (!InsideTarget(path)) abort();
  return 1;
}

inline int32_t CheckWrite(void* user, const char* path, uint32_t size, const void* bytes) {
  if (!InsideTarget(path)) abort();
  Seen* seen = static_cast<Seen*>(user);
  ++seen->writes;
  seen->paths.emplace_back(path);
  const uint8_t* b = static_cast<const uint8_t*>(bytes);
  seen->files.emplace_back(b, b + size);
  return 1;
}

// The sink: an entry that passed its checks placed under kTarget through the two calls above.
inline int32_t CheckPlace(void* user, int32_t index, const PackageEntry* entry,
                          const uint8_t* bytes, int32_t outcome) {
  FolderWriter writer = {kTarget, CheckFolder, CheckWrite, user};
  return PlaceInFolder(&writer, index, entry, bytes, outcome);
}

// The result must match the writes: every entry written gives 0 (or -1), else -100 - failures.
inline void CheckResult(int32_t result, const Seen& seen) {
  const int failures = 17 - seen.writes;
  if (failures != 0 && result != -100 - failures) abort();
  if (failures == 0 && result != 0 && result != -1) abort();
}

}  // namespace fuzzcheck
