// test_streams.h: y4m streams built in memory, scratch folders, and runs of the program
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

// A stream: `header` line, then `frames` frames of `frameBytes` seeded random bytes each.
std::string MakeY4m(const std::string& header, int frames, size_t frameBytes, uint32_t seed);

// A y4m header for colour space C at W x H with the usual tags around it.
std::string Header(int W, int H, const std::string& colorspace);

// A FILE reading a copy of `bytes` (an anonymous temporary file); close with fclose.
FILE* ReadFrom(const std::string& bytes);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

// A fresh folder under the system's temporary folder, removed with everything in it at the end.
struct ScratchFolder {
    ScratchFolder();
    ~ScratchFolder();
    std::string Path(const std::string& name) const { return folder + "/" + name; }
    std::string folder;
};

struct ProgramRun {
    int Code = -1;    // exit code
    std::string Err;  // what it wrote on stderr
};

// Runs the built program through the shell as `tessival ARGS`; `args` is shell text, and
// `before` runs first in the same shell (a ulimit, say).
ProgramRun RunProgram(const std::string& args, const std::string& before = "");
