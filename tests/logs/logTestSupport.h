// Shared by the log tests: a sandboxed log directory and the daemon's standard output caught
// in a file while a test runs.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/sandbox.h"
#include "support/testSupport.h"

namespace logtest {

using vt::StdoutCapture;

// VORN_ROOT points at a fresh directory for each test; dir is the log directory inside it.
class LogDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("VORN_ROOT", root.path().c_str(), 1);
        sandboxInit();
        dir = root.path() + "/root/vorn/dataflashlogs/";
    }
    void TearDown() override {
        unsetenv("VORN_ROOT");
        sandboxInit();
    }
    void makeLogDir() { vt::makeDirs(dir); }
    // A file of the given size without writing it (sparse), with the given modification time.
    void makeFile(const std::string& name, off_t size, time_t sec = 1700000000, long nsec = 0) {
        std::string path = dir + name;
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0) << path;
        ASSERT_EQ(ftruncate(fd, size), 0);
        timespec times[2] = {{sec, nsec}, {sec, nsec}};
        ASSERT_EQ(futimens(fd, times), 0);
        close(fd);
    }
    bool exists(const std::string& name) const { return vt::fileExists(dir + name); }
    off_t sizeOf(const std::string& name) const {
        struct stat st {};
        return stat((dir + name).c_str(), &st) == 0 ? st.st_size : -1;
    }

    vt::TempDir root;
    std::string dir;
};

} // namespace logtest
