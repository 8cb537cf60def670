// Extraction of package images in memory through a recording sink: results, counted failures,
// chaining, hostile names, long paths, the lanes on one and two threads against the fused loop,
// the choice of schedule, the folder-path walk, and the resource's range rule.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "package/bounds.h"
#include "package/folder.h"
#include "package/image.h"
#include "package_testkit.h"

namespace {

using pkgtest::File;

struct MemorySink {
  std::thread::id caller = std::this_thread::get_id();
  int callsFromOtherThreads = 0;
  std::vector<std::string> folders;
  std::map<std::string, std::vector<uint8_t>> files;
  std::vector<std::string> writeOrder;
  std::string failWritesTo;  // a path whose write fails
  std::vector<int> outcomes = std::vector<int>(17, -1);
  std::string target = "C:\\T";
};

void NoteThread(MemorySink* sink) {
  if (std::this_thread::get_id() != sink->caller) ++sink->callsFromOtherThreads;
}

int32_t RecordFolder(void* user, const char* path) {
  NoteThread(static_cast<MemorySink*>(user));
  static_cast<MemorySink*>(user)->folders.push_back(path);
  return 1;
}

int32_t RecordFile(void* user, const char* path, uint32_t size, const void* bytes) {
  auto* sink = static_cast<MemorySink*>(user);
  NoteThread(sink);
  sink->writeOrder.push_back(path);
  if (sink->failWritesTo == path) return 0;
  const uint8_t* b = static_cast<const uint8_t*>(bytes);
  sink->files[path] = std::vector<uint8_t>(b, b + size);
  return 1;
}

// The sink: each outcome recorded, each entry that passed placed under the target.
int32_t RecordPlace(void* user, int32_t index, const PackageEntry* entry, const uint8_t* bytes,
                    int32_t outcome) {
  auto* sink = static_cast<MemorySink*>(user);
  NoteThread(sink);
  FolderWriter writer = {sink->target.c_str(), RecordFolder, RecordFile, sink};
  return sink->outcomes[index] = PlaceInFolder(&writer, index, entry, bytes, outcome);
}

int32_t Extract(std::vector<uint8_t>& image, MemorySink& memory, const char* target = "C:\\T",
                PackageDirectory* directory = nullptr) {
  PackageDirectory own = {};
  memory.target = target;
  PackageSink sink = {RecordPlace, nullptr, &memory};
  return ExtractPackageImageScheduled(image.data(), (uint32_t)image.size(),
                                      directory ? directory : &own, &sink, nullptr);
}

std::vector<int> FailedOutcomes(const MemorySink& memory) {
  std::vector<int> failed;
  for (int i = 0; i < 17; ++i) {
    if (memory.outcomes[i] != ENTRY_WRITTEN) failed.push_back(i);
  }
  return failed;
}

TEST(ExtractImage, WritesEveryFileWithItsBytesAndMakesOnlySubFolders) {
  std::vector<File> files = pkgtest::SampleFiles();
  std::vector<uint8_t> image = pkgtest::MakePackage(files);
  MemorySink memory;
  ASSERT_EQ(Extract(image, memory), 0);
  ASSERT_EQ(memory.files.size(), 17u);
  for (const File& f : files) EXPECT_EQ(memory.files["C:\\T\\" + f.name], f.bytes) << f.name;
  // Top-level entries need no folder; each sub-folder entry asks for its folder.
  EXPECT_EQ(memory.folders.size(), 12u);
  EXPECT_EQ(memory.folders.front(), "C:\\T\\Decoder");
  EXPECT_EQ(memory.folders.back(), "C:\\T\\Remote");
}

TEST(ExtractImage, AlteredStoredByteFailsEntriesTheModelPredicts) {
  std::vector<File> files = pkgtest::SampleFiles();
  for (int altered : {0, 5, 12, 16}) {
    std::vector<uint8_t> image = pkgtest::MakePackage(files);
    image[pkgtest::ReadU32(image, pkgtest::OffsetField(altered)) + 2] ^= 0x40;
    std::vector<int> expected = pkgtest::ModelFailedEntries(image, files);
    ASSERT_GE(expected.size(), altered == 16 ? 1u : 2u);  // the altered digest chains on
    MemorySink memory;
    EXPECT_EQ(Extract(image, memory), -100 - (int)expected.size()) << altered;
    EXPECT_EQ(FailedOutcomes(memory), expected) << altered;
    EXPECT_EQ(memory.files.size(), 17 - expected.size());
    EXPECT_EQ(memory.files.count("C:\\T\\" + files[altered].name), 0u);
  }
}

// An entry whose range ends one byte past the image is skipped without chaining, so the entries
// after it decode with the parameters it would have used.
TEST(ExtractImage, EntryOnePastTheEndIsCountedAndNotChained) {
  std::vector<File> files = pkgtest::SampleFiles();
  std::vector<uint8_t> image = pkgtest::MakePackage(files);
  // Shift entries 5..15 down one slot and put an out-of-range entry at 5.
  memmove(&image[160 * 6], &image[160 * 5], 160 * 11);
  memset(&image[160 * 5], 0, 160);
  memcpy(&image[160 * 5], "bad.bin", 7);
  pkgtest::WriteU32(image, pkgtest::SizeField(5), 10);
  pkgtest::WriteU32(image, pkgtest::OffsetField(5), (uint32_t)image.size() - 9);
  std::vector<File> shifted = files;
  shifted.insert(shifted.begin() + 5, File{"bad.bin", {}});
  shifted.pop_back();
  ASSERT_EQ(pkgtest::ModelFailedEntries(image, shifted), std::vector<int>{5});
  MemorySink memory;
  EXPECT_EQ(Extract(image, memory), -101);
  EXPECT_EQ(memory.outcomes[5], ENTRY_OUT_OF_BOUNDS);
  EXPECT_EQ(memory.files.size(), 16u);
  EXPECT_EQ(memory.files["C:\\T\\" + files[15].name], files[15].bytes);
  // Exactly at the end is inside.
  std::vector<uint8_t> fits = pkgtest::MakePackage(files);
  fits.push_back(0);
  pkgtest::WriteU32(fits, pkgtest::OffsetField(16), (uint32_t)fits.size() - 100);
  MemorySink fitsMemory;
  Extract(fits, fitsMemory);
  EXPECT_EQ(fitsMemory.outcomes[16], ENTRY_DIGEST_MISMATCH);
}

TEST(ExtractImage, OffsetNearFourGigabytesDoesNotWrapIntoTheImage) {
  std::vector<File> files = pkgtest::SampleFiles();
  std::vector<uint8_t> image = pkgtest::MakePackage(files);
  pkgtest::WriteU32(image, pkgtest::OffsetField(3), 0xFFFFFFF0u);  // + 64 wraps to 48
  MemorySink memory;
  Extract(image, memory);
  EXPECT_EQ(memory.outcomes[3], ENTRY_OUT_OF_BOUNDS);
}

TEST(ExtractImage, EmptyEntriesGiveZeroByteFilesAndEmptyLastGivesMinusOne) {
  std::vector<File> files = pkgtest::SampleFiles();
  files[3].bytes.clear();
  std::vector<uint8_t> image = pkgtest::MakePackage(files);
  ASSERT_TRUE(pkgtest::ModelFailedEntries(image, files).empty());
  MemorySink memory;
  EXPECT_EQ(Extract(image, memory), 0);
  EXPECT_EQ(memory.files.count("C:\\T\\" + files[3].name), 1u);
  EXPECT_TRUE(memory.files["C:\\T\\" + files[3].name].empty());
  EXPECT_EQ(memory.files["C:\\T\\" + files[4].name], files[4].bytes);  // chained on MD5("")

  files[16].bytes.clear();
  image = pkgtest::MakePackage(files);
  MemorySink lastEmpty;
  EXPECT_EQ(Extract(image, lastEmpty), -1);
  EXPECT_EQ(lastEmpty.files.size(), 17u);
}

TEST(ExtractImage, DirectoryIsCopiedOnlyFromImagesLargerThan2720Bytes) {
  std::vector<uint8_t> image = pkgtest::MakePackage(pkgtest::SampleFiles());
  PackageDirectory directory;
  memset(&directory, 0x5A, sizeof directory);
  EXPECT_EQ(CopyPackageDirectory(image.data(), 2720, &directory), -1);
  EXPECT_EQ(((uint8_t*)&directory)[0], 0x5A);
  EXPECT_EQ(CopyPackageDirectory(image.data(), 2721, &directory), 0);
  EXPECT_EQ(memcmp(&directory, image.data(), 2720), 0);
  EXPECT_EQ(CopyPackageDirectory(nullptr, 5000, &directory), -1);

  // A 2720-byte image keeps the directory already held: here all of its ranges lie outside.
  MemorySink memory;
  EXPECT_EQ(Extract(image = std::vector<uint8_t>(image.begin(), image.begin() + 2720), memory,
                    "C:\\T", &directory),
            -117);
}

TEST(ExtractImage, HostileNamesAreCountedAndNothingLandsOutsideTheTarget) {
  const char* hostile[] = {"..\\evil.dll", "a\\..\\..\\evil", "C:\\evil", "\\evil", "x:evil",
                           "Remote\\", "a\\\\b", "a/../b", "CON", "nul.txt", "evil.", "evil ",
                           ".\\evil", "a\\COM1.log", "e<v>il", "tab\tname"};
  std::vector<File> files = pkgtest::SampleFiles();
  for (int i = 0; i < 16; ++i) files[i].name = hostile[i];
  std::vector<uint8_t> image = pkgtest::MakePackage(files);
  // Entry 16: a name that fills all 128 bytes with no terminator.
  memset(&image[160 * 16], 'A', 128);
  MemorySink memory;
  EXPECT_EQ(Extract(image, memory), -117);
  for (int i = 0; i < 17; ++i) EXPECT_EQ(memory.outcomes[i], ENTRY_NAME_REFUSED) << i;
  EXPECT_TRUE(memory.writeOrder.empty());
  EXPECT_TRUE(memory.folders.empty());

  // Proof that the check is what stops them: the same package with plain names writes all.
  files = pkgtest::SampleFiles();
  image = pkgtest::MakePackage(files);
  MemorySink plain;
  EXPECT_EQ(Extract(image, plain), 0);
}

TEST(ExtractImage, PathThatDoesNotFitIsCountedNotCut) {
  std::vector<File> files = pkgtest::SampleFiles();
  std::vector<uint8_t> image = pkgtest::MakePackage(files);
  // "C:\" + 1000 letters: "\file0.bin" (10) fits in 1023 characters, "\Remote\plugin9.dll" not.
  std::string target = "C:\\" + std::string(1005, 'x');
  MemorySink memory;
  int32_t result = Extract(image, memory, target.c_str());
  for (int i = 0; i < 17; ++i) {
    bool fits = target.size() + 1 + files[i].name.size() <= 1023;
    EXPECT_EQ(memory.outcomes[i], fits ? ENTRY_WRITTEN : ENTRY_PATH_TOO_LONG) << files[i].name;
  }
  ASSERT_EQ(memory.files.size(), 5u);
  EXPECT_EQ(result, -112);
  for (const auto& written : memory.files) EXPECT_LE(written.first.size(), 1023u);
}

TEST(ExtractImage, FailedWriteIsCountedAndTheRestGoOn) {
  std::vector<File> files = pkgtest::SampleFiles();
  std::vector<uint8_t> image = pkgtest::MakePackage(files);
  MemorySink memory;
  memory.failWritesTo = "C:\\T\\" + files[2].name;
  EXPECT_EQ(Extract(image, memory), -101);
  EXPECT_EQ(memory.writeOrder.size(), 17u);
  EXPECT_EQ(memory.outcomes[2], ENTRY_WRITE_FAILED);
}

TEST(ExtractImage, TargetEndingWithBackslashGetsNoSecondOneAndFoldersForAll) {
  std::vector<File> files = pkgtest::SampleFiles();
  std::vector<uint8_t> image = pkgtest::MakePackage(files);
  MemorySink memory;
  EXPECT_EQ(Extract(image, memory, "C:\\T\\"), 0);
  EXPECT_EQ(memory.files.count("C:\\T\\" + files[0].name), 1u);
  EXPECT_EQ(memory.folders.size(), 17u);
  EXPECT_EQ(memory.folders.front(), "C:\\T");
}

// The scheduled extraction, with the std::thread helper and signals of the test kit, counted;
// startFails and signalsFail stand for a system that cannot make them.
std::atomic<int> helpersStarted{0};
bool startFails = false, signalsFail = false;
using pkgtest::waitsBegun;
using pkgtest::waitsEnded;
using pkgtest::waitsTimedOut;

void* StartCountedHelper(void* job) {
  if (startFails) return nullptr;
  ++helpersStarted;
  return pkgtest::StartHelper(job);
}

void* MakeSignalUnlessFailing() { return signalsFail ? nullptr : pkgtest::MakeSignal(); }

int32_t laneWidth = 0;  // the lanes forced on each thread (eight run on four without AVX2)
PackageThreads ThreadsOf(int32_t schedule, int32_t processors = 2) {
  PackageThreads threads = pkgtest::StdThreads(schedule, processors);
  threads.width = laneWidth;
  threads.startHelper = StartCountedHelper;
  threads.makeSignal = MakeSignalUnlessFailing;
  return threads;
}

// Gives each in-image entry the plainDigest that extraction on one thread, in place and in
// order, arrives at, so that entries sharing bytes pass too. Separate passes over the image.
void DigestAsExtractionInPlaceWould(std::vector<uint8_t>& image) {
  std::vector<uint8_t> work = image;
  uint32_t seed = PACKAGE_SEED;
  uint8_t mix[16] = {0};
  for (int i = 0; i < 17; ++i) {
    uint32_t offset = pkgtest::ReadU32(image, pkgtest::OffsetField(i));
    uint32_t size = pkgtest::ReadU32(image, pkgtest::SizeField(i));
    if ((uint64_t)offset + size > image.size()) continue;
    uint8_t stored[16];
    ComputeMd5(&work[offset], size, stored);
    ApplyPackageKeystream(&work[offset], size, seed, mix);
    ComputeMd5(&work[offset], size, &image[160 * i + 136]);
    memcpy(mix, stored, 16);
    seed = NextEntrySeed(seed, stored);
  }
}

struct ExtractionRun {
  int32_t result;
  MemorySink memory;
  std::vector<uint8_t> image;
  int helperEntries = 0;  // read in parts: the entries the helper read
};

ExtractionRun ExtractOnOneThread(std::vector<uint8_t> image, const char* target = "C:\\T") {
  ExtractionRun run;
  run.memory.failWritesTo = "C:\\T\\Decoder\\part7.dat";
  run.result = Extract(image, run.memory, target);
  run.image = image;
  return run;
}

ExtractionRun ExtractScheduled(std::vector<uint8_t> image, int32_t schedule,
                               int32_t processors = 2) {
  ExtractionRun run;
  run.memory.failWritesTo = "C:\\T\\Decoder\\part7.dat";
  PackageDirectory directory = {};
  PackageSink sink = {RecordPlace, nullptr, &run.memory};
  const PackageThreads threads = ThreadsOf(schedule, processors);
  run.result = ExtractPackageImageScheduled(image.data(), (uint32_t)image.size(), &directory,
                                            &sink, &threads);
  run.image = image;
  return run;
}

// Result, outcomes, every sink call in its order with its bytes, and the image afterwards.
void ExpectSameRuns(const ExtractionRun& one, const ExtractionRun& two, const std::string& what) {
  EXPECT_EQ(two.result, one.result) << what;
  EXPECT_EQ(two.memory.outcomes, one.memory.outcomes) << what;
  EXPECT_EQ(two.memory.folders, one.memory.folders) << what;
  EXPECT_EQ(two.memory.writeOrder, one.memory.writeOrder) << what;
  EXPECT_TRUE(two.memory.files == one.memory.files) << what;
  EXPECT_TRUE(two.image == one.image) << what;
  EXPECT_EQ(two.memory.callsFromOtherThreads, 0) << what;
}

// The package read in 4 KB parts from memory. The plain bytes of each entry are gathered as
// they come and written back at its offset, so that the run's image is the one unscrambling in
// place gives. Faults: a read of failEntry on failThread fails; the second reading of
// changeEntry differs; the sink refuses the plain bytes of refuseEntry.
struct PartsSource {
  const std::vector<uint8_t>* stored;
  ExtractionRun* run;
  std::vector<uint8_t> plain[17];
  // failThread 2: either thread; failEntry -1: any entry.
  int failThread = -1, failEntry = -1, changeEntry = -1, refuseEntry = -1;
  std::atomic<int> readings[17] = {}, helperReadings[17] = {};
};

int32_t ReadPart(void* user, int32_t thread, int32_t e, uint32_t at, uint8_t* bytes,
                 uint32_t count) {
  auto* source = static_cast<PartsSource*>(user);
  const std::vector<uint8_t>& stored = *source->stored;
  if ((thread == source->failThread || source->failThread == 2) &&
      (source->failEntry < 0 || e == source->failEntry)) return 0;
  memcpy(bytes, &stored[pkgtest::ReadU32(stored, pkgtest::OffsetField(e)) + at], count);
  if (at == 0 && ++source->readings[e] == 2 && e == source->changeEntry) bytes[0] ^= 1;
  if (at == 0) source->helperReadings[e] += thread;
  return 1;
}

int32_t GatherPlain(void* user, int32_t e, uint32_t at, const uint8_t* bytes, uint32_t count) {
  auto* source = static_cast<PartsSource*>(user);
  EXPECT_EQ(at, source->plain[e].size()) << "parts in order";
  source->plain[e].insert(source->plain[e].end(), bytes, bytes + count);
  return e != source->refuseEntry;
}

int32_t PlaceGathered(void* user, int32_t index, const PackageEntry* entry, const uint8_t* bytes,
                      int32_t outcome) {
  auto* source = static_cast<PartsSource*>(user);
  EXPECT_EQ(bytes, nullptr);
  if (outcome == ENTRY_WRITTEN) bytes = source->plain[index].data();
  return RecordPlace(&source->run->memory, index, entry, bytes, outcome);
}

ExtractionRun ExtractParts(const std::vector<uint8_t>& image, int32_t schedule,
                           PartsSource* source = nullptr) {
  ExtractionRun run;
  run.memory.failWritesTo = "C:\\T\\Decoder\\part7.dat";
  PartsSource own;
  source = source != nullptr ? source : &own;
  source->stored = &image;
  source->run = &run;
  PackageDirectory directory = {};
  CopyPackageDirectory(image.data(), (uint32_t)image.size(), &directory);
  std::vector<uint8_t> buffers(8 * 4096);
  PackageReader reader = {ReadPart, source, 4096, {buffers.data(), buffers.data() + 4 * 4096}, -1};
  PackageSink sink = {PlaceGathered, GatherPlain, source};
  const PackageThreads threads = ThreadsOf(schedule);
  run.result = ExtractPackageParts(&reader, (uint32_t)image.size(), &directory, &sink, &threads);
  run.image = image;
  for (int i = 0; i < 17; ++i) {
    std::copy(source->plain[i].begin(), source->plain[i].end(),
              run.image.begin() + directory.entries[i].dataOffset);
    run.helperEntries += source->helperReadings[i] != 0;
  }
  if (run.result == PACKAGE_CHANGED) run.result -= 100 * reader.changedEntry;
  return run;
}

std::vector<File> LargeFiles(bool wide = false) {
  static const size_t sizes[17] = {200000, 65536, 65537, 1, 131071, 0, 64, 300000, 65535,
                                   99999, 70000, 5, 262144, 17, 140000, 65600, 123457};
  std::vector<File> files = pkgtest::SampleFiles();
  for (int i = 0; i < 17; ++i) {
    // wide: every entry a block or more, most ending in a partial block, the last one block.
    files[i].bytes = pkgtest::RandomBytes(2000 + i, wide ? 64 * (81 - 5 * i) + (16 - i) * 9 % 64
                                                         : sizes[i]);
  }
  return files;
}

TEST(ExtractScheduled, LanesGiveTheFusedLoopsResultsCallsAndBytesOnCraftedPackages) {
  std::vector<std::pair<std::string, std::vector<uint8_t>>> cases;
  for (const auto& files : {pkgtest::SampleFiles(), LargeFiles(), LargeFiles(true)}) {
    std::vector<uint8_t> image = pkgtest::MakePackage(files);
    std::string size = files[0].bytes.size() > 10000 ? "large "
                       : files[16].bytes.size() == 64 ? "wide " : "small ";
    cases.emplace_back(size + "valid", image);
    for (int altered : {0, 7, 16}) {  // one stored byte late in the entry: chained failures
      std::vector<uint8_t> bad = image;
      uint32_t size16 = pkgtest::ReadU32(bad, pkgtest::SizeField(altered));
      bad[pkgtest::ReadU32(bad, pkgtest::OffsetField(altered)) + size16 - 1] ^= 0x01;
      cases.emplace_back(size + "altered " + std::to_string(altered), bad);
    }
    std::vector<uint8_t> outside = image;  // past the end: skipped and not chained
    pkgtest::WriteU32(outside, pkgtest::OffsetField(4), (uint32_t)outside.size() - 1);
    pkgtest::WriteU32(outside, pkgtest::SizeField(4), 2);
    cases.emplace_back(size + "out of bounds", outside);
    std::vector<uint8_t> wrapped = image;
    pkgtest::WriteU32(wrapped, pkgtest::OffsetField(9), 0xFFFFFFF0u);
    cases.emplace_back(size + "offset wraps", wrapped);
    std::vector<uint8_t> truncated(image.begin(), image.end() - 1);  // last entry outside
    cases.emplace_back(size + "truncated", truncated);
    std::vector<uint8_t> header = image;  // an entry over the directory's own bytes
    pkgtest::WriteU32(header, pkgtest::OffsetField(2), 100);
    pkgtest::WriteU32(header, pkgtest::SizeField(2), 2000);
    cases.emplace_back(size + "over the directory", header);
    std::vector<uint8_t> names = image;
    memcpy(&names[160 * 3], "..\\evil", 8);
    cases.emplace_back(size + "hostile name", names);
  }
  ASSERT_NE(PackageLaneWidth(), 0);
  const int waitsBefore = waitsBegun;
  for (const auto& [what, image] : cases) {
    ExtractionRun one = ExtractOnOneThread(image);
    for (int32_t n = 0; n < 4; ++n) {  // each schedule at four lanes, then eight
      const int32_t schedule = n % 2 ? PACKAGE_LANES_TWO_THREADS : PACKAGE_LANES_ONE_THREAD;
      laneWidth = n < 2 ? 4 : 8;
      int before = helpersStarted;
      ExtractionRun two = ExtractScheduled(image, schedule);
      const bool helper = schedule == PACKAGE_LANES_TWO_THREADS;
      std::string way = what + (helper ? " (two threads, " : " (one thread, ") +
                        std::to_string(laneWidth) + " lanes)";
      EXPECT_EQ(helpersStarted, before + (helper ? 1 : 0)) << way;
      ExpectSameRuns(one, two, way);
      ExtractionRun parts = ExtractParts(image, schedule);
      ExpectSameRuns(one, parts, way + " read in parts");
      ExpectSameRuns(one, ExtractParts(image, PACKAGE_FUSED_LOOP), what + " read entry by entry");
      EXPECT_EQ(waitsEnded, waitsBegun) << way << ": every wait ended";
      // The wide package's 17 entries: 8 to the helper, 9 to the calling thread (every lane of
      // both busy on eight lanes, and one entry waiting).
      EXPECT_TRUE(what != "wide valid" || !helper || parts.helperEntries == 8) << way;
    }
  }
  laneWidth = 0;
  // The hand-overs block: the calling thread waited for the helper in some runs, never in vain.
  EXPECT_GT(waitsBegun, waitsBefore);
  EXPECT_EQ(waitsTimedOut, 0);
  // The comparison bites: a run with one entry less decoded differs.
  std::vector<uint8_t> image = pkgtest::MakePackage(LargeFiles());
  ExtractionRun one = ExtractOnOneThread(image);
  image[pkgtest::ReadU32(image, pkgtest::OffsetField(16)) + 70000] ^= 1;
  for (int32_t schedule : {PACKAGE_LANES_ONE_THREAD, PACKAGE_LANES_TWO_THREADS}) {
    ExtractionRun two = ExtractScheduled(image, schedule);
    EXPECT_NE(two.result, one.result);
    EXPECT_FALSE(two.image == one.image);
  }
}

// A read that fails on either thread, a package that changes between its two readings, and a sink
// that refuses plain bytes stop the run: no entry is placed from the one concerned on, and no
// thread is left waiting.
TEST(ExtractScheduled, PartsReadStopOnAFailedReadAChangeOrARefusal) {
  const std::vector<uint8_t> image = pkgtest::MakePackage(LargeFiles());
  struct Case {
    int failThread, failEntry, changeEntry, refuseEntry, firstUnplaced;
    int32_t result;
  } cases[] = {
      {2, 0, -1, -1, 0, PACKAGE_STOPPED},    {2, 16, -1, -1, 0, PACKAGE_STOPPED},
      {1, -1, -1, -1, 0, PACKAGE_STOPPED},   {-1, -1, 0, -1, 0, PACKAGE_CHANGED},
      {-1, -1, 9, -1, 9, PACKAGE_CHANGED - 900}, {-1, -1, 16, -1, 16, PACKAGE_CHANGED - 1600},
      {-1, -1, -1, 12, 12, PACKAGE_STOPPED},
  };
  for (const Case& c : cases) {
    for (int32_t way = 0; way < 4; ++way) {  // each schedule at four lanes, then eight
      const int32_t schedule = way % 2 ? PACKAGE_LANES_TWO_THREADS : PACKAGE_LANES_ONE_THREAD;
      laneWidth = way < 2 ? 4 : 8;
      if (c.failThread == 1 && schedule == PACKAGE_LANES_ONE_THREAD) continue;
      const std::string what = "case " + std::to_string(&c - cases) + " on " +
                               (schedule == PACKAGE_LANES_ONE_THREAD ? "one thread" : "two") +
                               ", " + std::to_string(laneWidth) + " lanes";
      PartsSource source;
      source.failThread = c.failThread;
      source.failEntry = c.failEntry;
      source.changeEntry = c.changeEntry;
      source.refuseEntry = c.refuseEntry;
      ExtractionRun run = ExtractParts(image, schedule, &source);
      EXPECT_EQ(run.result, c.result) << what;
      for (int i = c.firstUnplaced; i < 17; ++i) EXPECT_EQ(run.memory.outcomes[i], -1) << what;
      if (c.changeEntry > 0) {
        EXPECT_EQ(run.memory.outcomes[c.changeEntry - 1], 0) << what;
      }
      EXPECT_EQ(waitsEnded, waitsBegun) << what;
    }
  }
  laneWidth = 0;
  EXPECT_EQ(waitsTimedOut, 0);
}

// Entries that share bytes: what the second digests depends on whether the first was unscrambled
// before, so they take the fused loop, whatever is asked for.
TEST(ExtractScheduled, EntriesSharingBytesTakeTheFusedLoop) {
  std::vector<File> files = LargeFiles();
  std::vector<uint8_t> image = pkgtest::MakePackage(files);
  std::vector<std::pair<std::string, std::vector<uint8_t>>> cases;
  std::vector<uint8_t> same = image;  // entry 8 names entry 7's bytes
  pkgtest::WriteU32(same, pkgtest::OffsetField(8), pkgtest::ReadU32(same, pkgtest::OffsetField(7)));
  pkgtest::WriteU32(same, pkgtest::SizeField(8), pkgtest::ReadU32(same, pkgtest::SizeField(7)));
  cases.emplace_back("same range", same);
  std::vector<uint8_t> partly = image;  // entry 12 ends 100 bytes into entry 13
  pkgtest::WriteU32(partly, pkgtest::SizeField(12),
                    pkgtest::ReadU32(partly, pkgtest::SizeField(12)) + 100);
  cases.emplace_back("partly shared", partly);
  for (auto& [what, crafted] : cases) {
    DigestAsExtractionInPlaceWould(crafted);
    ExtractionRun one = ExtractOnOneThread(crafted);
    // Every entry passes on one thread; a digest of the bytes as packed would refuse some.
    EXPECT_EQ(one.result, -101) << what << ": only the failing write";
    EXPECT_FALSE(pkgtest::ModelFailedEntries(crafted, files).empty()) << what;
    int before = helpersStarted;
    ExtractionRun two = ExtractScheduled(crafted, PACKAGE_LANES_TWO_THREADS);
    EXPECT_EQ(helpersStarted, before) << what;
    ExpectSameRuns(one, two, what);
  }
  // Empty entries share no bytes with anything: the helper runs.
  std::vector<uint8_t> empty = image;
  pkgtest::WriteU32(empty, pkgtest::OffsetField(5),
                    pkgtest::ReadU32(empty, pkgtest::OffsetField(7)));
  int before = helpersStarted;
  ExpectSameRuns(ExtractOnOneThread(empty), ExtractScheduled(empty, PACKAGE_LANES_TWO_THREADS),
                 "empty entry inside");
  EXPECT_EQ(helpersStarted, before + 1);
}

TEST(ExtractScheduled, WithoutAHelperOrSignalTheLanesRunOnTheCallingThread) {
  std::vector<uint8_t> image = pkgtest::MakePackage(LargeFiles());
  image[pkgtest::ReadU32(image, pkgtest::OffsetField(3)) + 0] ^= 0x80;
  ExtractionRun one = ExtractOnOneThread(image);
  startFails = true;
  ExpectSameRuns(one, ExtractScheduled(image, PACKAGE_LANES_TWO_THREADS), "no helper");
  startFails = false;
  signalsFail = true;
  int before = helpersStarted;
  ExpectSameRuns(one, ExtractScheduled(image, PACKAGE_LANES_TWO_THREADS), "no signal");
  EXPECT_EQ(helpersStarted, before);
  signalsFail = false;
  PackageDirectory directory = {};
  MemorySink memory;
  PackageSink sink = {RecordPlace, nullptr, &memory};
  std::vector<uint8_t> copy = image;
  EXPECT_EQ(ExtractPackageImageScheduled(copy.data(), (uint32_t)copy.size(), &directory, &sink,
                                         nullptr),
            one.result);
  EXPECT_TRUE(copy == one.image);
}

// Eight lanes need OSXSAVE, AVX, the system saving XMM and YMM (XCR0 1, 2) and AVX2; four SSE2.
TEST(ExtractScheduled, LaneWidthFollowsTheProcessorAndTheSystem) {
  const uint32_t all = (1u << 27) | (1u << 28), sse2 = 1u << 26, avx2 = 1u << 5;
  const struct { uint32_t ecx1, edx1, xcr0, ebx7; int32_t width; } cases[] = {
      {all, sse2, 6, avx2, 8},   {~0u, ~0u, ~0u, ~0u, 8},   {1u << 28, sse2, 6, avx2, 4},
      {1u << 27, sse2, 6, avx2, 4}, {all, sse2, 2, avx2, 4}, {all, sse2, 4, avx2, 4},
      {all, sse2, 6, ~avx2, 4},  {0, sse2, 0, 0, 4},        {~0u, ~sse2, ~0u, ~0u, 0}};
  for (const auto& c : cases) {
    EXPECT_EQ(LaneWidthOf(c.ecx1, c.edx1, c.xcr0, c.ebx7), c.width) << &c - cases;
  }
  EXPECT_EQ(PackageLaneWidth(), __builtin_cpu_supports("avx2") ? 8 : 4);  // libgcc's own answer
}

// Which schedule each shape of package gets, and that extraction takes it.
TEST(ExtractScheduled, ChoosesTheScheduleByTheShapeOfThePackage) {
  auto Shape = [](std::vector<size_t> sizes) {
    std::vector<File> files = pkgtest::SampleFiles();
    for (int i = 0; i < 17; ++i) files[i].bytes = pkgtest::RandomBytes(i, sizes[i]);
    return pkgtest::MakePackage(files);
  };
  auto Chosen = [](const std::vector<uint8_t>& image, const PackageThreads* threads) {
    PackageDirectory directory;
    CopyPackageDirectory(image.data(), (uint32_t)image.size(), &directory);
    return ChoosePackageSchedule(&directory, (uint32_t)image.size(), threads);
  };
  const std::vector<uint8_t> equal = Shape(std::vector<size_t>(17, 300000));
  std::vector<size_t> dominantSizes(17, 150000);
  dominantSizes[0] = 16 * 150000;
  const std::vector<uint8_t> dominant = Shape(dominantSizes);
  std::vector<size_t> loneSizes(17, 0);
  loneSizes[16] = 1000000;
  const std::vector<uint8_t> lone = Shape(loneSizes);
  const std::vector<uint8_t> small = pkgtest::MakePackage(pkgtest::SampleFiles());
  std::vector<uint8_t> shared = equal;
  pkgtest::WriteU32(shared, pkgtest::OffsetField(8), pkgtest::ReadU32(shared, pkgtest::OffsetField(7)));
  const PackageThreads two = ThreadsOf(PACKAGE_SCHEDULE_CHOSEN, 2);
  const PackageThreads one = ThreadsOf(PACKAGE_SCHEDULE_CHOSEN, 1);
  EXPECT_EQ(Chosen(equal, &two), PACKAGE_LANES_TWO_THREADS);
  EXPECT_EQ(Chosen(dominant, &two), PACKAGE_LANES_TWO_THREADS);
  EXPECT_EQ(Chosen(equal, &one), PACKAGE_LANES_ONE_THREAD);
  EXPECT_EQ(Chosen(dominant, &one), PACKAGE_LANES_ONE_THREAD);
  EXPECT_EQ(Chosen(small, &two), PACKAGE_LANES_ONE_THREAD);
  EXPECT_EQ(Chosen(lone, &two), PACKAGE_FUSED_LOOP);
  EXPECT_EQ(Chosen(shared, &two), PACKAGE_FUSED_LOOP);
  EXPECT_EQ(Chosen(equal, nullptr), PACKAGE_FUSED_LOOP);
  std::vector<size_t> edge(17, 1 << 18);  // 16 entries of 256 KB and an empty one: 4 MB in all
  edge[16] = 0;
  EXPECT_EQ(Chosen(Shape(edge), &two), PACKAGE_LANES_TWO_THREADS);
  edge[15] -= 1;
  EXPECT_EQ(Chosen(Shape(edge), &two), PACKAGE_LANES_ONE_THREAD);
  // Extraction takes the schedule chosen: a helper only where two threads were chosen.
  for (const auto& [image, helpers] : {std::make_pair(equal, 1), std::make_pair(dominant, 1),
                                       std::make_pair(small, 0), std::make_pair(lone, 0),
                                       std::make_pair(shared, 0)}) {
    int before = helpersStarted;
    ExpectSameRuns(ExtractOnOneThread(image), ExtractScheduled(image, PACKAGE_SCHEDULE_CHOSEN),
                   "chosen");
    EXPECT_EQ(helpersStarted, before + helpers);
  }
  int before = helpersStarted;
  ExpectSameRuns(ExtractOnOneThread(equal), ExtractScheduled(equal, PACKAGE_SCHEDULE_CHOSEN, 1),
                 "one processor");
  EXPECT_EQ(helpersStarted, before);
}

// The folder walk: which folders are asked for, in which order.
struct Walk {
  std::vector<std::string> made;
  std::string failAt;
};

int32_t RecordMake(void* user, const char* folder) {
  auto* walk = static_cast<Walk*>(user);
  walk->made.push_back(folder);
  return walk->failAt != folder;
}

std::vector<std::string> WalkOf(const char* path, int32_t expectResult, const char* failAt = "") {
  Walk walk;
  walk.failAt = failAt;
  EXPECT_EQ(WalkFolderPath(path, RecordMake, &walk), expectResult) << (path ? path : "null");
  return walk.made;
}

using Folders = std::vector<std::string>;

TEST(WalkFolderPath, MakesEachFolderBelowTheRootInOrder) {
  EXPECT_EQ(WalkOf("C:\\Program Files\\Quorel\\Tavrin-Solo\\Remote", 1),
            (Folders{"C:\\Program Files", "C:\\Program Files\\Quorel",
                     "C:\\Program Files\\Quorel\\Tavrin-Solo",
                     "C:\\Program Files\\Quorel\\Tavrin-Solo\\Remote"}));
  EXPECT_EQ(WalkOf("C:\\a\\b\\", 1), (Folders{"C:\\a", "C:\\a\\b"}));
}

TEST(WalkFolderPath, NeverMakesServerOrShareOfNetworkPath) {
  EXPECT_EQ(WalkOf("\\\\server\\share\\data", 1), Folders{"\\\\server\\share\\data"});
  EXPECT_EQ(WalkOf("\\\\server\\share", 1), Folders{});
  EXPECT_EQ(WalkOf("\\\\server\\share\\", 1), Folders{});
}

TEST(WalkFolderPath, ShortNullOverlongAndFailedStepsGiveZero) {
  EXPECT_EQ(WalkOf("C:\\a", 0), Folders{});
  EXPECT_EQ(WalkOf("", 0), Folders{});
  EXPECT_EQ(WalkOf(nullptr, 0), Folders{});
  std::string overlong = "C:\\" + std::string(1021, 'x');  // 1024 characters
  EXPECT_EQ(WalkOf(overlong.c_str(), 0), Folders{});
  EXPECT_EQ(WalkOf("C:\\ab", 1), Folders{"C:\\ab"});
  EXPECT_EQ(WalkOf("C:\\a\\b\\c", 0, "C:\\a\\b"), (Folders{"C:\\a", "C:\\a\\b"}));
  EXPECT_EQ(WalkOf("C:\\a\\b", 0, "C:\\a\\b"), (Folders{"C:\\a", "C:\\a\\b"}));
}

// An image of 0x30000 bytes at 0x400000, as a 32-bit installer is mapped; ranges as a damaged
// resource table can give them.
TEST(IsRangeInsideImage, RefusesRangesThatWrapOrLeaveTheImage) {
  const uint64_t base = 0x400000, size = 0x30000, end = base + size;
  EXPECT_EQ(IsRangeInsideImage(base, size, base + 0x1000, 0x2000), 1);
  EXPECT_EQ(IsRangeInsideImage(base, size, base, size), 1);               // the whole image
  EXPECT_EQ(IsRangeInsideImage(base, size, end - 0x10, 0x10), 1);         // ends exactly at the end
  EXPECT_EQ(IsRangeInsideImage(base, size, end - 0x10, 0x11), 0);         // one byte beyond
  EXPECT_EQ(IsRangeInsideImage(base, size, base + 0x1000, 0), 1);         // empty, inside
  EXPECT_EQ(IsRangeInsideImage(base, size, end, 0), 1);                   // empty, at the end
  EXPECT_EQ(IsRangeInsideImage(base, size, end + 1, 0), 0);               // empty, beyond
  EXPECT_EQ(IsRangeInsideImage(base, size, base - 1, 0x10), 0);           // starts below
  EXPECT_EQ(IsRangeInsideImage(base, size, 0, 0x500000), 0);              // covers it from below
  EXPECT_EQ(IsRangeInsideImage(base, size, base + 0x1000, 0xFFFFF000), 0);  // wraps round 2^32
  EXPECT_EQ(IsRangeInsideImage(base, size, 0xFFFFFFF0, 0x400020), 0);     // wraps into the image
  EXPECT_EQ(IsRangeInsideImage(base, size, base + 0x1000, UINT64_MAX), 0);  // wraps round 2^64
}

}  // namespace
