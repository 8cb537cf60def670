// The Win32 side of the package: the RCDATA 100 resource of the running module, the threads and
// signals of extraction, CreateFolderPath and WriteWholeFile. The data path itself is portable
// (package/image.h).
#include "package/extract.h"

#include "base/thread.h"
#include "package/bounds.h"
#include "package/folder.h"

// The size of the module's mapped image (SizeOfImage from its own PE headers); 0 when the
// headers are not those of a PE image.
static uint32_t ModuleImageSize(HMODULE module) {
  const uint8_t* base = (const uint8_t*)module;
  const IMAGE_DOS_HEADER* dos = (const IMAGE_DOS_HEADER*)base;
  if (base == nullptr || dos->e_magic != IMAGE_DOS_SIGNATURE) return 0;
  const IMAGE_NT_HEADERS* nt = (const IMAGE_NT_HEADERS*)(base + dos->e_lfanew);
  if (nt->Signature != IMAGE_NT_SIGNATURE) return 0;
  return nt->OptionalHeader.SizeOfImage;
}

// The package resource's bytes and size; 0 when it is missing, cannot be loaded, or its range
// (as the resource table gives it) does not lie inside the module's image. The loader does not
// check that range, and VirtualProtect is no check either: Wine 8.0 lets it succeed on a size
// that wraps round 2^32.
static int32_t LockPackage(HMODULE module, uint8_t** bytes, uint32_t* size) {
  HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(PACKAGE_RESOURCE_ID), (LPCSTR)RT_RCDATA);
  if (found == nullptr) return 0;
  HGLOBAL loaded = LoadResource(module, found);
  if (loaded == nullptr) return 0;
  *bytes = (uint8_t*)LockResource(loaded);
  *size = SizeofResource(module, found);
  return *bytes != nullptr && IsRangeInsideImage((uintptr_t)module, ModuleImageSize(module),
                                                 (uintptr_t)*bytes, *size);
}

int32_t ReadPackageDirectory(InstallerContext* context) {
  uint8_t* bytes;
  uint32_t size;
  if (!LockPackage(context->instanceHandle, &bytes, &size)) return -1;
  return CopyPackageDirectory(bytes, size, &context->packageDirectory);
}

static int32_t SinkCreateFolderPath(void*, const char* path) { return CreateFolderPath(path); }

static int32_t SinkWriteWholeFile(void*, const char* path, uint32_t size, const void* bytes) {
  return WriteWholeFile(path, size, bytes);
}

void InstallerPackageSink(PackageSink* sink, FolderWriter* writer, const char* targetFolder) {
  *writer = {targetFolder, SinkCreateFolderPath, SinkWriteWholeFile, nullptr};
  *sink = {PlaceInFolder, nullptr, writer};
}

static DWORD WINAPI PackageHelperMain(void* job) {
  RunPackageHelper(job);
  return 0;
}

// The helper runs at the priority of the thread that extracts (the install worker's, below
// normal), so that the window thread always gets a processor for its blinking and painting.
static void* StartPackageHelper(void* job) {
  return StartThreadAtCallerPriority(PackageHelperMain, job);
}

static void JoinPackageHelper(void* thread) {
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}

// Signals are auto-reset events: a wait takes the event and clears it.
static void* MakeSignal() { return CreateEventA(nullptr, FALSE, FALSE, nullptr); }
static void RaiseSignal(void* signal) { SetEvent(signal); }
static void AwaitSignal(void* signal) { WaitForSingleObject(signal, INFINITE); }
static void FreeSignal(void* signal) { CloseHandle(signal); }

// Extraction asks only whether there are two processors or more: 2 stands for them all.
void InstallerPackageThreads(PackageThreads* threads) {
  DWORD_PTR processMask = 1, systemMask;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask)) processMask = 1;
  *threads = {StartPackageHelper, JoinPackageHelper, MakeSignal, RaiseSignal, AwaitSignal,
              FreeSignal, (processMask & (processMask - 1)) != 0 ? 2 : 1, PACKAGE_SCHEDULE_CHOSEN};
}

int32_t ExtractPackage(InstallerContext* context) {
  uint8_t* bytes;
  uint32_t size;
  if (!LockPackage(context->instanceHandle, &bytes, &size)) return -1;
  // Entries are unscrambled in place. GNU ld marks the resource section writable, which makes
  // these pages a private copy-on-write view; other linkers leave it read-only, so ask for
  // copy-on-write explicitly. Without a private writable view nothing can be unscrambled.
  DWORD previous;
  if (size != 0 && !VirtualProtect(bytes, size, PAGE_WRITECOPY, &previous)) return -1;
  PackageSink sink;
  FolderWriter writer;
  InstallerPackageSink(&sink, &writer, context->targetFolder);
  PackageThreads threads;
  InstallerPackageThreads(&threads);
  return ExtractPackageImageScheduled(bytes, size, &context->packageDirectory, &sink, &threads);
}

// "Already exists" is also the answer when a file stands where the folder should be; that is not
// a folder, so it fails the path instead of reporting it made.
static int32_t MakeOneFolder(void*, const char* folder) {
  if (CreateDirectoryA(folder, nullptr)) return 1;
  if (GetLastError() != ERROR_ALREADY_EXISTS) return 0;
  const DWORD attributes = GetFileAttributesA(folder);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

int32_t CreateFolderPath(const char* path) { return WalkFolderPath(path, MakeOneFolder, nullptr); }

int32_t WriteWholeFile(const char* path, uint32_t size, const void* bytes) {
  HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  DWORD written = 0;
  BOOL ok = WriteFile(file, bytes, size, &written, nullptr);
  CloseHandle(file);
  return ok && written == size;
}
