// Helpers shared by the test suites: temporary directories, waiting on a condition with a
// deadline, small file helpers, stub commands on PATH and the real daemon as a child process.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace vt {

// A fresh directory under /tmp, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

private:
    std::string path_;
};

// Polls the condition every few milliseconds until it holds or the deadline passes.
bool waitUntil(const std::function<bool()>& cond,
               std::chrono::milliseconds deadline = std::chrono::seconds(10));

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
bool fileExists(const std::string& path);
void makeDirs(const std::string& path);
size_t countOf(const std::string& text, const std::string& needle); // how often needle occurs

// A directory of stub commands placed first on PATH for the life of the object. Each stub
// appends its command line to <dir>/calls.log and then runs the given body.
class StubPath {
public:
    StubPath();
    ~StubPath();
    void add(const std::string& name, const std::string& body = "");
    std::vector<std::string> calls() const; // one entry per call: "name arg1 arg2 ..."
    const std::string& dir() const { return dir_.path(); }

private:
    TempDir dir_;
    std::string oldPath_;
};

// Standard output of the whole process (where the daemon's modules log) goes to a file while
// the object lives; a failing test shows the caught text again on standard error.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;
    std::string release(); // gives standard output back early; returns the caught text
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
            const std::map<std::string, std::string>& env = {}, const std::function<void()>& inChild = {});
    ~Process(); // a process still running is killed
    std::string output() const { return readFile(outPath_); } // standard output so far
    std::string errors() const { return readFile(errPath_); } // standard error so far
    bool waitForOutput(const std::string& text, std::chrono::milliseconds deadline = std::chrono::seconds(10)) const {
        return waitUntil([&] { return output().find(text) != std::string::npos; }, deadline);
    }
    bool running() const;
    // The exit status once it ended within the deadline (128 + signal when killed), else -1.
    int wait(std::chrono::milliseconds deadline);
    void signal(int sig) const;
    pid_t pid() const { return pid_; }
    // Sends SIGTERM and waits.
    int stop(std::chrono::milliseconds deadline = std::chrono::seconds(6)) {
        signal(SIGTERM);
        return wait(deadline);
    }

private:
    pid_t pid_ = -1;
    std::string outPath_, errPath_;
    mutable int status_ = -1;
    mutable bool reaped_ = false;
};

// The real daemon with its arguments.
inline std::vector<std::string> daemonArgv(std::vector<std::string> args) {
    args.insert(args.begin(), VORN_DAEMON_PATH);
    return args;
}

} // namespace vt
