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

// Standard output goes to a file until the object goes.
class StdoutCapture {
public:
    StdoutCapture() : path_(dir_ / "stdout") {
        fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, STDOUT_FILENO);
        close(fd);
    }
    // A failing test's messages went to the file too: they are repeated on standard error.
    ~StdoutCapture() {
        fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        if (::testing::Test::HasFailure()) fprintf(stderr, "%s", text().c_str());
    }
    std::string text() const { return vt::readFile(path_); }
    bool has(const std::string& line) const { return text().find(line) != std::string::npos; }
    size_t count(const std::string& line) const {
        std::string all = text();
        size_t n = 0;
        for (size_t at = all.find(line); at != std::string::npos; at = all.find(line, at + 1)) ++n;
        return n;
    }
    bool waitFor(const std::string& line) const {
        return vt::waitUntil([&] { return has(line); });
    }

private:
    vt::TempDir dir_;
    std::string path_;
    int saved_ = -1;
};

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
