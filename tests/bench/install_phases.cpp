// The install's time by phase, for the benchmark (not shipped): the installer's own program
// (app/main.cpp compiled with its entry renamed) behind an entry that rewrites this program's
// import address table, so that the system calls of an install are stamped with
// QueryPerformanceCounter and their thread. `packtool build` makes it an installer like
// TavrinSoloSetup.exe; run with -h -i, it installs as that does and then writes the phases, in
// seconds, to the file TAVRIN_PHASES_OUT names:
//   entry      the wall-clock moment the entry began (Unix seconds), for the host to subtract
//              its own start: process start and image mapping
//   startup    entry to the worker's start: options, mutex, folders, COM, the hidden window
//   directory  the worker's start to the extraction's first call: directory, target folder
//   extract    to the first registry read (the links' folder), of it on the extracting thread:
//   writes     the package files' and folders' calls, waits its waits on the lanes' helper
//   links      to the worker's first wait after that (for the copy's thread)
//   copywait   that wait and the rename of the part file
//   record     the four values up to the result message; end: entry to the result message
//   copy       CopyFile on its own thread; copyfrom, copyto: when it began and ended, from entry
// With TAVRIN_PHASES_NO_LINKS=1 every shell link object is refused (no links, their folders
// still made): the install as it would run where saving a link costs next to nothing, as on
// Windows, while under Wine each save starts a process and waits for it.
// The program's entry is compiled as TavrinWinMain (WinMain=TavrinWinMain); this is WinMain.
#undef WinMain
#include <windows.h>

#include <objbase.h>
#include <stdio.h>
#include <string.h>

#include "tests/win/import_patch.h"

extern "C" int WINAPI TavrinWinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine,
                                    int show);

