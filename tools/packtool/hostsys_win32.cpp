// The packing tool's system calls on Windows (packtool.exe): HANDLEs, the console's stop events,
// and the unpack tree by paths, every folder checked to be one and not a link.
#include <io.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "tools/packtool/hostsys.h"

namespace {

// Reads and writes go in pieces of at most this many bytes (ReadFile and WriteFile take a DWORD).
const size_t kPiece = 64u << 20;

HANDLE H(intptr_t handle) { return (HANDLE)handle; }

CRITICAL_SECTION gStopLock;

// Ctrl+C, Ctrl+Break or a closed console, on a thread of its own. The process then ends as
// Windows' own handler ends it on Ctrl+C, with STATUS_CONTROL_C_EXIT: Wine's own handler would
// end it with 0, success. The lock waits for an output being created to be known.
BOOL WINAPI OnConsoleEvent(DWORD) {
  EnterCriticalSection(&gStopLock);
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  DWORD written;
  if (gMidLine) WriteFile(err, "\n", 1, &written, nullptr);
  for (int k = 0; k < STOP_PARTS; ++k) {  // opened with FILE_SHARE_DELETE: gone at exit
    if (gLive[k]) DeleteFileA(gStop.parts[k].c_str());
  }
  const std::string& line = gOpen ? gStop.openLine : gStop.idleLine;
  WriteFile(err, line.data(), (DWORD)line.size(), &written, nullptr);
  ExitProcess(STATUS_CONTROL_C_EXIT);
  return TRUE;
}

// A folder that is a folder and not a link (a symbolic link or a junction).
bool IsPlainFolder(const std::string& path) {
  DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) &&
         !(a & FILE_ATTRIBUTE_REPARSE_POINT);
}

OVERLAPPED At(uint64_t offset) {
  OVERLAPPED at = {};
  at.Offset = (DWORD)offset;
  at.OffsetHigh = (DWORD)(offset >> 32);
  return at;
}

bool Identity(const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
  HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = GetFileInformationByHandle(h, info) != 0;
  CloseHandle(h);
  return ok;
}

}  // namespace

std::string SysReason() {
  DWORD code = GetLastError();
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return "No such file or directory";
    case ERROR_ACCESS_DENIED: return "Permission denied";
    case ERROR_SHARING_VIOLATION: return "in use by another program";
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return "File exists";
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return "No space left on device";
    case ERROR_DIRECTORY: return "not a folder made by this run";
    default: return "error " + std::to_string(code);
  }
}

int SysOpenRead(const std::string& path, intptr_t* handle, uint64_t* size, unsigned* mode) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    DWORD a = GetFileAttributesA(path.c_str());
    SetLastError(code);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) ? 1 : -1;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    CloseHandle(h);
    return 1;
  }
  *handle = (intptr_t)h;
  *size = ((uint64_t)info.nFileSizeHigh << 32) | info.nFileSizeLow;
  *mode = 0644;
  return 0;
}

bool SysRead(intptr_t handle, void* bytes, size_t size, size_t* got) {
  DWORD done = 0;
  if (!ReadFile(H(handle), bytes, (DWORD)(size < kPiece ? size : kPiece), &done, nullptr)) {
    return false;
  }
  *got = done;
  return true;
}

// With the offset given in each call, never through the file pointer.
bool SysReadAt(intptr_t handle, uint64_t offset, void* bytes, size_t size, bool* ended) {
  char* p = static_cast<char*>(bytes);
  *ended = false;
  while (size > 0) {
    OVERLAPPED at = At(offset);
    DWORD piece = (DWORD)(size < kPiece ? size : kPiece), done = 0;
    if (!ReadFile(H(handle), p, piece, &done, &at)) {
      return *ended = GetLastError() == ERROR_HANDLE_EOF, false;
    }
    if (done == 0) return *ended = true, false;
    p += done;
    offset += done;
    size -= done;
  }
  return true;
}

