// libFuzzer target over the package format, on one thread (fast: the fused loop only). The
// first input byte picks the mode:
//   odd:  the rest is a package image; extraction must stay inside it, send only safe paths
//         inside the target folder to the sink, and return a result that matches the writes;
//   even: the rest is cut into 17 files that are packed and extracted again, which must give
//         them back byte for byte.
// Every input is also walked as a folder path and checked as an entry name. The lanes and the
// two threads are package_fuzz_threads.cpp.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "base/path.h"
#include "package/folder.h"
#include "package/entryname.h"
#include "package/image.h"
#include "../host/package_testkit.h"
#include "package_fuzz.h"

namespace {

using namespace fuzzcheck;

int32_t CheckStep(void* user, const char* folder) {
  const std::string* path = static_cast<const std::string*>(user);
  if (path->compare(0, strlen(folder), folder) != 0) abort();
  return 1;
}

void FuzzImage(const uint8_t* data, size_t size) {
  std::vector<uint8_t> image(data, data + size);
  PackageDirectory directory = {};
  Seen seen;
  PackageSink sink = {CheckPlace, nullptr, &seen};
  CheckResult(ExtractPackageImageScheduled(image.data(), (uint32_t)image.size(), &directory,
                                           &sink, nullptr), seen);
}

void FuzzRoundTrip(const uint8_t* data, size_t size) {
  // The first 17 bytes weigh the files; the rest is their contents.
  if (size < 17) return;
  std::vector<std::string> names;
  const char* pointers[17];
  uint32_t sizes[17];
  size_t rest = size - 17, used = 0;
  unsigned weights = 0;
  for (int i = 0; i < 17; ++i) weights += data[i];
  for (int i = 0; i < 17; ++i) {
    sizes[i] = weights == 0 ? 0 : (uint32_t)(rest * data[i] / weights);
    used += sizes[i];
    names.push_back((i % 3 ? "d" + std::to_string(i % 4) + "\\f" : "f") + std::to_string(i));
  }
  for (int i = 0; i < 17; ++i) pointers[i] = names[i].c_str();
  PackageDirectory directory;
  uint64_t total = LayoutPackage(&directory, pointers, sizes);
  std::vector<uint8_t> image(total);
  memcpy(image.data() + 2720, data + 17, used);
  std::vector<uint8_t> plain(image.begin() + 2720, image.end());
  pkgtest::SealPackage(&directory, image.data());
  Seen seen;
  PackageSink sink = {CheckPlace, nullptr, &seen};
  PackageDirectory extracted = directory;  // used as is when the image is only a directory
  int32_t result = ExtractPackageImageScheduled(image.data(), (uint32_t)image.size(), &extracted,
                                                &sink, nullptr);
  if (result != (sizes[16] != 0 ? 0 : -1) || seen.writes != 17) abort();
  size_t at = 0;
  for (int i = 0; i < 17; ++i) {
    if (seen.files[i] != std::vector<uint8_t>(plain.begin() + at, plain.begin() + at + sizes[i])) {
      abort();
    }
    at += sizes[i];
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string path(reinterpret_cast<const char*>(data), size < 1100 ? size : 1100);
  path = path.c_str();
  WalkFolderPath(path.c_str(), CheckStep, &path);
  static const unsigned char kCodePage932[] = {0x81, 0x9F, 0xE0, 0xFC};
  SetPathLeadBytes(kCodePage932, 2);  // by double-byte characters, never past the end
  WalkFolderPath(path.c_str(), CheckStep, &path);
  SetPathLeadBytes(nullptr, 0);
  IsSafeEntryName(path.c_str(), 128);
  if (size == 0) return 0;
  if (data[0] & 1) {
    FuzzImage(data + 1, size - 1);
  } else {
    FuzzRoundTrip(data + 1, size - 1);
  }
  return 0;
}
