// The packing tool's system calls on POSIX hosts: descriptors, signals, and the unpack tree.
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

// Only async-signal-safe calls; the strings are read, never changed, here.
void OnSignal(int signal) {
  ssize_t ignored = 0;
  if (gMidLine) ignored = write(2, "\n", 1);
  for (int k = 0; k < STOP_PARTS; ++k) {
    if (gLive[k]) unlink(gStopParts[k].c_str());
  }
  ignored = write(2, gStopLine.data(), gStopLine.size());
  (void)ignored;
  ::signal(signal, SIG_DFL);
  raise(signal);
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
  if (handle < 0) return true;
  const bool set = mode < 0 || fchmod((int)handle, (mode_t)mode) == 0;
  const int reason = errno;
  const bool closed = close((int)handle) == 0;
  if (!set) errno = reason;  // the first failure's
  return set && closed;
}

int SysCreateNew(const std::string& path, intptr_t* handle, unsigned mode) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, (mode_t)mode);
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
  action.sa_mask = MaskStops(-1);
  for (int stop : {SIGINT, SIGTERM, SIGHUP}) sigaction(stop, &action, nullptr);
}

void SysHoldStops() { MaskStops(SIG_BLOCK); }
void SysReleaseStops() { MaskStops(SIG_UNBLOCK); }

int SysMakeFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0755) == 0) return 0;
  return errno != EEXIST ? -1 : SysIsPlainFolder(path) ? 1 : 2;
}

bool SysIsPlainFolder(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

int SysFolderIsEmpty(const std::string& path) {
  DIR* d = opendir(path.c_str());
  if (d == nullptr) return -1;
  int empty = 1;
  errno = 0;  // readdir's end and its failure both give null: a folder not listed is not empty
  while (struct dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) empty = 0;
  }
  const int reason = errno;
  closedir(d);
  return reason != 0 ? (errno = reason, -1) : empty;
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
