// Host file-system calls of the packing tool: POSIX on the host, Win32 and the C runtime in the
// Windows build (whose stat() and st_ino cannot tell sizes above 2 GB or file identity).
#include "tools/packtool/hostfile.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#ifdef _WIN32
#include <direct.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

bool HostFileSize(const std::string& path, uint64_t* size, std::string* error) {
#ifdef _WIN32
  struct _stat64 info;
  if (_stat64(path.c_str(), &info) != 0) return *error = path + ": " + strerror(errno), false;
  bool regular = (info.st_mode & _S_IFMT) == _S_IFREG;
#else
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return *error = path + ": " + strerror(errno), false;
  bool regular = S_ISREG(info.st_mode);
#endif
  if (!regular) return *error = path + ": not a regular file", false;
  *size = (uint64_t)info.st_size;
  return true;
}

bool HostMakeFolder(const std::string& path) {
#ifdef _WIN32
  if (_mkdir(path.c_str()) == 0) return true;
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
#else
  if (mkdir(path.c_str(), 0755) == 0) return true;
  struct stat info;
  return errno == EEXIST && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
#endif
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

bool HostReplaceFile(const std::string& from, const std::string& to, std::string* error) {
#ifdef _WIN32
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  *error = to + ": cannot replace it (error " + std::to_string(GetLastError()) + ")";
  return false;
#else
  if (rename(from.c_str(), to.c_str()) == 0) return true;
  *error = to + ": " + strerror(errno);
  return false;
#endif
}

void HostCopyPermissions(const std::string& from, const std::string& to) {
#ifdef _WIN32
  (void)from;
  (void)to;
#else
  struct stat info;
  if (stat(from.c_str(), &info) == 0) chmod(to.c_str(), info.st_mode & 0777);
#endif
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