bool SysWriteAt(intptr_t handle, uint64_t offset, const void* bytes, size_t size) {
  const char* p = static_cast<const char*>(bytes);
  while (size > 0) {
    OVERLAPPED at = At(offset);
    DWORD piece = (DWORD)(size < kPiece ? size : kPiece), done = 0;
    if (!WriteFile(H(handle), p, piece, &done, &at) || done == 0) return false;
    p += done;
    offset += done;
    size -= done;
  }
  return true;
}


void SysClose(intptr_t handle) {
  if (handle != -1) CloseHandle(H(handle));
}

bool SysCloseWritten(intptr_t handle, int, bool whole) {
  bool ok = !whole || FlushFileBuffers(H(handle)) != 0;
  DWORD code = GetLastError();
  if (!CloseHandle(H(handle))) return false;
  SetLastError(code);
  return ok;
}

int SysCreateNew(const std::string& path, intptr_t* handle) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                         CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    return code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS ? 1 : -1;
  }
  *handle = (intptr_t)h;
  return 0;
}

void SysRemove(const std::string& path) { DeleteFileA(path.c_str()); }

bool SysReplace(const std::string& from, const std::string& to) {
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

void SysWatchStops() {
  InitializeCriticalSection(&gStopLock);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void SysHoldStops() { EnterCriticalSection(&gStopLock); }
void SysReleaseStops() { LeaveCriticalSection(&gStopLock); }

int SysOpenTreeRoot(const std::string& folder, intptr_t*) {
  if (CreateDirectoryA(folder.c_str(), nullptr)) return 0;
  if (GetLastError() != ERROR_ALREADY_EXISTS) return -1;
  if (!IsPlainFolder(folder)) return 2;
  WIN32_FIND_DATAA found;
  HANDLE f = FindFirstFileA((folder + "\\*").c_str(), &found);
  bool empty = true;
  if (f != INVALID_HANDLE_VALUE) {
    do {
      if (strcmp(found.cFileName, ".") != 0 && strcmp(found.cFileName, "..") != 0) empty = false;
    } while (empty && FindNextFileA(f, &found));
    FindClose(f);
  }
  return empty ? 0 : 1;
}

int SysMakeTreeFolder(const std::string& root, intptr_t, const std::string& relative) {
  const std::string path = root + "/" + relative;
  if (CreateDirectoryA(path.c_str(), nullptr)) return 0;
  if (GetLastError() != ERROR_ALREADY_EXISTS) return -1;
  return IsPlainFolder(path) ? 1 : (SetLastError(ERROR_ALREADY_EXISTS), -1);
}

// The folder of relative below the root is a plain folder (not a link).
static bool InPlainFolder(const std::string& root, const std::string& relative) {
  const std::string folder = HostFolderOf(root + "/" + relative);
  return folder == root + "/" || IsPlainFolder(folder) || (SetLastError(ERROR_DIRECTORY), false);
}

bool SysCreateTreeFile(const std::string& root, intptr_t, const std::string& relative,
                       intptr_t* handle) {
  if (!InPlainFolder(root, relative)) return false;
  // FILE_SHARE_DELETE: the console handler can remove it while it is open.
  HANDLE h = CreateFileA((root + "/" + relative).c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  *handle = (intptr_t)h;
  return true;
}

bool SysRenameInTree(const std::string& root, intptr_t, const std::string& from,
                     const std::string& to) {
  return InPlainFolder(root, to) &&
         MoveFileExA((root + "/" + from).c_str(), (root + "/" + to).c_str(),
                     MOVEFILE_REPLACE_EXISTING) != 0;
}

void HostStartThread(std::thread* thread, void (*run)(void* user), void* user) {
  *thread = std::thread(run, user);  // the console handler runs on a thread of its own
}

bool HostSameFile(const std::string& a, const std::string& b) {
  BY_HANDLE_FILE_INFORMATION x, y;
  return a == b ||
         (Identity(a, &x) && Identity(b, &y) && x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
          x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow);
}

bool HostErrorIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

std::string HostFolderOf(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

bool HostIsAbsolute(const std::string& path) {
  return (path.size() >= 2 && path[1] == ':') || (!path.empty() && strchr("/\\", path[0]));
}
