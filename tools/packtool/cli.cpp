// packtool, the publisher's packing tool: its command line (the commands and their help, the
// arguments, the failure line and the progress line; the commands are in commands.h).
#include <stdio.h>

#include <string>
#include <vector>

#include "base/product.h"
#include "tools/packtool/commands.h"
#include "tools/packtool/hostfile.h"

namespace {

const char kManifestHelp[] =
    "MANIFEST: UTF-8 text (on Windows too, whatever the code page; a byte-order mark at the\n"
    "start allowed), one line per entry in directory order: the entry name, '|', and the source\n"
    "file, relative to the manifest's folder; a line holds at most 8192 bytes besides its end\n"
    "(LF or CRLF). Blank lines, and lines whose first character other than a blank is '#', are\n"
    "skipped; elsewhere '#' is part of the line, but a source with '#' at its start or after a\n"
    "blank (a comment after an entry) is refused. 17 entries, the last one not empty, with\n"
    APP_EXECUTABLE_NAME " and " APP_README_NAME " at the top level. Entry names: printable ASCII,\n"
    "at most 127 characters, backslashes between folders, no drive, no leading backslash, no\n"
    "\".\" or \"..\" part, no device name (CON, NUL, COM1...), no name twice (in any case).\n";

const char kWriteExit[] =
    "OUTPUT is written as OUTPUT.packtool-part, which must not exist, and renamed when whole.\n"
    "Prints nothing on success. Exit status: 0 written; 1 refused or failed, with one line on\n"
    "stderr and nothing written; 2 wrong arguments.\n";

const char kResultHelp[] =
    "Then prints \"result: N\", the result the installer's extraction would give:\n"
    "  0           every entry whole\n"
    "  -1          every entry whole, but the last one is empty (the installer refuses it)\n"
    "  -101..-117  1 to 17 entries failed (-100 minus their count); each is named above it\n";

struct Command {
  const char* name;
  int (*run)(const CommandCalls& calls, const std::string* args);
  unsigned arguments;
  const char* synopsis;  // the line in the general usage
  const char* what;      // the rest of the command's own usage
  const char* more[2];   // shared paragraphs, or null
};

const Command kCommands[] = {
    {"pack", Pack, 2,
     "pack MANIFEST OUTPUT              make a package from the 17 files a manifest names",
     "Writes OUTPUT: the package (the installer's RCDATA 100) of the files MANIFEST names.\n",
     {kWriteExit, kManifestHelp}},
    {"build", Build, 3,
     "build INSTALLER MANIFEST OUTPUT   write OUTPUT: INSTALLER with the payload of MANIFEST",
     "Writes OUTPUT: INSTALLER (a " INSTALLER_FILE_NAME " built by this project, any payload,\n"
     "unsigned) with its package replaced by one packed from MANIFEST. Sign OUTPUT afterwards.\n",
     {kWriteExit, kManifestHelp}},
    {"list", List, 1,
     "list FILE                         print the directory: name, size, offset, MD5",
     "Prints one line per entry (number, size, offset, plain MD5, name), then the package's size\n"
     "in bytes. FILE: a package file, or an executable (signed or not) holding one as RCDATA 100.\n"
     "Exit status: 0 listed; 1 a file that cannot be read as a package, or one whose entries end\n"
     "beyond it (one line on stderr); 2 wrong arguments.\n",
     {nullptr, nullptr}},
    {"verify", Verify, 1,
     "verify FILE                       unscramble and check every entry; print the result",
     "Checks the layout (one line per problem: whatever the installer reads is read, entries\n"
     "sharing bytes and a first entry not at 2720 included), then unscrambles and digests every\n"
     "entry as the installer would, reading each twice. FILE is as for list.\n",
     {kResultHelp,
      "Exit status: 0 result 0 and no layout problem; 1 otherwise, with one line on stderr (no\n"
      "result when the file cannot be read as a package); 2 wrong arguments.\n"}},
    {"unpack", Unpack, 2,
     "unpack FILE FOLDER                write the files into FOLDER as the installer would",
     "Writes the files into FOLDER (new, or an existing empty folder that is not a link) as the\n"
     "installer places them, after the lines verify prints. Each file is written as a part file\n"
     "and renamed once its entry passes (else removed): only whole files are left, also when\n"
     "stopped. Names that differ only in case make one file, as on Windows: the first spelling\n"
     "of an entry placed, the later bytes. FILE is as for list.\n",
     {kResultHelp,
      "Exit status: 0 result 0 and no layout problem; 1 otherwise, or a file that cannot be read\n"
      "or written, with one line on stderr; 2 wrong arguments.\n"}},
};

void PrintUsage(FILE* to) {
  fputs("usage: packtool [--quiet] COMMAND ARGUMENTS\n\n", to);
  for (const Command& c : kCommands) fprintf(to, "  %s\n", c.synopsis);
  fputs(
      "\n  packtool COMMAND --help           that command's usage, exit status and results\n"
      "  --quiet, -q                       (with any command) no progress line\n\n"
      "Exit status: 0 success; 1 refused or failed, with one line on stderr; 2 wrong arguments\n"
      "or an unknown command. A stop (Ctrl+C) prints one line saying what it left.\n",
      to);
}

void PrintCommandUsage(const Command& c, FILE* to) {
  std::string line = c.synopsis;
  fprintf(to, "usage: packtool %s\n\n%s", line.substr(0, line.find("  ")).c_str(), c.what);
  for (const char* more : c.more) {
    if (more != nullptr) fprintf(to, "\n%s", more);
  }
}

const uint64_t kLargeBytes = 64u << 20;  // show progress above this, on a terminal

bool gQuiet = false;  // --quiet: no progress line

void Line(const std::string& text) { puts(text.c_str()); }

int Fail(const std::string& message) {
  fflush(stdout);
  HostWriteText(stderr, "packtool: " + message + "\n");
  return 1;
}

void Progress(const char* what, uint64_t done, uint64_t total, const std::string& entry) {
  static const bool terminal = HostErrorIsTerminal();
  if (gQuiet || total < kLargeBytes || !terminal) return;
  std::string name = entry.size() > 40 ? "..." + entry.substr(entry.size() - 37) : entry;
  fprintf(stderr, "\r%s: %llu of %llu MB (%3u%%) %-40s", what,
          (unsigned long long)(done >> 20), (unsigned long long)(total >> 20),
          (unsigned)(done * 100 / total), done == total ? "" : name.c_str());
  if (done == total) fputc('\n', stderr);
  fflush(stderr);
  gMidLine = done != total;  // a stop line then starts on a line of its own
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> given, args;
  std::string error;
  if (!HostArguments(argc, argv, &given, &error)) return Fail(error), 2;
  for (const std::string& arg : given) {
    if (arg != "--quiet" && arg != "-q") args.push_back(arg);
  }
  gQuiet = args.size() != given.size();
  if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    return PrintUsage(args.empty() ? stderr : stdout), args.empty() ? 2 : 0;
  }
  const Command* command = nullptr;
  for (const Command& c : kCommands) {
    if (args[0] == c.name) command = &c;
  }
  if (command == nullptr) {
    return Fail("unknown command '" + args[0] + "'; the commands are pack, build, list, verify "
                "and unpack (packtool --help)"), 2;
  }
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--help" || args[i] == "-h") return PrintCommandUsage(*command, stdout), 0;
  }
  if (args.size() != command->arguments + 1) {
    fprintf(stderr, "packtool: %s takes %u argument%s, not %u\n", command->name, command->arguments,
            command->arguments == 1 ? "" : "s", (unsigned)(args.size() - 1));
    return PrintCommandUsage(*command, stderr), 2;
  }
  return command->run({Line, Fail, Progress}, &args[1]);
}
