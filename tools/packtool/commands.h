// The commands of the packing tool, each one call from the command line (cli.cpp): pack and build
// (pack.cpp), list, verify and unpack (unpack.cpp); and what the command line gives them: the
// one-line failure and the progress line. Each returns the process's exit status.
#pragma once
#include <stdint.h>

#include <string>

int Pack(const std::string& manifestPath, const std::string& outputPath);
int Build(const std::string& installerPath, const std::string& manifestPath,
          const std::string& outputPath);
int List(const std::string& path);
// verify when folder is empty, else unpack into folder.
int Extract(const std::string& path, const std::string& folder);

// "packtool: MESSAGE" on standard error; 1.
int Fail(const std::string& message);

// One line on standard error, updated in place while a large payload is worked through: bytes
// done of the total and the entry at hand; ended when all is done. Only on a terminal, and
// not with --quiet.
void Progress(const char* what, uint64_t done, uint64_t total, const std::string& entry);
