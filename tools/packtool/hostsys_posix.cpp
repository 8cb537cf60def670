// The packing tool's system calls on POSIX hosts: descriptors, signals, and the unpack tree
// walked from its open root with openat, never through a link.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/packtool/hostsys.h"

namespace {

// The set of the stops, blocked (SIG_BLOCK) or let in (SIG_UNBLOCK) on the calling thread.
sigset_t MaskStops(int how, sigset_t* before = nullptr) {
  sigset_t set;
  sigemptyset(&set);
  for (int stop : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, stop);
  if (how >= 0) pthread_sigmask(how, &set, before);
  return set;
}

// Creates name new in the folder dir (AT_FDCWD: the working folder), never through a link.
int CreateAt(int dir, const std::string& name, mode_t mode, intptr_t* handle) {
  int fd = openat(dir, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) return errno == EEXIST ? 1 : -1;
  *handle = fd;
  return 0;
}

// Only async-signal-safe calls; the strings are read, never changed, here.
void OnSignal(int signal) {
  ssize_t ignored = 0;
  if (gMidLine) ignored = write(2, "\n", 1);
  for (int k = 0; k < STOP_PARTS; ++k) {
    if (gLive[k]) unlink(gStop.parts[k].c_str());
  }
  ignored = write(2, gStop.line.data(), gStop.line.size());
  (void)ignored;
  ::signal(signal, SIG_DFL);
  raise(signal);
}

// Opens the folder that holds relative ('/'-separated) below the tree's root, component by
// component, never through a link: a descriptor, or -1; *name gets the last component.
int OpenFolderOf(intptr_t root, const std::string& relative, std::string* name) {
  int dir = dup((int)root);
  size_t start = 0;
  for (size_t end; dir >= 0 && (end = relative.find('/', start)) != std::string::npos;
       start = end + 1) {
    int next = openat(dir, relative.substr(start, end - start).c_str(),
                      O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    SysClose(dir);
    dir = next;
  }
  *name = relative.substr(start);
  return dir;
}

}  // namespace

const char kSeparators[] = "/";
const bool kDriveLetters = false;

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

bool SysTransferAt(intptr_t handle, uint64_t offset, void* bytes, size_t size, bool write,
                   size_t* done) {
  ssize_t n;
  do {
    n = write ? pwrite((int)handle, bytes, size, (off_t)offset)
              : pread((int)handle, bytes, size, (off_t)offset);
  } while (n < 0 && errno == EINTR);
  *done = n < 0 ? 0 : (size_t)n;
  return n >= 0;
}

bool SysClose(intptr_t handle, int mode, bool) {
  const int before = errno;
  const bool set = handle < 0 || mode < 0 || fchmod((int)handle, (mode_t)mode) == 0;
  const int reason = errno;
  if (handle >= 0 && close((int)handle) != 0 && set) return false;
  errno = set ? before : reason;
  return set;
}

int SysCreateNew(const std::string& path, intptr_t* handle) {
  return CreateAt(AT_FDCWD, path, 0666, handle);
}

void SysRemove(const std::string& path) { unlink(path.c_str()); }

bool SysReplace(const std::string& from, const std::string& to) {
  return rename(from.c_str(), to.c_str()) == 0;
}

void SysWatchStops() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = OnSignal;
  action.sa_mask = MaskStops(-1);
  for (int stop : {SIGINT, SIGTERM, SIGHUP}) sigaction(stop, &action, nullptr);
}

void SysHoldStops() { MaskStops(SIG_BLOCK); }
void SysReleaseStops() { MaskStops(SIG_UNBLOCK); }

int SysOpenTreeRoot(const std::string& folder, intptr_t* handle) {
  if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) return -1;
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno == ENOTDIR || errno == ELOOP ? 2 : -1;
  int listing = dup(fd);
  DIR* d = listing < 0 ? nullptr : fdopendir(listing);
  if (d == nullptr) return SysClose(listing), SysClose(fd), -1;
  bool empty = true;
  errno = 0;  // readdir's end and its failure both give null: a folder not listed is not empty
  while (struct dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) empty = false;
  }
  const int reason = errno;
  closedir(d);
  if (reason != 0) return close(fd), errno = reason, -1;
  if (!empty) return close(fd), 1;
  *handle = fd;
  return 0;
}

int SysMakeTreeFolder(const std::string&, intptr_t root, const std::string& relative) {
  std::string name;
  int dir = OpenFolderOf(root, relative, &name);
  if (dir < 0) return -1;
  int made = mkdirat(dir, name.c_str(), 0755) == 0 ? 0 : -1;
  struct stat info;
  if (made < 0 && errno == EEXIST) {
    made = fstatat(dir, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode)
               ? 1 : (errno = ENOTDIR, -1);
  }
  SysClose(dir);
  return made;
}

int SysCreateInRoot(const std::string&, intptr_t rootHandle, const std::string& name,
                    intptr_t* handle) {
  return CreateAt((int)rootHandle, name, 0644, handle);
}

bool SysRenameInTree(const std::string&, intptr_t root, const std::string& from,
                     const std::string& to) {
  std::string names[2];
  int fromDir = OpenFolderOf(root, from, &names[0]);
  int toDir = fromDir < 0 ? -1 : OpenFolderOf(root, to, &names[1]);
  bool ok = toDir >= 0 && renameat(fromDir, names[0].c_str(), toDir, names[1].c_str()) == 0;
  SysClose(fromDir);
  SysClose(toDir);
  return ok;
}

std::thread HostStartThread(void (*run)(void* user), void* user) {
  // A new thread starts with the signal mask of the one that makes it.
  sigset_t before;
  MaskStops(SIG_BLOCK, &before);
  std::thread thread(run, user);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return thread;
}

bool HostSameFile(const std::string& a, const std::string& b) {
  struct stat x, y;
  return a == b || (stat(a.c_str(), &x) == 0 && stat(b.c_str(), &y) == 0 &&
                    x.st_dev == y.st_dev && x.st_ino == y.st_ino);
}

bool HostErrorIsTerminal() { return isatty(2) != 0; }

bool HostArguments(int argc, char** argv, std::vector<std::string>* args, std::string*) {
  args->assign(argv + 1, argv + argc);
  return true;
}

void HostWriteText(FILE* stream, const std::string& text) { fputs(text.c_str(), stream); }
