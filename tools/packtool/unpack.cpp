// list, verify and unpack: a package on its own or in an executable, read through bounded reads
// and extracted by the installer's engine: on the lanes in parts read from the file, or, when
// entries share bytes, in memory as the installer extracts it. verify is unpack without a folder.
#include <string.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "base/packagedir.h"
#include "package/directory.h"
#include "package/entryname.h"
#include "package/image.h"
#include "package/place.h"
#include "tools/packtool/commands.h"
#include "tools/packtool/hostfile.h"
#include "tools/packtool/manifest.h"
#include "tools/packtool/pe.h"

namespace {

// The installer maps its whole image into a 32-bit address space: a package whose entries share
// bytes, extracted in memory as the installer would, is read whole up to this size.
const uint64_t kMaxInMemory = 1ull << 30;

// A package file, or an executable's RCDATA 100 package, read where it lies in the file.
struct PackageView {
  std::string path;
  HostFile file;
  uint64_t base = 0, size = 0;
};

bool OpenPackage(const std::string& path, PackageView* view, PackageDirectory* directory,
                 std::string* error) {
  view->path = path;
  if (!HostOpenRead(path, &view->file, error, true)) return false;
  PeFile file = {view->file.size, HostReadAtFor, &view->file};
  PeImage pe;
  int kind = ReadPeImage(file, &pe, error);
  if (kind < 0) return *error = path + ": " + *error, false;
  if (kind == 1 && pe.package < 0) {
    return *error = path + ": executable without a package (RCDATA 100)", false;
  }
  view->base = kind == 1 ? pe.packageOffset : 0;
  view->size = kind == 1 ? pe.packageSize : view->file.size;
  if (view->size <= PACKAGE_DIRECTORY_SIZE) {
    return *error = path + ": truncated or not a package (" + std::to_string(view->size) +
                    " bytes, the directory alone takes 2720)", false;
  }
  uint8_t bytes[PACKAGE_DIRECTORY_SIZE];
  if (!HostReadAt(&view->file, path, view->base, bytes, sizeof bytes, error)) return false;
  CopyPackageDirectory(bytes, (uint32_t)view->size, directory);
  return true;
}

std::string PrintableName(const PackageEntry& entry) {
  return ShownName(std::string(entry.entryName, strnlen(entry.entryName, PACKAGE_NAME_SIZE)));
}

// The invariants of a package this tool writes, one line per problem.
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
    if (!EntryInImage(&e, (uint32_t)imageSize)) {
      problems.push_back(who + "ends beyond the package (truncated)");
    }
    expected = (uint64_t)e.dataOffset + e.dataSize;
  }
  if (expected < imageSize) {  // beyond the package: the last entry's line says so
    problems.push_back("package is " + std::to_string(imageSize) +
                       " bytes; the last entry ends at " + std::to_string(expected));
  }
  if (directory.entries[PACKAGE_ENTRY_COUNT - 1].dataSize == 0) {
    problems.push_back("entry 17 is empty: the installer would return -1");
  }
  return problems;
}

// The lanes' helper thread (started with stops blocked) and signals: flags under one lock.
std::mutex gSignalLock;
std::condition_variable gSignalled;
void* StartHelper(void* job) { return new std::thread(HostStartThread(RunPackageHelper, job)); }
void JoinHelper(void* thread) {  // and frees it
  std::unique_ptr<std::thread>(static_cast<std::thread*>(thread))->join();
}
void* MakeSignal() { return new bool(false); }
void FreeSignal(void* signal) { delete static_cast<bool*>(signal); }
void RaiseSignal(void* signal) {
  std::lock_guard<std::mutex> lock(gSignalLock);
  *static_cast<bool*>(signal) = true;
  gSignalled.notify_all();
}
void AwaitSignal(void* signal) {
  std::unique_lock<std::mutex> lock(gSignalLock);
  gSignalled.wait(lock, [signal] { return *static_cast<bool*>(signal); });
  *static_cast<bool*>(signal) = false;
}

// verify and unpack: the engine's sink and reader. unpack writes each entry's plain bytes into its
// part file from the thread that unscrambles them, and renames it when the entry is placed.
struct Run {
  const CommandCalls* calls;
  PackageView view;
  PackageDirectory directory;
  bool unpack = false;
  HostTree tree;
  HostPart parts[PACKAGE_ENTRY_COUNT];
  std::string writeErrors[PACKAGE_ENTRY_COUNT];  // set on the thread that writes the entry
  std::string readErrors[2];                     // of each thread
  std::string error;                             // the first error writing a file
  std::atomic<uint64_t> read{0};
  uint64_t total = 0, placed = 0;
  // Relative paths placed, by their lower-case form: a later name that differs only in case goes
  // over the file (or into the folder) placed first, as on a Windows file system.
  std::map<std::string, std::string> spelled;
};

