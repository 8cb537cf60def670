// libFuzzer target, differential: the rest of the input after its first byte is a package image,
// extracted by the fused loop on one thread, then on the lanes on one thread and on two (a
// std::thread helper); each must give the fused loop's result, writes and image bytes exactly.
// Inputs reach past the lanes' 64 KB parts (run with -max_len above it: tests/fuzz/run.sh does),
// so that entries span several parts and the threads hand over while others still run. The first
// byte, when odd, gives the entries the plain digests extraction arrives at, so that they pass
// and the files are placed (most fuzzed images fail every digest). Where no entries share bytes,
// the lanes over parts read (packtool's verify) must give every entry's stored digest alike in
// both readings and the plain digest one thread gets, on one share and on two, in 4 KB parts.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "../host/package_testkit.h"
#include "package/blocklanes.h"
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

struct ImageReads {
  const std::vector<uint8_t>* image;
  const PackageDirectory* directory;
};

int32_t ReadImage(void* user, int32_t, int32_t e, uint32_t at, uint8_t* bytes, uint32_t count) {
  const ImageReads* reads = static_cast<const ImageReads*>(user);
  memcpy(bytes, reads->image->data() + reads->directory->entries[e].dataOffset + at, count);
  return 1;
}

void CheckLanesFromReads(const std::vector<uint8_t>& image) {
  const uint32_t size = (uint32_t)image.size();
  PackageDirectory directory;
  if (size <= PACKAGE_DIRECTORY_SIZE) return;
  CopyPackageDirectory(image.data(), size, &directory);
  if (EntriesShareBytes(&directory, size)) return;
  std::vector<uint8_t> expected = image;
  DigestAsExtractionWould(expected);
  ImageReads reads = {&image, &directory};
  const LaneReader reader = {ReadImage, &reads};
  for (int32_t shares = 1; shares <= 2; ++shares) {
    LaneCheck check;
    StartLaneCheck(&check, &directory, size, shares);
    check.part = 4096;
    std::vector<uint8_t> buffers(4 * check.part);
    for (int32_t phase = 0; phase < 2; ++phase) {
      for (int32_t s = 0; s < shares; ++s) {
        if (!RunLaneShare(&check, &reader, s, phase, buffers.data())) abort();
      }
      if (phase == 0) ChainLaneCheck(&check);
    }
    for (int32_t i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
      if (check.inImage[i] && (memcmp(check.stored[i], check.again[i], 16) != 0 ||
                               memcmp(check.plain[i], &expected[160 * i + 136], 16) != 0)) {
        abort();
      }
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
  for (int32_t schedule : {PACKAGE_LANES_ONE_THREAD, PACKAGE_LANES_TWO_THREADS}) {
    const Extraction lanes = Extract(image, schedule);
    if (lanes.result != one.result || lanes.seen.paths != one.seen.paths ||
        lanes.seen.files != one.seen.files || lanes.image != one.image) {
      abort();
    }
  }
  CheckLanesFromReads(image);
  return 0;
}
