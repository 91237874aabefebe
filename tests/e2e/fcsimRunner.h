// The simulator vorn-fcsim as a child process of a test, its standard output and error in
// files of a work directory.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/testSupport.h"

namespace vt {

class FcsimRun {
public:
    FcsimRun(const std::string& dir, const std::vector<std::string>& args)
        : outPath_(dir + "/fcsim.out"), errPath_(dir + "/fcsim.err") {
        pid_ = fork();
        if (pid_ == 0) {
            int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int devnull = open("/dev/null", O_RDONLY);
            dup2(out, STDOUT_FILENO);
            dup2(err, STDERR_FILENO);
            dup2(devnull, STDIN_FILENO);
            std::vector<char*> argv{const_cast<char*>(VORN_FCSIM_PATH)};
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(VORN_FCSIM_PATH, argv.data());
            _exit(127);
        }
    }
    ~FcsimRun() {
        if (status_ == -2) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    FcsimRun(const FcsimRun&) = delete;
    FcsimRun& operator=(const FcsimRun&) = delete;

    // Exit status once it ended within the deadline, else -1.
    int wait(std::chrono::milliseconds deadline = std::chrono::seconds(60)) {
        waitUntil([&] { return ended(); }, deadline);
        return status_ == -2 ? -1 : status_;
    }
    std::string out() const { return readFile(outPath_); }
    pid_t pid() const { return pid_; }
    std::string err() const { return readFile(errPath_); }
    bool waitForOutput(const std::string& text, std::chrono::milliseconds deadline = std::chrono::seconds(15)) const {
        return waitUntil([&] { return out().find(text) != std::string::npos; }, deadline);
    }

private:
    bool ended() {
        if (status_ != -2) return true;
        int st;
        if (waitpid(pid_, &st, WNOHANG) != pid_) return false;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return true;
    }
    pid_t pid_ = -1;
    int status_ = -2; // -2 while running
    std::string outPath_, errPath_;
};

} // namespace vt
