// Text between the packing tool and its system: the command line's arguments and the lines it
// prints. Inside the tool every path and message is UTF-8 on every host; packtool.exe reads its
// command line as wide text and writes to a console as wide text, so that any name reads right
// whatever the machine's code page.
#pragma once
#include <stdio.h>

#include <string>
#include <vector>

// The arguments after the program's name, as UTF-8: argv's bytes on the host; on Windows the
// wide command line, converted. False with one line in *error when one cannot be (an unpaired
// surrogate).
bool HostArguments(int argc, char** argv, std::vector<std::string>* args, std::string* error);

// Writes UTF-8 text to stdout or stderr: to a Windows console as wide text, elsewhere its bytes.
void HostWriteText(FILE* stream, const std::string& text);
