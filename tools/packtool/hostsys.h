// The system calls under the packing tool's file policy (hostfile.cpp), one file per platform,
// and the stop handler's state. Handles are descriptors or HANDLEs in an intptr_t, -1 when none;
// a failed call leaves its reason for SysReason. Paths and messages are UTF-8 on every host.
#pragma once
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <thread>
#include <vector>

std::string SysReason();  // of the last failed call ("No such file or directory")

// Opens an existing file for reading without waiting (a FIFO or device is refused) and looks at it
// on the open handle: 0 a regular file, its size (and mode, on POSIX) given; 1 not one; -1 failed.
int SysOpenRead(const std::string& path, intptr_t* handle, uint64_t* size, unsigned* mode);
// One read (or, with write, write) of at most size bytes at offset, never through the file
// position (threads share a handle); *done is 0 at the end of the file.
bool SysTransferAt(intptr_t handle, uint64_t offset, void* bytes, size_t size, bool write,
                   size_t* done);
// Closes a handle, first giving a file its permission bits (the host's; -1 none) and, with whole,
// flushing it on Windows. False when any of it fails, with the first failure's reason.
bool SysClose(intptr_t handle, int mode = -1, bool whole = false);
// Creates path new for reading and writing, never through a link, removable while open (mode:
// its permission bits on POSIX, under the umask): 0 made; 1 something is there already; -1 failed.
int SysCreateNew(const std::string& path, intptr_t* handle, unsigned mode);
void SysRemove(const std::string& path);
bool SysReplace(const std::string& from, const std::string& to);  // renames from over to

// What a stop removes and prints: read by the handler, changed only with stops held off
// (SysHoldStops), so that the handler sees it whole.
enum { STOP_PARTS = 18 };  // the output of pack or build (0), and unpack's part files (1-17)
inline std::string gStopParts[STOP_PARTS], gStopLine;
inline volatile sig_atomic_t gLive[STOP_PARTS];  // gStopParts[k] is an output to remove
inline volatile sig_atomic_t gMidLine = 0;  // a progress line without its end is on the terminal

// Installs the stop handler (once): it ends a progress line, removes the live outputs, prints
// its line and ends the process as the stop would. Stops held off (signals blocked; on Windows
// the handler's lock taken) are handled at SysReleaseStops.
void SysWatchStops();
void SysHoldStops();
void SysReleaseStops();

// Makes a folder: 0 made; 1 a plain folder (SysIsPlainFolder) is there; 2 something else is
// (a file, a link); -1 failed.
int SysMakeFolder(const std::string& path);
bool SysIsPlainFolder(const std::string& path);  // a folder that is not a link
int SysFolderIsEmpty(const std::string& path);   // 1 empty, 0 not, -1 not listed

// Starts run(user) on a second thread beside the calling one, with stops blocked on it so that
// they land on the calling thread, where they are held off.
std::thread HostStartThread(void (*run)(void* user), void* user);
// True when both paths name one existing file (the same path, a link, another spelling).
bool HostSameFile(const std::string& a, const std::string& b);
bool HostErrorIsTerminal();
// A path's separators: "/" on the host; "/\\" on Windows, where "C:..." is absolute too.
extern const char kSeparators[];
extern const bool kDriveLetters;

// The arguments after the program's name, as UTF-8: argv's bytes on the host; on Windows the
// wide command line, converted (false with one line in *error for an unpaired surrogate).
bool HostArguments(int argc, char** argv, std::vector<std::string>* args, std::string* error);
// Writes UTF-8 text to stdout or stderr: to a Windows console as wide text, elsewhere its bytes.
void HostWriteText(FILE* stream, const std::string& text);