int32_t ReadPart(void* user, int32_t thread, int32_t e, uint32_t at, uint8_t* bytes,
                 uint32_t count) {
  Run* run = static_cast<Run*>(user);
  const uint64_t read = run->read += count;
  const PackageEntry& entry = run->directory.entries[e];
  if (thread == 0) {  // every entry is read twice; the line ends once all are placed
    run->calls->progress(run->unpack ? "unpacking" : "verifying",
                         std::min(read / 2, run->total - 1), run->total, PrintableName(entry));
  }
  return HostReadAt(&run->view.file, run->view.path, run->view.base + entry.dataOffset + at, bytes,
                    count, &run->readErrors[thread]);
}

int32_t WritePlain(void* user, int32_t e, uint32_t at, const uint8_t* bytes, uint32_t count) {
  Run* run = static_cast<Run*>(user);
  if (run->unpack && run->writeErrors[e].empty()) {
    HostWritePartAt(&run->parts[e], at, bytes, count, &run->writeErrors[e]);
  }
  return 1;  // a failed write fails the entry, not the run
}

// The entry's path below the folder ('/'-separated), each folder and file spelled as the entry
// that placed it first spelled it; with remember (once it is placed), its spelling is kept.
std::string SpelledPath(Run* run, const char* name, bool remember) {
  std::string path = name;
  for (char& c : path) c = c == '\\' ? '/' : c;
  const std::string lower = FoldedName(path);
  for (size_t end = lower.find('/');; end = lower.find('/', end + 1)) {
    if (remember) run->spelled.emplace(lower.substr(0, end), path.substr(0, end));
    auto found = run->spelled.find(lower.substr(0, end));
    if (found != run->spelled.end()) path.replace(0, found->second.size(), found->second);
    if (end == std::string::npos) return path;
  }
}

const char* OutcomeText(int32_t outcome) {
  switch (outcome) {
    case ENTRY_OUT_OF_BOUNDS: return "range ends beyond the package (skipped, not chained)";
    case ENTRY_DIGEST_MISMATCH: return "digest mismatch after unscrambling";
    case ENTRY_NAME_REFUSED: return "name refused";
    default: return "cannot write the file";
  }
}

// unpack places a checked entry's part file under its name (bytes, from an image in memory,
// written first), and removes any other entry's part file.
int32_t PlaceEntry(void* user, int32_t index, const PackageEntry* entry, const uint8_t* bytes,
                   int32_t outcome) {
  Run* run = static_cast<Run*>(user);
  HostPart* part = &run->parts[index];
  std::string& error = run->writeErrors[index];
  if (run->unpack && outcome == ENTRY_WRITTEN) {
    if (bytes != nullptr) HostWritePartAt(part, 0, bytes, entry->dataSize, &error);
    const std::string path = SpelledPath(run, entry->entryName, false);
    if (error.empty() && HostPlaceTreePart(&run->tree, part, path, &error)) {
      SpelledPath(run, path.c_str(), true);
    } else {
      if (run->error.empty()) run->error = error;
      outcome = ENTRY_WRITE_FAILED;
    }
  }
  HostAbandonPart(part);  // any but a placed one (nothing for one never made or removed)
  run->placed += entry->dataSize;
  run->calls->progress(run->unpack ? "unpacking" : "verifying", run->placed, run->total,
                       PrintableName(*entry));
  if (outcome != ENTRY_WRITTEN) {
    run->calls->line("entry " + std::to_string(index + 1) + " (" + PrintableName(*entry) +
                     "): " + OutcomeText(outcome));
  }
  return outcome;
}

