// Benchmark of extraction: generated packages (256 MB and 3 runs unless given) extracted in
// memory through a sink that writes nothing, in each schedule (the fused loop, the lanes on one
// thread and on two at four lanes and at eight, and the one extraction chooses), against one MD5 pass over the same bytes
// and the naive three separate passes, all measured in this run. `package_bench small [RUNS]`
// times small packages instead, for the size below which the fused loop is chosen. Prints
// figures; asserts nothing.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <initializer_list>

#include "package/image.h"
#include "package/keystream.h"
#include "package/md5.h"
#include "../host/package_testkit.h"

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>

#include "package/extract.h"
// The installer's own threads and signals.
static PackageThreads ThreadsOf(int32_t schedule, int32_t width = 0) {
  PackageThreads threads;
  InstallerPackageThreads(&threads);
  threads.schedule = schedule;
  threads.width = width;
  return threads;
}
static double PeakMegabytes() {
  PROCESS_MEMORY_COUNTERS counters;
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  return counters.PeakWorkingSetSize / 1048576.0;
}
#else
#include <sys/resource.h>

#include <thread>

static PackageThreads ThreadsOf(int32_t schedule, int32_t width = 0) {
  PackageThreads threads =
      pkgtest::StdThreads(schedule, (int32_t)std::thread::hardware_concurrency());
  threads.width = width;
  return threads;
}
static double PeakMegabytes() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024.0;
}
#endif

static double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

static int32_t NoPlace(void*, int32_t, const PackageEntry*, const uint8_t*, int32_t outcome) {
  return outcome;
}

// The lanes at four (SSE2) and at eight (AVX2; four where the processor lacks it).
enum { WAY_FUSED, WAY_LANES_ONE, WAY_LANES_TWO, WAY_WIDE_ONE, WAY_WIDE_TWO, WAY_CHOSEN, WAY_COUNT };
static const int32_t wayScheduled[WAY_COUNT] = {
    PACKAGE_FUSED_LOOP,       PACKAGE_LANES_ONE_THREAD,  PACKAGE_LANES_TWO_THREADS,
    PACKAGE_LANES_ONE_THREAD, PACKAGE_LANES_TWO_THREADS, PACKAGE_SCHEDULE_CHOSEN};
static const int32_t wayWidth[WAY_COUNT] = {0, 4, 4, 8, 8, 0};

struct Figures {
  double mb, md5, naive, way[WAY_COUNT];
  int32_t result;  // 0 when every way extracted every entry
  uint32_t total;
};

// A package of the given entry sizes, its plain bytes generated, sealed; null when it does not fit.
static uint8_t* MakePackage(const uint32_t sizes[PACKAGE_ENTRY_COUNT], PackageDirectory* directory,
                            uint32_t* total) {
  static const char* names[PACKAGE_ENTRY_COUNT] = {
      "a0", "a1", "a2", "a3", "a4", "a5", "a6", "a7", "a8",
      "R\\b9", "R\\b10", "R\\b11", "R\\b12", "R\\b13", "R\\b14", "R\\b15", "R\\b16"};
  *total = (uint32_t)LayoutPackage(directory, names, sizes);
  uint8_t* image = (uint8_t*)malloc(*total);
  if (image == nullptr) {
    fprintf(stderr, "cannot allocate %u bytes\n", *total);
    return nullptr;
  }
  uint32_t x = 2463534242u;  // xorshift32: cheap incompressible plain bytes
  for (uint32_t i = 0; i < *total; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    image[i] = (uint8_t)x;
  }
  pkgtest::SealPackage(directory, image);
  return image;
}

// One extraction in the given way, timed; the image is sealed again afterwards (untimed).
static double TimeWay(uint8_t* image, uint32_t total, PackageDirectory* directory, int way,
                      int32_t* result) {
  static const PackageSink sink = {NoPlace, nullptr, nullptr};
  const PackageThreads threads = ThreadsOf(wayScheduled[way], wayWidth[way]);
  PackageDirectory copy;
  double t0 = Now();
  *result = ExtractPackageImageScheduled(image, total, &copy, &sink, &threads);
  double t = Now() - t0;
  pkgtest::SealPackage(directory, image);
  return t;
}

