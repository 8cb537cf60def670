// Host file-system calls of the packing tool: POSIX on the host, Win32 in the Windows build. Every
// output is created new (O_EXCL, or CREATE_NEW) and never through a link; every input is opened
// once and judged by its open handle.
#include "tools/packtool/hostfile.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// Reads and writes go in pieces of at most this many bytes (ReadFile and WriteFile take a DWORD;
// read() and write() may do less than asked).
const size_t kPiece = 64u << 20;

#ifdef _WIN32
HANDLE H(intptr_t handle) { return (HANDLE)handle; }

std::string Reason(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return "No such file or directory";
    case ERROR_ACCESS_DENIED: return "Permission denied";
    case ERROR_SHARING_VIOLATION: return "in use by another program";
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return "File exists";
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return "No space left on device";
    default: return "error " + std::to_string(code);
  }
}

bool WriteAll(HANDLE h, const void* bytes, size_t size) {
  const char* p = static_cast<const char*>(bytes);
  while (size > 0) {
    DWORD piece = (DWORD)(size < kPiece ? size : kPiece), done = 0;
    if (!WriteFile(h, p, piece, &done, nullptr) || done == 0) return false;
    p += done;
    size -= done;
  }
  return true;
}

// A folder that is a folder and not a link (a symbolic link or a junction).
bool IsPlainFolder(const std::string& path) {
  DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) &&
         !(a & FILE_ATTRIBUTE_REPARSE_POINT);
}
#else
bool WriteAll(int fd, const void* bytes, size_t size) {
  const char* p = static_cast<const char*>(bytes);
  while (size > 0) {
    ssize_t done = write(fd, p, size < kPiece ? size : kPiece);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    p += done;
    size -= (size_t)done;
  }
  return true;
}
#endif

}  // namespace

bool HostOpenRead(const std::string& path, HostFile* file, std::string* error) {
#ifdef _WIN32
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    DWORD a = GetFileAttributesA(path.c_str());
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY)) {
      return *error = path + ": not a regular file", false;
    }
    return *error = path + ": " + Reason(code), false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    CloseHandle(h);
    return *error = path + ": not a regular file", false;
  }
  file->handle = (intptr_t)h;
  file->size = ((uint64_t)info.nFileSizeHigh << 32) | info.nFileSizeLow;
  file->mode = 0644;
#else
  // O_NONBLOCK: opening a FIFO or a device never waits for a writer; fstat then refuses it.
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return *error = path + ": " + strerror(errno), false;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return *error = path + ": not a regular file", false;
  }
  file->handle = fd;
  file->size = (uint64_t)info.st_size;
  file->mode = (unsigned)(info.st_mode & 0777);
#endif
  return true;
}

