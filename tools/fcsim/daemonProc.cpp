#include "daemonProc.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

int g_status = -1;

int statusOf(int raw) {
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
    return -1;
}

[[noreturn]] void execChild(const std::vector<std::string>& argv, const std::string& workDir,
                            const std::vector<std::string>& env, int out) {
    // A simulator that is killed must not leave its daemon behind: an orphan keeps reopening
    // its line's path and would read the traffic of whoever gets that pty number next.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    dup2(out, STDOUT_FILENO);
    dup2(out, STDERR_FILENO);
    if (!workDir.empty() && chdir(workDir.c_str()) != 0) {
        fprintf(stderr, "fcsim: cannot enter %s: %s\n", workDir.c_str(), strerror(errno));
        _exit(127);
    }
    for (const auto& kv : env) putenv(const_cast<char*>(kv.c_str()));
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    signal(SIGPIPE, SIG_DFL);
    execvp(args[0], args.data());
    fprintf(stderr, "fcsim: cannot start %s: %s\n", args[0], strerror(errno));
    _exit(127);
}

} // namespace

bool startDaemon(Sim* sim, const std::vector<std::string>& argv, const std::string& workDir,
                 const std::vector<std::string>& env) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        fprintf(stderr, "fcsim: pipe failed: %s\n", strerror(errno));
        return false;
    }
    pid_t pid = fork();
    if (pid < 0) {
        fprintf(stderr, "fcsim: fork failed: %s\n", strerror(errno));
        return false;
    }
    if (pid == 0) execChild(argv, workDir, env, fds[1]);
    close(fds[1]);
    sim->daemonPid = pid;
    sim->daemonOut = fds[0];
    say("fcsim: daemon started, pid %d", static_cast<int>(pid));
    return true;
}

bool daemonRunning(Sim* sim) {
    if (sim->daemonPid < 0) return false;
    int raw;
    pid_t r = waitpid(sim->daemonPid, &raw, WNOHANG);
    if (r == 0) return true;
    if (r == sim->daemonPid) g_status = statusOf(raw);
    sim->daemonPid = -1;
    return false;
}

int stopDaemon(Sim* sim, double seconds) {
    if (!daemonRunning(sim)) {
        say("fcsim: daemon exited with status %d", g_status);
        return g_status;
    }
    auto sent = std::chrono::steady_clock::now();
    auto deadline = sent + std::chrono::duration<double>(seconds);
    kill(sim->daemonPid, SIGTERM);
    while (daemonRunning(sim)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(sim->daemonPid, SIGKILL);
            waitpid(sim->daemonPid, nullptr, 0);
            sim->daemonPid = -1;
            say("fcsim: daemon exited with status -1");
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sent);
    say("fcsim: daemon exited with status %d, %lld ms after SIGTERM", g_status, static_cast<long long>(took.count()));
    return g_status;
}
