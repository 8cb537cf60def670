// The fault kit (fault_kit.h): wrappers for the system calls the installer's procedures make, and
// the patching of this program's import address table that puts them in place.
#include "tests/win/fault_kit.h"

#include <objbase.h>
#include <shlobj.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <set>

namespace fault {
namespace {

CRITICAL_SECTION lock;
volatile LONG armed;
Mode mode = kCount;
long target, second;  // the calls to fail (second: 0 for none)
volatile LONG calls, deletions, injected;
std::string where;
std::vector<Effect> effects;
std::vector<std::string> lied;  // lowercase paths whose deletion was reported and not done
std::map<HKEY, std::string> keys;  // keys opened while armed, by handle
std::map<std::string, long> byFunction;
// Threads the procedure started while armed. Their calls are counted apart ("CopyFileA@thread"),
// so that the k-th call of a function is the same call in every run however the threads
// interleave (the installer copy's thread runs beside the extraction and the links).
std::set<DWORD> helperThreads;
std::string namedFunction;  // kFailNamed, kShortNamed: the function whose target-th call lies
std::string thenFunction;   // and the function whose thenTarget-th call fails too (0: none)
long thenTarget;
DWORD failError = ERROR_ACCESS_DENIED;  // what the last injected file-system failure answers
DWORD chosenError;  // kFailFirst: what every injected failure answers
std::vector<std::string> readOnlyFolders;  // lowercase full paths, read-only as Windows keeps it

// What Windows answers when a file-system call fails, varied from one injected failure to the
// next (by the call's number and the function's name, so that a plan always gives the same), so
// that code looking at GetLastError sees each.
const DWORD kFileErrors[] = {ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED, ERROR_DISK_FULL,
                             ERROR_PATH_NOT_FOUND};

decltype(&::GetFullPathNameA) systemGetFullPathNameA;  // unpatched, for the kit's own use

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// The full path as Win32 reads it, without the "\\?\" prefix of exact paths.
std::string FullPath(const char* path) {
  if (path == nullptr) return "";
  std::string text = path;
  if (text.compare(0, 4, "\\\\?\\") == 0) return text.substr(4);
  char full[2048];
  DWORD n = systemGetFullPathNameA(path, sizeof full, full, nullptr);
  return n > 0 && n < sizeof full ? std::string(full) : text;
}

std::string KeyPath(HKEY key, const char* subkey) {
  std::string base;
  if (key == HKEY_LOCAL_MACHINE) {
    base = "HKLM";
  } else if (key == HKEY_CURRENT_USER) {
    base = "HKCU";
  } else {
    EnterCriticalSection(&lock);
    auto found = keys.find(key);
    base = found == keys.end() ? "?" : found->second;
    LeaveCriticalSection(&lock);
  }
  return subkey == nullptr || subkey[0] == '\0' ? base : base + "\\" + subkey;
}

void Record(const char* function, const std::string& path) {
  if (!armed) return;
  EnterCriticalSection(&lock);
  effects.push_back({function, path});
  LeaveCriticalSection(&lock);
}

void Remember(HKEY key, const std::string& path) {
  if (!armed) return;
  EnterCriticalSection(&lock);
  keys[key] = path;
  LeaveCriticalSection(&lock);
}

// Takes the n-th call as an injected fault and picks its error.
bool Take(const char* function, const std::string& path, long n) {
  InterlockedIncrement(&injected);
  EnterCriticalSection(&lock);
  failError = mode == kFailFirst ? chosenError : kFileErrors[(n + strlen(function)) % 4];
  where += (where.empty() ? "" : ", ") + std::string(function) + "(" + path + ") error " +
           std::to_string(failError);
  LeaveCriticalSection(&lock);
  return true;
}

DWORD FileError() { return failError; }

enum Fate { kPass, kFailIt, kShortIt, kLieIt };

// Counts the call by function (and by the thread that makes it); the named plan's fault when it
// falls on this call.
Fate Named(const char* function, const std::string& path) {
  EnterCriticalSection(&lock);
  const std::string key =
      helperThreads.count(GetCurrentThreadId()) ? std::string(function) + "@thread" : function;
  const long n = ++byFunction[key];
  const bool first = namedFunction == key &&
                     (((mode == kFailNamed || mode == kShortNamed) && n == target) ||
                      (mode == kFailFirst && n <= target) || target == 0);
  const bool then = (n == thenTarget || thenTarget == 0) && thenFunction == key;
  LeaveCriticalSection(&lock);
  if (!(first || then) || !Take(function, path, n)) return kPass;
  return first && mode == kShortNamed ? kShortIt : kFailIt;
}

// Counts one call: pass it on, fail it, or (kShortIt) do half and report success.
Fate Decide(const char* function, const std::string& path = "") {
  if (!armed) return kPass;
  const long n = InterlockedIncrement(&calls);
  const Fate named = Named(function, path);
  if (named != kPass) return named;
  return mode == kFail && (n == target || n == second) && Take(function, path, n) ? kFailIt
                                                                                  : kPass;
}

bool FailHere(const char* function, const std::string& path = "") {
  return Decide(function, path) != kPass;
}

// Counts one deletion or removal: pass it on, fail it, or report success and leave the entry.
Fate Deletion(const char* function, const std::string& path) {
  if (!armed) return kPass;
  Record(function, path);
  const long d = InterlockedIncrement(&deletions);
  if (Decide(function, path) != kPass) return kFailIt;
  if (mode != kLie && mode != kLieHidden) return kPass;
  // An entry lied about once stays, and every later deletion of it reports success again (as
  // Wine answers for a file that Unix will not unlink).
  const std::string key = Lower(path);
  EnterCriticalSection(&lock);
  bool lie = std::find(lied.begin(), lied.end(), key) != lied.end();
  LeaveCriticalSection(&lock);
  if (!lie && d == target && Take(function, path, d)) {
    EnterCriticalSection(&lock);
    lied.push_back(key);
    LeaveCriticalSection(&lock);
    lie = true;
  }
  return lie ? kLieIt : kPass;
}

bool Hidden(const char* path) {
  if (!armed || path == nullptr) return false;
  const std::string full = Lower(FullPath(path));
  EnterCriticalSection(&lock);
  const bool found = mode == kLieHidden && std::find(lied.begin(), lied.end(), full) != lied.end();
  LeaveCriticalSection(&lock);
  return found;
}

// Calls that fail plainly: the wrapper counts the call and, when chosen, returns the failure.
#define FAULT_SIMPLE(Ret, Name, Params, Args, FailValue, Error) \
  decltype(&::Name) real##Name;                                  \
  Ret WINAPI Fake##Name Params {                                 \
    if (FailHere(#Name)) {                                       \
      SetLastError(Error);                                       \
      return FailValue;                                          \
    }                                                            \
    return real##Name Args;                                      \
  }

FAULT_SIMPLE(BOOL, GetFileInformationByHandle, (HANDLE f, LPBY_HANDLE_FILE_INFORMATION i), (f, i),
             FALSE, FileError())
FAULT_SIMPLE(HANDLE, FindFirstFileA, (LPCSTR p, LPWIN32_FIND_DATAA d), (p, d),
             INVALID_HANDLE_VALUE, FileError())
FAULT_SIMPLE(BOOL, FindNextFileA, (HANDLE h, LPWIN32_FIND_DATAA d), (h, d), FALSE,
             ERROR_ACCESS_DENIED)
FAULT_SIMPLE(HANDLE, FindFirstFileW, (LPCWSTR p, LPWIN32_FIND_DATAW d), (p, d),
             INVALID_HANDLE_VALUE, FileError())
FAULT_SIMPLE(BOOL, FindNextFileW, (HANDLE h, LPWIN32_FIND_DATAW d), (h, d), FALSE,
             ERROR_ACCESS_DENIED)
FAULT_SIMPLE(DWORD, GetFullPathNameA, (LPCSTR p, DWORD n, LPSTR b, LPSTR* f), (p, n, b, f), 0,
             ERROR_FILENAME_EXCED_RANGE)
FAULT_SIMPLE(BOOL, GetDiskFreeSpaceExA,
             (LPCSTR p, PULARGE_INTEGER a, PULARGE_INTEGER t, PULARGE_INTEGER f), (p, a, t, f),
             FALSE, ERROR_NOT_READY)
// A thread started while armed is known as the procedure's before it runs (made suspended).
decltype(&::CreateThread) realCreateThread;
HANDLE WINAPI FakeCreateThread(LPSECURITY_ATTRIBUTES s, SIZE_T z, LPTHREAD_START_ROUTINE r,
                               LPVOID p, DWORD c, LPDWORD i) {
  if (FailHere("CreateThread")) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  DWORD id;
  HANDLE thread = realCreateThread(s, z, r, p, c | CREATE_SUSPENDED, &id);
  if (thread == nullptr) return nullptr;
  if (armed) {
    EnterCriticalSection(&lock);
    helperThreads.insert(id);
    LeaveCriticalSection(&lock);
  }
  if (i != nullptr) *i = id;
  if ((c & CREATE_SUSPENDED) == 0) ResumeThread(thread);
  return thread;
}
FAULT_SIMPLE(BOOL, SetThreadPriority, (HANDLE t, int p), (t, p), FALSE, ERROR_ACCESS_DENIED)
FAULT_SIMPLE(HANDLE, CreateEventA, (LPSECURITY_ATTRIBUTES s, BOOL m, BOOL i, LPCSTR n),
             (s, m, i, n), nullptr, ERROR_NOT_ENOUGH_MEMORY)
FAULT_SIMPLE(HMODULE, GetModuleHandleA, (LPCSTR n), (n), nullptr, ERROR_MOD_NOT_FOUND)
FAULT_SIMPLE(DWORD, GetModuleFileNameA, (HMODULE m, LPSTR b, DWORD n), (m, b, n), 0,
             ERROR_INSUFFICIENT_BUFFER)
FAULT_SIMPLE(DWORD, GetModuleFileNameW, (HMODULE m, LPWSTR b, DWORD n), (m, b, n), 0,
             ERROR_INSUFFICIENT_BUFFER)
FAULT_SIMPLE(HRSRC, FindResourceA, (HMODULE m, LPCSTR n, LPCSTR t), (m, n, t), nullptr,
             ERROR_RESOURCE_TYPE_NOT_FOUND)
FAULT_SIMPLE(HGLOBAL, LoadResource, (HMODULE m, HRSRC r), (m, r), nullptr,
             ERROR_NOT_ENOUGH_MEMORY)
FAULT_SIMPLE(LPVOID, LockResource, (HGLOBAL r), (r), nullptr, ERROR_NOT_ENOUGH_MEMORY)
FAULT_SIMPLE(DWORD, SizeofResource, (HMODULE m, HRSRC r), (m, r), 0, ERROR_INVALID_HANDLE)
FAULT_SIMPLE(BOOL, VirtualProtect, (LPVOID a, SIZE_T s, DWORD n, PDWORD o), (a, s, n, o), FALSE,
             ERROR_NOT_ENOUGH_MEMORY)
FAULT_SIMPLE(UINT, GetSystemDirectoryA, (LPSTR b, UINT n), (b, n), 0, ERROR_ACCESS_DENIED)
FAULT_SIMPLE(UINT, GetWindowsDirectoryA, (LPSTR b, UINT n), (b, n), 0, ERROR_ACCESS_DENIED)
FAULT_SIMPLE(BOOL, GetProcessAffinityMask, (HANDLE p, PDWORD_PTR a, PDWORD_PTR s), (p, a, s),
             FALSE, ERROR_ACCESS_DENIED)
FAULT_SIMPLE(int, MultiByteToWideChar, (UINT c, DWORD f, LPCCH s, int n, LPWSTR w, int m),
             (c, f, s, n, w, m), 0, ERROR_NO_UNICODE_TRANSLATION)
FAULT_SIMPLE(int, WideCharToMultiByte,
             (UINT c, DWORD f, LPCWCH w, int n, LPSTR s, int m, LPCCH d, LPBOOL u),
             (c, f, w, n, s, m, d, u), 0, ERROR_INSUFFICIENT_BUFFER)
FAULT_SIMPLE(LSTATUS, RegQueryValueExA,
             (HKEY k, LPCSTR n, LPDWORD r, LPDWORD t, LPBYTE d, LPDWORD s), (k, n, r, t, d, s),
             ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND)
FAULT_SIMPLE(LSTATUS, RegQueryValueExW,
             (HKEY k, LPCWSTR n, LPDWORD r, LPDWORD t, LPBYTE d, LPDWORD s), (k, n, r, t, d, s),
             ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND)
FAULT_SIMPLE(LSTATUS, RegEnumKeyExA,
             (HKEY k, DWORD i, LPSTR n, LPDWORD l, LPDWORD r, LPSTR c, LPDWORD cl, PFILETIME t),
             (k, i, n, l, r, c, cl, t), ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED)

// A wide path in the ANSI code page, converted without counting the conversion as a call.
std::string Narrow(const wchar_t* wide) {
  char path[2048] = "";
  const auto convert = realWideCharToMultiByte != nullptr ? realWideCharToMultiByte
                                                          : &::WideCharToMultiByte;
  if (wide != nullptr) convert(CP_ACP, 0, wide, -1, path, sizeof path, nullptr, nullptr);
  return path;
}

// Shell link objects made while armed come wrapped, so that their methods count as calls too:
// a setter or QueryInterface fails as out of memory, a Save as a full disk (nothing written).
// A Save passed on is an effect: the link file it writes. One object stands for the link and
// for its IPersistFile, with one count of references.
#define FAULT_METHOD(Name, Params, Args)                      \
  HRESULT STDMETHODCALLTYPE Name Params override {            \
    if (FailHere("IShellLinkA::" #Name)) return E_OUTOFMEMORY; \
    return link_->Name Args;                                  \
  }
#define PASS_METHOD(Real, Name, Params, Args) \
  HRESULT STDMETHODCALLTYPE Name Params override { return Real->Name Args; }

// COM objects end in their own Release, never deleted through an interface pointer.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
class LinkFault final : public IShellLinkA, public IPersistFile {
 public:
  explicit LinkFault(IShellLinkA* link) : link_(link) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid != IID_IPersistFile) return link_->QueryInterface(iid, out);
    *out = nullptr;
    if (FailHere("IShellLinkA::QueryInterface")) return E_NOINTERFACE;
    if (file_ == nullptr) {
      const HRESULT result = link_->QueryInterface(iid, reinterpret_cast<void**>(&file_));
      if (FAILED(result)) return result;
    }
    AddRef();
    *out = static_cast<IPersistFile*>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) {
      if (file_ != nullptr) file_->Release();
      link_->Release();
      delete this;
    }
    return left;
  }

