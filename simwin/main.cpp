// Process entry of the Linux build: runs one command of the program on the
// simulated Windows machine described by the machine file RCKRV48_MACHINE
// names, or on the built-in default machine. docs/machine-file.md says how a
// run locks, loads and saves the file.
#include "cli/dispatcher.h"
#include "simwin/sim.h"
#include "simwin/simctl.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern const char kDefaultMachineText[];

namespace {

// Exit code for a machine that cannot be loaded or saved; outside the
// program's own result codes.
const int kMachineError = 120;

int Fail(const std::string& message) {
    std::fprintf(stderr, "rckrv48: %s\n", message.c_str());
    return kMachineError;
}

bool ReadWholeFile(const std::string& path, std::string* text) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return false;
    }
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        text->append(buf, n);
    }
    bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

bool WriteAtomically(const std::string& path, const std::string& text) {
    std::string temp = path + ".tmp." + std::to_string(getpid());
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        return false;
    }
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0) {
            close(fd);
            unlink(temp.c_str());
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (fsync(fd) != 0 || close(fd) != 0) {
        unlink(temp.c_str());
        return false;
    }
    if (rename(temp.c_str(), path.c_str()) != 0) {
        unlink(temp.c_str());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv, char** envp) {
    const char* named = std::getenv("RCKRV48_MACHINE");
    std::string path = named ? named : "";
    std::string error;
    int lockFd = -1;

    if (path.empty()) {
        if (!SimLoadMachineText(kDefaultMachineText, &error)) {
            return Fail("built-in machine: " + error);
        }
    } else {
        std::string lockPath = path + ".lock";
        lockFd = open(lockPath.c_str(), O_RDWR | O_CREAT, 0644);
        if (lockFd < 0 || flock(lockFd, LOCK_EX) != 0) {
            return Fail(lockPath + ": cannot lock: " + std::strerror(errno));
        }
        std::string text;
        if (!ReadWholeFile(path, &text)) {
            return Fail(path + ": cannot read: " + std::strerror(errno));
        }
        if (!SimLoadMachineText(text, &error)) {
            return Fail(path + ": " + error);
        }
    }
    std::string before = SimSaveMachineText();

    sim::SetRealTime(true);
    int result = DispatchCommand(argc, argv, envp);

    if (!path.empty()) {
        std::string after = SimSaveMachineText();
        if (after != before && !WriteAtomically(path, after)) {
            return Fail(path + ": cannot save: " + std::strerror(errno));
        }
        close(lockFd);
    }
    return result;
}
