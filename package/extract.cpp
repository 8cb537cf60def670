// The Win32 side of the package: the RCDATA 100 resource of the running module, CreateFolderPath
// and WriteWholeFile. The format logic itself is in image.cpp.
#include "package/extract.h"

#include "package/image.h"

// The package resource's bytes and size; 0 when it is missing or cannot be loaded.
static int32_t LockPackage(HMODULE module, uint8_t** bytes, uint32_t* size) {
  HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(PACKAGE_RESOURCE_ID), (LPCSTR)RT_RCDATA);
  if (found == nullptr) return 0;
  HGLOBAL loaded = LoadResource(module, found);
  if (loaded == nullptr) return 0;
  *bytes = (uint8_t*)LockResource(loaded);
  *size = SizeofResource(module, found);
  return *bytes != nullptr;
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

int32_t ExtractPackage(InstallerContext* context) {
  uint8_t* bytes;
  uint32_t size;
  if (!LockPackage(context->instanceHandle, &bytes, &size)) return -1;
  // Entries are unscrambled in place. GNU ld marks the resource section writable, which makes
  // these pages a private copy-on-write view; other linkers leave it read-only, so ask for
  // copy-on-write explicitly. Without a private writable view nothing can be unscrambled.
  DWORD previous;
  if (size != 0 && !VirtualProtect(bytes, size, PAGE_WRITECOPY, &previous)) return -1;
  PackageSink sink = {SinkCreateFolderPath, SinkWriteWholeFile, nullptr, nullptr};
  return ExtractPackageImage(bytes, size, &context->packageDirectory, context->targetFolder,
                             &sink);
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
