// The packing tool's system calls on Windows (packtool.exe): HANDLEs, the console's stop events,
// and the unpack tree. Paths are UTF-8 inside the tool and go to the system's wide calls, so that
// no name depends on the code page.
#include <io.h>
#include <stdio.h>
#include <wchar.h>
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include "tools/packtool/hostsys.h"

namespace {

// UTF-8 text as UTF-16. With strict, text that is not UTF-8 (or holds a NUL) is refused:
// false, with ERROR_NO_UNICODE_TRANSLATION; without, its bad bytes become U+FFFD.
bool Wide(const std::string& text, std::wstring* wide, bool strict = true) {
  wide->clear();
  if (text.find('\0') != std::string::npos) return SetLastError(ERROR_INVALID_NAME), false;
  const DWORD flags = strict ? MB_ERR_INVALID_CHARS : 0;
  int size = MultiByteToWideChar(CP_UTF8, flags, text.data(), (int)text.size(), nullptr, 0);
  if (size <= 0) return text.empty() || (SetLastError(ERROR_NO_UNICODE_TRANSLATION), false);
  wide->resize(size);
  MultiByteToWideChar(CP_UTF8, flags, text.data(), (int)text.size(), &(*wide)[0], size);
  return true;
}

// Writes UTF-8 text to a standard handle: to a console as UTF-16, readable in any code page, in
// one call (a line holds a few paths below MAX_PATH and at most a manifest line, far below what
// any console takes); elsewhere (a file, a pipe) as the UTF-8 bytes. Never through the C
// library's locks: the console handler writes while another thread may hold them.
void WriteText(HANDLE to, const std::string& text) {
  DWORD mode, done;
  std::wstring wide;
  if (!GetConsoleMode(to, &mode)) {
    return (void)WriteFile(to, text.data(), (DWORD)text.size(), &done, nullptr);
  }
  Wide(text, &wide, false);
  WriteConsoleW(to, wide.data(), (DWORD)wide.size(), &done, nullptr);
}

// CreateFileW on a UTF-8 path; INVALID_HANDLE_VALUE when it fails or is not UTF-8.
HANDLE OpenPath(const std::string& path, DWORD access, DWORD share, DWORD how, DWORD flags) {
  std::wstring wide;
  if (!Wide(path, &wide)) return INVALID_HANDLE_VALUE;
  return CreateFileW(wide.c_str(), access, share, nullptr, how, flags, nullptr);
}

CRITICAL_SECTION gStopLock;

// Ctrl+C, Ctrl+Break or a closed console, on a thread of its own. The process then ends as
// Windows' own handler ends it on Ctrl+C, with STATUS_CONTROL_C_EXIT: Wine's own handler would
// end it with 0, success. The lock waits for an output being created to be known.
BOOL WINAPI OnConsoleEvent(DWORD) {
  EnterCriticalSection(&gStopLock);
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  if (gMidLine) WriteText(err, "\n");
  for (int k = 0; k < STOP_PARTS; ++k) {  // opened with FILE_SHARE_DELETE: gone at exit
    if (gLive[k]) SysRemove(gStopParts[k]);
  }
  WriteText(err, gStopLine);
  ExitProcess(STATUS_CONTROL_C_EXIT);
  return TRUE;
}

bool Identity(const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
  HANDLE h = OpenPath(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = GetFileInformationByHandle(h, info) != 0;
  CloseHandle(h);
  return ok;
}

}  // namespace

const char kSeparators[] = "/\\";
const bool kDriveLetters = true;

std::string SysReason() {
  DWORD code = GetLastError();
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return "No such file or directory";
    case ERROR_ACCESS_DENIED: return "Permission denied";
    case ERROR_SHARING_VIOLATION: return "in use by another program";
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return "No space left on device";
    case ERROR_INVALID_NAME: return "not a valid file name";
    case ERROR_NO_UNICODE_TRANSLATION:
      return "not UTF-8 (packtool reads names and manifests as UTF-8 in every code page)";
    default: return "error " + std::to_string(code);
  }
}

// A folder opens too (backup semantics), to be refused as not a file.
int SysOpenRead(const std::string& path, intptr_t* handle, uint64_t* size, unsigned*) {
  HANDLE h = OpenPath(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS);
  if (h == INVALID_HANDLE_VALUE) return -1;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return CloseHandle(h), 1;
  }
  *handle = (intptr_t)h;
  *size = ((uint64_t)info.nFileSizeHigh << 32) | info.nFileSizeLow;
  return 0;
}

