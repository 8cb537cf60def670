// The packing tool's commands, each one call from the command line (cli.cpp), which hands them
// what to call for a result line, a failure and progress: they print nothing themselves. Each
// returns the process's exit status.
#pragma once
#include <stdint.h>

#include <string>

struct CommandCalls {
  void (*line)(const std::string& text);    // a line of results on standard output
  int (*fail)(const std::string& message);  // "packtool: MESSAGE" on standard error; gives 1
  // One line on standard error, updated in place (on a terminal, without --quiet): bytes done of
  // the total and the entry at hand; ended when done reaches total.
  void (*progress)(const char* what, uint64_t done, uint64_t total, const std::string& entry);
};

// Each takes the command's arguments in the order its usage names them.
int Pack(const CommandCalls& calls, const std::string* args);     // MANIFEST OUTPUT
int Build(const CommandCalls& calls, const std::string* args);    // INSTALLER MANIFEST OUTPUT
int List(const CommandCalls& calls, const std::string* args);     // FILE
int Verify(const CommandCalls& calls, const std::string* args);   // FILE
int Unpack(const CommandCalls& calls, const std::string* args);   // FILE FOLDER
