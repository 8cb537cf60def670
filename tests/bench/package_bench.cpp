// Benchmark of extraction: a generated package (256 MB and 3 runs unless given) extracted
// in memory through a sink that writes nothing, on one thread and on two, against one MD5 pass
// over the same bytes and the naive three separate passes, all measured in this run. Prints
// figures; asserts nothing.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>

#include "package/image.h"
#include "package/keystream.h"
#include "package/md5.h"
#include "package/packbuild.h"

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
// The helper thread as the installer makes it.
static DWORD WINAPI HelperMain(void* job) {
  RunPackageHelper(job);
  return 0;
}
static void* StartHelper(void* job) {
  return CreateThread(nullptr, 0, HelperMain, job, 0, nullptr);
}
static void JoinHelper(void* thread) {
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}
static void LetOtherThreadsRun() { SwitchToThread(); }
static double PeakMegabytes() {
  PROCESS_MEMORY_COUNTERS counters;
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  return counters.PeakWorkingSetSize / 1048576.0;
}
#else
#include <sys/resource.h>

#include <thread>
static void* StartHelper(void* job) { return new std::thread(RunPackageHelper, job); }
static void JoinHelper(void* thread) {
  static_cast<std::thread*>(thread)->join();
  delete static_cast<std::thread*>(thread);
}
static void LetOtherThreadsRun() { std::this_thread::yield(); }
static double PeakMegabytes() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024.0;
}
#endif

static double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

static int32_t NoFolder(void*, const char*) { return 1; }
static int32_t NoWrite(void*, const char*, uint32_t, const void*) { return 1; }

int main(int argc, char** argv) {
  double startPeak = PeakMegabytes();  // the process before the package: code, runtime, Wine
  uint32_t megabytes = argc > 1 ? (uint32_t)atoi(argv[1]) : 256;
  int runs = argc > 2 ? atoi(argv[2]) : 3;
  uint32_t entrySize = (uint32_t)(((uint64_t)megabytes << 20) / PACKAGE_ENTRY_COUNT);
  static const char* names[PACKAGE_ENTRY_COUNT] = {
      "a0", "a1", "a2", "a3", "a4", "a5", "a6", "a7", "a8",
      "R\\b9", "R\\b10", "R\\b11", "R\\b12", "R\\b13", "R\\b14", "R\\b15", "R\\b16"};
  uint32_t sizes[PACKAGE_ENTRY_COUNT];
  for (int i = 0; i < PACKAGE_ENTRY_COUNT; ++i) sizes[i] = entrySize;
  PackageDirectory directory;
  uint32_t total = (uint32_t)LayoutPackage(&directory, names, sizes);
  uint8_t* image = (uint8_t*)malloc(total);
  if (image == nullptr) {
    fprintf(stderr, "cannot allocate %u bytes\n", total);
    return 1;
  }
  uint32_t x = 2463534242u;  // xorshift32: cheap incompressible plain bytes
  for (uint32_t i = 0; i < total; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    image[i] = (uint8_t)x;
  }
  SealPackage(&directory, image);
  uint32_t data = total - PACKAGE_DIRECTORY_SIZE;
  double mb = data / 1048576.0;

  // Each figure is the best of a few runs: on a shared machine the slow runs measure the
  // neighbours. Extraction unscrambles the package, so it is sealed again (untimed) before the
  // next run; sealing plain bytes gives the same package.
  double md5Time = 1e9, naiveTime = 1e9, extractTime = 1e9, twoTime = 1e9;
  int32_t result = 0, twoResult = 0;
  const PackageThreads threads = {StartHelper, JoinHelper, LetOtherThreadsRun};
  for (int run = 0; run < runs; ++run) {
    uint8_t digest[16];
    double t0 = Now();
    ComputeMd5(image + PACKAGE_DIRECTORY_SIZE, data, digest);
    double t = Now() - t0;
    if (t < md5Time) md5Time = t;

    // The naive loop: three separate passes per entry.
    uint32_t seed = PACKAGE_SEED;
    uint8_t mix[16] = {0};
    t0 = Now();
    for (int i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
      uint8_t* bytes = image + directory.entries[i].dataOffset;
      uint8_t stored[16], plain[16];
      ComputeMd5(bytes, entrySize, stored);
      ApplyPackageKeystream(bytes, entrySize, seed, mix);
      ComputeMd5(bytes, entrySize, plain);
      if (memcmp(plain, directory.entries[i].plainDigest, 16) != 0) return 2;
      memcpy(mix, stored, 16);
      seed = NextEntrySeed(seed, stored);
    }
    t = Now() - t0;
    if (t < naiveTime) naiveTime = t;
    SealPackage(&directory, image);

    PackageDirectory copy;
    PackageSink sink = {NoFolder, NoWrite, nullptr, nullptr};
    t0 = Now();
    result = ExtractPackageImage(image, total, &copy, "C:\\T", &sink);
    t = Now() - t0;
    if (t < extractTime) extractTime = t;
    SealPackage(&directory, image);

    t0 = Now();
    twoResult = ExtractPackageImageOnTwoThreads(image, total, &copy, "C:\\T", &sink, &threads);
    t = Now() - t0;
    if (t < twoTime) twoTime = t;
    SealPackage(&directory, image);
  }

  double peak = PeakMegabytes();
  printf("package            %.1f MB of entries (%u bytes with the directory), best of %d\n", mb,
         total, runs);
  printf("one MD5 pass       %.1f MB/s\n", mb / md5Time);
  printf("extraction         %.1f MB/s  (result %d)\n", mb / extractTime, result);
  printf("extraction / MD5   %.2fx the time of one MD5 pass\n", extractTime / md5Time);
  printf("on two threads     %.1f MB/s  (result %d), %.2fx the time of one MD5 pass\n",
         mb / twoTime, twoResult, twoTime / md5Time);
  printf("naive three passes %.2fx\n", naiveTime / md5Time);
  printf("peak memory        %.1f MB = %.1f at start + package %.1f + %.1f MB more\n", peak,
         startPeak, total / 1048576.0, peak - startPeak - total / 1048576.0);
  free(image);
  return result == 0 && twoResult == 0 ? 0 : 1;
}