  FAULT_METHOD(SetPath, (LPCSTR file), (file))
  FAULT_METHOD(SetDescription, (LPCSTR name), (name))
  FAULT_METHOD(SetArguments, (LPCSTR arguments), (arguments))
  FAULT_METHOD(SetWorkingDirectory, (LPCSTR folder), (folder))
  PASS_METHOD(link_, GetPath, (LPSTR file, int size, WIN32_FIND_DATAA* data, DWORD flags),
              (file, size, data, flags))
  PASS_METHOD(link_, GetIDList, (PIDLIST_ABSOLUTE* list), (list))
  PASS_METHOD(link_, SetIDList, (PCIDLIST_ABSOLUTE list), (list))
  PASS_METHOD(link_, GetDescription, (LPSTR name, int size), (name, size))
  PASS_METHOD(link_, GetWorkingDirectory, (LPSTR folder, int size), (folder, size))
  PASS_METHOD(link_, GetArguments, (LPSTR arguments, int size), (arguments, size))
  PASS_METHOD(link_, GetHotkey, (WORD* key), (key))
  PASS_METHOD(link_, SetHotkey, (WORD key), (key))
  PASS_METHOD(link_, GetShowCmd, (int* show), (show))
  PASS_METHOD(link_, SetShowCmd, (int show), (show))
  PASS_METHOD(link_, GetIconLocation, (LPSTR path, int size, int* icon), (path, size, icon))
  PASS_METHOD(link_, SetIconLocation, (LPCSTR path, int icon), (path, icon))
  PASS_METHOD(link_, SetRelativePath, (LPCSTR path, DWORD reserved), (path, reserved))
  PASS_METHOD(link_, Resolve, (HWND window, DWORD flags), (window, flags))

