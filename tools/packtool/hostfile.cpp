// The packing tool's file policy over the system calls of hostsys_posix.cpp and hostsys_win32.cpp.
#include "tools/packtool/hostfile.h"

namespace {

// Reads and writes go in pieces of at most this many bytes (a call may do less).
const size_t kPiece = 64u << 20;

// Reads (or writes) size bytes at offset in pieces: 0 done; 1 the file ended first; -1 failed.
int Transfer(intptr_t handle, uint64_t offset, void* bytes, size_t size, bool write) {
  for (size_t done = 0; size > 0; offset += done, size -= done) {
    const size_t piece = size < kPiece ? size : kPiece;
    if (!SysTransferAt(handle, offset, bytes, piece, write, &done)) return -1;
    if (done == 0) return 1;
    bytes = static_cast<char*>(bytes) + done;
  }
  return 0;
}

std::string gDoing = "working", gLeft = "nothing written";  // what the stop line says

// The stop line, from what is being done and what a stop leaves (with stops held off).
void SetStop(const std::string& doing, const std::string& left) {
  gDoing = doing;
  gLeft = left;
  gStopLine = gLive[0] ? "packtool: stopped while writing " + gStopParts[0] + "; removed it; "
                       : "packtool: stopped while " + doing + "; ";
  gStopLine += left + "\n";
}

// The handlers are installed on the first call, the line set before.
void HoldStops() {
  static const bool watching = (SetStop(gDoing, gLeft), SysWatchStops(), true);
  (void)watching;
  SysHoldStops();
}

// The handler's list (with stops held off): the part file live or not.
void KnowPart(const HostPart* part, bool live) {
  if (live) gStopParts[part->slot] = part->part;
  gLive[part->slot] = live ? 1 : 0;
  if (part->slot == 0) SetStop(gDoing, gLeft);
}

// Creates the part file partPath new for the output path, known to the stop handler (slot) from
// the moment it exists; false with *error.
bool CreatePart(HostPart* part, const std::string& path, const std::string& partPath, int slot,
                unsigned mode, std::string* error) {
  part->path = path;
  part->part = partPath;
  part->slot = slot;
  HoldStops();
  const int made = SysCreateNew(part->part, &part->handle, mode);
  if (made == 0) KnowPart(part, true);
  if (made > 0) *error = part->part + ": already exists (left by a stopped run?); remove it";
  if (made < 0) *error = part->path + ": " + SysReason();
  SysReleaseStops();
  return made == 0;
}

// What a stop of unpack leaves (stops held off): the whole files placed so far.
void SayTreeLeft(const HostTree* tree) {
  size_t n = tree->whole.size();
  SetStop("checking", std::to_string(n) + (n == 1 ? " whole file" : " whole files") +
                          " written in " + tree->root + ", nothing partial");
}

}  // namespace

bool HostOpenRead(const std::string& path, HostFile* file, std::string* error, bool package) {
  int opened = SysOpenRead(path, &file->handle, &file->size, &file->mode);
  if (opened == 1) return *error = path + ": not a regular file", false;
  if (opened < 0) return *error = path + ": " + SysReason(), false;
  if (!package || file->size < 0x100000000ull) return true;
  return HostClose(file), *error = path + ": 4 GB or larger; too large for a package", false;
}

bool HostReadAt(HostFile* file, const std::string& path, uint64_t offset, void* bytes, size_t size,
                std::string* error, bool atEnd) {
  const int read = Transfer(file->handle, offset, bytes, size, false);
  if (read < 0) return *error = path + ": read error: " + SysReason(), false;
  if (read > 0) return *error = path + ": shorter than when it was opened (it changed)", false;
  char extra;
  if (atEnd && Transfer(file->handle, offset + size, &extra, 1, false) != 1) {
    return *error = path + ": longer than when it was opened (it changed)", false;
  }
  return true;
}

bool HostReadSome(void* user, void* bytes, size_t size, size_t* got) {
  HostFile* file = static_cast<HostFile*>(user);
  if (!SysTransferAt(file->handle, file->at, bytes, size, false, got)) return false;
  file->at += *got;
  return true;
}

void HostClose(HostFile* file) {
  SysClose(file->handle);
  file->handle = -1;
}