bool HostReadSome(HostFile* file, void* bytes, size_t size, size_t* got) {
  *got = 0;
  if (size > kPiece) size = kPiece;
#ifdef _WIN32
  DWORD done = 0;
  if (!ReadFile(H(file->handle), bytes, (DWORD)size, &done, nullptr)) return false;
  *got = done;
  return true;
#else
  for (;;) {
    ssize_t done = read((int)file->handle, bytes, size);
    if (done < 0 && errno == EINTR) continue;
    if (done < 0) return false;
    *got = (size_t)done;
    return true;
  }
#endif
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

void HostClose(HostFile* file) {
  if (file->handle == -1) return;
#ifdef _WIN32
  CloseHandle(H(file->handle));
#else
  close((int)file->handle);
#endif
  file->handle = -1;
}

// What a stop prints and removes. The handler only reads this state; it is changed with stops
// held off (signals blocked on the host, the handler's lock taken on Windows), so the handler
// sees it whole, and an output is known to it from the moment it exists.
namespace {
struct StopState {
  std::string doing = "working", left = "nothing written";
  std::string open;               // the output open now, removed on a stop
  std::string idleLine, openLine; // the line printed with no output open, and with one
};
StopState gStop;
volatile sig_atomic_t gOpen = 0;     // gStop.open is an output to remove
volatile sig_atomic_t gMidLine = 0;  // a progress line without its end is on the terminal

void ComposeStopLines() {
  gStop.idleLine = "packtool: stopped while " + gStop.doing + "; " + gStop.left + "\n";
  gStop.openLine = "packtool: stopped while writing " + gStop.open + "; removed it; " +
                   gStop.left + "\n";
}

#ifdef _WIN32
CRITICAL_SECTION gStopLock;

// Ctrl+C, Ctrl+Break or a closed console, on a thread of its own. The process then ends as
// Windows' own handler ends it on Ctrl+C, with STATUS_CONTROL_C_EXIT: Wine's own handler would
// end it with 0, success. The lock waits for an output being created to be known.
BOOL WINAPI OnConsoleEvent(DWORD) {
  EnterCriticalSection(&gStopLock);
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  DWORD written;
  if (gMidLine) WriteFile(err, "\n", 1, &written, nullptr);
  if (gOpen) DeleteFileA(gStop.open.c_str());  // opened with FILE_SHARE_DELETE: gone at exit
  const std::string& line = gOpen ? gStop.openLine : gStop.idleLine;
  WriteFile(err, line.data(), (DWORD)line.size(), &written, nullptr);
  ExitProcess(STATUS_CONTROL_C_EXIT);
  return TRUE;
}
#else
// Only async-signal-safe calls; the strings are read, never changed, here.
void OnSignal(int signal) {
  ssize_t ignored = 0;
  if (gMidLine) ignored = write(2, "\n", 1);
  if (gOpen) unlink(gStop.open.c_str());
  const std::string& line = gOpen ? gStop.openLine : gStop.idleLine;
  ignored = write(2, line.data(), line.size());
  (void)ignored;
  ::signal(signal, SIG_DFL);
  raise(signal);
}

void StopSignals(sigset_t* set) {
  sigemptyset(set);
  sigaddset(set, SIGINT);
  sigaddset(set, SIGTERM);
  sigaddset(set, SIGHUP);
}
#endif

void WatchSignals() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  ComposeStopLines();
#ifdef _WIN32
  InitializeCriticalSection(&gStopLock);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = OnSignal;
  StopSignals(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
#endif
}

// Stops held off: one that comes meanwhile is handled at ReleaseStops, on the state as it is then.
void HoldStops() {
  WatchSignals();
#ifdef _WIN32
  EnterCriticalSection(&gStopLock);
#else
  sigset_t set;
  StopSignals(&set);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
#endif
}

void ReleaseStops() {
#ifdef _WIN32
  LeaveCriticalSection(&gStopLock);
#else
  sigset_t set;
  StopSignals(&set);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
#endif
}

// The handler's output, set (with stops held off): path when open, none when not.
void KnowOpen(const std::string& path, bool open) {
  if (open) {
    gStop.open = path;
    ComposeStopLines();
  }
  gOpen = open ? 1 : 0;
}

std::string LastReason() {
#ifdef _WIN32
  return Reason(GetLastError());
#else
  return strerror(errno);
#endif
}

// Closes an output (when open) and removes it, after a failure or when it is given up; the
// signal handler then has nothing left to remove.
void CloseAndRemove(intptr_t* handle, const std::string& path) {
  HoldStops();
#ifdef _WIN32
  if (*handle != -1) CloseHandle(H(*handle));
  DeleteFileA(path.c_str());
#else
  if (*handle != -1) close((int)*handle);
  unlink(path.c_str());
#endif
  *handle = -1;
  KnowOpen("", false);
  ReleaseStops();
}

#ifdef _WIN32
bool Seek(HANDLE h, uint64_t offset) {
  LARGE_INTEGER at;
  at.QuadPart = (LONGLONG)offset;
  return SetFilePointerEx(h, at, nullptr, FILE_BEGIN) != 0;
}
bool SeekEnd(HANDLE h) {
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  return SetFilePointerEx(h, zero, nullptr, FILE_END) != 0;
}
// Reads at an offset given with each call, never through the file pointer, so that two threads
// may read one handle.
bool ReadAllAt(HANDLE h, uint64_t offset, void* bytes, size_t size) {
  char* p = static_cast<char*>(bytes);
  while (size > 0) {
    OVERLAPPED at = {};
    at.Offset = (DWORD)offset;
    at.OffsetHigh = (DWORD)(offset >> 32);
    DWORD piece = (DWORD)(size < kPiece ? size : kPiece), done = 0;
    if (!ReadFile(h, p, piece, &done, &at)) return false;
    if (done == 0) return SetLastError(ERROR_HANDLE_EOF), false;
    p += done;
    offset += done;
    size -= done;
  }
  return true;
}
bool WriteAllAt(HANDLE h, uint64_t offset, const void* bytes, size_t size) {
  const char* p = static_cast<const char*>(bytes);
  while (size > 0) {
    OVERLAPPED at = {};
    at.Offset = (DWORD)offset;
    at.OffsetHigh = (DWORD)(offset >> 32);
    DWORD piece = (DWORD)(size < kPiece ? size : kPiece), done = 0;
    if (!WriteFile(h, p, piece, &done, &at) || done == 0) return false;
    p += done;
    offset += done;
    size -= done;
  }
  return true;
}
#else
bool PwriteAll(int fd, uint64_t offset, const void* bytes, size_t size) {
  const char* p = static_cast<const char*>(bytes);
  while (size > 0) {
    ssize_t done = pwrite(fd, p, size < kPiece ? size : kPiece, (off_t)offset);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    p += done;
    offset += (uint64_t)done;
    size -= (size_t)done;
  }
  return true;
}
bool PreadAll(int fd, uint64_t offset, void* bytes, size_t size) {
  char* p = static_cast<char*>(bytes);
  while (size > 0) {
    ssize_t done = pread(fd, p, size < kPiece ? size : kPiece, (off_t)offset);
    if (done < 0 && errno == EINTR) continue;
    if (done < 0) return false;
    if (done == 0) return errno = 0, false;
    p += done;
    offset += (uint64_t)done;
    size -= (size_t)done;
  }
  return true;
}
#endif
}  // namespace

void HostOnStop(const std::string& doing, const std::string& left) {
  HoldStops();
  gStop.doing = doing;
  gStop.left = left;
  ComposeStopLines();
  ReleaseStops();
}

void HostProgressShowing(bool showing) { gMidLine = showing ? 1 : 0; }

bool HostCreatePart(const std::string& path, HostPart* part, std::string* error) {
  part->path = path;
  part->part = path + ".packtool-part";
  const std::string exists = part->part + ": already exists (left by a run that was stopped, or "
                                          "put there by someone else); remove it and run again";
  HoldStops();  // the part file is known to the handler from the moment it exists
#ifdef _WIN32
  HANDLE h = CreateFileA(part->part.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE,
                         nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    ReleaseStops();
    if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) return *error = exists, false;
    return *error = path + ": " + Reason(code), false;
  }
  part->handle = (intptr_t)h;
#else
  int fd = open(part->part.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    int code = errno;
    ReleaseStops();
    if (code == EEXIST) return *error = exists, false;
    return *error = path + ": " + strerror(code), false;
  }
  part->handle = fd;
#endif
  KnowOpen(part->part, true);
  ReleaseStops();
  return true;
}

