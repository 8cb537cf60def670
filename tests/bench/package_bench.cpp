// Benchmark of extraction: generated packages (256 MB and 3 runs unless given) extracted in
// memory through a sink that writes nothing, on one thread and both ways on two, against one MD5
// pass over the same bytes and the naive three separate passes, all measured in this run. Prints
// figures; asserts nothing.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <initializer_list>

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

struct Figures {
  double mb, md5, naive, one, pipeline, lanes;
  int32_t result;  // 0 when every way extracted every entry
  uint32_t total;
};

// One package of the given entry sizes, generated, sealed and extracted each way, best of runs.
static int32_t Measure(const uint32_t sizes[PACKAGE_ENTRY_COUNT], int runs, Figures* figures) {
  static const char* names[PACKAGE_ENTRY_COUNT] = {
      "a0", "a1", "a2", "a3", "a4", "a5", "a6", "a7", "a8",
      "R\\b9", "R\\b10", "R\\b11", "R\\b12", "R\\b13", "R\\b14", "R\\b15", "R\\b16"};
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
  figures->mb = data / 1048576.0;
  figures->total = total;
  figures->result = 0;

  // Each figure is the best of a few runs: on a shared machine the slow runs measure the
  // neighbours. Extraction unscrambles the package, so it is sealed again (untimed) before the
  // next run; sealing plain bytes gives the same package.
  figures->md5 = figures->naive = figures->one = figures->pipeline = figures->lanes = 1e9;
  PackageSink sink = {NoFolder, NoWrite, nullptr, nullptr};
  const PackageThreads pipeline = {StartHelper, JoinHelper, LetOtherThreadsRun,
                                   PACKAGE_LANES_NEVER};
  const PackageThreads lanes = {StartHelper, JoinHelper, LetOtherThreadsRun,
                                PACKAGE_LANES_ALWAYS};
  for (int run = 0; run < runs; ++run) {
    uint8_t digest[16];
    double t0 = Now();
    ComputeMd5(image + PACKAGE_DIRECTORY_SIZE, data, digest);
    double t = Now() - t0;
    if (t < figures->md5) figures->md5 = t;

    // The naive loop: three separate passes per entry.
    uint32_t seed = PACKAGE_SEED;
    uint8_t mix[16] = {0};
    t0 = Now();
    for (int i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
      uint8_t* bytes = image + directory.entries[i].dataOffset;
      uint8_t stored[16], plain[16];
      ComputeMd5(bytes, sizes[i], stored);
      ApplyPackageKeystream(bytes, sizes[i], seed, mix);
      ComputeMd5(bytes, sizes[i], plain);
      if (memcmp(plain, directory.entries[i].plainDigest, 16) != 0) figures->result = 2;
      memcpy(mix, stored, 16);
      seed = NextEntrySeed(seed, stored);
    }
    t = Now() - t0;
    if (t < figures->naive) figures->naive = t;
    SealPackage(&directory, image);

    PackageDirectory copy;
    t0 = Now();
    if (ExtractPackageImage(image, total, &copy, "C:\\T", &sink) != 0) figures->result = 3;
    t = Now() - t0;
    if (t < figures->one) figures->one = t;
    SealPackage(&directory, image);

    for (const PackageThreads* way : {&pipeline, &lanes}) {
      t0 = Now();
      int32_t result = ExtractPackageImageOnTwoThreads(image, total, &copy, "C:\\T", &sink, way);
      t = Now() - t0;
      if (result != 0) figures->result = 4;
      double* best = way == &pipeline ? &figures->pipeline : &figures->lanes;
      if (t < *best) *best = t;
      SealPackage(&directory, image);
    }
  }
  free(image);
  return 0;
}

static void Print(const char* shape, const Figures& f) {
  printf("%s: %.1f MB of entries, one MD5 pass %.1f MB/s; times of one MD5 pass:\n", shape, f.mb,
         f.mb / f.md5);
  printf("  naive three passes %.2fx, one thread %.2fx, two threads: pipeline %.2fx, "
         "four lanes each %.2fx%s\n",
         f.naive / f.md5, f.one / f.md5, f.pipeline / f.md5, f.lanes / f.md5,
         f.result == 0 ? "" : "  (AN EXTRACTION FAILED)");
}

int main(int argc, char** argv) {
  double startPeak = PeakMegabytes();  // the process before the package: code, runtime, Wine
  uint32_t megabytes = argc > 1 ? (uint32_t)atoi(argv[1]) : 256;
  int runs = argc > 2 ? atoi(argv[2]) : 3;
  uint64_t bytes = (uint64_t)megabytes << 20;
  printf("extraction in memory, best of %d runs\n", runs);
  // Seventeen equal entries, as in the peer comparison; then one entry of half the bytes.
  uint32_t sizes[PACKAGE_ENTRY_COUNT];
  for (int i = 0; i < PACKAGE_ENTRY_COUNT; ++i) sizes[i] = (uint32_t)(bytes / PACKAGE_ENTRY_COUNT);
  Figures equal, large;
  if (Measure(sizes, runs, &equal) != 0) return 1;
  double peak = PeakMegabytes();
  Print("17 equal entries", equal);
  sizes[0] = (uint32_t)(bytes / 2);
  for (int i = 1; i < PACKAGE_ENTRY_COUNT; ++i) sizes[i] = (uint32_t)(bytes / 2 / 16);
  if (Measure(sizes, runs, &large) != 0) return 1;
  Print("one entry of half the bytes", large);
  printf("peak memory (equal entries) %.1f MB = %.1f at start + package %.1f + %.1f MB more\n",
         peak, startPeak, equal.total / 1048576.0, peak - startPeak - equal.total / 1048576.0);
  return equal.result == 0 && large.result == 0 ? 0 : 1;
}
