// The file-system calls of the packing tool, POSIX on the host and Win32 in its Windows build:
// opening inputs once and safely, creating outputs new (never reusing a file or following a link
// planted where the output goes), the tree that unpack fills, file identity, replacing a file.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <set>
#include <string>
#include <thread>

struct HostFile {
  intptr_t handle = -1;  // a descriptor on the host, a HANDLE on Windows; -1 when closed
  uint64_t size = 0;     // at open, for inputs
  unsigned mode = 0644;  // permission bits at open, for inputs (the host's; Windows has none)
};

// Opens an existing file for reading, once: without waiting (a FIFO or a device is refused, not
// read), and checked on the open handle as a regular file. False with "path: reason" in *error.
bool HostOpenRead(const std::string& path, HostFile* file, std::string* error);

// Reads exactly size bytes, and checks that the file ends there when atEnd. False with
// "path: reason" in *error when it cannot, or when the file is shorter or longer than at open.
bool HostReadExactly(HostFile* file, const std::string& path, void* bytes, size_t size,
                     bool atEnd, std::string* error);

// Reads up to size bytes; *got is 0 at the end. False on a read error.
bool HostReadSome(HostFile* file, void* bytes, size_t size, size_t* got);

void HostClose(HostFile* file);

// Stops: SIGINT, SIGTERM and SIGHUP (Ctrl+C, Ctrl+Break and a closed console on Windows) end
// the run with one line on standard error, on a line of its own: "packtool: stopped while
// DOING; LEFT" when no output is open, "packtool: stopped while writing PATH; removed it; LEFT"
// while one is (it is removed first). Every output is created with stops held off and known to
// the handler from the moment it exists, so a stop never leaves one behind. HostOnStop installs
// the handlers (on its first call) and sets DOING and LEFT; an unpack tree sets its own.
void HostOnStop(const std::string& doing, const std::string& left);
// Whether a progress line without its end is on the terminal (a stop line then starts anew).
void HostProgressShowing(bool showing);

// A file written through path + ".packtool-part", created new (an existing file or link of that
// name is refused, never reused or followed), and renamed over path only when complete. A stop
// while a part file is open removes it; any failure removes it too.
struct HostPart {
  std::string path, part;
  intptr_t handle = -1;
};

// Creates the part file. False with one line in *error.
bool HostCreatePart(const std::string& path, HostPart* part, std::string* error);
// Writes size bytes at the current end, or at offset (host: pwrite; Windows: an overlapped
// position). False with "path: write error: reason" in *error.
bool HostWritePart(HostPart* part, const void* bytes, size_t size, std::string* error);
bool HostWritePartAt(HostPart* part, uint64_t offset, const void* bytes, size_t size,
                     std::string* error);
// Sets the permission bits (host; -1: the default under the umask), closes the part file and
// renames it over path. On failure the part file is removed and *error says what failed.
bool HostCommitPart(HostPart* part, int mode, std::string* error);
// Closes and removes the part file (after a failure); nothing when none is open.
void HostAbandonPart(HostPart* part);

// Reads size bytes at offset of an open input (no change of its position on the host). False
// with "path: reason" in *error, also when the file ends before.
bool HostReadAt(HostFile* file, const std::string& path, uint64_t offset, void* bytes,
                size_t size, std::string* error);

// True when both paths name one existing file (the same path, a link, another spelling).
bool HostSameFile(const std::string& a, const std::string& b);

// Starts run(user) on *thread, a second thread beside the calling one, with stops blocked on it
// so that they land on the calling thread, where they are held off.
void HostStartThread(std::thread* thread, void (*run)(void* user), void* user);

// A scratch file, removed when closed or when the process ends: made new in the temporary
// folder. False with one line in *error.
bool HostOpenScratch(HostFile* file, std::string* error);
// Writes size bytes at offset of a scratch file. False with "what: reason" in *error.
bool HostWriteAt(HostFile* file, const std::string& what, uint64_t offset, const void* bytes,
                 size_t size, std::string* error);

// True when standard error is a terminal (progress is shown only there).
bool HostErrorIsTerminal();

// The folder part of a path with its separator ("" for a bare name), and whether a path is
// absolute. Separators: '/' on the host; '/' or '\' on Windows, where "C:..." is absolute too.
std::string HostFolderOf(const std::string& path);
bool HostIsAbsolute(const std::string& path);

// The folder unpack writes into: made new, or an existing empty folder that is not a link.
// Everything below it is created new by this run, never through a link; a folder this run made
// can be entered again, and a file it wrote written again (a damaged package may name one twice).
struct HostTree {
  std::string root;
  intptr_t handle = -1;              // the root folder, open (host)
  std::set<std::string> made;        // relative paths of the folders and files made so far
  std::set<std::string> whole;       // relative paths of the files written whole
};

// False with "folder: reason" in *error when folder exists and is not an empty folder, or when
// it cannot be made.
bool HostOpenTree(const std::string& folder, HostTree* tree, std::string* error);
// relative: '/'-separated below the root. Makes each missing folder of it.
bool HostTreeMakeFolders(HostTree* tree, const std::string& relative, std::string* error);
// A file of the tree written in parts. HostTreeCreateFile creates relative (its folders made
// before) new; a stop while it is open removes it, and says how many whole files the tree holds.
// HostTreeFinishFile closes it; HostTreeAbandonFile closes and removes it. A write or close that
// fails removes it too. False with "path: reason" in *error.
struct HostTreeFile {
  std::string path, relative;
  HostTree* tree = nullptr;
  intptr_t handle = -1;
};
bool HostTreeCreateFile(HostTree* tree, const std::string& relative, HostTreeFile* file,
                        std::string* error);
// Room for the size bytes to be written (a hint for the file system, which then lays the file
// out at once).
void HostTreeReserve(HostTreeFile* file, uint64_t size);
bool HostTreeWriteMore(HostTreeFile* file, const void* bytes, size_t size, std::string* error);
bool HostTreeFinishFile(HostTreeFile* file, std::string* error);
void HostTreeAbandonFile(HostTreeFile* file);
void HostCloseTree(HostTree* tree);
