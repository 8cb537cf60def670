// list, verify and unpack: a package on its own or in an executable, read through bounded reads,
// checked in blocks through the package stream and placed by the installer's placing.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "base/packagedir.h"
#include "package/blocklanes.h"
#include "package/directory.h"
#include "package/entryname.h"
#include "package/image.h"
#include "package/place.h"
#include "package/seal.h"
#include "package/stream.h"
#include "tools/packtool/blocks.h"
#include "tools/packtool/commands.h"
#include "tools/packtool/hostfile.h"
#include "tools/packtool/manifest.h"
#include "tools/packtool/pe.h"

namespace {

// A package file, or the RCDATA 100 package of an executable, left on disk and read through
// bounded reads: its size and where it starts in the file.
struct PackageView {
  std::string path;
  HostFile file;
  uint64_t base = 0, size = 0;
};

bool ReadThroughWindow(void* user, uint64_t offset, void* bytes, size_t size) {
  PackageView* view = static_cast<PackageView*>(user);
  std::string ignored;
  return HostReadAt(&view->file, view->path, offset, bytes, size, &ignored);
}

bool OpenPackage(const std::string& path, PackageView* view, std::string* error) {
  view->path = path;
  if (!HostOpenRead(path, &view->file, error)) return false;
  if (view->file.size >= 0x100000000ull) {
    return *error = path + ": 4 GB or larger; too large for a package", false;
  }
  PeWindow window = {ReadThroughWindow, view};
  PeFile file = {nullptr, view->file.size, &window};
  PeImage pe;
  std::string peError;
  int kind = ReadPeImage(file, &pe, &peError);
  if (kind < 0) return *error = path + ": " + peError, false;
  if (kind == 1) {
    if (pe.package < 0) return *error = path + ": executable without a package (RCDATA 100)", false;
    view->base = pe.packageOffset;
    view->size = pe.packageSize;
  } else {
    view->size = view->file.size;
  }
  if (view->size <= PACKAGE_DIRECTORY_SIZE) {
    return *error = path + ": truncated or not a package (" + std::to_string(view->size) +
                    " bytes, the directory alone takes 2720)", false;
  }
  return true;
}

bool ReadPackageBytes(PackageView* view, uint64_t offset, void* bytes, size_t size,
                      std::string* error) {
  return HostReadAt(&view->file, view->path, view->base + offset, bytes, size, error);
}

bool ReadPackageDirectory(PackageView* view, PackageDirectory* directory, std::string* error) {
  uint8_t bytes[PACKAGE_DIRECTORY_SIZE];
  if (!ReadPackageBytes(view, 0, bytes, sizeof bytes, error)) return false;
  CopyPackageDirectory(bytes, (uint32_t)view->size, directory);
  return true;
}

std::string PrintableName(const PackageEntry& entry) {
  return ShownName(std::string(entry.entryName, strnlen(entry.entryName, PACKAGE_NAME_SIZE)));
}

std::string DigestText(const uint8_t* bytes, int count) {
  std::string s;
  char two[3];
  for (int i = 0; i < count; ++i) {
    snprintf(two, sizeof two, "%02x", bytes[i]);
    s += two;
  }
  return s;
}

// The invariants of a well-formed package, one line per violation.
std::vector<std::string> LayoutProblems(uint64_t imageSize, const PackageDirectory& directory) {
  std::vector<std::string> problems;
  uint64_t expected = PACKAGE_DIRECTORY_SIZE;
  for (int i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    const PackageEntry& e = directory.entries[i];
    std::string who = "entry " + std::to_string(i + 1) + " (" + PrintableName(e) + "): ";
    if (!IsSafeEntryName(e.entryName, PACKAGE_NAME_SIZE)) {
      problems.push_back(who + "name the installer refuses");
    }
    if (e.dataOffset != expected) {
      problems.push_back(who + "offset " + std::to_string(e.dataOffset) + ", expected " +
                         std::to_string(expected));
    }
    if (e.dataSize >= 0x80000000u) problems.push_back(who + "size of 2^31 bytes or more");
    if ((uint64_t)e.dataOffset + e.dataSize > imageSize) {
      problems.push_back(who + "ends beyond the package (truncated)");
    }
    expected = (uint64_t)e.dataOffset + e.dataSize;
  }
  if (expected != imageSize) {
    problems.push_back("package is " + std::to_string(imageSize) +
                       " bytes; the last entry ends at " + std::to_string(expected));
  }
  if (directory.entries[PACKAGE_ENTRY_COUNT - 1].dataSize == 0) {
    problems.push_back("entry 17 is empty: the installer would return -1");
  }
  return problems;
}

}  // namespace