bool HostWritePart(HostPart* part, const void* bytes, size_t size, std::string* error) {
#ifdef _WIN32
  bool ok = WriteAll(H(part->handle), bytes, size);
#else
  bool ok = WriteAll((int)part->handle, bytes, size);
#endif
  if (!ok) *error = part->path + ": write error: " + LastReason();
  return ok;
}

bool HostWritePartAt(HostPart* part, uint64_t offset, const void* bytes, size_t size,
                     std::string* error) {
#ifdef _WIN32
  bool ok = Seek(H(part->handle), offset) && WriteAll(H(part->handle), bytes, size) &&
            SeekEnd(H(part->handle));
#else
  bool ok = PwriteAll((int)part->handle, offset, bytes, size);
#endif
  if (!ok) *error = part->path + ": write error: " + LastReason();
  return ok;
}

void HostAbandonPart(HostPart* part) {
  if (part->handle != -1) CloseAndRemove(&part->handle, part->part);
}

bool HostCommitPart(HostPart* part, int mode, std::string* error) {
#ifdef _WIN32
  (void)mode;
  bool ok = FlushFileBuffers(H(part->handle)) != 0;
  if (!ok) *error = part->path + ": write error: " + LastReason();
  ok = CloseHandle(H(part->handle)) && ok;
  part->handle = -1;
  if (!ok) {
    if (error->empty()) *error = part->path + ": write error: " + LastReason();
    CloseAndRemove(&part->handle, part->part);
    return false;
  }
  HoldStops();  // renamed and forgotten at once: a stop then leaves OUTPUT whole
  if (!MoveFileExA(part->part.c_str(), part->path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    *error = part->path + ": cannot replace it (" + Reason(GetLastError()) + ")";
    ReleaseStops();
    CloseAndRemove(&part->handle, part->part);
    return false;
  }
#else
  int fd = (int)part->handle;
  bool ok = mode < 0 || fchmod(fd, (mode_t)mode) == 0;
  if (!ok) *error = part->path + ": " + strerror(errno);
  if (close(fd) != 0 && ok) {
    ok = false;
    *error = part->path + ": write error: " + strerror(errno);
  }
  part->handle = -1;
  if (!ok) {
    CloseAndRemove(&part->handle, part->part);
    return false;
  }
  HoldStops();  // renamed and forgotten at once: a stop then leaves OUTPUT whole
  if (rename(part->part.c_str(), part->path.c_str()) != 0) {
    *error = part->path + ": " + strerror(errno);
    ReleaseStops();
    CloseAndRemove(&part->handle, part->part);
    return false;
  }
#endif
  KnowOpen("", false);
  gStop.doing = "finishing";
  gStop.left = part->path + " written whole";
  ComposeStopLines();
  ReleaseStops();
  return true;
}

bool HostReadAt(HostFile* file, const std::string& path, uint64_t offset, void* bytes,
                size_t size, std::string* error) {
#ifdef _WIN32
  bool ok = ReadAllAt(H(file->handle), offset, bytes, size);
#else
  bool ok = PreadAll((int)file->handle, offset, bytes, size);
#endif
  if (!ok) {
#ifdef _WIN32
    bool ended = GetLastError() == ERROR_HANDLE_EOF;
#else
    bool ended = errno == 0;
#endif
    *error = path + ": " + (ended ? std::string("shorter than when it was opened (it changed)")
                                  : "read error: " + LastReason());
  }
  return ok;
}

#ifdef _WIN32
namespace {
bool Identity(const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
  HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = GetFileInformationByHandle(h, info) != 0;
  CloseHandle(h);
  return ok;
}
}  // namespace
#endif

bool HostSameFile(const std::string& a, const std::string& b) {
  if (a == b) return true;
#ifdef _WIN32
  BY_HANDLE_FILE_INFORMATION x, y;
  return Identity(a, &x) && Identity(b, &y) && x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
         x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
#else
  struct stat x, y;
  return stat(a.c_str(), &x) == 0 && stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev &&
         x.st_ino == y.st_ino;
#endif
}

void HostStartThread(std::thread* thread, void (*run)(void* user), void* user) {
#ifdef _WIN32
  *thread = std::thread(run, user);  // the console handler runs on a thread of its own
#else
  // A new thread starts with the signal mask of the one that makes it.
  sigset_t stops, before;
  StopSignals(&stops);
  pthread_sigmask(SIG_BLOCK, &stops, &before);
  *thread = std::thread(run, user);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
#endif
}

bool HostOpenScratch(HostFile* file, std::string* error) {
#ifdef _WIN32
  char folder[MAX_PATH + 1], name[MAX_PATH + 1];
  DWORD length = GetTempPathA(sizeof folder, folder);
  if (length == 0 || length > MAX_PATH || !GetTempFileNameA(folder, "pkt", 0, name)) {
    return *error = std::string("scratch file: ") + Reason(GetLastError()), false;
  }
  HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    DeleteFileA(name);
    return *error = std::string(name) + ": " + Reason(code), false;
  }
  file->handle = (intptr_t)h;
#else
  const char* folder = getenv("TMPDIR");
  std::string name = std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") +
                     "/packtool-XXXXXX";
  int fd = mkstemp(&name[0]);
  if (fd < 0) return *error = name + ": " + strerror(errno), false;
  unlink(name.c_str());  // gone with the last descriptor, whatever ends the run
  file->handle = fd;
#endif
  file->size = 0;
  return true;
}

