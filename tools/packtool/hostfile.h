// The packing tool's file policy over the system calls of hostsys.h, the same on every host:
// inputs, outputs (part files), unpack's tree, the stop line and every message. False always
// comes with one line in *error, most of them "path: reason".
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <set>
#include <string>

#include "tools/packtool/hostsys.h"

struct HostFile {
  intptr_t handle = -1;  // -1 when closed
  uint64_t size = 0;     // at open
  unsigned mode = 0644;  // permission bits at open (the host's; Windows has none)
  uint64_t at = 0;       // where HostReadSome reads next
};

// SysOpenRead, a file that is not a regular one refused; with package (a package, or an
// executable that carries one), one of 4 GB or more too.
bool HostOpenRead(const std::string& path, HostFile* file, std::string* error,
                  bool package = false);
// Reads size bytes at offset (threads may read one file at once); a file that ends before, or
// with atEnd does not end there, changed since it was opened.
bool HostReadAt(HostFile* file, const std::string& path, uint64_t offset, void* bytes, size_t size,
                std::string* error, bool atEnd = false);
// HostReadAt as a reader's callback (user: the HostFile), the reason not kept.
bool HostReadAtFor(void* user, uint64_t offset, void* bytes, size_t size);
// Reads up to size next bytes of the HostFile file (a reader's callback); *got is 0 at the end.
bool HostReadSome(void* file, void* bytes, size_t size, size_t* got);
void HostClose(HostFile* file);
// path taken relative to the folder that holds file: as it is when empty or absolute.
std::string HostBeside(const std::string& file, const std::string& path);

// A stop (SIGINT, SIGTERM, SIGHUP; Ctrl+C, Ctrl+Break, a closed console) removes every part
// file open and prints "packtool: stopped while DOING; LEFT", or "packtool: stopped while
// writing PART; removed it; LEFT" while pack's or build's is open. HostOnStop installs the
// handler (once) and sets DOING and LEFT; an unpack tree sets its own.
void HostOnStop(const std::string& doing, const std::string& left);

// The one kind of output: a part file, created new (known to the stop handler from the moment
// it exists), written, then renamed over its name when whole, or removed.
struct HostPart {
  std::string path, part;  // the output, and the part file written first
  intptr_t handle = -1;
  int slot = 0;            // in the stop handler's list
};

// pack and build: path + ".packtool-part" (an existing file or link of that name is refused,
// never reused or followed), named by the stop line.
bool HostCreatePart(const std::string& path, HostPart* part, std::string* error);
// Writes size bytes at offset (from any thread).
bool HostWritePartAt(HostPart* part, uint64_t offset, const void* bytes, size_t size,
                     std::string* error);
// Sets the permission bits (host; -1: the default under the umask), closes the part file and
// renames it over path; on failure the part file is removed.
bool HostCommitPart(HostPart* part, int mode, std::string* error);
// Closes and removes the part file (after a failure); nothing when none is open.
void HostAbandonPart(HostPart* part);

// The folder unpack writes into: made new, or an existing empty folder that is not a link.
// Everything below it is made by this run; a file goes only into a folder this run made that is,
// just before, still a folder and not a link. A file placed may be replaced (a name given twice).
struct HostTree {
  std::string root;
  std::set<std::string> made;   // relative paths of the folders made so far
  std::set<std::string> whole;  // relative paths of the files placed
};

bool HostOpenTree(const std::string& folder, HostTree* tree, std::string* error);
// Part file number (1-17) of the tree, FOLDER/.packtool-part-NUMBER, made new for the file
// relative (named by messages).
bool HostCreateTreePart(HostTree* tree, int number, const std::string& relative, HostPart* part,
                        std::string* error);
// Closes the part file and renames it to relative ('/'-separated), making each missing folder
// of it; on failure the part file is removed.
bool HostPlaceTreePart(HostTree* tree, HostPart* part, const std::string& relative,
                       std::string* error);
