// The system calls under the packing tool's file policy (tools/packtool/hostfile.cpp), one file
// per platform: hostsys_posix.cpp and hostsys_win32.cpp. Handles are descriptors or HANDLEs in
// an intptr_t, -1 when none. A call that fails leaves its reason for SysReason.
#pragma once
#include <signal.h>
#include <stddef.h>
#include <stdint.h>

#include <string>

#include "tools/packtool/hostfile.h"

// The reason of the last failed call, as text ("No such file or directory").
std::string SysReason();

// Opens an existing file for reading without waiting (a FIFO or device is refused) and looks
// at it on the open handle: 0 a regular file, its size and permission bits given; 1 not one;
// -1 failed.
int SysOpenRead(const std::string& path, intptr_t* handle, uint64_t* size, unsigned* mode);
// Up to size bytes from the file position; *got 0 at the end.
bool SysRead(intptr_t handle, void* bytes, size_t size, size_t* got);
// size bytes at offset, the file position left alone, so that two threads may read one handle;
// *ended when the file ends before.
bool SysReadAt(intptr_t handle, uint64_t offset, void* bytes, size_t size, bool* ended);
bool SysWrite(intptr_t handle, const void* bytes, size_t size);
// size bytes at offset; the next SysWrite still appends.
bool SysWriteAt(intptr_t handle, uint64_t offset, const void* bytes, size_t size);
void SysClose(intptr_t handle);
// Room for size bytes about to be written, taken at once where the system can (the file's size
// stays what is written); a hint: nothing when it cannot.
void SysReserve(intptr_t handle, uint64_t size);
// Sets the permission bits (the host's; -1 none) and closes a file written; with whole, an
// output made whole, flushed first on Windows.
bool SysCloseWritten(intptr_t handle, int mode, bool whole);
// Creates path new for reading and writing, never through a link, removable while open:
// 0 made; 1 something is there already; -1 failed.
int SysCreateNew(const std::string& path, intptr_t* handle);
void SysRemove(const std::string& path);
// Renames from over to.
bool SysReplace(const std::string& from, const std::string& to);

// What a stop prints and removes. The handler only reads this state; it is changed with stops
// held off (SysHoldStops), so the handler sees it whole, and an output is known to it from the
// moment it exists.
struct StopState {
  std::string doing = "working", left = "nothing written";
  std::string open;                // the output open now, removed on a stop
  std::string idleLine, openLine;  // the line printed with no output open, and with one
};
extern StopState gStop;
extern volatile sig_atomic_t gOpen;     // gStop.open is an output to remove
extern volatile sig_atomic_t gMidLine;  // a progress line without its end is on the terminal

// Installs the handler of stops (once): it ends the line in progress, removes the open output,
// prints its line and ends the process as the stop would.
void SysWatchStops();
// Stops held off (signals blocked on the host, the handler's lock taken on Windows): one that
// comes meanwhile is handled at SysReleaseStops, on the state as it is then.
void SysHoldStops();
void SysReleaseStops();

// The unpack tree's root: made new, or an existing folder; 0 ready (new or empty), 1 not empty,
// 2 not a folder or a link, -1 failed. The host keeps it open as *handle.
int SysOpenTreeRoot(const std::string& folder, intptr_t* handle);
// Makes the folder relative ('/'-separated) below the root, its parents there already, never
// through a link: 0 made; 1 a folder is there already; -1 failed.
int SysMakeTreeFolder(const HostTree* tree, const std::string& relative);
// Creates the file relative below the root new (removing the one there first when again), its
// folders there already, never through a link.
bool SysCreateTreeFile(const HostTree* tree, const std::string& relative, bool again,
                       intptr_t* handle);
