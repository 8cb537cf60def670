// Extraction under Wine with real files: the embedded sample package (RCDATA 100 of this test
// program) against its source files, resource-size limits, crafted packages through the real
// CreateFolderPath and WriteWholeFile, and the folder-path cases.
#include <gtest/gtest.h>
#include <windows.h>

#include <stdio.h>

#include <algorithm>

#include <string>
#include <vector>

#include "../host/package_testkit.h"
#include "base/context.h"
#include "package/extract.h"
#include "package/image.h"
#include "package/stream.h"

namespace {

using pkgtest::File;

// A Linux path as Wine sees it (drive Z: is the root).
std::string WinePath(std::string path) {
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return "Z:" + path;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes) {
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  bytes->clear();
  int c;
  while ((c = fgetc(f)) != EOF) bytes->push_back((uint8_t)c);
  fclose(f);
  return true;
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// A fresh, empty folder under the temporary folder for each test.
std::string FreshFolder(const char* name) {
  char temp[MAX_PATH];
  GetTempPathA(sizeof temp, temp);
  std::string folder = std::string(temp) + "pkgtest-" + std::to_string(GetCurrentProcessId()) +
                       "-" + name;
  CreateFolderPath(folder.c_str());
  return folder;
}

class EmbeddedPackage : public ::testing::Test {
 protected:
  void SetUp() override {
    memset(&installerContext, 0, sizeof installerContext);
    installerContext.instanceHandle = GetModuleHandleA(nullptr);
  }
};

// Entry name and source file of each line of the resolved manifest the build packed.
std::vector<std::pair<std::string, std::string>> PackedManifest() {
  std::vector<std::pair<std::string, std::string>> entries;
  FILE* f = fopen(WinePath(TAVRIN_RESOLVED_MANIFEST).c_str(), "r");
  if (f == nullptr) return entries;
  char line[2048];
  while (fgets(line, sizeof line, f) != nullptr) {
    std::string s = line;
    size_t bar = s.find('|');
    if (s[0] == '#' || bar == std::string::npos) continue;
    std::string name = s.substr(0, s.find_last_not_of(" ", bar - 1) + 1);
    std::string source = s.substr(s.find_first_not_of(" ", bar + 1));
    source.erase(source.find_last_not_of("\r\n ") + 1);
    entries.push_back({name, WinePath(source)});
  }
  fclose(f);
  return entries;
}

TEST_F(EmbeddedPackage, ExtractsEverySampleFileWithItsSourceBytesInPlace) {
  auto manifest = PackedManifest();
  ASSERT_EQ(manifest.size(), 17u);
  ASSERT_EQ(ReadPackageDirectory(&installerContext), 0);
  for (int i = 0; i < 17; ++i) {
    EXPECT_STREQ(installerContext.packageDirectory.entries[i].entryName, manifest[i].first.c_str());
  }
  std::string target = FreshFolder("sample");
  strcpy(installerContext.targetFolder, target.c_str());
  ASSERT_EQ(ExtractPackage(&installerContext), 0);
  HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(100), (LPCSTR)RT_RCDATA);
  const uint8_t* image = (const uint8_t*)LockResource(LoadResource(nullptr, found));
  for (int i = 0; i < 17; ++i) {
    std::vector<uint8_t> source, written;
    ASSERT_TRUE(ReadWholeFile(manifest[i].second, &source)) << manifest[i].second;
    ASSERT_TRUE(ReadWholeFile(target + "\\" + manifest[i].first, &written)) << manifest[i].first;
    EXPECT_EQ(written, source) << manifest[i].first;
    // Unscrambled in the resource's own bytes: no copy of the package was made.
    const PackageEntry& e = installerContext.packageDirectory.entries[i];
    EXPECT_EQ(memcmp(image + e.dataOffset, source.data(), source.size()), 0) << i;
  }
  // A second run meets the already unscrambled bytes: every digest fails.
  EXPECT_EQ(ExtractPackage(&installerContext), -117);
}

// A module whose RCDATA 100 is crafted, or missing, stands in for the program's own.
HMODULE LoadModule(const char* linuxPath) {
  HMODULE module = LoadLibraryA(WinePath(linuxPath).c_str());
  EXPECT_NE(module, nullptr) << linuxPath;
  return module;
}

TEST_F(EmbeddedPackage, MissingResourceGivesMinusOneAndChangesNothing) {
  installerContext.instanceHandle = LoadModule(TAVRIN_NO_PACKAGE_DLL);
  memset(&installerContext.packageDirectory, 0x77, sizeof installerContext.packageDirectory);
  std::string target = FreshFolder("missing");
  strcpy(installerContext.targetFolder, target.c_str());
  EXPECT_EQ(ReadPackageDirectory(&installerContext), -1);
  EXPECT_EQ(ExtractPackage(&installerContext), -1);
  EXPECT_EQ(installerContext.packageDirectory.entries[0].entryName[0], 0x77);
}

TEST_F(EmbeddedPackage, ResourceOf2720BytesIsRefusedAndOf2721Read) {
  installerContext.instanceHandle = LoadModule(TAVRIN_PACKAGE_2720_DLL);
  memset(&installerContext.packageDirectory, 0x77, sizeof installerContext.packageDirectory);
  EXPECT_EQ(ReadPackageDirectory(&installerContext), -1);
  EXPECT_EQ(installerContext.packageDirectory.entries[16].reserved[7], 0x77);

  installerContext.instanceHandle = LoadModule(TAVRIN_PACKAGE_2721_DLL);
  EXPECT_EQ(ReadPackageDirectory(&installerContext), 0);
  // The 2721-byte resource is 0xA5 bytes: the copy holds them.
  EXPECT_EQ((uint8_t)installerContext.packageDirectory.entries[0].entryName[0], 0xA5);
  EXPECT_EQ(installerContext.packageDirectory.entries[16].reserved[7], 0xA5);
}

// Crafted packages go through the portable loop with the installer's own sink.
int32_t ExtractToDisk(std::vector<uint8_t>& image, const std::string& target) {
  PackageDirectory directory;
  PackageSink sink;
  FolderWriter writer;
  InstallerPackageSink(&sink, &writer, target.c_str());
  return ExtractPackageImageScheduled(image.data(), (uint32_t)image.size(), &directory, &sink,
                                      nullptr);
}

// Files on disk: the expected entries with their bytes, the others absent.
void ExpectOnDisk(const std::string& target, const std::vector<File>& files,
                  const std::vector<int>& absent) {
  for (int i = 0; i < 17; ++i) {
    bool missing = std::find(absent.begin(), absent.end(), i) != absent.end();
    std::vector<uint8_t> bytes;
    bool read = ReadWholeFile(target + "\\" + files[i].name, &bytes);
    EXPECT_EQ(read, !missing) << files[i].name;
    if (read && !missing) {
      EXPECT_EQ(bytes, files[i].bytes) << files[i].name;
    }
  }
}

TEST(ExtractToDisk, AlteredStoredByteLeavesOutExactlyTheEntriesTheModelPredicts) {
  std::vector<File> files = pkgtest::SampleFiles();
  std::vector<uint8_t> image = pkgtest::MakePackage(files);
  image[pkgtest::ReadU32(image, pkgtest::OffsetField(7)) + 10] ^= 1;
  std::vector<int> expected = pkgtest::ModelFailedEntries(image, files);
  ASSERT_GE(expected.size(), 2u);
  std::string target = FreshFolder("altered");
  EXPECT_EQ(ExtractToDisk(image, target), -100 - (int)expected.size());
  ExpectOnDisk(target, files, expected);
}

TEST(ExtractToDisk, EntryOnePastTheEndIsSkippedAndTheRestWritten) {
  std::vector<File> files = pkgtest::SampleFiles();
  std::vector<uint8_t> image = pkgtest::MakePackage(files);
  pkgtest::WriteU32(image, pkgtest::SizeField(16), (uint32_t)files[16].bytes.size() + 1);
  std::string target = FreshFolder("pastend");
  EXPECT_EQ(ExtractToDisk(image, target), -101);
  ExpectOnDisk(target, files, {16});
}

// The lanes in the installer's i686 code, on one thread and on two with the installer's own
// threads and events: a package of entries spanning several 64 KB lane parts, with an altered
// byte and an entry past the end, gives the fused loop's result, files and image bytes, and every
// wait on an event ends.
int waitsBegun = 0, waitsEnded = 0;
void (*installerAwait)(void*);
void CountedAwait(void* signal) {
  ++waitsBegun;
  installerAwait(signal);
  ++waitsEnded;
}

TEST(ExtractToDisk, LanesWriteWhatTheFusedLoopWrites) {
  std::vector<File> files = pkgtest::SampleFiles();
  for (int i = 0; i < 17; ++i) {
    files[i].bytes = pkgtest::RandomBytes(3000 + i, 70000 * (i % 4) + 999 * i);
  }
  std::vector<uint8_t> image = pkgtest::MakePackage(files);
  image[pkgtest::ReadU32(image, pkgtest::OffsetField(6)) + 150000] ^= 1;
  pkgtest::WriteU32(image, pkgtest::OffsetField(10), (uint32_t)image.size() - 5);
  std::vector<int> expected = pkgtest::ModelFailedEntries(image, files);
  ASSERT_GE(expected.size(), 3u);
  std::vector<uint8_t> original = image;
  std::string oneTarget = FreshFolder("fused");
  int32_t oneResult = ExtractToDisk(image, oneTarget);
  EXPECT_EQ(oneResult, -100 - (int)expected.size());
  ExpectOnDisk(oneTarget, files, expected);
  ASSERT_NE(PackageLaneWidth(), 0);
  for (int32_t n = 0; n < 4; ++n) {  // each schedule at four lanes, then eight (four without AVX2)
    const int32_t schedule = n % 2 ? PACKAGE_LANES_TWO_THREADS : PACKAGE_LANES_ONE_THREAD;
    PackageThreads threads;
    InstallerPackageThreads(&threads);
    threads.schedule = schedule;
    threads.width = n < 2 ? 4 : 8;
    installerAwait = threads.awaitSignal;
    threads.awaitSignal = CountedAwait;
    std::vector<uint8_t> two = original;
    std::string twoTarget = FreshFolder(("lanes" + std::to_string(n)).c_str());
    PackageDirectory directory;
    PackageSink sink;
    FolderWriter writer;
    InstallerPackageSink(&sink, &writer, twoTarget.c_str());
    EXPECT_EQ(ExtractPackageImageScheduled(two.data(), (uint32_t)two.size(), &directory, &sink,
                                           &threads),
              oneResult);
    EXPECT_TRUE(two == image) << twoTarget;
    ExpectOnDisk(twoTarget, files, expected);
    EXPECT_EQ(waitsEnded, waitsBegun);
  }
}

TEST(ExtractToDisk, EmptyEntriesWriteZeroByteFilesAndEmptyLastGivesMinusOne) {
  std::vector<File> files = pkgtest::SampleFiles();
  files[2].bytes.clear();
  std::vector<uint8_t> image = pkgtest::MakePackage(files);
  std::string target = FreshFolder("empty");
  EXPECT_EQ(ExtractToDisk(image, target), 0);
  ExpectOnDisk(target, files, {});

  files[16].bytes.clear();
  image = pkgtest::MakePackage(files);
  std::string last = FreshFolder("emptylast");
  EXPECT_EQ(ExtractToDisk(image, last), -1);
  ExpectOnDisk(last, files, {});
}

void WriteText(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "wb");
  fputs(text.c_str(), f);
  fclose(f);
}

