// Times loading and saving a machine file of each given number of registry
// keys on the simulated machine, as the Linux executable does at the start
// and end of a run. Usage: rck_machine_file_timing KEYS...; prints one line
// per size: keys=<keys in the loaded registry> bytes=<text size> load=<s> save=<s>
// Each time is the processor time of this process, the best of five, so that
// other work on a busy machine does not distort it.
#include "simwin/simctl.h"
#include "simwin/simctl_registry.h"

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

// Keys in groups of a hundred below one root, each with a text and a number,
// as a driver's settings keys look.
std::string MachineText(int keys) {
    std::string text = "RCKRV48 MACHINE 1\n[Windows]\nPlatformId=2\nMajorVersion=5\n"
                       "MinorVersion=0\nBuildNumber=2195\n\nREGEDIT4\n\n";
    char line[160];
    for (int i = 0; i < keys; ++i) {
        std::snprintf(line, sizeof line,
                      "[HKEY_LOCAL_MACHINE\\Software\\Bench\\Group%04d\\Key%06d]\n"
                      "\"Name\"=\"value of key %d\"\n\"Number\"=dword:%08x\n\n",
                      i / 100, i, i, i);
        text += line;
    }
    return text;
}

double ProcessSeconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

} // namespace

int main(int argc, char** argv) {
    for (int a = 1; a < argc; ++a) {
        const std::string text = MachineText(std::atoi(argv[a]));
        double load = 1e9;
        double save = 1e9;
        size_t saved = 0;
        for (int round = 0; round < 5; ++round) {
            std::string error;
            double start = ProcessSeconds();
            if (!SimLoadMachineText(text, &error)) {
                std::fprintf(stderr, "machine not loaded: %s\n", error.c_str());
                return 1;
            }
            load = std::min(load, ProcessSeconds() - start);
            start = ProcessSeconds();
            saved = SimSaveMachineText().size();
            save = std::min(save, ProcessSeconds() - start);
        }
        std::printf("keys=%d bytes=%zu load=%.6f save=%.6f\n", SimRegKeyCount(), saved, load, save);
    }
    return 0;
}