// Extracts the package as the installer would: its result, PACKAGE_STOPPED or PACKAGE_CHANGED,
// or 1 with *error when it cannot start.
int32_t ExtractOpened(Run* run, std::string* error) {
  const uint32_t size = (uint32_t)run->view.size;
  PackageThreads threads = {StartHelper, JoinHelper, MakeSignal, RaiseSignal, AwaitSignal,
                            FreeSignal, std::thread::hardware_concurrency() >= 2 ? 2 : 1,
                            PACKAGE_SCHEDULE_CHOSEN};
  PackageSink sink = {PlaceEntry, WritePlain, run};
  if (EntriesShareBytes(&run->directory, size)) {
    // Entries see the bytes earlier ones left: the installer's extraction, on the image whole.
    if (size > kMaxInMemory) {
      return *error = run->view.path + ": entries share bytes, and the package is larger than "
                      "the installer's 1 GB; not extracted", 1;
    }
    std::unique_ptr<uint8_t[]> image(new (std::nothrow) uint8_t[size]);
    if (image == nullptr) {
      return *error = run->view.path + ": entries share bytes, and no memory for the " +
                      std::to_string(size) + " bytes of the package; not extracted", 1;
    }
    PackageDirectory directory;
    if (!HostReadAt(&run->view.file, run->view.path, run->view.base, image.get(), size, error)) {
      return 1;
    }
    // A directory unlike the one the part files were made for: the package changed under us.
    if (memcmp(image.get(), &run->directory, PACKAGE_DIRECTORY_SIZE) != 0) {
      return *error = run->view.path + ": changed while it was read (its directory differs "
                      "from its first reading)", 1;
    }
    return ExtractPackageImageScheduled(image.get(), size, &directory, &sink, &threads);
  }
  std::vector<uint8_t> buffers(threads.processors * 4 * (size_t)PACKAGE_READ_PART);
  PackageReader reader = {ReadPart, run, PACKAGE_READ_PART,
                          {buffers.data(), buffers.data() + (buffers.size() / 2)}, -1};
  const int32_t result = ExtractPackageParts(&reader, size, &run->directory, &sink, &threads);
  if (result == PACKAGE_STOPPED) {
    *error = !run->readErrors[0].empty() ? run->readErrors[0] : run->readErrors[1];
  } else if (result == PACKAGE_CHANGED) {
    *error = run->view.path + ": changed while it was read (entry " +
             std::to_string(reader.changedEntry + 1) + " differs from its first reading)";
  }
  return result;
}

// verify, and unpack into folder.
int Extract(const CommandCalls& calls, const std::string& path, const std::string* folder) {
  Run run;
  run.calls = &calls;
  run.unpack = folder != nullptr;
  HostOnStop(run.unpack ? "reading the package" : "verifying", "nothing written");
  std::string error;
  if (!OpenPackage(path, &run.view, &run.directory, &error)) {
    return HostClose(&run.view.file), calls.fail(error);
  }
  const std::vector<std::string> problems = LayoutProblems(run.view.size, run.directory);
  for (const std::string& p : problems) calls.line(p);
  for (const PackageEntry& e : run.directory.entries) run.total += e.dataSize;
  bool ok = !run.unpack || HostOpenTree(*folder, &run.tree, &error);
  for (int i = 0; ok && run.unpack && i < PACKAGE_ENTRY_COUNT; ++i) {
    const PackageEntry& entry = run.directory.entries[i];
    if (!EntryInImage(&entry, (uint32_t)run.view.size)) continue;
    // '/' between folders before the escapes, whose own backslashes are no folders.
    std::string name(entry.entryName, strnlen(entry.entryName, PACKAGE_NAME_SIZE));
    for (char& c : name) c = c == '\\' ? '/' : c;
    ok = HostCreateTreePart(&run.tree, i + 1, ShownName(name), &run.parts[i], &error);
  }
  const int32_t result = ok ? ExtractOpened(&run, &error) : 1;
  for (HostPart& part : run.parts) HostAbandonPart(&part);  // those not placed
  HostClose(&run.view.file);
  if (result == 1 || result == PACKAGE_STOPPED || result == PACKAGE_CHANGED) {
    return calls.fail(error);
  }
  calls.line("result: " + std::to_string(result));
  if (!run.error.empty()) return calls.fail(run.error);
  if (result != 0) return calls.fail(path + ": result " + std::to_string(result) + (
      result == -1 ? ": the last entry is empty" : ": entries failed (named above)"));
  if (!problems.empty()) {
    return calls.fail(path + ": irregular layout (" + std::to_string(problems.size()) +
                      " problem" + (problems.size() == 1 ? "" : "s") +
                      " above); the installer extracts it as shown");
  }
  return 0;
}

}  // namespace

int Verify(const CommandCalls& c, const std::string* args) { return Extract(c, args[0], nullptr); }
int Unpack(const CommandCalls& c, const std::string* args) { return Extract(c, args[0], &args[1]); }

int List(const CommandCalls& calls, const std::string* args) {
  PackageView view;
  PackageDirectory directory;
  std::string error;
  bool ok = OpenPackage(args[0], &view, &directory, &error);
  HostClose(&view.file);
  if (!ok) return calls.fail(error);
  calls.line("#         size     offset  plain MD5                         name");
  char line[400];
  bool truncated = false;
  for (int i = 0; i < PACKAGE_ENTRY_COUNT; ++i) {
    const PackageEntry& e = directory.entries[i];
    char digest[33];
    for (int k = 0; k < 16; ++k) snprintf(digest + 2 * k, 3, "%02x", e.plainDigest[k]);
    snprintf(line, sizeof line, "%-3d %10u %10u  %s  ", i + 1, e.dataSize, e.dataOffset, digest);
    calls.line(line + PrintableName(e));
    if (!EntryInImage(&e, (uint32_t)view.size)) truncated = true;
  }
  calls.line(std::to_string(view.size) + " bytes");
  if (truncated) return calls.fail(args[0] + ": truncated (an entry ends beyond the package)");
  return 0;
}
