// Helpers shared by the test suites: temporary directories, waiting on a condition with a
// deadline, small file helpers, stub commands on PATH, caught standard output and our programs
// (the daemon, the simulator) as child processes.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vt {

// A fresh directory under /tmp, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/vorn-test-XXXXXX";
        if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

private:
    std::string path_;
};

// Polls the condition every few milliseconds until it holds or the deadline passes.
inline bool waitUntil(const std::function<bool()>& cond,
                      std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
    auto end = std::chrono::steady_clock::now() + deadline;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return cond();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}
inline void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}
inline bool fileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}
inline void makeDirs(const std::string& path) {
    std::filesystem::create_directories(path);
}
// How often needle occurs in text.
inline size_t countOf(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

// A small tmpfs ("2m") at dir while the object lives, to run out of room; mounted() false without root.
class SmallDisk {
public:
    SmallDisk(const std::string& dir, const std::string& size) : dir_(dir) {
        makeDirs(dir);
        mounted_ = mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
    }
    ~SmallDisk() { unmount(); }
    bool mounted() const { return mounted_; }
    void unmount() { mounted_ = mounted_ && umount2(dir_.c_str(), MNT_DETACH) != 0; }

private:
    std::string dir_;
    bool mounted_;
};

// While it lives, a write past limit bytes by this process or its children kills the writer (SIGXFSZ).
class FileSizeLimit {
public:
    explicit FileSizeLimit(off_t limit) : old_(limits()) { set({static_cast<rlim_t>(limit), old_.rlim_max}); }
    ~FileSizeLimit() { set(old_); }

private:
    static rlimit limits() { rlimit r{}; getrlimit(RLIMIT_FSIZE, &r); return r; }
    static void set(rlimit r) { setrlimit(RLIMIT_FSIZE, &r); }
    rlimit old_;
};

// Runs work in a child process under a FileSizeLimit: the signal that ended it, 0 if it finished.
inline int killedWhenWriting(off_t limit, const std::function<void()>& work) {
    pid_t pid = fork();
    if (pid == 0) {
        FileSizeLimit cut(limit);
        work();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

// A directory of stub commands placed first on PATH for the life of the object. Each stub
// appends its command line to <dir>/calls.log and then runs the given body.
class StubPath {
public:
    StubPath() : oldPath_(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin") {
        setenv("PATH", (dir_.path() + ":" + oldPath_).c_str(), 1);
    }
    ~StubPath() { setenv("PATH", oldPath_.c_str(), 1); }
    void add(const std::string& name, const std::string& body = "") {
        const std::string log = " >> \"" + dir_.path() + "/calls.log\"\n";
        writeFile(dir_ / name, "#!/bin/sh\nprintf '%s' \"" + name + "\"" + log +
                                   "for a in \"$@\"; do printf ' %s' \"$a\"" + log + "done\nprintf '\\n'" + log +
                                   body + "\n");
        chmod((dir_ / name).c_str(), 0755);
    }
    std::vector<std::string> calls() const { // one entry per call: "name arg1 arg2 ..."
        std::vector<std::string> out;
        std::istringstream in(readFile(dir_ / "calls.log"));
        for (std::string line; std::getline(in, line);) out.push_back(line);
        return out;
    }
    const std::string& dir() const { return dir_.path(); }

private:
    TempDir dir_;
    std::string oldPath_;
};

// Standard output of the whole process (where the daemon's modules log) goes to a file while
// the object lives; a failing test shows the caught text again on standard error.
class StdoutCapture {
public:
    StdoutCapture() : path_(dir_ / "stdout") {
        fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
        dup2(fd, STDOUT_FILENO);
        close(fd);
    }
    ~StdoutCapture() {
        release();
        if (::testing::Test::HasFailure()) fprintf(stderr, "---- captured output ----\n%s----\n", text().c_str());
    }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;
    std::string release() { // gives standard output back early; returns the caught text
        if (saved_ >= 0) {
            fflush(stdout);
            dup2(saved_, STDOUT_FILENO);
            close(saved_);
            saved_ = -1;
        }
        return text();
    }
    std::string text() const { return readFile(path_); }
    bool has(const std::string& line) const { return text().find(line) != std::string::npos; }
    size_t count(const std::string& line) const { return countOf(text(), line); }
    bool waitFor(const std::string& line, std::chrono::milliseconds deadline = std::chrono::seconds(10)) const {
        return waitUntil([&] { return has(line); }, deadline);
    }

private:
    TempDir dir_;
    std::string path_;
    int saved_ = -1;
};

// A program of ours (the daemon, the simulator) as a child process, started in a working
// directory with extra environment, its standard output and error in <dir>/<name>.out and .err;
// inChild runs in its process just before it starts (e.g. to take another user or resource limits).
class Process {
public:
    Process(const std::string& dir, const std::string& name, const std::vector<std::string>& argv,
            const std::map<std::string, std::string>& env = {}, const std::function<void()>& inChild = {})
        : outPath_(dir + "/" + name + ".out"), errPath_(dir + "/" + name + ".err") {
        writeFile(outPath_, "");
        writeFile(errPath_, "");
        pid_ = fork();
        if (pid_ != 0) return;
        prctl(PR_SET_PDEATHSIG, SIGKILL); // a crashed test run leaves nothing behind
        if (chdir(dir.c_str()) != 0) _exit(127);
        dup2(open(outPath_.c_str(), O_WRONLY | O_APPEND), STDOUT_FILENO);
        dup2(open(errPath_.c_str(), O_WRONLY | O_APPEND), STDERR_FILENO);
        dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
        for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
        if (inChild) inChild();
        closefrom(3); // the program starts with no descriptor of ours
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    ~Process() { // a process still running is killed
        if (running()) kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
    }
    std::string output() const { return readFile(outPath_); } // standard output so far
    std::string errors() const { return readFile(errPath_); } // standard error so far
    bool waitForOutput(const std::string& text, std::chrono::milliseconds deadline = std::chrono::seconds(10)) const {
        return waitUntil([&] { return output().find(text) != std::string::npos; }, deadline);
    }
    bool running() const {
        int st;
        if (reaped_ || waitpid(pid_, &st, WNOHANG) != pid_) return !reaped_;
        reaped_ = true;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return false;
    }
    // The exit status once it ended within the deadline (128 + signal when killed), else -1.
    int wait(std::chrono::milliseconds deadline) {
        return waitUntil([&] { return !running(); }, deadline) ? status_ : -1;
    }
    void signal(int sig) const {
        if (running()) kill(pid_, sig);
    }
    int stop(std::chrono::milliseconds deadline = std::chrono::seconds(6)) { // SIGTERM, then waits
        signal(SIGTERM);
        return wait(deadline);
    }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    std::string outPath_, errPath_;
    mutable int status_ = -1;
    mutable bool reaped_ = false;
};

// The real daemon with its arguments, its field page on a free port of 127.0.0.1.
inline std::vector<std::string> daemonArgv(std::vector<std::string> args) {
    args.insert(args.begin(), {VORN_DAEMON_PATH, "--web", "127.0.0.1:0"});
    return args;
}

} // namespace vt
