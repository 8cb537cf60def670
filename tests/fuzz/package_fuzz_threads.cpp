// libFuzzer target, differential: the rest of the input after its first byte is a package image,
// extracted by the fused loop on one thread, then on the lanes on one thread and on two (a
// std::thread helper); each must give the fused loop's result, writes and image bytes exactly.
// Inputs reach past the lanes' 64 KB parts (run with -max_len above it: tests/fuzz/run.sh does),
// so that entries span several parts and the threads hand over while others still run. The first
// byte, when odd, gives the entries the plain digests extraction arrives at, so that they pass
// and the files are placed (most fuzzed images fail every digest). Where no entries share bytes,
// the lanes over the package read in 4 KB parts (the packing tool's way) must give the same
// result and files, on one thread and on two.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "../host/package_testkit.h"
#include "package/image.h"
#include "package/keystream.h"
#include "package/md5.h"
#include "package_fuzz.h"

namespace {

using namespace fuzzcheck;

struct Extraction {
  int32_t result;
  Seen seen;
  std::vector<uint8_t> image;
};

Extraction Extract(const std::vector<uint8_t>& image, int32_t schedule, int32_t width = 0) {
  Extraction run;
  run.image = image;
  PackageDirectory directory = {};
  PackageSink sink = {CheckPlace, nullptr, &run.seen};
  PackageThreads threads = pkgtest::StdThreads(schedule);
  threads.width = width;
  run.result = ExtractPackageImageScheduled(run.image.data(), (uint32_t)run.image.size(),
                                            &directory, &sink, &threads);
  return run;
}

// Writes into each in-image entry's plainDigest the digest its bytes get on one thread.
void DigestAsExtractionWould(std::vector<uint8_t>& image) {
  if (image.size() <= PACKAGE_DIRECTORY_SIZE) return;
  std::vector<uint8_t> work = image;
  PackageDirectory directory;
  memcpy(&directory, image.data(), PACKAGE_DIRECTORY_SIZE);
  EntryChain chain;
  StartEntryChain(&chain);
  for (int i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    const PackageEntry& entry = directory.entries[i];
    if ((uint64_t)entry.dataOffset + entry.dataSize > image.size()) continue;
    uint8_t stored[16];
    ComputeMd5(&work[entry.dataOffset], entry.dataSize, stored);
    ApplyPackageKeystream(&work[entry.dataOffset], entry.dataSize, chain.entrySeed,
                          chain.mixDigest);
    ComputeMd5(&work[entry.dataOffset], entry.dataSize, &image[160 * i + 136]);
    ChainEntry(&chain, stored);
  }
}

// The package read in parts from memory (4 KB parts, so that entries span several), its plain
// bytes gathered per entry as they come, in order, and placed as the fused loop places them.
struct PartsRun {
  const std::vector<uint8_t>* image;
  const PackageDirectory* directory;
  std::vector<uint8_t> plain[PACKAGE_ENTRY_COUNT];
  Seen seen;
};

int32_t ReadImage(void* user, int32_t, int32_t e, uint32_t at, uint8_t* bytes, uint32_t count) {
  const PartsRun* run = static_cast<const PartsRun*>(user);
  memcpy(bytes, run->image->data() + run->directory->entries[e].dataOffset + at, count);
  return 1;
}

int32_t GatherPlain(void* user, int32_t e, uint32_t at, const uint8_t* bytes, uint32_t count) {
  std::vector<uint8_t>& plain = static_cast<PartsRun*>(user)->plain[e];
  if (at != plain.size()) abort();
  plain.insert(plain.end(), bytes, bytes + count);
  return 1;
}

int32_t PlaceGathered(void* user, int32_t index, const PackageEntry* entry, const uint8_t* bytes,
                      int32_t outcome) {
  PartsRun* run = static_cast<PartsRun*>(user);
  if (bytes != nullptr ||
      (outcome == ENTRY_WRITTEN && run->plain[index].size() != entry->dataSize)) {
    abort();
  }
  return CheckPlace(&run->seen, index, entry, run->plain[index].data(), outcome);
}

void CheckParts(const std::vector<uint8_t>& image, const Extraction& one) {
  const uint32_t size = (uint32_t)image.size();
  PackageDirectory directory;
  if (CopyPackageDirectory(image.data(), size, &directory) != 0 ||
      EntriesShareBytes(&directory, size)) {
    return;
  }
  for (int32_t n = 0; n < 4; ++n) {  // each schedule at four lanes, then eight (four without AVX2)
    PartsRun run = {&image, &directory, {}, {}};
    std::vector<uint8_t> buffers(8 * 4096);
    PackageReader reader = {ReadImage, &run, 4096, {buffers.data(), buffers.data() + 4 * 4096}, -1};
    PackageSink sink = {PlaceGathered, GatherPlain, &run};
    PackageThreads threads =
        pkgtest::StdThreads(n % 2 ? PACKAGE_LANES_TWO_THREADS : PACKAGE_LANES_ONE_THREAD);
    threads.width = n < 2 ? 4 : 8;
    if (ExtractPackageParts(&reader, size, &directory, &sink, &threads) != one.result ||
        run.seen.paths != one.seen.paths || run.seen.files != one.seen.files) {
      abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::vector<uint8_t> image(data + 1, data + size);
  if (data[0] & 1) DigestAsExtractionWould(image);
  const Extraction one = Extract(image, PACKAGE_FUSED_LOOP);
  CheckResult(one.result, one.seen);
  for (int32_t n = 0; n < 4; ++n) {  // each schedule at four lanes, then eight (four without AVX2)
    const Extraction lanes =
        Extract(image, n % 2 ? PACKAGE_LANES_TWO_THREADS : PACKAGE_LANES_ONE_THREAD, n < 2 ? 4 : 8);
    if (lanes.result != one.result || lanes.seen.paths != one.seen.paths ||
        lanes.seen.files != one.seen.files || lanes.image != one.image) {
      abort();
    }
  }
  CheckParts(image, one);
  return 0;
}