int List(const std::string& path) {
  PackageView view;
  PackageDirectory directory;
  std::string error;
  bool ok = OpenPackage(path, &view, &error) && ReadPackageDirectory(&view, &directory, &error);
  HostClose(&view.file);
  if (!ok) return Fail(error);
  printf("%-3s %10s %10s  %-32s  %s\n", "#", "size", "offset", "plain MD5", "name");
  bool truncated = false;
  for (int i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    const PackageEntry& e = directory.entries[i];
    printf("%-3d %10u %10u  %s  %s\n", i + 1, e.dataSize, e.dataOffset,
           DigestText(e.plainDigest, 16).c_str(), PrintableName(e).c_str());
    if ((uint64_t)e.dataOffset + e.dataSize > view.size) truncated = true;
  }
  printf("%llu bytes\n", (unsigned long long)view.size);
  if (truncated) return Fail(path + ": truncated (an entry ends beyond the package)");
  return 0;
}

namespace {

// verify and unpack: the package read entry by entry through the package stream, each block
// once, and placed by the installer's placing through a sink that takes the entry's index and
// name. Memory: two blocks, whatever the size.
struct Run {
  PackageView* view = nullptr;
  PackageDirectory directory;
  bool unpack = false;
  HostTree tree;       // unpack: the host folder
  uint64_t done = 0, total = 0;
  std::string error;   // the first host error of unpack
  std::string fatal;   // a read error, or a package that changed under us: the run stops
  std::string readError;  // set on the reading thread
  // verify on the lanes: a read error of each share's thread, and the bytes both have read.
  std::string laneErrors[2];
  std::atomic<uint64_t> laneBytes{0};
  bool onLanes = false;
  // When entries share bytes, a copy of the package in which each entry is unscrambled in place
  // as it is read, so that a later entry sees what it sees in the installer's memory.
  bool shared = false;
  HostFile scratch;
  PackageStream stream;
  // The entry at hand: its keystream parameters, its digests as first read, the file written as
  // it is read (unpack of an entry larger than a block), and its bytes when it fits in a block.
  int index = 0;
  EntryChain params;
  uint8_t in[16], out[16];
  HostTreeFile file;
  bool writeFailed = false;
  const uint8_t* plainBlock = nullptr;
  // Relative paths made so far, by their lower-case form: a later name that differs only in
  // case is written over the file (or into the folder) made first, as a Windows file system does.
  std::map<std::string, std::string> spelled;
};

std::string LowerPath(const char* name) {
  std::string lower;
  for (const char* c = name; *c != '\0'; ++c) {
    lower += *c == '\\' ? '/' : (char)(*c >= 'A' && *c <= 'Z' ? *c + 32 : *c);
  }
  return lower;
}

// The entry's name as a '/'-separated path below the folder, each part spelled as first made.
std::string TreePath(Run* run, const char* name) {
  std::string path, lower;
  for (const char* c = name;; ++c) {
    if (*c == '\\' || *c == '\0') {
      auto made = run->spelled.emplace(lower, path);
      path = made.first->second;
      if (*c == '\0') return path;
      path += '/';
      lower += '/';
    } else {
      path += *c;
      lower += (char)(*c >= 'A' && *c <= 'Z' ? *c + 32 : *c);
    }
  }
}

bool ReadEntryBytes(void* user, int e, uint64_t at, uint8_t* bytes, uint32_t size, bool) {
  Run* run = static_cast<Run*>(user);
  const uint64_t offset = run->directory.entries[e].dataOffset + at;
  if (run->shared) return HostReadAt(&run->scratch, run->view->path, offset, bytes, size,
                                     &run->readError);
  return ReadPackageBytes(run->view, offset, bytes, size, &run->readError);
}

bool PutEntryBytes(void* user, int, uint64_t at, uint8_t* bytes, uint32_t size) {
  Run* run = static_cast<Run*>(user);
  const PackageEntry& e = run->directory.entries[run->index];
  if (!run->fatal.empty()) return false;  // the entry before changed under us
  if (run->shared && !HostWriteAt(&run->scratch, "scratch copy", e.dataOffset + at, bytes, size,
                                  &run->fatal)) {
    return false;
  }
  run->plainBlock = e.dataSize <= kBlock ? bytes : nullptr;
  if (at + size < e.dataSize) {
    Progress(run->unpack ? "unpacking" : "verifying", run->done + at + size, run->total,
             PrintableName(e));
  }
  return true;
}

// The unscrambled bytes into the entry's file when it is written as it is read.
void KeepEntryBytes(void* user, int, uint64_t, const uint8_t* bytes, uint32_t size) {
  Run* run = static_cast<Run*>(user);
  std::string error;
  if (run->file.handle != -1 && !HostTreeWriteMore(&run->file, bytes, size, &error)) {
    run->writeFailed = true;  // the file is removed
    if (run->error.empty()) run->error = error;
  }
}

const char* OutcomeText(int32_t outcome) {
  switch (outcome) {
    case ENTRY_OUT_OF_BOUNDS: return "range ends beyond the package (skipped, not chained)";
    case ENTRY_DIGEST_MISMATCH: return "digest mismatch after unscrambling";
    case ENTRY_NAME_REFUSED: return "name refused";
    case ENTRY_PATH_TOO_LONG: return "path too long";
    case ENTRY_WRITE_FAILED: return "cannot write the file";
    default: return "written";
  }
}

bool CreateEntryFile(Run* run, const char* name, uint32_t size) {
  std::string path = TreePath(run, name), error;
  size_t slash = path.rfind('/');
  bool ok = (slash == std::string::npos ||
             HostTreeMakeFolders(&run->tree, path.substr(0, slash), &error)) &&
            HostTreeCreateFile(&run->tree, path, &run->file, &error);
  if (ok) HostTreeReserve(&run->file, size);
  if (!ok && run->error.empty()) run->error = error;
  return ok;
}

// The entry at hand into its file in blocks, read again: from the scratch copy, where it is
// unscrambled already, or from the package, unscrambled once more with its digests taken into
// *again.
bool WriteAgain(Run* run, uint32_t size, EntryStream* again, std::string* error) {
  const uint64_t offset = run->directory.entries[run->index].dataOffset;
  std::vector<uint8_t> block(std::min<size_t>(kBlock, size));
  BeginEntryStream(again, size, &run->params);
  for (uint32_t at = 0; at < size;) {
    uint32_t n = (uint32_t)std::min<uint64_t>(kBlock, size - at);
    if (run->shared) {
      if (!HostReadAt(&run->scratch, "scratch copy", offset + at, block.data(), n, error)) {
        return false;
      }
    } else {
      if (!ReadPackageBytes(run->view, offset + at, block.data(), n, &run->fatal)) return false;
      FeedEntryStream(again, block.data(), n);
    }
    if (!HostTreeWriteMore(&run->file, block.data(), n, error)) return false;
    at += n;
  }
  return true;
}

// The sink's placing of a checked entry (unpack). Its file was written as it was read, or is
// written now: from the block, from the scratch copy, or, for a large entry whose name this run
// wrote before (the earlier file stays until this one is checked), read again and written, its
// digests taken once more: if they differ now, the package changed under us and the file goes.
int32_t PlaceCheckedEntry(void* user, int32_t, const char* name, uint32_t size, const void*) {
  Run* run = static_cast<Run*>(user);
  if (!run->unpack) return 1;
  if (run->writeFailed) return 0;
  std::string error;
  bool ok = true;
  if (run->file.handle == -1) {
    ok = CreateEntryFile(run, name, size);
    if (ok && run->plainBlock != nullptr) {
      ok = HostTreeWriteMore(&run->file, run->plainBlock, size, &error);
    } else if (ok) {
      EntryStream again;
      uint8_t in[16], out[16];
      ok = WriteAgain(run, size, &again, &error);
      EndEntryStream(&again, in, out);
      if (ok && !run->shared && (memcmp(in, run->in, 16) != 0 || memcmp(out, run->out, 16) != 0)) {
        run->fatal = run->view->path + ": changed while it was read (entry " +
                     std::to_string(run->index + 1) + " differs from its first reading)";
        ok = false;
      }
    }
  }
  if (ok && run->file.handle != -1) ok = HostTreeFinishFile(&run->file, &error);
  HostTreeAbandonFile(&run->file);  // nothing when finished
  if (!ok && !error.empty() && run->error.empty()) run->error = error;
  return ok ? 1 : 0;
}

void ReportEntry(void* user, int32_t index, int32_t outcome) {
  Run* run = static_cast<Run*>(user);
  HostTreeAbandonFile(&run->file);  // an entry written as it was read, then refused
  const PackageEntry& e = run->directory.entries[index];
  run->done += e.dataSize;
  if (!run->onLanes || run->done == run->total) {  // on the lanes, the reading shows progress
    Progress(run->unpack ? "unpacking" : "verifying", run->done, run->total, PrintableName(e));
  }
  if (outcome != ENTRY_WRITTEN) {
    printf("entry %d (%s): %s\n", index + 1, PrintableName(e).c_str(), OutcomeText(outcome));
  }
}

// A copy of the package to unscramble entries in, when entries share bytes.
bool CopyToScratch(Run* run, std::string* error) {
  if (!HostOpenScratch(&run->scratch, error)) return false;
  std::vector<uint8_t> block(kBlock);
  for (uint64_t at = 0; at < run->view->size;) {
    size_t n = (size_t)std::min<uint64_t>(kBlock, run->view->size - at);
    if (!ReadPackageBytes(run->view, at, block.data(), n, error) ||
        !HostWriteAt(&run->scratch, "scratch copy", at, block.data(), n, error)) {
      return false;
    }
    at += n;
  }
  return true;
}

EntryStream* BeginChecking(void* user, int e) {
  Run* run = static_cast<Run*>(user);
  BeginPackageEntry(&run->stream);  // e: the entries out of the image are skipped alike
  const PackageEntry& entry = run->directory.entries[e];
  run->index = e;
  run->params = run->stream.chain;
  run->writeFailed = false;
  if (run->unpack && !run->shared && entry.dataSize > kBlock &&
      IsSafeEntryName(entry.entryName, PACKAGE_NAME_SIZE) &&
      run->spelled.count(LowerPath(entry.entryName)) == 0) {
    run->writeFailed = !CreateEntryFile(run, entry.entryName, entry.dataSize);  // not tried again
  }
  return &run->stream.entry;
}

void EndChecking(void* user, int) {
  Run* run = static_cast<Run*>(user);
  EntryStream ended = run->stream.entry;
  EndEntryStream(&ended, run->in, run->out);
  EndPackageEntry(&run->stream);  // places the entry
}

int32_t ReadForLanes(void* user, int32_t share, int32_t e, uint32_t at, uint8_t* bytes,
                     uint32_t count) {
  Run* run = static_cast<Run*>(user);
  const uint64_t read = run->laneBytes += count;
  if (share == 0) {  // every entry is read twice; the line ends once all are placed
    Progress("verifying", std::min(read / 2, run->total - 1), run->total,
             PrintableName(run->directory.entries[e]));
  }
  return ReadPackageBytes(run->view, run->directory.entries[e].dataOffset + (uint64_t)at, bytes,
                          count, &run->laneErrors[share]);
}

struct LaneHelperJob {
  LaneCheck* check;
  const LaneReader* reader;
  int32_t unscramble;
  uint8_t* buffers;
  int32_t ok;
};

void RunHelperShare(void* user) {
  LaneHelperJob* job = static_cast<LaneHelperJob*>(user);
  job->ok = RunLaneShare(job->check, job->reader, 1, job->unscramble, job->buffers);
}

// One phase of both shares, the second on a helper thread.
bool RunLanePhase(LaneCheck* check, const LaneReader* reader, int32_t unscramble,
                  std::vector<uint8_t>* buffers) {
  LaneHelperJob job = {check, reader, unscramble, buffers[1].data(), 1};
  std::thread helper;
  if (check->count[1] != 0) HostStartThread(&helper, RunHelperShare, &job);
  const int32_t ok = RunLaneShare(check, reader, 0, unscramble, buffers[0].data());
  if (helper.joinable()) helper.join();
  return ok && job.ok;
}

// verify on the lanes (package/blocklanes.h): every entry read twice, four entries side by side
// on each of shares threads; an entry whose stored digest differs between its two readings
// stops the run. Then the entries are placed in order.
bool CheckOnLanes(Run* run, int32_t shares, int32_t* result, std::string* error) {
  const uint32_t size = (uint32_t)run->view->size;
  run->onLanes = true;
  LaneCheck check;
  StartLaneCheck(&check, &run->directory, size, shares);
  LaneReader reader = {ReadForLanes, run};
  std::vector<uint8_t> buffers[2];
  for (int32_t s = 0; s < shares; ++s) buffers[s].resize(4 * (size_t)check.part);
  bool ok = RunLanePhase(&check, &reader, 0, buffers);
  if (ok) {
    ChainLaneCheck(&check);
    ok = RunLanePhase(&check, &reader, 1, buffers);
  }
  if (!ok) return *error = !run->laneErrors[0].empty() ? run->laneErrors[0] : run->laneErrors[1],
                false;
  for (int32_t i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    if (check.inImage[i] && memcmp(check.stored[i], check.again[i], 16) != 0) {
      return *error = run->view->path + ": changed while it was read (entry " +
                      std::to_string(i + 1) + " differs from its first reading)", false;
    }
  }
  PackageSink sink = {nullptr, nullptr, ReportEntry, run, PlaceCheckedEntry};
  Placing placing;
  StartPlacing(&placing, nullptr, &run->directory, nullptr, &sink);
  for (int32_t i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    PlaceNextEntry(&placing, check.inImage[i] ? check.plain[i] : nullptr);
  }
  *result = PlacingResult(&placing);
  return true;
}

// Extraction in blocks, entry by entry as the installer's in memory, through the package
// stream; for unpack an entry larger than a block whose name the installer takes and this run
// has not written yet is written as it is read (and removed if its digests then fail), a
// smaller one from its block once checked. The installer's result code in *result; false with
// *error on a read error.
bool ExtractInBlocks(Run* run, int32_t* result, std::string* error) {
  const uint32_t size = (uint32_t)run->view->size;
  // verify takes the lanes where the installer would (not when entries share bytes).
  PackageThreads threads = {};
  threads.processors = std::thread::hardware_concurrency() >= 2 ? 2 : 1;
  const int32_t schedule = ChoosePackageSchedule(&run->directory, size, &threads);
  if (!run->unpack && schedule != PACKAGE_FUSED_LOOP) {
    return CheckOnLanes(run, schedule == PACKAGE_LANES_TWO_THREADS ? 2 : 1, result, error);
  }
  run->shared = EntriesShareBytes(&run->directory, size) != 0;
  if (run->shared && !CopyToScratch(run, error)) return false;
  PackageSink sink = {nullptr, nullptr, ReportEntry, run, PlaceCheckedEntry};
  StartPackageStream(&run->stream, &run->directory, size, PACKAGE_CHECK, nullptr, nullptr, &sink);
  int entries[PACKAGE_ENTRY_COUNT], count = 0;
  uint32_t sizes[PACKAGE_ENTRY_COUNT];
  for (int i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    if (!EntryInImage(&run->directory.entries[i], size)) continue;
    sizes[count] = run->directory.entries[i].dataSize;
    entries[count++] = i;
  }
  BlockPipe pipe = {ReadEntryBytes, BeginChecking, PutEntryBytes, EndChecking, run, run->shared,
                    KeepEntryBytes};
  bool ok = RunPipe(&pipe, entries, sizes, count);
  HostTreeAbandonFile(&run->file);  // nothing when the run went through
  if (!ok || !run->fatal.empty()) {
    return *error = !run->fatal.empty() ? run->fatal : run->readError, false;
  }
  BeginPackageEntry(&run->stream);  // the entries out of the image after the last one
  *result = PackageStreamResult(&run->stream);
  return true;
}

}  // namespace

