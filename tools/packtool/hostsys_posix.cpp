// The packing tool's system calls on POSIX hosts: descriptors, signals, and the unpack tree
// walked from its open root with openat, never through a link.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/packtool/hostsys.h"
#include "tools/packtool/hosttext.h"

namespace {

// Reads and writes go in pieces of at most this many bytes (read() and write() may do less).
const size_t kPiece = 64u << 20;

void StopSignals(sigset_t* set) {
  sigemptyset(set);
  sigaddset(set, SIGINT);
  sigaddset(set, SIGTERM);
  sigaddset(set, SIGHUP);
}

// Only async-signal-safe calls; the strings are read, never changed, here.
void OnSignal(int signal) {
  ssize_t ignored = 0;
  if (gMidLine) ignored = write(2, "\n", 1);
  for (int k = 0; k < STOP_PARTS; ++k) {
    if (gLive[k]) unlink(gStop.parts[k].c_str());
  }
  const std::string& line = gOpen ? gStop.openLine : gStop.idleLine;
  ignored = write(2, line.data(), line.size());
  (void)ignored;
  ::signal(signal, SIG_DFL);
  raise(signal);
}

// Opens the folder relative ('/'-separated, possibly empty) below the tree's root, component by
// component, never through a link. A descriptor, or -1.
int OpenFolders(intptr_t root, const std::string& relative) {
  int dir = dup((int)root);
  size_t start = 0;
  while (dir >= 0 && start < relative.size()) {
    size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    std::string name = relative.substr(start, end - start);
    int next = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int code = errno;
    close(dir);
    errno = code;
    dir = next;
    start = end + 1;
  }
  return dir;
}

// The folder part and the last name of relative.
void SplitLast(const std::string& relative, std::string* folders, std::string* name) {
  size_t slash = relative.rfind('/');
  *folders = slash == std::string::npos ? "" : relative.substr(0, slash);
  *name = slash == std::string::npos ? relative : relative.substr(slash + 1);
}

}  // namespace

std::string SysReason() { return strerror(errno); }

int SysOpenRead(const std::string& path, intptr_t* handle, uint64_t* size, unsigned* mode) {
  // O_NONBLOCK: opening a FIFO or a device never waits for a writer; fstat then refuses it.
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return 1;
  }
  *handle = fd;
  *size = (uint64_t)info.st_size;
  *mode = (unsigned)(info.st_mode & 0777);
  return 0;
}

bool SysRead(intptr_t handle, void* bytes, size_t size, size_t* got) {
  for (;;) {
    ssize_t done = read((int)handle, bytes, size < kPiece ? size : kPiece);
    if (done < 0 && errno == EINTR) continue;
    if (done < 0) return false;
    *got = (size_t)done;
    return true;
  }
}

bool SysReadAt(intptr_t handle, uint64_t offset, void* bytes, size_t size, bool* ended) {
  char* p = static_cast<char*>(bytes);
  *ended = false;
  while (size > 0) {
    ssize_t done = pread((int)handle, p, size < kPiece ? size : kPiece, (off_t)offset);
    if (done < 0 && errno == EINTR) continue;
    if (done < 0) return false;
    if (done == 0) return *ended = true, false;
    p += done;
    offset += (uint64_t)done;
    size -= (size_t)done;
  }
  return true;
}

bool SysWriteAt(intptr_t handle, uint64_t offset, const void* bytes, size_t size) {
  const char* p = static_cast<const char*>(bytes);
  while (size > 0) {
    ssize_t done = pwrite((int)handle, p, size < kPiece ? size : kPiece, (off_t)offset);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    p += done;
    offset += (uint64_t)done;
    size -= (size_t)done;
  }
  return true;
}

void SysClose(intptr_t handle) {
  if (handle != -1) close((int)handle);
}

bool SysCloseWritten(intptr_t handle, int mode, bool) {
  bool ok = mode < 0 || fchmod((int)handle, (mode_t)mode) == 0;
  int code = errno;
  if (close((int)handle) != 0) return false;
  errno = code;
  return ok;
}