// A file that cannot be opened for writing (here: held open without sharing, as a running
// program holds its executable) is one counted failure; an existing file is replaced whole.
TEST(ExtractToDisk, FileInUseIsOneFailureAndExistingFileIsReplaced) {
  std::vector<File> files = pkgtest::SampleFiles();
  std::vector<uint8_t> image = pkgtest::MakePackage(files);
  std::string target = FreshFolder("existing");
  std::string inUse = target + "\\" + files[1].name, stale = target + "\\" + files[0].name;
  WriteText(inUse, "keep");
  WriteText(stale, std::string(10000, 's'));  // longer than the entry: must be truncated
  HANDLE held = CreateFileA(inUse.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_EQ(ExtractToDisk(image, target), -101);
  CloseHandle(held);
  std::vector<uint8_t> kept;
  ASSERT_TRUE(ReadWholeFile(inUse, &kept));
  EXPECT_EQ(std::string(kept.begin(), kept.end()), "keep");
  files[1].bytes = kept;
  ExpectOnDisk(target, files, {});
}

TEST(ExtractToDisk, ReadOnlyFileIsOneFailure) {
  std::vector<File> files = pkgtest::SampleFiles();
  std::vector<uint8_t> image = pkgtest::MakePackage(files);
  std::string target = FreshFolder("readonly");
  std::string readOnly = target + "\\" + files[4].name;
  WriteText(readOnly, "keep");
  SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_READONLY);
  HANDLE probe = CreateFileA(readOnly.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (probe != INVALID_HANDLE_VALUE) {
    CloseHandle(probe);
    SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);
    GTEST_SKIP() << "the read-only attribute does not stop writing here (Wine running as root "
                    "maps it to file modes that root ignores); the file-in-use case covers it";
  }
  EXPECT_EQ(ExtractToDisk(image, target), -101);
  std::vector<uint8_t> kept;
  ASSERT_TRUE(ReadWholeFile(readOnly, &kept));
  files[4].bytes = kept;
  EXPECT_EQ(std::string(kept.begin(), kept.end()), "keep");
  ExpectOnDisk(target, files, {});
  SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(ExtractToDisk, HostileNamesWriteNothingOutsideTheTarget) {
  std::string outer = FreshFolder("hostile");
  std::string target = outer + "\\inner\\target";
  ASSERT_EQ(CreateFolderPath(target.c_str()), 1);
  std::string absolute = outer + "\\absolute.txt";
  std::vector<File> files = pkgtest::SampleFiles();
  const std::string hostile[] = {"..\\up1.txt", "..\\..\\up2.txt", "a\\..\\..\\up3.txt",
                                 absolute, "\\rooted.txt", "Z:up4.txt", "..", "up5/../../x",
                                 "CON", "nul.txt"};
  for (int i = 0; i < 10; ++i) files[i].name = hostile[i];
  std::vector<uint8_t> image = pkgtest::MakePackage(files);
  EXPECT_EQ(ExtractToDisk(image, target), -110);
  // Only the target folder's own tree has anything in it.
  WIN32_FIND_DATAA found;
  int outerCount = 0, innerCount = 0;
  HANDLE h = FindFirstFileA((outer + "\\*").c_str(), &found);
  do {
    if (found.cFileName[0] != '.') ++outerCount;
  } while (FindNextFileA(h, &found));
  FindClose(h);
  h = FindFirstFileA((outer + "\\inner\\*").c_str(), &found);
  do {
    if (found.cFileName[0] != '.') ++innerCount;
  } while (FindNextFileA(h, &found));
  FindClose(h);
  EXPECT_EQ(outerCount, 1);  // "inner"
  EXPECT_EQ(innerCount, 1);  // "target"
  EXPECT_FALSE(Exists("C:\\rooted.txt"));
  EXPECT_FALSE(Exists("Z:up4.txt"));
  for (int i = 10; i < 17; ++i) EXPECT_TRUE(Exists(target + "\\" + files[i].name)) << i;
}

// The installer's size-optimised build runs the unpacker's rolled loops, which the host tests
// (built for speed) do not: compare them here with the three separate passes.
TEST(EntryStream, SizeOptimisedFormEqualsTheThreeSeparatePasses) {
  uint8_t mix[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 250, 251, 252, 253, 254, 255};
  EntryChain chain;
  for (uint32_t length = 0; length <= 64 * 6 + 1; ++length) {
    std::vector<uint8_t> bytes = pkgtest::RandomBytes(length, length), expected = bytes;
    uint8_t stored[16], plain[16], storedExpected[16], plainExpected[16];
    ComputeMd5(expected.data(), length, storedExpected);
    ApplyPackageKeystream(expected.data(), length, 0x80000001u + length, mix);
    ComputeMd5(expected.data(), length, plainExpected);
    chain.entrySeed = 0x80000001u + length;
    memcpy(chain.mixDigest, mix, 16);
    EntryStream stream;
    BeginEntryStream(&stream, length, &chain);
    FeedEntryStream(&stream, bytes.data(), length);
    EndEntryStream(&stream, stored, plain);
    ASSERT_EQ(bytes, expected) << length;
    ASSERT_EQ(memcmp(stored, storedExpected, 16), 0) << length;
    ASSERT_EQ(memcmp(plain, plainExpected, 16), 0) << length;
  }
}

TEST(CreateFolderPath, MakesMissingFoldersAcceptsExistingAndStopsAtFiles) {
  std::string base = FreshFolder("folders");
  EXPECT_EQ(CreateFolderPath((base + "\\a\\b\\c").c_str()), 1);
  EXPECT_TRUE(Exists(base + "\\a\\b\\c"));
  EXPECT_EQ(CreateFolderPath((base + "\\a\\b\\c").c_str()), 1);  // all exist
  EXPECT_EQ(CreateFolderPath((base + "\\t\\u\\").c_str()), 1);   // trailing backslash
  EXPECT_TRUE(Exists(base + "\\t\\u"));
  FILE* f = fopen((base + "\\file").c_str(), "wb");
  fclose(f);
  EXPECT_EQ(CreateFolderPath((base + "\\file\\sub").c_str()), 0);
  EXPECT_EQ(CreateFolderPath((base + "\\file").c_str()), 0);  // a file is not the folder
  EXPECT_EQ(CreateFolderPath("C:\\x"), 0);  // four characters
  EXPECT_FALSE(Exists("C:\\x"));
  EXPECT_EQ(CreateFolderPath(nullptr), 0);
}

TEST(CreateFolderPath, NetworkPathNeverMakesServerOrShare) {
  // Only the share's sub-folder is attempted; with no such server that attempt fails.
  EXPECT_EQ(CreateFolderPath("\\\\server\\share"), 1);
  EXPECT_EQ(CreateFolderPath("\\\\server\\share\\data"), 0);
  EXPECT_FALSE(Exists("C:\\server"));
  EXPECT_FALSE(Exists("\\\\server"));
}

}  // namespace
