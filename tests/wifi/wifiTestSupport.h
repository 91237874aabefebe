// Shared by the WiFi tests: the daemon's standard output caught in a file.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "support/testSupport.h"

// Sends file descriptor 1 (where the log goes) to a file until release().
class StdoutCapture {
public:
    StdoutCapture() : path_(dir_ / "stdout") {
        fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, STDOUT_FILENO);
        close(fd);
    }
    ~StdoutCapture() { release(); }
    void release() {
        if (saved_ < 0) return;
        fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        saved_ = -1;
    }
    std::string text() const { return vt::readFile(path_); }

private:
    vt::TempDir dir_;
    std::string path_;
    int saved_ = -1;
};

// Stub nmcli and systemctl on PATH. nmcli also notes its exact arguments, each in brackets,
// one call per line in exact.log, and answers "nmcli device status" with status.txt.
struct WifiStubs {
    vt::StubPath stubs;

    WifiStubs() {
        const std::string& d = stubs.dir();
        stubs.add("nmcli", "for a in \"$@\"; do printf '[%s]' \"$a\"; done >> \"" + d + "/exact.log\"\n"
                           "echo >> \"" + d + "/exact.log\"\n"
                           "if [ \"$1 $2\" = \"device status\" ]; then cat \"" + d + "/status.txt\"; fi");
        stubs.add("systemctl");
    }
    void setStatus(const std::string& table) { vt::writeFile(stubs.dir() + "/status.txt", table); }
    std::string exact() const { return vt::readFile(stubs.dir() + "/exact.log"); }
};