// Paths are UTF-8, where no byte of another character is a separator: bytes split them right.
std::string HostBeside(const std::string& file, const std::string& path) {
  const size_t slash = file.find_last_of(kSeparators);
  if (path.empty() || slash == std::string::npos || path.find_first_of(kSeparators) == 0 ||
      (kDriveLetters && path.size() >= 2 && path[1] == ':')) {
    return path;
  }
  return file.substr(0, slash + 1) + path;
}

bool HostReadAtFor(void* user, uint64_t offset, void* bytes, size_t size) {
  std::string ignored;
  return HostReadAt(static_cast<HostFile*>(user), "", offset, bytes, size, &ignored);
}

void HostOnStop(const std::string& doing, const std::string& left) {
  HoldStops();
  SetStop(doing, left);
  SysReleaseStops();
}

bool HostCreatePart(const std::string& path, HostPart* part, std::string* error) {
  return CreatePart(part, path, path + ".packtool-part", 0, 0666, error);
}

bool HostWritePartAt(HostPart* part, uint64_t offset, const void* bytes, size_t size,
                     std::string* error) {
  if (Transfer(part->handle, offset, const_cast<void*>(bytes), size, true) == 0) return true;
  return *error = part->path + ": write error: " + SysReason(), false;
}

void HostAbandonPart(HostPart* part) {
  if (part->handle == -1) return;
  HoldStops();
  SysClose(part->handle);
  SysRemove(part->part);
  part->handle = -1;
  KnowPart(part, false);
  SysReleaseStops();
}

bool HostCommitPart(HostPart* part, int mode, std::string* error) {
  const bool closed = SysClose(part->handle, mode, true);
  part->handle = -1;
  HoldStops();  // renamed and forgotten at once: a stop then leaves OUTPUT whole
  const bool ok = closed && SysReplace(part->part, part->path);
  if (!ok) {
    *error = part->path + (closed ? ": cannot replace it (" + SysReason() + ")"
                                  : ": write error: " + SysReason());
    SysRemove(part->part);
  }
  KnowPart(part, false);
  if (ok) SetStop("finishing", part->path + " written whole");
  SysReleaseStops();
  return ok;
}

bool HostOpenTree(const std::string& folder, HostTree* tree, std::string* error) {
  tree->root = folder;
  const int made = SysMakeFolder(folder), empty = made == 1 ? SysFolderIsEmpty(folder) : 1;
  if (made < 0 || empty < 0) return *error = folder + ": " + SysReason(), false;
  if (made == 2) return *error = folder + ": not a folder (or a link)", false;
  if (!empty) return *error = folder + ": not empty; unpack writes into a new or empty folder",
              false;
  HoldStops();
  SayTreeLeft(tree);
  SysReleaseStops();
  return true;
}

bool HostCreateTreePart(HostTree* tree, int number, const std::string& relative, HostPart* part,
                        std::string* error) {
  return CreatePart(part, tree->root + "/" + relative,
                    tree->root + "/.packtool-part-" + std::to_string(number), number, 0644, error);
}

// Each folder is one this run made, and still a folder, not a link, when a folder or the file
// goes into it: a folder swapped for a link takes nothing, at any depth.
bool HostPlaceTreePart(HostTree* tree, HostPart* part, const std::string& relative,
                       std::string* error) {
  bool ok = SysClose(part->handle);
  part->handle = -1;
  std::string path = tree->root + "/" + relative, reason;
  for (size_t end = relative.find('/'); ok; end = relative.find('/', end + 1)) {
    const std::string folder = relative.substr(0, end);  // at the end, the file itself
    path = tree->root + "/" + folder;
    const size_t slash = path.rfind('/');  // the root was checked when it was opened
    if (slash > tree->root.size() && !SysIsPlainFolder(path.substr(0, slash))) {
      reason = "not a folder made by this run", ok = false;
    }
    if (!ok || end == std::string::npos) break;
    const int made = SysMakeFolder(path);
    if (made == 0) tree->made.insert(folder);
    if (made < 0 || made > 1 || tree->made.count(folder) == 0) {
      reason = made < 0 ? SysReason() : "exists, and this run did not make it", ok = false;
    }
  }
  HoldStops();
  if (ok && !SysReplace(part->part, path)) reason = SysReason(), ok = false;
  if (!ok) {
    *error = path + ": " + (reason.empty() ? "write error: " + SysReason() : reason);
    SysRemove(part->part);
  } else {
    tree->whole.insert(relative);
    SayTreeLeft(tree);
  }
  KnowPart(part, false);
  SysReleaseStops();
  return ok;
}
