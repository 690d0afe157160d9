// fuzz_options.cpp: libFuzzer target for the command-line parser
//
// The input, cut at every zero byte, is the argument list after the program name. Whatever the
// arguments, the parser either fails with a message or returns options within their ranges.
#include <stdlib.h>

#include <string>
#include <vector>

#include "../../cli/options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> words(1, "tessival");
    std::string word;
    for (size_t i = 0; i < size; i++) {
        if (data[i] == 0) {
            words.push_back(word);
            word.clear();
        } else {
            word += char(data[i]);
        }
    }
    if (!word.empty()) words.push_back(word);
    std::vector<const char*> argv;
    for (const std::string& w : words) argv.push_back(w.c_str());
    argv.push_back(nullptr);

    Options o;
    std::string error;
    if (!ParseOptions(int(words.size()), argv.data(), &o, &error)) {
        if (error.empty() || error.find('\n') != std::string::npos) abort();
        return 0;
    }
    if (!error.empty()) abort();
    const FilterSettings& f = o.Filter;
    if (f.Range < 1 || f.Range > 4 || f.Strength < 1 || f.Strength > 200) abort();
    if (!(f.Sigma == -1 || (f.Sigma >= 0 && f.Sigma <= 65535))) abort();
    if (f.Threads < 0 || f.Threads > 256 || o.Frames < -1 || o.Noise < 1 || o.Noise > 50) abort();
    if (o.MaxPixels < 1 || o.MaxPixels > LargestMaxPixels) abort();
    if (o.Progress < -1 || o.Progress > 1 || o.Temporal < 0 || o.Temporal > 2) abort();
    return 0;
}