bool HostWriteAt(HostFile* file, const std::string& what, uint64_t offset, const void* bytes,
                 size_t size, std::string* error) {
#ifdef _WIN32
  bool ok = WriteAllAt(H(file->handle), offset, bytes, size);
#else
  bool ok = PwriteAll((int)file->handle, offset, bytes, size);
#endif
  if (!ok) *error = what + ": write error: " + LastReason();
  return ok;
}

bool HostErrorIsTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(2) != 0;
#endif
}

#ifdef _WIN32
const char kSeparators[] = "/\\";
#else
const char kSeparators[] = "/";
#endif

std::string HostFolderOf(const std::string& path) {
  size_t slash = path.find_last_of(kSeparators);
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

bool HostIsAbsolute(const std::string& path) {
#ifdef _WIN32
  if (path.size() >= 2 && path[1] == ':') return true;
#endif
  return !path.empty() && strchr(kSeparators, path[0]) != nullptr;
}

// The unpack tree.

namespace {
// What a stop of unpack leaves (stops held off): the whole files written so far.
void SayTreeLeft(const HostTree* tree) {
  size_t n = tree->whole.size();
  gStop.doing = "checking";
  gStop.left = std::to_string(n) + (n == 1 ? " whole file" : " whole files") + " written in " +
               tree->root + ", nothing partial";
  ComposeStopLines();
}
}  // namespace

bool HostOpenTree(const std::string& folder, HostTree* tree, std::string* error) {
  tree->root = folder;
  tree->made.clear();
  tree->whole.clear();
  const std::string notEmpty =
      folder + ": not empty; unpack writes only into a new or empty folder";
#ifdef _WIN32
  if (!CreateDirectoryA(folder.c_str(), nullptr)) {
    DWORD code = GetLastError();
    if (code != ERROR_ALREADY_EXISTS) return *error = folder + ": " + Reason(code), false;
    if (!IsPlainFolder(folder)) return *error = folder + ": not a folder (or a link)", false;
    WIN32_FIND_DATAA found;
    HANDLE f = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (f != INVALID_HANDLE_VALUE) {
      bool empty = true;
      do {
        if (strcmp(found.cFileName, ".") != 0 && strcmp(found.cFileName, "..") != 0) empty = false;
      } while (empty && FindNextFileA(f, &found));
      FindClose(f);
      if (!empty) return *error = notEmpty, false;
    }
  }
#else
  bool made = mkdir(folder.c_str(), 0755) == 0;
  if (!made && errno != EEXIST) return *error = folder + ": " + strerror(errno), false;
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOTDIR || errno == ELOOP) {
      return *error = folder + ": not a folder (or a symbolic link)", false;
    }
    return *error = folder + ": " + strerror(errno), false;
  }
  int listing = dup(fd);
  DIR* d = listing < 0 ? nullptr : fdopendir(listing);
  if (d == nullptr) {
    if (listing >= 0) close(listing);
    close(fd);
    return *error = folder + ": " + strerror(errno), false;
  }
  bool empty = true;
  while (struct dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) empty = false;
  }
  closedir(d);
  if (!empty) {
    close(fd);
    return *error = notEmpty, false;
  }
  tree->handle = fd;
