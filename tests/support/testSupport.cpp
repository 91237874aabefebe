#include "support/testSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace vt {

TempDir::TempDir() {
    char tmpl[] = "/tmp/vorn-test-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

bool waitUntil(const std::function<bool()>& cond, std::chrono::milliseconds deadline) {
    auto end = std::chrono::steady_clock::now() + deadline;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return cond();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool fileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

void makeDirs(const std::string& path) {
    fs::create_directories(path);
}

StubPath::StubPath() {
    const char* p = std::getenv("PATH");
    oldPath_ = p ? p : "/usr/bin:/bin";
    setenv("PATH", (dir_.path() + ":" + oldPath_).c_str(), 1);
}

StubPath::~StubPath() {
    setenv("PATH", oldPath_.c_str(), 1);
}

void StubPath::add(const std::string& name, const std::string& body) {
    writeFile(dir_ / name, "#!/bin/sh\nprintf '%s' \"" + name + "\" >> \"" + dir_.path() + "/calls.log\"\n"
              "for a in \"$@\"; do printf ' %s' \"$a\" >> \"" + dir_.path() + "/calls.log\"; done\n"
              "printf '\\n' >> \"" + dir_.path() + "/calls.log\"\n" + body + "\n");
    chmod((dir_ / name).c_str(), 0755);
}

std::vector<std::string> StubPath::calls() const {
    std::vector<std::string> out;
    std::istringstream in(readFile(dir_ / "calls.log"));
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

StdoutCapture::StdoutCapture() : path_(dir_ / "stdout") {
    fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
    dup2(fd, STDOUT_FILENO);
    close(fd);
}

StdoutCapture::~StdoutCapture() {
    release();
    if (::testing::Test::HasFailure()) fprintf(stderr, "---- captured output ----\n%s-------------------------\n", text().c_str());
}

std::string StdoutCapture::release() {
    if (saved_ >= 0) {
        fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        saved_ = -1;
    }
    return text();
}

size_t countOf(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

Process::Process(const std::string& dir, const std::string& name, const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& env, const std::function<void()>& inChild)
    : outPath_(dir + "/" + name + ".out"), errPath_(dir + "/" + name + ".err") {
    writeFile(outPath_, "");
    writeFile(errPath_, "");
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL); // a crashed test run leaves nothing behind
        if (chdir(dir.c_str()) != 0) _exit(127);
        dup2(open(outPath_.c_str(), O_WRONLY | O_APPEND), STDOUT_FILENO);
        dup2(open(errPath_.c_str(), O_WRONLY | O_APPEND), STDERR_FILENO);
        dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
        for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
        if (inChild) inChild();
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
}

Process::~Process() {
    if (running()) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool Process::running() const {
    if (reaped_) return false;
    int st;
    if (waitpid(pid_, &st, WNOHANG) == pid_) {
        reaped_ = true;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return false;
    }
    return true;
}

int Process::wait(std::chrono::milliseconds deadline) {
    return waitUntil([&] { return !running(); }, deadline) ? status_ : -1;
}

void Process::signal(int sig) const {
    if (running()) kill(pid_, sig);
}

} // namespace vt
