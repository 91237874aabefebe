// Shared by the WiFi tests: the daemon's standard output caught in a file.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "support/testSupport.h"

using vt::StdoutCapture;

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