#endif
  HoldStops();
  SayTreeLeft(tree);
  ReleaseStops();
  return true;
}

#ifndef _WIN32
namespace {
// Opens the folder relative below the root, component by component, never through a link; makes
// the missing ones when make. A descriptor, or -1 with *error.
int OpenFolders(HostTree* tree, const std::string& relative, bool make, std::string* error) {
  int dir = dup((int)tree->handle);
  size_t start = 0;
  while (dir >= 0 && start < relative.size()) {
    size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    std::string name = relative.substr(start, end - start), prefix = relative.substr(0, end);
    std::string where = tree->root + "/" + prefix;
    if (make) {
      if (mkdirat(dir, name.c_str(), 0755) == 0) {
        tree->made.insert(prefix);
      } else if (errno != EEXIST || tree->made.count(prefix) == 0) {
        *error = where + ": " + (errno == EEXIST ? "exists, and this run did not make it"
                                                 : strerror(errno));
        close(dir);
        return -1;
      }
    }
    int next = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) *error = where + ": " + strerror(errno);
    close(dir);
    dir = next;
    start = end + 1;
  }
  if (dir < 0 && error->empty()) *error = tree->root + ": " + strerror(errno);
  return dir;
}
}  // namespace
#endif

bool HostTreeMakeFolders(HostTree* tree, const std::string& relative, std::string* error) {
#ifdef _WIN32
  size_t start = 0;
  while (start < relative.size()) {
    size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    std::string prefix = relative.substr(0, end), path = tree->root + "/" + prefix;
    if (CreateDirectoryA(path.c_str(), nullptr)) {
      tree->made.insert(prefix);
    } else {
      DWORD code = GetLastError();
      if (code != ERROR_ALREADY_EXISTS || tree->made.count(prefix) == 0 || !IsPlainFolder(path)) {
        return *error = path + ": " + (code == ERROR_ALREADY_EXISTS
                                           ? std::string("exists, and this run did not make it")
                                           : Reason(code)), false;
      }
    }
    start = end + 1;
  }
  return true;
#else
  int dir = OpenFolders(tree, relative, true, error);
  if (dir < 0) return false;
  close(dir);
  return true;
#endif
}

