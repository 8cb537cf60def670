// The packing tool's file policy, the same on every host: inputs opened once and judged by their
// open handle, outputs created new and known to the stop handler from the moment they exist,
// the part file and its name, the unpack tree's bookkeeping, and every message. The system
// calls under it are tools/packtool/hostsys_posix.cpp and hostsys_win32.cpp.
#include "tools/packtool/hostfile.h"

#include "tools/packtool/hostsys.h"

StopState gStop;
volatile sig_atomic_t gOpen = 0;
volatile sig_atomic_t gMidLine = 0;

namespace {

void ComposeStopLines() {
  gStop.idleLine = "packtool: stopped while " + gStop.doing + "; " + gStop.left + "\n";
  gStop.openLine = "packtool: stopped while writing " + gStop.open + "; removed it; " +
                   gStop.left + "\n";
}

void HoldStops() {
  static bool watching = false;
  if (!watching) {
    watching = true;
    ComposeStopLines();
    SysWatchStops();
  }
  SysHoldStops();
}

// The handler's output, set (with stops held off): path when open, none when not.
void KnowOpen(const std::string& path, bool open) {
  if (open) {
    gStop.open = path;
    ComposeStopLines();
  }
  gOpen = open ? 1 : 0;
}

// Closes an output (when open) and removes it, after a failure or when it is given up; the
// handler then has nothing left to remove.
void CloseAndRemove(intptr_t* handle, const std::string& path) {
  HoldStops();
  SysClose(*handle);
  SysRemove(path);
  *handle = -1;
  KnowOpen("", false);
  SysReleaseStops();
}

// What a stop of unpack leaves (stops held off): the whole files written so far.
void SayTreeLeft(const HostTree* tree) {
  size_t n = tree->whole.size();
  gStop.doing = "checking";
  gStop.left = std::to_string(n) + (n == 1 ? " whole file" : " whole files") + " written in " +
               tree->root + ", nothing partial";
  ComposeStopLines();
}

}  // namespace

bool HostOpenRead(const std::string& path, HostFile* file, std::string* error) {
  int opened = SysOpenRead(path, &file->handle, &file->size, &file->mode);
  if (opened == 1) return *error = path + ": not a regular file", false;
  if (opened < 0) return *error = path + ": " + SysReason(), false;
  return true;
}

bool HostReadSome(HostFile* file, void* bytes, size_t size, size_t* got) {
  *got = 0;
  return SysRead(file->handle, bytes, size, got);
}

bool HostReadExactly(HostFile* file, const std::string& path, void* bytes, size_t size,
                     bool atEnd, std::string* error) {
  char* p = static_cast<char*>(bytes);
  size_t got;
  while (size > 0) {
    if (!HostReadSome(file, p, size, &got)) return *error = path + ": read error", false;
    if (got == 0) return *error = path + ": shorter than when it was opened (it changed)", false;
    p += got;
    size -= got;
  }
  char extra;
  if (atEnd && (!HostReadSome(file, &extra, 1, &got) || got != 0)) {
    return *error = path + ": longer than when it was opened (it changed)", false;
  }
  return true;
}

bool HostReadAt(HostFile* file, const std::string& path, uint64_t offset, void* bytes,
                size_t size, std::string* error) {
  bool ended;
  if (SysReadAt(file->handle, offset, bytes, size, &ended)) return true;
  *error = path + ": " + (ended ? std::string("shorter than when it was opened (it changed)")
                                : "read error: " + SysReason());
  return false;
}

bool HostWriteAt(HostFile* file, const std::string& what, uint64_t offset, const void* bytes,
                 size_t size, std::string* error) {
  if (SysWriteAt(file->handle, offset, bytes, size)) return true;
  *error = what + ": write error: " + SysReason();
  return false;
}

void HostClose(HostFile* file) {
  SysClose(file->handle);
  file->handle = -1;
}

void HostOnStop(const std::string& doing, const std::string& left) {
  HoldStops();
  gStop.doing = doing;
  gStop.left = left;
  ComposeStopLines();
  SysReleaseStops();
}

void HostProgressShowing(bool showing) { gMidLine = showing ? 1 : 0; }

// The part file.

bool HostCreatePart(const std::string& path, HostPart* part, std::string* error) {
  part->path = path;
  part->part = path + ".packtool-part";
  HoldStops();  // the part file is known to the handler from the moment it exists
  int made = SysCreateNew(part->part, &part->handle);
  if (made != 0) {
    *error = made > 0 ? part->part + ": already exists (left by a run that was stopped, or put "
                                     "there by someone else); remove it and run again"
                      : path + ": " + SysReason();
    SysReleaseStops();
    return false;
  }
  KnowOpen(part->part, true);
  SysReleaseStops();
  return true;
}

