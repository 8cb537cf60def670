// libFuzzer target over packtool's PE reader, the path of `list`, `verify` and `unpack`: the input
// is a whole file. The reader must refuse it with one line or describe it within the file: the
// package inside it, every resource's data inside the image and the file. When build would
// accept it, the rebuilt image (with a small package) must be accepted again, with the same tree.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "tools/packtool/pe.h"

namespace {

void Require(bool condition) {
  if (!condition) abort();
}

// The file in memory, read through the reader.
bool ReadMemory(void* user, uint64_t offset, void* bytes, size_t size) {
  memcpy(bytes, static_cast<const uint8_t*>(user) + offset, size);
  return true;
}

PeFile InMemory(const uint8_t* data, size_t size) {
  return {size, ReadMemory, const_cast<uint8_t*>(data)};
}

bool SameShape(const ResourceTree& a, const ResourceTree& b) {
  if (a.directories.size() != b.directories.size() || a.data.size() != b.data.size()) return false;
  for (size_t d = 0; d < a.directories.size(); ++d) {
    const std::vector<ResourceEntry>& x = a.directories[d].entries;
    const std::vector<ResourceEntry>& y = b.directories[d].entries;
    if (x.size() != y.size()) return false;
    for (size_t i = 0; i < x.size(); ++i) {
      if (x[i].named != y[i].named || x[i].name != y[i].name ||
          (!x[i].named && x[i].id != y[i].id) || x[i].directory != y[i].directory ||
          x[i].data != y[i].data) {
        return false;
      }
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  PeFile file = InMemory(data, size);
  PeImage image;
  std::string error;
  int kind = ReadPeImage(file, &image, &error);
  if (kind != 1) {
    Require(kind == 0 || (!error.empty() && error.find('\n') == std::string::npos));
    return 0;
  }
  for (const ResourceData& d : image.tree.data) {
    int64_t at = PeFileRange(image.pe, size, d.rva, d.size);
    Require(at >= 0 && (uint64_t)at + d.size <= size);
  }
  if (image.package >= 0) {
    Require(image.packageOffset + image.packageSize <= size);
    volatile uint8_t sum = 0;  // the bytes list would copy out
    for (uint32_t i = 0; i < image.packageSize; i += 512) sum = sum + data[image.packageOffset + i];
  }
  PeImage layout;
  if (!ReadInstaller(file, &layout, &error)) return 0;
  const uint32_t packageSize = 3000;
  if (BuiltImageSize(layout, packageSize) > (64u << 20)) return 0;
  std::vector<uint8_t> out;
  size_t packageOffset;
  Require(WriteInstallerAround(file, layout, packageSize, &out, &packageOffset, &error));
  Require(packageOffset <= out.size());
  out.insert(out.begin() + packageOffset, packageSize, 0xA5);
  // The checksum of the whole file in one piece, its field taken as zero; build sums the file in
  // pieces as it writes them, the package in blocks of any length: the same checksum whatever
  // the pieces' offsets.
  const size_t field = layout.pe.optionalHeader + PE_OPTIONAL_CHECKSUM;
  Require(field + 4 <= packageOffset);
  memset(out.data() + field, 0, 4);
  const uint32_t whole = PeChecksumFinish(PeChecksumAdd(0, out.data(), out.size()), 0, out.size());
  memcpy(out.data() + field, &whole, 4);
  const size_t cut = packageOffset + 1 + data[size / 2] % (packageSize - 1);
  uint64_t pieces = PeChecksumAddAt(0, 0, out.data(), packageOffset);
  pieces = PeChecksumAddAt(pieces, packageOffset, out.data() + packageOffset, cut - packageOffset);
  pieces = PeChecksumAddAt(pieces, cut, out.data() + cut, out.size() - cut);
  uint32_t stored;
  memcpy(&stored, out.data() + field, 4);
  Require(PeChecksumFinish(pieces, stored, out.size()) == stored);
  PeImage again;
  PeFile rebuilt = InMemory(out.data(), out.size());
  if (!ReadInstaller(rebuilt, &again, &error)) {
    fprintf(stderr, "the rebuilt image is refused: %s\n", error.c_str());
    abort();
  }
  Require(SameShape(layout.tree, again.tree) && again.package == layout.package &&
          again.packageSize == packageSize && again.packageOffset == packageOffset);
  return 0;
}
