// libFuzzer target, differential: the rest of the input after its first byte is a package image,
// extracted by the fused loop on one thread, then on the lanes on one thread and on two (a
// std::thread helper); each must give the fused loop's result, writes and image bytes exactly.
// Inputs reach past the lanes' 64 KB parts (run with -max_len above it: tests/fuzz/run.sh does),
// so that entries span several parts and the threads hand over while others still run. The first
// byte, when odd, gives the entries the plain digests extraction arrives at, so that they pass
// and the files are placed (most fuzzed images fail every digest).
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

Extraction Extract(const std::vector<uint8_t>& image, int32_t schedule) {
  Extraction run;
  run.image = image;
  PackageDirectory directory = {};
  PackageSink sink = {CheckFolder, CheckWrite, nullptr, &run.seen};
  const PackageThreads threads = pkgtest::StdThreads(schedule);
  run.result = ExtractPackageImageScheduled(run.image.data(), (uint32_t)run.image.size(),
                                            &directory, kTarget, &sink, &threads);
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::vector<uint8_t> image(data + 1, data + size);
  if (data[0] & 1) DigestAsExtractionWould(image);
  const Extraction one = Extract(image, PACKAGE_FUSED_LOOP);
  CheckResult(one.result, one.seen);
  for (int32_t schedule : {PACKAGE_LANES_ONE_THREAD, PACKAGE_LANES_TWO_THREADS}) {
    const Extraction lanes = Extract(image, schedule);
    if (lanes.result != one.result || lanes.seen.paths != one.seen.paths ||
        lanes.seen.files != one.seen.files || lanes.image != one.image) {
      abort();
    }
  }
  return 0;
}
