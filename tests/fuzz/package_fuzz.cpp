// libFuzzer target over the package logic. The first input byte picks the mode:
//   odd:  the rest is a package image; extraction must stay inside it, send only safe paths
//         inside the target folder to the sink, and return a result that matches the writes;
//         on two threads, both ways, it must give what one thread gives, write for write and
//         byte for byte;
//   even: the rest is cut into 17 files that are packed and extracted again, which must give
//         them back byte for byte.
// Every input is also walked as a folder path.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include "package/entryname.h"
#include "package/image.h"
#include "package/packbuild.h"

namespace {

const char kTarget[] = "C:\\T";

struct Seen {
  int writes = 0;
  std::vector<std::string> paths;
  std::vector<std::vector<uint8_t>> files;
};

// An independent, cruder form of the path rule: the target, then components that are not empty,
// hold no colon or slash, and do not end in a dot or a space (Windows drops those, so ".. "
// would be ".."). Names such as "read...txt" or "Manual..xt" are legal and pass.
bool InsideTarget(const char* path) {
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

int32_t CheckFolder(void*, const char* path) {
  if (!InsideTarget(path)) abort();
  return 1;
}

int32_t CheckWrite(void* user, const char* path, uint32_t size, const void* bytes) {
  if (!InsideTarget(path)) abort();
  Seen* seen = static_cast<Seen*>(user);
  ++seen->writes;
  seen->paths.emplace_back(path);
  const uint8_t* b = static_cast<const uint8_t*>(bytes);
  seen->files.emplace_back(b, b + size);
  return 1;
}

int32_t CheckStep(void* user, const char* folder) {
  const std::string* path = static_cast<const std::string*>(user);
  if (path->compare(0, strlen(folder), folder) != 0) abort();
  return 1;
}

void* StartHelper(void* job) { return new std::thread(RunPackageHelper, job); }

void JoinHelper(void* thread) {
  static_cast<std::thread*>(thread)->join();
  delete static_cast<std::thread*>(thread);
}

struct Extraction {
  int32_t result;
  Seen seen;
  std::vector<uint8_t> image;
};

// One thread when threads is null.
Extraction Extract(const uint8_t* data, size_t size, const PackageThreads* threads) {
  Extraction run;
  run.image.assign(data, data + size);
  PackageDirectory directory = {};
  PackageSink sink = {CheckFolder, CheckWrite, nullptr, &run.seen};
  run.result = ExtractPackageImageOnTwoThreads(run.image.data(), (uint32_t)run.image.size(),
                                               &directory, kTarget, &sink, threads);
  return run;
}

void FuzzImage(const uint8_t* data, size_t size) {
  const Extraction one = Extract(data, size, nullptr);
  int failures = 17 - one.seen.writes;
  if (failures != 0 && one.result != -100 - failures) abort();
  if (failures == 0 && one.result != 0 && one.result != -1) abort();
  for (int32_t lanes : {PACKAGE_LANES_NEVER, PACKAGE_LANES_ALWAYS}) {
    const PackageThreads threads = {StartHelper, JoinHelper, nullptr, lanes};
    const Extraction two = Extract(data, size, &threads);
    if (two.result != one.result || two.seen.paths != one.seen.paths ||
        two.seen.files != one.seen.files || two.image != one.image) {
      abort();
    }
  }
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
  SealPackage(&directory, image.data());
  Seen seen;
  PackageSink sink = {CheckFolder, CheckWrite, nullptr, &seen};
  PackageDirectory extracted = directory;  // used as is when the image is only a directory
  int32_t result = ExtractPackageImage(image.data(), (uint32_t)image.size(), &extracted, kTarget,
                                       &sink);
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
  IsSafeEntryName(path.c_str(), 128);
  if (size == 0) return 0;
  if (data[0] & 1) {
    FuzzImage(data + 1, size - 1);
  } else {
    FuzzRoundTrip(data + 1, size - 1);
  }
  return 0;
}
