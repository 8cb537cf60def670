// The few file-system calls of the packing tool that differ between the host (POSIX) and its
// Windows build: file sizes above 2 GB, folders, file identity and replacing a file.
#pragma once
#include <stdint.h>

#include <string>

// The size of a regular file. False with "path: reason" in *error otherwise.
bool HostFileSize(const std::string& path, uint64_t* size, std::string* error);

// Makes one folder; true when it exists afterwards.
bool HostMakeFolder(const std::string& path);

// True when both paths name one existing file (the same path, a link, another spelling).
bool HostSameFile(const std::string& a, const std::string& b);

// Moves from over to, replacing to when it exists. False with the system's reason in *error.
bool HostReplaceFile(const std::string& from, const std::string& to, std::string* error);

// Gives to the permissions of from (on the host; Windows has no such bits to copy).
void HostCopyPermissions(const std::string& from, const std::string& to);

// True when standard error is a terminal (progress is shown only there).
bool HostErrorIsTerminal();

// The folder part of a path with its separator ("" for a bare name), and whether a path is
// absolute. Separators: '/' on the host; '/' or '\' on Windows, where "C:..." is absolute too.
std::string HostFolderOf(const std::string& path);
bool HostIsAbsolute(const std::string& path);
