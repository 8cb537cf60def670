// Independent readers for the setup tests under Wine: Windows' own reg.exe, run as a child
// process, and the environment's folder variables.
#pragma once
#include <stdio.h>

#include <string>

namespace setup_test {

// Runs a command through cmd.exe and returns what it printed on stdout, and its exit code.
inline std::string Run(const std::string& command, int* exitCode = nullptr) {
  std::string output;
  FILE* pipe = _popen((command + " 2>nul").c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[512];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  const int code = _pclose(pipe);
  if (exitCode != nullptr) *exitCode = code;
  return output;
}

struct RegValue {
  bool found = false;
  std::string type;
  std::string data;
};

// `reg query "KEY" /v NAME /reg:32`: the 32-bit view, where a 32-bit program's HKLM\SOFTWARE
// lies in a 64-bit prefix. Parses the line "    NAME    TYPE    DATA".
inline RegValue QueryValue(const std::string& key, const std::string& name) {
  RegValue value;
  const std::string output = Run("reg query \"" + key + "\" /v \"" + name + "\" /reg:32");
  const std::string head = "    " + name + "    ";
  size_t at = output.find(head);
  if (at == std::string::npos) return value;
  std::string rest = output.substr(at + head.size());
  rest = rest.substr(0, rest.find_first_of("\r\n"));
  const size_t gap = rest.find("    ");
  value.found = true;
  value.type = rest.substr(0, gap);
  value.data = gap == std::string::npos ? std::string() : rest.substr(gap + 4);
  return value;
}

// True when `reg query "KEY" /reg:32` finds the key (exit code 0; Wine's reg.exe prints its
// errors on stdout).
inline bool KeyExists(const std::string& key) {
  int code = -1;
  Run("reg query \"" + key + "\" /reg:32", &code);
  return code == 0;
}

inline void DeleteKey(const std::string& key) { Run("reg delete \"" + key + "\" /f /reg:32"); }

inline void AddString(const std::string& key, const std::string& name, const std::string& data) {
  Run("reg add \"" + key + "\" /v \"" + name + "\" /t REG_SZ /d \"" + data + "\" /f /reg:32");
}

inline void AddKey(const std::string& key) { Run("reg add \"" + key + "\" /f /reg:32"); }

}  // namespace setup_test