int Extract(const std::string& path, const std::string& folder) {
  PackageView view;
  Run run;
  run.view = &view;
  run.unpack = !folder.empty();
  HostOnStop(run.unpack ? "reading the package" : "verifying", "nothing written");
  std::string error;
  if (!OpenPackage(path, &view, &error) || !ReadPackageDirectory(&view, &run.directory, &error)) {
    HostClose(&view.file);
    return Fail(error);
  }
  std::vector<std::string> problems = LayoutProblems(view.size, run.directory);
  for (const std::string& p : problems) printf("%s\n", p.c_str());
  for (int i = 0; i < PACKAGE_ENTRY_COUNT; ++i) run.total += run.directory.entries[i].dataSize;
  if (run.unpack && !HostOpenTree(folder, &run.tree, &error)) {
    HostClose(&view.file);
    return Fail(error);
  }
  int32_t result = 0;
  bool ok = ExtractInBlocks(&run, &result, &error);
  HostClose(&view.file);
  HostClose(&run.scratch);
  HostCloseTree(&run.tree);
  fflush(stdout);
  if (!ok) return Fail(error);
  printf("result: %d\n", result);
  fflush(stdout);
  if (!run.error.empty()) return Fail(run.error);
  if (result != 0) return Fail(path + ": result " + std::to_string(result) + (
      result == -1 ? ": the last entry is empty" : ": entries failed (named above)"));
  if (!problems.empty()) {
    return Fail(path + ": irregular layout (" + std::to_string(problems.size()) +
                " problem" + (problems.size() == 1 ? "" : "s") +
                " above); the installer extracts it as shown");
  }
  return 0;
}

