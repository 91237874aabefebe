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

void writeScript(const std::string& path, const std::string& body) {
    writeFile(path, "#!/bin/sh\n" + body + "\n");
    chmod(path.c_str(), 0755);
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
    writeScript(dir_ / name, "printf '%s' \"" + name + "\" >> \"" + dir_.path() + "/calls.log\"\n"
                "for a in \"$@\"; do printf ' %s' \"$a\" >> \"" + dir_.path() + "/calls.log\"; done\n"
                "printf '\\n' >> \"" + dir_.path() + "/calls.log\"\n" + body);
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

std::string StdoutCapture::text() const {
    return readFile(path_);
}

bool StdoutCapture::has(const std::string& line) const {
    return text().find(line) != std::string::npos;
}

size_t StdoutCapture::count(const std::string& line) const {
    return countOf(text(), line);
}

bool StdoutCapture::waitFor(const std::string& line, std::chrono::milliseconds deadline) const {
    return waitUntil([&] { return has(line); }, deadline);
}

size_t countOf(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

Daemon::Daemon(const std::string& workDir, const std::vector<std::string>& args,
               const std::map<std::string, std::string>& env, const std::function<void()>& inChild)
    : outPath_(workDir + "/daemon.out"), errPath_(workDir + "/daemon.err") {
    writeFile(outPath_, "");
    writeFile(errPath_, "");
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL); // a crashed test run leaves no daemon behind
        if (chdir(workDir.c_str()) != 0) _exit(127);
        int out = open(outPath_.c_str(), O_WRONLY | O_APPEND, 0644);
        int err = open(errPath_.c_str(), O_WRONLY | O_APPEND, 0644);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, STDIN_FILENO);
        for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
        if (inChild) inChild();
        std::vector<char*> argv{const_cast<char*>(VORN_DAEMON_PATH)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(VORN_DAEMON_PATH, argv.data());
        _exit(127);
    }
}

Daemon::~Daemon() {
    if (running()) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

std::string Daemon::output() const {
    return readFile(outPath_);
}

std::string Daemon::errors() const {
    return readFile(errPath_);
}

bool Daemon::waitForOutput(const std::string& text, std::chrono::milliseconds deadline) const {
    return waitUntil([&] { return output().find(text) != std::string::npos; }, deadline);
}

bool Daemon::running() const {
    if (reaped_) return false;
    int st;
    if (waitpid(pid_, &st, WNOHANG) == pid_) {
        reaped_ = true;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return false;
    }
    return true;
}

int Daemon::stop(std::chrono::milliseconds deadline) {
    if (running()) kill(pid_, SIGTERM);
    if (!waitUntil([&] { return !running(); }, deadline)) return -1;
    return status_;
}

} // namespace vt