// At the end of the file a read at an offset fails with ERROR_HANDLE_EOF: 0 bytes read.
bool SysTransferAt(intptr_t handle, uint64_t offset, void* bytes, size_t size, bool write,
                   size_t* done) {
  OVERLAPPED at = {};
  at.Offset = (DWORD)offset;
  at.OffsetHigh = (DWORD)(offset >> 32);
  DWORD n = 0;
  const bool ok = write ? WriteFile((HANDLE)handle, bytes, (DWORD)size, &n, &at) != 0
                        : (ReadFile((HANDLE)handle, bytes, (DWORD)size, &n, &at) ||
                           GetLastError() == ERROR_HANDLE_EOF);
  *done = n;
  return ok;
}

bool SysClose(intptr_t handle, int, bool whole) {
  if (handle == -1) return true;
  const bool ok = !whole || FlushFileBuffers((HANDLE)handle) != 0;
  const DWORD code = GetLastError();
  const bool closed = CloseHandle((HANDLE)handle) != 0;
  if (!ok) SetLastError(code);
  return ok && closed;
}

int SysCreateNew(const std::string& path, intptr_t* handle, unsigned) {
  HANDLE h = OpenPath(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, CREATE_NEW,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
  if (h == INVALID_HANDLE_VALUE) {
    return GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS ? 1 : -1;
  }
  *handle = (intptr_t)h;
  return 0;
}

void SysRemove(const std::string& path) {
  std::wstring wide;
  if (Wide(path, &wide)) DeleteFileW(wide.c_str());
}

bool SysReplace(const std::string& from, const std::string& to) {
  std::wstring a, b;
  return Wide(from, &a) && Wide(to, &b) &&
         MoveFileExW(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

void SysWatchStops() {
  InitializeCriticalSection(&gStopLock);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void SysHoldStops() { EnterCriticalSection(&gStopLock); }
void SysReleaseStops() { LeaveCriticalSection(&gStopLock); }

int SysMakeFolder(const std::string& path) {
  std::wstring wide;
  if (Wide(path, &wide) && CreateDirectoryW(wide.c_str(), nullptr)) return 0;
  return GetLastError() != ERROR_ALREADY_EXISTS ? -1 : SysIsPlainFolder(path) ? 1 : 2;
}

// Neither a symbolic link nor a junction.
bool SysIsPlainFolder(const std::string& path) {
  std::wstring wide;
  DWORD a = Wide(path, &wide) ? GetFileAttributesW(wide.c_str()) : INVALID_FILE_ATTRIBUTES;
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) &&
         !(a & FILE_ATTRIBUTE_REPARSE_POINT);
}

// An existing folder lists at least ".".
int SysFolderIsEmpty(const std::string& path) {
  WIN32_FIND_DATAW found;
  std::wstring pattern;
  HANDLE f = Wide(path + "\\*", &pattern) ? FindFirstFileW(pattern.c_str(), &found)
                                          : INVALID_HANDLE_VALUE;
  if (f == INVALID_HANDLE_VALUE) return -1;
  int empty = 1;
  do {
    if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0) empty = 0;
  } while (empty && FindNextFileW(f, &found));
  FindClose(f);
  return empty;
}

std::thread HostStartThread(void (*run)(void* user), void* user) {
  return std::thread(run, user);  // the console handler runs on a thread of its own
}

bool HostSameFile(const std::string& a, const std::string& b) {
  BY_HANDLE_FILE_INFORMATION x, y;
  return a == b ||
         (Identity(a, &x) && Identity(b, &y) && x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
          x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow);
}

bool HostErrorIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

bool HostArguments(int, char**, std::vector<std::string>* args, std::string* error) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return *error = "the command line: " + SysReason(), false;
  bool ok = true;
  for (int i = 1; i < count && ok; ++i) {
    const DWORD flags = WC_ERR_INVALID_CHARS;  // an unpaired surrogate is refused
    const int size = WideCharToMultiByte(CP_UTF8, flags, wide[i], -1, nullptr, 0, nullptr, nullptr);
    ok = size > 0;
    if (!ok) {
      *error = "argument " + std::to_string(i) + " is not Unicode text (a lone surrogate)";
    } else {
      args->emplace_back(size - 1, '\0');  // the NUL is written after its last character
      WideCharToMultiByte(CP_UTF8, flags, wide[i], -1, &args->back()[0], size, nullptr, nullptr);
    }
  }
  LocalFree(wide);
  return ok;
}

void HostWriteText(FILE* stream, const std::string& text) {
  HANDLE to = GetStdHandle(stream == stdout ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  DWORD mode;
  if (!GetConsoleMode(to, &mode)) return (void)fputs(text.c_str(), stream);
  fflush(stream);
  WriteText(to, text);
}
