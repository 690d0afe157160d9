// test_streams.cpp: y4m streams built in memory, scratch folders, and runs of the program
#include "test_streams.h"

#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>

#include <fstream>
#include <random>
#include <sstream>

std::string MakeY4m(const std::string& header, int frames, size_t frameBytes, uint32_t seed) {
    std::mt19937 random(seed);
    std::string s = header + "\n";
    for (int f = 0; f < frames; f++) {
        s += "FRAME\n";
        for (size_t i = 0; i < frameBytes; i++) s += char(random() & 0xFF);
    }
    return s;
}

std::string Header(int W, int H, const std::string& colorspace) {
    return "YUV4MPEG2 W" + std::to_string(W) + " H" + std::to_string(H) + " F30000:1001 It A1:1 C" +
           colorspace + " XCOLORRANGE=LIMITED XYSCSS=ANY";
}

FILE* ReadFrom(const std::string& bytes) {
    FILE* f = tmpfile();
    fwrite(bytes.data(), 1, bytes.size(), f);
    rewind(f);
    return f;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

ScratchFolder::ScratchFolder() {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tessival-cli-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    folder = mkdtemp(name.data()) ? name.data() : "/tmp";
}

ScratchFolder::~ScratchFolder() {
    if (folder != "/tmp") (void)system(("rm -rf '" + folder + "'").c_str());
}

ProgramRun RunProgram(const std::string& args, const std::string& before) {
    ScratchFolder scratch;
    const std::string err = scratch.Path("stderr");
    const std::string command = before + "'" TESSIVAL_PROGRAM "' " + args + " 2>'" + err + "'";
    const int status = system(command.c_str());
    ProgramRun run;
    run.Code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.Err = ReadFile(err);
    return run;
}