// One package of the given entry sizes, extracted each way, best of runs.
static int32_t Measure(const uint32_t sizes[PACKAGE_ENTRY_COUNT], int runs, Figures* figures) {
  PackageDirectory directory;
  uint32_t total;
  uint8_t* image = MakePackage(sizes, &directory, &total);
  if (image == nullptr) return 1;
  uint32_t data = total - PACKAGE_DIRECTORY_SIZE;
  figures->mb = data / 1048576.0;
  figures->total = total;
  figures->result = 0;

  // Each figure is the best of a few runs: on a shared machine the slow runs measure the
  // neighbours. Extraction unscrambles the package, so it is sealed again (untimed) before the
  // next run; sealing plain bytes gives the same package.
  figures->md5 = figures->naive = 1e9;
  for (double& way : figures->way) way = 1e9;
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
    pkgtest::SealPackage(&directory, image);

    for (int way = 0; way < WAY_COUNT; ++way) {
      int32_t result;
      t = TimeWay(image, total, &directory, way, &result);
      if (result != 0) figures->result = 3;
      if (t < figures->way[way]) figures->way[way] = t;
    }
  }
  free(image);
  return 0;
}

static void Print(const char* shape, const Figures& f) {
  printf("%s: %.1f MB of entries, one MD5 pass %.1f MB/s; times of one MD5 pass:\n", shape, f.mb,
         f.mb / f.md5);
  printf("  naive three passes %.2fx, fused loop %.2fx, as chosen %.2fx%s\n"
         "  four lanes: on one thread %.2fx, on two %.2fx; eight lanes: on one thread %.2fx, "
         "on two %.2fx\n",
         f.naive / f.md5, f.way[WAY_FUSED] / f.md5, f.way[WAY_CHOSEN] / f.md5,
         f.result == 0 ? "" : "  (AN EXTRACTION FAILED)", f.way[WAY_LANES_ONE] / f.md5,
         f.way[WAY_LANES_TWO] / f.md5, f.way[WAY_WIDE_ONE] / f.md5, f.way[WAY_WIDE_TWO] / f.md5);
}

// Small packages of 17 equal entries: the fused loop, the lanes (eight where the processor allows)
// on one thread, and on two, which must start a thread and its signals first; best of runs, in
// microseconds.
static int32_t MeasureSmall(int runs) {
  printf("small packages, 17 equal entries, best of %d runs: fused loop, lanes on one thread, "
         "lanes on two threads\n", runs);
  for (uint32_t kilobytes = 16; kilobytes <= 4096; kilobytes *= 2) {
    uint32_t sizes[PACKAGE_ENTRY_COUNT];
    for (uint32_t& size : sizes) size = kilobytes * 1024 / PACKAGE_ENTRY_COUNT;
    PackageDirectory directory;
    uint32_t total;
    uint8_t* image = MakePackage(sizes, &directory, &total);
    if (image == nullptr) return 1;
    double best[WAY_COUNT] = {1e9, 1e9, 1e9, 1e9, 1e9, 1e9};
    int32_t result = 0;
    for (int run = 0; run < runs; ++run) {
      for (int way : {WAY_FUSED, WAY_WIDE_ONE, WAY_WIDE_TWO}) {
        double t = TimeWay(image, total, &directory, way, &result);
        if (t < best[way]) best[way] = t;
      }
    }
    printf("  %5u KB: %8.1f us %8.1f us %8.1f us\n", kilobytes, best[WAY_FUSED] * 1e6,
           best[WAY_WIDE_ONE] * 1e6, best[WAY_WIDE_TWO] * 1e6);
    free(image);
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc > 1 && strcmp(argv[1], "small") == 0) {
    return MeasureSmall(argc > 2 ? atoi(argv[2]) : 50);
  }
  double startPeak = PeakMegabytes();  // the process before the package: code, runtime, Wine
  uint32_t megabytes = argc > 1 ? (uint32_t)atoi(argv[1]) : 256;
  int runs = argc > 2 ? atoi(argv[2]) : 3;
  uint64_t bytes = (uint64_t)megabytes << 20;
  const PackageThreads chosen = ThreadsOf(PACKAGE_SCHEDULE_CHOSEN);
  printf("extraction in memory, best of %d runs; processors for extraction: %s; lanes: %d\n",
         runs, chosen.processors >= 2 ? "two or more" : "one", PackageLaneWidth());
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