bool HostWritePart(HostPart* part, const void* bytes, size_t size, std::string* error) {
  if (SysWrite(part->handle, bytes, size)) return true;
  *error = part->path + ": write error: " + SysReason();
  return false;
}

bool HostWritePartAt(HostPart* part, uint64_t offset, const void* bytes, size_t size,
                     std::string* error) {
  if (SysWriteAt(part->handle, offset, bytes, size)) return true;
  *error = part->path + ": write error: " + SysReason();
  return false;
}

void HostAbandonPart(HostPart* part) {
  if (part->handle != -1) CloseAndRemove(&part->handle, part->part);
}

bool HostCommitPart(HostPart* part, int mode, std::string* error) {
  bool closed = SysCloseWritten(part->handle, mode, true);
  part->handle = -1;
  if (!closed) {
    *error = part->path + ": write error: " + SysReason();
    CloseAndRemove(&part->handle, part->part);
    return false;
  }
  HoldStops();  // renamed and forgotten at once: a stop then leaves OUTPUT whole
  if (!SysReplace(part->part, part->path)) {
    *error = part->path + ": cannot replace it (" + SysReason() + ")";
    SysReleaseStops();
    CloseAndRemove(&part->handle, part->part);
    return false;
  }
  KnowOpen("", false);
  gStop.doing = "finishing";
  gStop.left = part->path + " written whole";
  ComposeStopLines();
  SysReleaseStops();
  return true;
}

// The unpack tree.

bool HostOpenTree(const std::string& folder, HostTree* tree, std::string* error) {
  tree->root = folder;
  tree->made.clear();
  tree->whole.clear();
  switch (SysOpenTreeRoot(folder, &tree->handle)) {
    case 0: break;
    case 1: return *error = folder + ": not empty; unpack writes only into a new or empty folder",
                   false;
    case 2: return *error = folder + ": not a folder (or a link)", false;
    default: return *error = folder + ": " + SysReason(), false;
  }
  HoldStops();
  SayTreeLeft(tree);
  SysReleaseStops();
  return true;
}

bool HostTreeMakeFolders(HostTree* tree, const std::string& relative, std::string* error) {
  for (size_t end = relative.find('/'); ; end = relative.find('/', end + 1)) {
    const std::string prefix = relative.substr(0, end);
    const int made = SysMakeTreeFolder(tree, prefix);
    if (made == 0) {
      tree->made.insert(prefix);
    } else if (made < 0 || tree->made.count(prefix) == 0) {
      return *error = tree->root + "/" + prefix + ": " +
                      (made < 0 ? SysReason() : "exists, and this run did not make it"), false;
    }
    if (end == std::string::npos) return true;
  }
}

bool HostTreeCreateFile(HostTree* tree, const std::string& relative, HostTreeFile* file,
                        std::string* error) {
  const std::string path = tree->root + "/" + relative;
  const bool again = tree->made.count(relative) != 0;  // a damaged package may name a file twice
  HoldStops();
  if (!SysCreateTreeFile(tree, relative, again, &file->handle)) {
    *error = path + ": " + SysReason();
    SysReleaseStops();
    return false;
  }
  // Known to the handler before a stop can come (stops held off since before it existed).
  file->path = path;
  file->relative = relative;
  file->tree = tree;
  tree->made.insert(relative);
  tree->whole.erase(relative);
  KnowOpen(path, true);
  SayTreeLeft(tree);
  SysReleaseStops();
  return true;
}

void HostTreeReserve(HostTreeFile* file, uint64_t size) { SysReserve(file->handle, size); }

bool HostTreeWriteMore(HostTreeFile* file, const void* bytes, size_t size, std::string* error) {
  if (SysWrite(file->handle, bytes, size)) return true;
  *error = file->path + ": write error: " + SysReason();
  HostTreeAbandonFile(file);
  return false;
}

bool HostTreeFinishFile(HostTreeFile* file, std::string* error) {
  const bool closed = SysCloseWritten(file->handle, -1, false);
  file->handle = -1;
  if (!closed) {
    *error = file->path + ": write error: " + SysReason();
    CloseAndRemove(&file->handle, file->path);
    return false;
  }
  HoldStops();
  file->tree->whole.insert(file->relative);
  KnowOpen("", false);
  SayTreeLeft(file->tree);
  SysReleaseStops();
  return true;
}

void HostTreeAbandonFile(HostTreeFile* file) {
  if (file->handle != -1) CloseAndRemove(&file->handle, file->path);
}

void HostCloseTree(HostTree* tree) {
  SysClose(tree->handle);
  tree->handle = -1;
}