namespace {

enum Kind { kVirtualProtect, kCreateFile, kWriteFile, kCloseHandle, kCreateDirectory, kWait,
            kRegOpen, kCopyFileA, kCopyFileW, kMoveFile, kPostMessage, kCoInitialize,
            kCoCreateInstance, kKinds };
const char* const kNames[kKinds] = {"VirtualProtect", "CreateFileA", "WriteFile", "CloseHandle",
    "CreateDirectoryA", "WaitForSingleObject", "RegOpenKeyA", "CopyFileA", "CopyFileW",
    "MoveFileExA", "PostMessageA", "CoInitialize", "CoCreateInstance"};

struct Stamp {
  LONGLONG begin, end;
  DWORD thread;
  int kind;
  int machineKey;  // RegOpenKeyA under HKEY_LOCAL_MACHINE: the record
};

const LONG kMaxStamps = 4096;
Stamp stamps[kMaxStamps];
LONG stampCount;
LONG armed;
LONG noLinks;
void* real[kKinds];

LONGLONG Now() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

void Record(int kind, LONGLONG begin, int machineKey = 0) {
  if (!armed) return;
  const LONG at = InterlockedIncrement(&stampCount) - 1;
  if (at >= kMaxStamps) return;
  stamps[at] = {begin, Now(), GetCurrentThreadId(), kind, machineKey};
}

template <typename F> F Real(int kind) { return reinterpret_cast<F>(real[kind]); }

// A hook that stamps the call it passes on.
#define STAMPED(Ret, Hook, Function, Kind, Params, Args) \
  Ret WINAPI Hook Params {                               \
    LONGLONG t = Now();                                  \
    Ret r = Real<decltype(&Function)>(Kind) Args;        \
    Record(Kind, t);                                     \
    return r;                                            \
  }

STAMPED(BOOL, HookVirtualProtect, VirtualProtect, kVirtualProtect,
        (LPVOID a, SIZE_T n, DWORD p, PDWORD old), (a, n, p, old))
STAMPED(HANDLE, HookCreateFile, CreateFileA, kCreateFile,
        (LPCSTR n, DWORD a, DWORD s, LPSECURITY_ATTRIBUTES sa, DWORD c, DWORD f, HANDLE t0),
        (n, a, s, sa, c, f, t0))
STAMPED(BOOL, HookWriteFile, WriteFile, kWriteFile,
        (HANDLE h, LPCVOID b, DWORD n, LPDWORD w, LPOVERLAPPED o), (h, b, n, w, o))
STAMPED(BOOL, HookCloseHandle, CloseHandle, kCloseHandle, (HANDLE h), (h))
STAMPED(BOOL, HookCreateDirectory, CreateDirectoryA, kCreateDirectory,
        (LPCSTR n, LPSECURITY_ATTRIBUTES sa), (n, sa))
STAMPED(DWORD, HookWait, WaitForSingleObject, kWait, (HANDLE h, DWORD ms), (h, ms))
LONG WINAPI HookRegOpen(HKEY root, LPCSTR sub, PHKEY key) {
  LONGLONG t = Now();
  LONG r = Real<decltype(&RegOpenKeyA)>(kRegOpen)(root, sub, key);
  Record(kRegOpen, t, root == HKEY_LOCAL_MACHINE);
  return r;
}
STAMPED(BOOL, HookCopyFileA, CopyFileA, kCopyFileA,
        (LPCSTR from, LPCSTR to, BOOL failIfExists), (from, to, failIfExists))
STAMPED(BOOL, HookCopyFileW, CopyFileW, kCopyFileW,
        (LPCWSTR from, LPCWSTR to, BOOL failIfExists), (from, to, failIfExists))
STAMPED(BOOL, HookMoveFile, MoveFileExA, kMoveFile,
        (LPCSTR from, LPCSTR to, DWORD flags), (from, to, flags))
STAMPED(BOOL, HookPostMessage, PostMessageA, kPostMessage,
        (HWND w, UINT m, WPARAM wp, LPARAM lp), (w, m, wp, lp))
STAMPED(HRESULT, HookCoInitialize, CoInitialize, kCoInitialize, (LPVOID reserved), (reserved))
HRESULT WINAPI HookCoCreateInstance(REFCLSID c, LPUNKNOWN outer, DWORD context, REFIID i,
                                    LPVOID* o) {
  if (noLinks) return *o = nullptr, REGDB_E_CLASSNOTREG;
  return Real<decltype(&CoCreateInstance)>(kCoCreateInstance)(c, outer, context, i, o);
}

void* const kHooks[kKinds] = {
    reinterpret_cast<void*>(HookVirtualProtect), reinterpret_cast<void*>(HookCreateFile),
    reinterpret_cast<void*>(HookWriteFile), reinterpret_cast<void*>(HookCloseHandle),
    reinterpret_cast<void*>(HookCreateDirectory), reinterpret_cast<void*>(HookWait),
    reinterpret_cast<void*>(HookRegOpen), reinterpret_cast<void*>(HookCopyFileA),
    reinterpret_cast<void*>(HookCopyFileW), reinterpret_cast<void*>(HookMoveFile),
    reinterpret_cast<void*>(HookPostMessage), reinterpret_cast<void*>(HookCoInitialize),
    reinterpret_cast<void*>(HookCoCreateInstance)};

// The phases from the stamps; the worker is the thread whose CoInitialize is not the entry's.
void WritePhases(FILE* out, DWORD mainThread, LONGLONG entry, double frequency) {
  const LONG count = stampCount < kMaxStamps ? stampCount : kMaxStamps;
  DWORD worker = 0;
  LONGLONG start = 0, extract = 0, links = 0, copyWait = 0, record = 0, end = 0;
  LONGLONG copyBegin = 0, copyEnd = 0, writes = 0, waits = 0, renamed = 0, com = 0;
  long helperWaits = 0;
  for (LONG i = 0; i < count; ++i) {
    const Stamp& s = stamps[i];
    if (s.kind == kCoInitialize && s.thread != mainThread && worker == 0) {
      worker = s.thread;
      start = s.end;
    }
    if (s.kind == kCoInitialize && s.thread == mainThread && com == 0) com = s.begin;
    if (s.kind == kCopyFileA || s.kind == kCopyFileW) copyBegin = s.begin, copyEnd = s.end;
    if (s.thread != worker) continue;
    const bool extracting = extract != 0 && links == 0;
    if (s.kind == kVirtualProtect && extract == 0) extract = s.begin;
    if (s.kind == kRegOpen && links == 0 && extract != 0) links = s.begin;
    if (s.kind == kRegOpen && s.machineKey && record == 0) record = s.begin;
    if (s.kind == kWait && links != 0 && copyWait == 0) copyWait = s.begin;
    if (s.kind == kMoveFile) renamed = s.end;
    if (s.kind == kPostMessage) end = s.end;
    if (extracting && (s.kind == kCreateFile || s.kind == kWriteFile || s.kind == kCloseHandle ||
                       s.kind == kCreateDirectory)) {
      writes += s.end - s.begin;
    }
    if (extracting && s.kind == kWait) waits += s.end - s.begin, ++helperWaits;
  }
  if (copyWait == 0) copyWait = record;
  if (renamed == 0) renamed = copyWait;
  auto at = [&](LONGLONG t) { return t == 0 ? -1.0 : (t - entry) / frequency; };
  auto span = [&](LONGLONG from, LONGLONG to) {
    return from == 0 || to == 0 ? -1.0 : (to - from) / frequency;
  };
  fprintf(out, "beforecom %.4f\nhelperwaits %ld\n", at(com), helperWaits);
  fprintf(out, "startup %.4f\ndirectory %.4f\nextract %.4f\nwrites %.4f\nwaits %.4f\n",
          at(start), span(start, extract), span(extract, links), writes / frequency,
          waits / frequency);
  fprintf(out, "links %.4f\ncopywait %.4f\nrecord %.4f\nend %.4f\n", span(links, copyWait),
          span(copyWait, renamed), span(record, end), at(end));
  fprintf(out, "copy %.4f\ncopyfrom %.4f\ncopyto %.4f\n", span(copyBegin, copyEnd),
          at(copyBegin), at(copyEnd));
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
  FILETIME wall;
  GetSystemTimeAsFileTime(&wall);  // Wine gives it to 100 ns
  const LONGLONG entry = Now();
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  for (int kind = 0; kind < kKinds; ++kind) real[kind] = PatchImport(kNames[kind], kHooks[kind]);
  noLinks = GetEnvironmentVariableA("TAVRIN_PHASES_NO_LINKS", nullptr, 0) != 0;
  armed = 1;
  const int result = TavrinWinMain(instance, previous, commandLine, show);
  armed = 0;
  char path[MAX_PATH];
  const DWORD n = GetEnvironmentVariableA("TAVRIN_PHASES_OUT", path, sizeof path);
  FILE* out = n > 0 && n < sizeof path ? fopen(path, "wb") : nullptr;
  if (out == nullptr) return result;
  // FILETIME counts 100 ns from 1601; Unix time from 1970, 11644473600 s later.
  const ULONGLONG ticks = (static_cast<ULONGLONG>(wall.dwHighDateTime) << 32) | wall.dwLowDateTime;
  fprintf(out, "entry %.6f\n", ticks / 1e7 - 11644473600.0);
  for (int kind = 0; kind < kKinds; ++kind) {
    if (real[kind] == nullptr) fprintf(out, "unhooked %s\n", kNames[kind]);
  }
  WritePhases(out, GetCurrentThreadId(), entry, static_cast<double>(frequency.QuadPart));
  fclose(out);
  return result;
}