  HRESULT STDMETHODCALLTYPE Save(LPCOLESTR name, BOOL remember) override {
    const std::string path = Narrow(name);
    if (FailHere("IPersistFile::Save", path)) return STG_E_MEDIUMFULL;
    Record("IPersistFile::Save", FullPath(path.c_str()));
    return file_->Save(name, remember);
  }
  PASS_METHOD(file_, GetClassID, (CLSID* id), (id))
  PASS_METHOD(file_, IsDirty, (), ())
  PASS_METHOD(file_, Load, (LPCOLESTR name, DWORD access), (name, access))
  PASS_METHOD(file_, SaveCompleted, (LPCOLESTR name), (name))
  PASS_METHOD(file_, GetCurFile, (LPOLESTR* name), (name))

 private:
  IShellLinkA* link_;
  IPersistFile* file_ = nullptr;  // the real object's, once asked for
  volatile LONG refs_ = 1;
};
#pragma GCC diagnostic pop

decltype(&::CoCreateInstance) realCoCreateInstance;
HRESULT WINAPI FakeCoCreateInstance(REFCLSID c, LPUNKNOWN o, DWORD x, REFIID i, LPVOID* p) {
  if (FailHere("CoCreateInstance")) {
    *p = nullptr;
    return REGDB_E_CLASSNOTREG;
  }
  const HRESULT result = realCoCreateInstance(c, o, x, i, p);
  if (armed && SUCCEEDED(result) && c == CLSID_ShellLink && i == IID_IShellLinkA) {
    *p = static_cast<IShellLinkA*>(new LinkFault(static_cast<IShellLinkA*>(*p)));
  }
  return result;
}
FAULT_SIMPLE(HRESULT, CoInitialize, (LPVOID r), (r), E_OUTOFMEMORY, ERROR_SUCCESS)

// Looked up through GetProcAddress rather than imported, in both spellings.
#define FAULT_FOLDER_CALLS(Char, Suffix)                                                       \
  typedef BOOL(WINAPI* SpecialFolderPath##Suffix)(HWND, Char*, int, BOOL);                     \
  typedef HRESULT(WINAPI* FolderPath##Suffix)(HWND, int, HANDLE, DWORD, Char*);                \
  SpecialFolderPath##Suffix realSHGetSpecialFolderPath##Suffix;                                \
  FolderPath##Suffix realSHGetFolderPath##Suffix;                                              \
  BOOL WINAPI FakeSHGetSpecialFolderPath##Suffix(HWND w, Char* p, int f, BOOL c) {             \
    if (FailHere("SHGetSpecialFolderPath" #Suffix)) return FALSE;                              \
    return realSHGetSpecialFolderPath##Suffix(w, p, f, c);                                     \
  }                                                                                            \
  HRESULT WINAPI FakeSHGetFolderPath##Suffix(HWND w, int f, HANDLE t, DWORD g, Char* p) {      \
    if (FailHere("SHGetFolderPath" #Suffix)) return E_FAIL;                                    \
    return realSHGetFolderPath##Suffix(w, f, t, g, p);                                         \
  }
FAULT_FOLDER_CALLS(char, A)
FAULT_FOLDER_CALLS(WCHAR, W)

typedef BOOL(WINAPI* DefaultDllDirectories)(DWORD);
DefaultDllDirectories realSetDefaultDllDirectories;

BOOL WINAPI FakeSetDefaultDllDirectories(DWORD flags) {
  if (FailHere("SetDefaultDllDirectories")) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return realSetDefaultDllDirectories(flags);
}

// Calls that change the machine, or whose lies the procedures must survive.
decltype(&::CreateFileA) realCreateFileA;
decltype(&::WriteFile) realWriteFile;
decltype(&::ReadFile) realReadFile;
decltype(&::DeleteFileA) realDeleteFileA;
decltype(&::MoveFileA) realMoveFileA;
decltype(&::MoveFileExA) realMoveFileExA;
decltype(&::CopyFileA) realCopyFileA;
decltype(&::CopyFileW) realCopyFileW;
decltype(&::CreateDirectoryA) realCreateDirectoryA;
decltype(&::RemoveDirectoryA) realRemoveDirectoryA;
decltype(&::GetFileAttributesA) realGetFileAttributesA;
decltype(&::GetFileAttributesExA) realGetFileAttributesExA;
decltype(&::SetFileAttributesA) realSetFileAttributesA;
decltype(&::DeleteFileW) realDeleteFileW;
decltype(&::RemoveDirectoryW) realRemoveDirectoryW;
decltype(&::GetFileAttributesW) realGetFileAttributesW;
decltype(&::SetFileAttributesW) realSetFileAttributesW;
decltype(&::LoadLibraryA) realLoadLibraryA;
decltype(&::GetProcAddress) realGetProcAddress;
decltype(&::RegOpenKeyA) realRegOpenKeyA;
decltype(&::RegCreateKeyA) realRegCreateKeyA;
decltype(&::RegOpenKeyExA) realRegOpenKeyExA;
decltype(&::RegSetValueExA) realRegSetValueExA;
decltype(&::RegDeleteKeyA) realRegDeleteKeyA;
decltype(&::PostMessageA) realPostMessageA;
decltype(&::Sleep) realSleep;

HANDLE WINAPI FakeCreateFileA(LPCSTR p, DWORD a, DWORD s, LPSECURITY_ATTRIBUTES x, DWORD c,
                              DWORD f, HANDLE t) {
  const bool writes = (a & (GENERIC_WRITE | GENERIC_ALL)) != 0 || c == CREATE_ALWAYS ||
                      c == CREATE_NEW || c == OPEN_ALWAYS || c == TRUNCATE_EXISTING;
  if (writes) Record("CreateFileA", FullPath(p));
  if (FailHere("CreateFileA", p)) {
    SetLastError(FileError());
    return INVALID_HANDLE_VALUE;
  }
  return realCreateFileA(p, a, s, x, c, f, t);
}

// A write or read that does half: then the disk is full (a write) or the device fails (a read),
// or (kShortIt) the call reports success with the short count.
BOOL WINAPI FakeWriteFile(HANDLE f, LPCVOID b, DWORD n, LPDWORD w, LPOVERLAPPED o) {
  const Fate fate = Decide("WriteFile");
  if (fate == kPass) return realWriteFile(f, b, n, w, o);
  DWORD done = 0;
  const BOOL ok = realWriteFile(f, b, n / 2, &done, o);
  if (w != nullptr) *w = done;
  if (fate == kShortIt) return ok;
  SetLastError(ERROR_DISK_FULL);
  return FALSE;
}

BOOL WINAPI FakeReadFile(HANDLE f, LPVOID b, DWORD n, LPDWORD r, LPOVERLAPPED o) {
  const Fate fate = Decide("ReadFile");
  if (fate == kPass) return realReadFile(f, b, n, r, o);
  DWORD done = 0;
  const BOOL ok = realReadFile(f, b, n / 2, &done, o);
  if (r != nullptr) *r = done;
  if (fate == kShortIt) return ok;
  SetLastError(ERROR_READ_FAULT);
  return FALSE;
}

// Cuts a copied file to half its size, as a disk that fills during the copy leaves it. The copy
// took over the source's attributes, which may forbid writing.
template <typename Char>
void Halve(const Char* path, DWORD(WINAPI* getAttributes)(const Char*),
           BOOL(WINAPI* setAttributes)(const Char*, DWORD),
           HANDLE(WINAPI* create)(const Char*, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                  HANDLE)) {
  const DWORD attributes = getAttributes(path);
  setAttributes(path, FILE_ATTRIBUTE_NORMAL);
  HANDLE file = create(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    SetFilePointer(file, static_cast<LONG>(GetFileSize(file, nullptr) / 2), nullptr, FILE_BEGIN);
    SetEndOfFile(file);
    CloseHandle(file);
  }
  setAttributes(path, attributes);
}

// A failed copy: a full disk leaves part of the destination, other errors nothing. A lying one
// (kShortIt) leaves half and reports success.
BOOL WINAPI FakeCopyFileA(LPCSTR from, LPCSTR to, BOOL failIfExists) {
  Record("CopyFileA", FullPath(to));
  const Fate fate = Decide("CopyFileA", to);
  if (fate == kPass) return realCopyFileA(from, to, failIfExists);
  if ((fate == kShortIt || FileError() == ERROR_DISK_FULL) &&
      realCopyFileA(from, to, failIfExists)) {
    Halve(to, realGetFileAttributesA, realSetFileAttributesA, realCreateFileA);
    if (fate == kShortIt) return TRUE;
  }
  SetLastError(FileError());
  return FALSE;
}

BOOL WINAPI FakeCopyFileW(LPCWSTR from, LPCWSTR to, BOOL failIfExists) {
  const std::string path = Narrow(to);
  Record("CopyFileW", FullPath(path.c_str()));
  const Fate fate = Decide("CopyFileW", path);
  if (fate == kPass) return realCopyFileW(from, to, failIfExists);
  if ((fate == kShortIt || FileError() == ERROR_DISK_FULL) &&
      realCopyFileW(from, to, failIfExists)) {
    Halve(to, realGetFileAttributesW != nullptr ? realGetFileAttributesW : ::GetFileAttributesW,
          realSetFileAttributesW != nullptr ? realSetFileAttributesW : ::SetFileAttributesW,
          ::CreateFileW);
    if (fate == kShortIt) return TRUE;
  }
  SetLastError(FileError());
  return FALSE;
}

BOOL WINAPI FakeDeleteFileA(LPCSTR p) {
  switch (Deletion("DeleteFileA", FullPath(p))) {
    case kFailIt: SetLastError(FileError()); return FALSE;
    case kLieIt: return TRUE;
    default: return realDeleteFileA(p);
  }
}

BOOL WINAPI FakeDeleteFileW(LPCWSTR p) {
  switch (Deletion("DeleteFileW", FullPath(Narrow(p).c_str()))) {
    case kFailIt: SetLastError(FileError()); return FALSE;
    case kLieIt: return TRUE;
    default: return realDeleteFileW(p);
  }
}

// A folder marked read-only (Wine keeps no such attribute on folders): while armed it reads as
// read-only and, as on Windows, cannot be removed until the attribute goes.
bool ReadOnlyFolder(const std::string& path, bool clear = false) {
  if (!armed) return false;
  const std::string key = Lower(FullPath(path.c_str()));
  EnterCriticalSection(&lock);
  auto found = std::find(readOnlyFolders.begin(), readOnlyFolders.end(), key);
  const bool marked = found != readOnlyFolders.end();
  if (marked && clear) readOnlyFolders.erase(found);
  LeaveCriticalSection(&lock);
  return marked;
}

BOOL WINAPI FakeRemoveDirectoryW(LPCWSTR p) {
  const std::string path = Narrow(p);
  switch (Deletion("RemoveDirectoryW", FullPath(path.c_str()))) {
    case kFailIt:
      SetLastError(FileError() == ERROR_DISK_FULL ? ERROR_DIR_NOT_EMPTY : FileError());
      return FALSE;
    case kLieIt: return TRUE;
    default: break;
  }
  if (ReadOnlyFolder(path)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  return realRemoveDirectoryW(p);
}

BOOL WINAPI FakeRemoveDirectoryA(LPCSTR p) {
  switch (Deletion("RemoveDirectoryA", FullPath(p))) {
    case kFailIt:
      SetLastError(FileError() == ERROR_DISK_FULL ? ERROR_DIR_NOT_EMPTY : FileError());
      return FALSE;
    case kLieIt: return TRUE;
    default: return realRemoveDirectoryA(p);
  }
}

BOOL WINAPI FakeMoveFileA(LPCSTR from, LPCSTR to) {
  Record("MoveFileA", FullPath(to));
  switch (Deletion("MoveFileA", FullPath(from))) {
    case kFailIt: SetLastError(FileError()); return FALSE;
    case kLieIt: return TRUE;
    default: return realMoveFileA(from, to);
  }
}

// Windows replaces no read-only file by a rename (Wine does): answered as Windows would while
// armed.
BOOL WINAPI FakeMoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
  Record("MoveFileExA", FullPath(to));
  switch (Deletion("MoveFileExA", FullPath(from))) {
    case kFailIt: SetLastError(FileError()); return FALSE;
    case kLieIt: return TRUE;
    default: break;
  }
  const DWORD attributes = armed ? realGetFileAttributesA(to) : INVALID_FILE_ATTRIBUTES;
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
      (flags & MOVEFILE_REPLACE_EXISTING)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  return realMoveFileExA(from, to, flags);
}

BOOL WINAPI FakeCreateDirectoryA(LPCSTR p, LPSECURITY_ATTRIBUTES s) {
  Record("CreateDirectoryA", FullPath(p));
  if (FailHere("CreateDirectoryA", p)) {
    SetLastError(FileError());
    return FALSE;
  }
  return realCreateDirectoryA(p, s);
}

DWORD WINAPI FakeGetFileAttributesA(LPCSTR p) {
  if (FailHere("GetFileAttributesA", p)) {
    SetLastError(FileError());
    return INVALID_FILE_ATTRIBUTES;
  }
  if (Hidden(p)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  return realGetFileAttributesA(p);
}

BOOL WINAPI FakeGetFileAttributesExA(LPCSTR p, GET_FILEEX_INFO_LEVELS l, LPVOID d) {
  if (FailHere("GetFileAttributesExA", p)) {
    SetLastError(FileError());
    return FALSE;
  }
  if (Hidden(p)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  return realGetFileAttributesExA(p, l, d);
}

DWORD WINAPI FakeGetFileAttributesW(LPCWSTR p) {
  const std::string path = Narrow(p);
  if (FailHere("GetFileAttributesW", path)) {
    SetLastError(FileError());
    return INVALID_FILE_ATTRIBUTES;
  }
  if (Hidden(path.c_str())) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  const DWORD attributes = realGetFileAttributesW(p);
  return attributes != INVALID_FILE_ATTRIBUTES && ReadOnlyFolder(path)
             ? attributes | FILE_ATTRIBUTE_READONLY
             : attributes;
}

BOOL WINAPI FakeSetFileAttributesW(LPCWSTR p, DWORD a) {
  const std::string path = Narrow(p);
  Record("SetFileAttributesW", FullPath(path.c_str()));
  if (FailHere("SetFileAttributesW", path)) {
    SetLastError(FileError());
    return FALSE;
  }
  if ((a & FILE_ATTRIBUTE_READONLY) == 0) ReadOnlyFolder(path, true);
  return realSetFileAttributesW(p, a);
}

BOOL WINAPI FakeSetFileAttributesA(LPCSTR p, DWORD a) {
  Record("SetFileAttributesA", FullPath(p));
  if (FailHere("SetFileAttributesA", p)) {
    SetLastError(FileError());
    return FALSE;
  }
  return realSetFileAttributesA(p, a);
}

// Posts are recorded (the result message's count and place among the effects), never failed.
BOOL WINAPI FakePostMessageA(HWND w, UINT m, WPARAM p, LPARAM l) {
  Record("PostMessageA", m == WM_COMMAND ? "WM_COMMAND " + std::to_string(LOWORD(p)) + " " +
                                               std::to_string(static_cast<long>(l))
                                         : "message " + std::to_string(m));
  return realPostMessageA(w, m, p, l);
}

// Waits between retries are cut to 10 ms while armed, so that a loop retrying for seconds after
// an injected failure stays quick; recorded ("Sleep", the milliseconds asked), never failed or
// counted as calls.
void WINAPI FakeSleep(DWORD ms) {
  Record("Sleep", std::to_string(ms));
  realSleep(armed && ms > 10 ? 10 : ms);
}

HMODULE WINAPI FakeLoadLibraryA(LPCSTR p) {
  Record("LoadLibraryA", p == nullptr ? "" : p);
  if (FailHere("LoadLibraryA", p)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return realLoadLibraryA(p);
}

// Function pointers of one type as another, through the generic function pointer type.
template <typename To, typename From>
To Cast(From function) {
  return reinterpret_cast<To>(reinterpret_cast<void (*)(void)>(function));
}

// Hands out the wrappers of the functions the installer looks up at run time.
FARPROC WINAPI FakeGetProcAddress(HMODULE m, LPCSTR n) {
  const bool named = HIWORD(reinterpret_cast<UINT_PTR>(n)) != 0;
  if (FailHere("GetProcAddress", named ? n : "#")) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  FARPROC found = realGetProcAddress(m, n);
  if (found == nullptr || !named) return found;
#define FAULT_LOOKED_UP(Name)                  \
  if (strcmp(n, #Name) == 0) {                 \
    real##Name = Cast<decltype(real##Name)>(found); \
    return Cast<FARPROC>(Fake##Name);          \
  }
  FAULT_LOOKED_UP(SHGetSpecialFolderPathA)
  FAULT_LOOKED_UP(SHGetSpecialFolderPathW)
  FAULT_LOOKED_UP(SHGetFolderPathA)
  FAULT_LOOKED_UP(SHGetFolderPathW)
  if (strcmp(n, "SetDefaultDllDirectories") == 0) {
    realSetDefaultDllDirectories = Cast<DefaultDllDirectories>(found);
    return Cast<FARPROC>(FakeSetDefaultDllDirectories);
  }
  return found;
}

LSTATUS WINAPI FakeRegOpenKeyA(HKEY k, LPCSTR s, PHKEY out) {
  if (FailHere("RegOpenKeyA", KeyPath(k, s))) return ERROR_ACCESS_DENIED;
  const LSTATUS result = realRegOpenKeyA(k, s, out);
  if (result == ERROR_SUCCESS) Remember(*out, KeyPath(k, s));
  return result;
}

LSTATUS WINAPI FakeRegCreateKeyA(HKEY k, LPCSTR s, PHKEY out) {
  Record("RegCreateKeyA", KeyPath(k, s));
  if (FailHere("RegCreateKeyA", KeyPath(k, s))) return ERROR_ACCESS_DENIED;
  const LSTATUS result = realRegCreateKeyA(k, s, out);
  if (result == ERROR_SUCCESS) Remember(*out, KeyPath(k, s));
  return result;
}

LSTATUS WINAPI FakeRegOpenKeyExA(HKEY k, LPCSTR s, DWORD o, REGSAM a, PHKEY out) {
  if (FailHere("RegOpenKeyExA", KeyPath(k, s))) return ERROR_ACCESS_DENIED;
  const LSTATUS result = realRegOpenKeyExA(k, s, o, a, out);
  if (result == ERROR_SUCCESS) Remember(*out, KeyPath(k, s));
  return result;
}

LSTATUS WINAPI FakeRegSetValueExA(HKEY k, LPCSTR n, DWORD r, DWORD t, const BYTE* d, DWORD s) {
  Record("RegSetValueExA", KeyPath(k, nullptr));
  if (FailHere("RegSetValueExA", KeyPath(k, nullptr))) return ERROR_ACCESS_DENIED;
  return realRegSetValueExA(k, n, r, t, d, s);
}

LSTATUS WINAPI FakeRegDeleteKeyA(HKEY k, LPCSTR s) {
  switch (Deletion("RegDeleteKeyA", KeyPath(k, s))) {
    case kFailIt: return ERROR_ACCESS_DENIED;
    case kLieIt: return ERROR_SUCCESS;
    default: return realRegDeleteKeyA(k, s);
  }
}

struct Slot {
  const char* name;
  void** real;
  void* fake;
};

#define FAULT_SLOT(Name) \
  { #Name, reinterpret_cast<void**>(&real##Name), reinterpret_cast<void*>(Fake##Name) }

const Slot kSlots[] = {
    FAULT_SLOT(CreateFileA), FAULT_SLOT(WriteFile), FAULT_SLOT(ReadFile), FAULT_SLOT(DeleteFileA),
    FAULT_SLOT(MoveFileA), FAULT_SLOT(MoveFileExA), FAULT_SLOT(CopyFileA), FAULT_SLOT(CopyFileW),
    FAULT_SLOT(CreateDirectoryA), FAULT_SLOT(RemoveDirectoryA), FAULT_SLOT(GetFileAttributesA),
    FAULT_SLOT(GetFileAttributesExA), FAULT_SLOT(SetFileAttributesA), FAULT_SLOT(DeleteFileW),
    FAULT_SLOT(RemoveDirectoryW), FAULT_SLOT(GetFileAttributesW), FAULT_SLOT(SetFileAttributesW),
    FAULT_SLOT(FindFirstFileW), FAULT_SLOT(FindNextFileW),
    FAULT_SLOT(GetFileInformationByHandle), FAULT_SLOT(FindFirstFileA),
    FAULT_SLOT(FindNextFileA), FAULT_SLOT(GetFullPathNameA), FAULT_SLOT(GetDiskFreeSpaceExA),
    FAULT_SLOT(CreateThread), FAULT_SLOT(SetThreadPriority), FAULT_SLOT(CreateEventA),
    FAULT_SLOT(LoadLibraryA), FAULT_SLOT(GetProcAddress), FAULT_SLOT(GetModuleHandleA),
    FAULT_SLOT(GetModuleFileNameA), FAULT_SLOT(GetModuleFileNameW), FAULT_SLOT(FindResourceA), FAULT_SLOT(LoadResource),
    FAULT_SLOT(LockResource), FAULT_SLOT(SizeofResource), FAULT_SLOT(VirtualProtect),
    FAULT_SLOT(GetSystemDirectoryA), FAULT_SLOT(GetWindowsDirectoryA),
    FAULT_SLOT(GetProcessAffinityMask), FAULT_SLOT(MultiByteToWideChar),
    FAULT_SLOT(WideCharToMultiByte), FAULT_SLOT(RegQueryValueExW), FAULT_SLOT(PostMessageA),
    FAULT_SLOT(Sleep),
    FAULT_SLOT(RegOpenKeyA), FAULT_SLOT(RegCreateKeyA), FAULT_SLOT(RegOpenKeyExA),
    FAULT_SLOT(RegSetValueExA), FAULT_SLOT(RegQueryValueExA), FAULT_SLOT(RegEnumKeyExA),
    FAULT_SLOT(RegDeleteKeyA), FAULT_SLOT(CoCreateInstance), FAULT_SLOT(CoInitialize),
};

// Points every import slot of this program that names a wrapped function at its wrapper.
void PatchImports() {
  BYTE* base = reinterpret_cast<BYTE*>(::GetModuleHandleA(nullptr));
  const IMAGE_NT_HEADERS* nt =
      reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& directory =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  auto* module = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
  for (; module->Name != 0; ++module) {
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(
        base + (module->OriginalFirstThunk != 0 ? module->OriginalFirstThunk : module->FirstThunk));
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->FirstThunk);
    for (int i = 0; names[i].u1.AddressOfData != 0; ++i) {
      if (IMAGE_SNAP_BY_ORDINAL(names[i].u1.Ordinal)) continue;
      const char* name =
          reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names[i].u1.AddressOfData)->Name;
      for (const Slot& slot : kSlots) {
        if (strcmp(name, slot.name) != 0) continue;
        *slot.real = reinterpret_cast<void*>(slots[i].u1.Function);
        DWORD previous;
        ::VirtualProtect(&slots[i], sizeof slots[i], PAGE_READWRITE, &previous);
        slots[i].u1.Function = reinterpret_cast<UINT_PTR>(slot.fake);
        ::VirtualProtect(&slots[i], sizeof slots[i], previous, &previous);
      }
    }
  }
}

}  // namespace

void Install() {
  static bool done = false;
  if (done) return;
  done = true;
  InitializeCriticalSection(&lock);
  systemGetFullPathNameA = ::GetFullPathNameA;  // before the patch: the system's own
  PatchImports();
}

void ArmNamed(Mode newMode, const char* function, long k, const char* then, long thenK) {
  EnterCriticalSection(&lock);
  mode = newMode;
  target = k;
  namedFunction = function;
  thenFunction = then;
  thenTarget = thenK;
  calls = deletions = injected = 0;
  where.clear();
  effects.clear();
  lied.clear();
  keys.clear();
  byFunction.clear();
  helperThreads.clear();
  LeaveCriticalSection(&lock);
  InterlockedExchange(&armed, 1);
}

void SetReadOnlyFolders(const std::vector<std::string>& folders) {
  EnterCriticalSection(&lock);
  readOnlyFolders.clear();
  for (const std::string& folder : folders) {
    readOnlyFolders.push_back(Lower(FullPath(folder.c_str())));
  }
  LeaveCriticalSection(&lock);
}

void ArmFirst(const char* function, long k, DWORD error) {
  chosenError = error;
  ArmNamed(kFailFirst, function, k);
}

void Arm(Mode newMode, long k, long also) {
  second = also;
  ArmNamed(newMode, "", k);
}

std::map<std::string, long> CallsByFunction() {
  EnterCriticalSection(&lock);
  std::map<std::string, long> copy = byFunction;
  LeaveCriticalSection(&lock);
  return copy;
}

void Disarm() { InterlockedExchange(&armed, 0); }

long Calls() { return calls; }
long Deletions() { return deletions; }
long Injected() { return injected; }

std::string InjectedWhere() {
  EnterCriticalSection(&lock);
  std::string text = where;
  LeaveCriticalSection(&lock);
  return text;
}

std::vector<Effect> Effects() {
  EnterCriticalSection(&lock);
  std::vector<Effect> copy = effects;
  LeaveCriticalSection(&lock);
  return copy;
}

}  // namespace fault
