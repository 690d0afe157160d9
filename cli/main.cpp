// main.cpp: tessival, the command-line host of the Tessival filter module
#include <stdio.h>

#include "options.h"
#include "run.h"

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, &options, &error)) {
        fprintf(stderr, "tessival: %s\n", error.c_str());
        return ExitUsage;
    }
    if (options.Help) {
        fputs(UsageText(), stdout);
        return ExitOk;
    }
    if (options.Version) {
        printf("tessival %s\n", TESSIVAL_VERSION);
        return ExitOk;
    }
    return options.Demo ? RunDemo(options) : RunFilter(options);
}
