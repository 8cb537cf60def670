// Test helpers for packages: made-up files, a package made of them, a model of extraction
// written independently of the extraction code (separate passes, no plainDigest, results judged
// against the original files), and extraction's helper thread and signals made of std::thread.
// Used by the host and the Wine tests, the fuzzer and the benchmark.
#pragma once
#include <stdint.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/packagedir.h"
#include "package/image.h"
#include "package/keystream.h"
#include "package/md5.h"
#include "package/seal.h"
#include "package/stream.h"

namespace pkgtest {

struct File {
  std::string name;
  std::vector<uint8_t> bytes;
};

}  // namespace pkgtest

// One pass over the bytes; a length of 0 gives the MD5 of empty input.
inline void ComputeMd5(const uint8_t* bytes, uint32_t length, uint8_t digest[16]) {
  Md5State md5;
  Md5Init(&md5);
  Md5Update(&md5, bytes, length);
  Md5Final(&md5, digest);
}

// An entry's bytes fed to its stream: the digest of the bytes fed, then the keystream beside the
// other digest, 32 KB at a time.
inline void FeedEntryStream(EntryStream* stream, uint8_t* bytes, uint32_t count) {
  for (uint32_t done = 0; done < count; done += 32768) {
    const uint32_t part = count - done < 32768 ? count - done : 32768;
    Md5Update(&stream->in, bytes + done, part);
    TurnEntryBytes(stream, bytes + done, part);
  }
}

// XORs bytes[0..length) in place with the keystream of (entrySeed, length, mixDigest).
inline void ApplyPackageKeystream(uint8_t* bytes, uint32_t length, uint32_t entrySeed,
                                  const uint8_t mixDigest[16]) {
  KeystreamState ks;
  KeystreamStart(&ks, length, entrySeed, mixDigest);
  KeystreamApplyPart(&ks, bytes, length);
}

namespace pkgtest {

inline std::vector<uint8_t> RandomBytes(uint32_t seed, size_t length) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(length);
  for (auto& b : bytes) b = (uint8_t)random();
  return bytes;
}

// 17 files: some at the top, some in two sub-folders, sizes around the block size.
inline std::vector<File> SampleFiles() {
  static const size_t sizes[17] = {3000, 1, 17, 64, 65, 500, 16, 200, 1024,
                                   33, 129, 70, 5, 4096, 300, 63, 100};
  std::vector<File> files;
  for (int i = 0; i < 17; ++i) {
    std::string name = i < 5 ? "file" + std::to_string(i) + ".bin"
                       : i < 9 ? "Decoder\\part" + std::to_string(i) + ".dat"
                               : "Remote\\plugin" + std::to_string(i) + ".dll";
    files.push_back({name, RandomBytes(1000 + i, sizes[i])});
  }
  return files;
}

// image holds, at each entry's dataOffset, its plain bytes: sets each plainDigest, scrambles the
// entries in place and writes the directory to the image's first 2720 bytes.
inline void SealPackage(PackageDirectory* directory, uint8_t* image) {
  PackageStream stream;
  StartPackageStream(&stream, directory);
  for (int32_t i; (i = BeginPackageEntry(&stream)) >= 0;) {
    const PackageEntry* entry = &directory->entries[i];
    FeedEntryStream(&stream.entry, image + entry->dataOffset, entry->dataSize);
    EndPackageEntry(&stream);
  }
  memcpy(image, directory, PACKAGE_DIRECTORY_SIZE);
}

inline std::vector<uint8_t> MakePackage(const std::vector<File>& files) {
  const char* names[PACKAGE_ENTRY_COUNT];
  uint32_t sizes[PACKAGE_ENTRY_COUNT];
  for (int i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    names[i] = files[i].name.c_str();
    sizes[i] = (uint32_t)files[i].bytes.size();
  }
  PackageDirectory directory;
  uint64_t total = LayoutPackage(&directory, names, sizes);
  std::vector<uint8_t> image(total);
  for (int i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    if (sizes[i] != 0) memcpy(&image[directory.entries[i].dataOffset], files[i].bytes.data(), sizes[i]);
  }
  SealPackage(&directory, image.data());
  return image;
}

inline uint32_t ReadU32(const std::vector<uint8_t>& image, size_t at) {
  return image[at] | (image[at + 1] << 8) | (image[at + 2] << 16) | ((uint32_t)image[at + 3] << 24);
}

inline void WriteU32(std::vector<uint8_t>& image, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) image[at + i] = (uint8_t)(value >> (8 * i));
}

// Field positions of entry i in the image, by byte offset.
inline size_t OffsetField(int i) { return 160 * i + 128; }
inline size_t SizeField(int i) { return 160 * i + 132; }

// Which entries extraction must fail, judged by unscrambling each entry with its own separate
// passes and comparing with the file it should give. Names are not judged here.
inline std::vector<int> ModelFailedEntries(std::vector<uint8_t> image,
                                           const std::vector<File>& expected) {
  std::vector<int> failed;
  uint32_t seed = PACKAGE_SEED;
  uint8_t mix[16] = {0};
  for (int i = 0; i < 17; ++i) {
    uint32_t offset = ReadU32(image, OffsetField(i)), size = ReadU32(image, SizeField(i));
    if ((uint64_t)offset + size > image.size()) {
      failed.push_back(i);
      continue;
    }
    std::vector<uint8_t> bytes(image.begin() + offset, image.begin() + offset + size);
    uint8_t stored[16];
    ComputeMd5(bytes.data(), size, stored);
    ApplyPackageKeystream(bytes.data(), size, seed, mix);
    if (bytes != expected[i].bytes) failed.push_back(i);
    memcpy(mix, stored, 16);
    seed = NextEntrySeed(seed, stored);
  }
  return failed;
}

// The helper thread and signals of extraction, from std::thread and a condition variable. Every
// wait is counted, and one that has not ended after ten seconds as well: a hand-over that never
// comes shows as a time-out (the waiting thread then looks again and waits on) instead of a hang.
inline std::atomic<int> waitsBegun{0}, waitsEnded{0}, waitsTimedOut{0};

struct Signal {
  std::mutex mutex;
  std::condition_variable changed;
  bool set = false;
};

inline void* StartHelper(void* job) { return new std::thread(RunPackageHelper, job); }

inline void JoinHelper(void* thread) {
  static_cast<std::thread*>(thread)->join();
  delete static_cast<std::thread*>(thread);
}

inline void* MakeSignal() { return new Signal; }

inline void RaiseSignal(void* signal) {
  Signal* s = static_cast<Signal*>(signal);
  std::lock_guard<std::mutex> lock(s->mutex);
  s->set = true;
  s->changed.notify_one();
}

inline void AwaitSignal(void* signal) {
  Signal* s = static_cast<Signal*>(signal);
  ++waitsBegun;
  std::unique_lock<std::mutex> lock(s->mutex);
  if (!s->changed.wait_for(lock, std::chrono::seconds(10), [s] { return s->set; })) {
    ++waitsTimedOut;
  }
  s->set = false;
  ++waitsEnded;
}

inline void FreeSignal(void* signal) { delete static_cast<Signal*>(signal); }

inline PackageThreads StdThreads(int32_t schedule, int32_t processors = 2) {
  return {StartHelper, JoinHelper, MakeSignal, RaiseSignal, AwaitSignal, FreeSignal, processors,
          schedule};
}

}  // namespace pkgtest