int SysCreateNew(const std::string& path, intptr_t* handle) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return errno == EEXIST ? 1 : -1;
  *handle = fd;
  return 0;
}

void SysRemove(const std::string& path) { unlink(path.c_str()); }

bool SysReplace(const std::string& from, const std::string& to) {
  return rename(from.c_str(), to.c_str()) == 0;
}

void SysWatchStops() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = OnSignal;
  StopSignals(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
}

void SysHoldStops() {
  sigset_t set;
  StopSignals(&set);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void SysReleaseStops() {
  sigset_t set;
  StopSignals(&set);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

int SysOpenTreeRoot(const std::string& folder, intptr_t* handle) {
  if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) return -1;
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno == ENOTDIR || errno == ELOOP ? 2 : -1;
  int listing = dup(fd);
  DIR* d = listing < 0 ? nullptr : fdopendir(listing);
  if (d == nullptr) {
    int code = errno;
    if (listing >= 0) close(listing);
    close(fd);
    errno = code;
    return -1;
  }
  bool empty = true;
  while (struct dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) empty = false;
  }
  closedir(d);
  if (!empty) {
    close(fd);
    return 1;
  }
  *handle = fd;
  return 0;
}

int SysMakeTreeFolder(const std::string&, intptr_t root, const std::string& relative) {
  std::string folders, name;
  SplitLast(relative, &folders, &name);
  int dir = OpenFolders(root, folders);
  if (dir < 0) return -1;
  int made = mkdirat(dir, name.c_str(), 0755) == 0 ? 0 : -1;
  struct stat info;
  if (made < 0 && errno == EEXIST) {
    made = fstatat(dir, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode)
               ? 1 : (errno = ENOTDIR, -1);
  }
  int code = errno;
  close(dir);
  errno = code;
  return made;
}

bool SysCreateTreeFile(const std::string&, intptr_t root, const std::string& relative,
                       intptr_t* handle) {
  std::string folders, name;
  SplitLast(relative, &folders, &name);
  int dir = OpenFolders(root, folders);
  if (dir < 0) return false;
  int fd = openat(dir, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  int code = errno;
  close(dir);
  errno = code;
  if (fd < 0) return false;
  *handle = fd;
  return true;
}

bool SysRenameInTree(const std::string&, intptr_t root, const std::string& from,
                     const std::string& to) {
  std::string folders[2], names[2];
  SplitLast(from, &folders[0], &names[0]);
  SplitLast(to, &folders[1], &names[1]);
  int from_dir = OpenFolders(root, folders[0]);
  int to_dir = from_dir < 0 ? -1 : OpenFolders(root, folders[1]);
  bool ok = to_dir >= 0 && renameat(from_dir, names[0].c_str(), to_dir, names[1].c_str()) == 0;
  int code = errno;
  if (from_dir >= 0) close(from_dir);
  if (to_dir >= 0) close(to_dir);
  errno = code;
  return ok;
}

void HostStartThread(std::thread* thread, void (*run)(void* user), void* user) {
  // A new thread starts with the signal mask of the one that makes it: stops land on the
  // calling thread, where they are held off.
  sigset_t stops, before;
  StopSignals(&stops);
  pthread_sigmask(SIG_BLOCK, &stops, &before);
  *thread = std::thread(run, user);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

bool HostSameFile(const std::string& a, const std::string& b) {
  struct stat x, y;
  return a == b || (stat(a.c_str(), &x) == 0 && stat(b.c_str(), &y) == 0 &&
                    x.st_dev == y.st_dev && x.st_ino == y.st_ino);
}

bool HostErrorIsTerminal() { return isatty(2) != 0; }

std::string HostFolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

bool HostIsAbsolute(const std::string& path) { return !path.empty() && path[0] == '/'; }

bool HostArguments(int argc, char** argv, std::vector<std::string>* args, std::string*) {
  args->assign(argv + 1, argv + argc);
  return true;
}

void HostWriteText(FILE* stream, const std::string& text) { fputs(text.c_str(), stream); }