bool HostTreeCreateFile(HostTree* tree, const std::string& relative, HostTreeFile* file,
                        std::string* error) {
  std::string path = tree->root + "/" + relative;
  bool again = tree->made.count(relative) != 0;  // a damaged package may name a file twice
#ifdef _WIN32
  std::string folder = HostFolderOf(path);
  if (!folder.empty() && folder != tree->root + "/" && !IsPlainFolder(folder)) {
    return *error = folder + ": not a folder made by this run", false;
  }
  if (again) DeleteFileA(path.c_str());
  // FILE_SHARE_DELETE: the console handler can remove it while it is open.
  HoldStops();
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    ReleaseStops();
    return *error = path + ": " + Reason(code), false;
  }
  file->handle = (intptr_t)h;
#else
  size_t slash = relative.rfind('/');
  std::string folders = slash == std::string::npos ? "" : relative.substr(0, slash);
  std::string name = slash == std::string::npos ? relative : relative.substr(slash + 1);
  int dir = OpenFolders(tree, folders, false, error);
  if (dir < 0) return false;
  if (again) unlinkat(dir, name.c_str(), 0);
  HoldStops();
  int fd = openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  int openError = errno;
  close(dir);
  if (fd < 0) {
    ReleaseStops();
    return *error = path + ": " + strerror(openError), false;
  }
  file->handle = fd;
#endif
  // Known to the handler before a stop can come (stops held off since before it existed).
  file->path = path;
  file->relative = relative;
  file->tree = tree;
  tree->made.insert(relative);
  tree->whole.erase(relative);
  KnowOpen(path, true);
  SayTreeLeft(tree);
  ReleaseStops();
  return true;
}

bool HostTreeWriteMore(HostTreeFile* file, const void* bytes, size_t size, std::string* error) {
#ifdef _WIN32
  bool ok = WriteAll(H(file->handle), bytes, size);
#else
  bool ok = WriteAll((int)file->handle, bytes, size);
#endif
  if (ok) return true;
  *error = file->path + ": write error: " + LastReason();
  HostTreeAbandonFile(file);
  return false;
}

bool HostTreeFinishFile(HostTreeFile* file, std::string* error) {
#ifdef _WIN32
  bool ok = CloseHandle(H(file->handle)) != 0;
#else
  bool ok = close((int)file->handle) == 0;
#endif
  file->handle = -1;
  if (ok) {
    HoldStops();
    file->tree->whole.insert(file->relative);
    KnowOpen("", false);
    SayTreeLeft(file->tree);
    ReleaseStops();
    return true;
  }
  *error = file->path + ": write error: " + LastReason();
  CloseAndRemove(&file->handle, file->path);
  return false;
}

void HostTreeAbandonFile(HostTreeFile* file) {
  if (file->handle != -1) CloseAndRemove(&file->handle, file->path);
}

void HostCloseTree(HostTree* tree) {
#ifndef _WIN32
  if (tree->handle != -1) close((int)tree->handle);
#endif
  tree->handle = -1;
}
