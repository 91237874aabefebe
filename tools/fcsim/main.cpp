// vorn-fcsim: plays a flight controller and a ground station to the daemon over pseudo-
// terminals, and prints what the daemon sends back. See README.md beside this file.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <thread>

#include "daemonProc.h"
#include "scenario.h"
#include "sim.h"

namespace {

Sim* g_sim = nullptr;

void onSignal(int) {
    if (g_sim) g_sim->interrupted = true;
}

struct Options {
    std::vector<std::string> stepLines; // -e
    std::string scenario;               // file, or "-" for standard input
    std::string fcLink, modemLink, workDir, daemonLog, watch;
    std::vector<std::string> env;
    std::vector<std::string> daemon;    // after --
};

void usage() {
    fprintf(stderr,
            "usage: vorn-fcsim [options] [SCENARIO|-] [-- DAEMON [ARGS...]]\n"
            "  -e STEP          a scenario step (repeatable; run after the scenario file)\n"
            "  --modem          also offer a telemetry modem line\n"
            "  --link PATH      symlink to the flight-controller line (needed by \"hangup\")\n"
            "  --modem-link PATH  symlink to the modem line\n"
            "  --sysid N        system id of the flight controller (default 1)\n"
            "  --workdir DIR    working directory of the daemon\n"
            "  --env K=V        extra environment of the daemon (repeatable)\n"
            "  --daemon-log FILE  copy of the daemon's output\n"
            "  --watch FILE     output file of a daemon started by hand (for \"wait log\")\n"
            "  --quiet          do not echo the daemon's output lines\n"
            "  --verbose        also print our own messages bridged back by the daemon\n"
            "In DAEMON ARGS, {fc} and {modem} stand for the two lines.\n");
}

bool parseOptions(int argc, char** argv, Options* o, Sim* sim) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        if (a == "--") {
            for (++i; i < argc; ++i) o->daemon.push_back(argv[i]);
        } else if (a == "--modem") {
            sim->useModem = true;
        } else if (a == "--quiet") {
            sim->printLog = false;
        } else if (a == "--verbose") {
            sim->verbose = true;
        } else if (a == "-e" || a == "--link" || a == "--modem-link" || a == "--sysid" || a == "--workdir" ||
                   a == "--env" || a == "--daemon-log" || a == "--watch") {
            if (!(v = value())) return false;
            if (a == "-e") o->stepLines.push_back(v);
            else if (a == "--link") o->fcLink = v;
            else if (a == "--modem-link") o->modemLink = v;
            else if (a == "--sysid") sim->sysId = atoi(v);
            else if (a == "--workdir") o->workDir = v;
            else if (a == "--env") o->env.push_back(v);
            else if (a == "--daemon-log") o->daemonLog = v;
            else o->watch = v;
        } else if (a.size() > 1 && a[0] == '-' && a != "-") {
            return false;
        } else if (o->scenario.empty()) {
            o->scenario = a;
        } else {
            return false;
        }
    }
    return sim->sysId > 0 && sim->sysId < 255;
}

bool readSteps(const Options& o, std::vector<Step>* steps) {
    std::vector<std::pair<std::string, std::string>> lines; // where, text
    if (!o.scenario.empty()) {
        std::ifstream file;
        std::istream* in = &std::cin;
        if (o.scenario != "-") {
            file.open(o.scenario);
            if (!file) {
                fprintf(stderr, "fcsim: cannot read %s\n", o.scenario.c_str());
                return false;
            }
            in = &file;
        }
        std::string text;
        for (int n = 1; std::getline(*in, text); ++n) lines.push_back({o.scenario + ":" + std::to_string(n), text});
    }
    for (size_t i = 0; i < o.stepLines.size(); ++i) lines.push_back({"-e " + std::to_string(i + 1), o.stepLines[i]});
    bool ok = true;
    for (const auto& [where, text] : lines) {
        Step step;
        std::string err;
        if (parseStep(text, where, &step, &err) && checkStep(step, &err)) steps->push_back(step);
        if (!err.empty()) {
            fprintf(stderr, "fcsim: %s\n", err.c_str());
            ok = false;
        }
    }
    return ok;
}

std::vector<std::string> daemonArgv(const Options& o, const Sim& sim) {
    std::string fc = o.fcLink.empty() ? sim.fc.slavePath : o.fcLink;
    std::string modem = o.modemLink.empty() ? sim.modem.slavePath : o.modemLink;
    std::vector<std::string> argv;
    for (std::string a : o.daemon) {
        if (a == "{fc}") a = fc;
        else if (a == "{modem}") a = modem;
        argv.push_back(a);
    }
    return argv;
}

// With no steps the simulator just keeps flying until it is interrupted.
int idle(Sim* sim) {
    while (!sim->interrupted && !sim->daemonEnded) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return sim->daemonEnded ? EXIT_DAEMON : EXIT_OK;
}

int finish(Sim* sim, int code) {
    if (sim->daemonPid >= 0) {
        int status = stopDaemon(sim, 10.0);
        if (status != 0 && code == EXIT_OK) code = EXIT_DAEMON;
    }
    // Let the last output lines of the daemon through before closing.
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (sim->daemonOut >= 0 && !sim->daemonEnded && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    simShutdown(sim);
    return code;
}

} // namespace

int main(int argc, char** argv) {
    static Sim sim;
    Options o;
    if (!parseOptions(argc, argv, &o, &sim)) {
        usage();
        return EXIT_USAGE;
    }
    std::vector<Step> steps;
    if (!readSteps(o, &steps)) return EXIT_USAGE;
    g_sim = &sim;
    signal(SIGINT, onSignal);
    signal(SIGTERM, onSignal);
    signal(SIGPIPE, SIG_IGN);
    if (!simOpen(&sim, o.fcLink, o.modemLink)) return EXIT_USAGE;
    say("fcsim: flight controller port %s", sim.fc.slavePath.c_str());
    if (sim.useModem) say("fcsim: modem port %s", sim.modem.slavePath.c_str());
    if (!o.daemonLog.empty() && (sim.rawLogFd = open(o.daemonLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)) < 0) {
        fprintf(stderr, "fcsim: cannot write %s: %s\n", o.daemonLog.c_str(), strerror(errno));
        return EXIT_USAGE;
    }
    if (!o.watch.empty() && (sim.watchFd = open(o.watch.c_str(), O_RDONLY | O_CLOEXEC)) < 0) {
        fprintf(stderr, "fcsim: cannot read %s: %s\n", o.watch.c_str(), strerror(errno));
        return EXIT_USAGE;
    }
    if (!o.daemon.empty() && !startDaemon(&sim, daemonArgv(o, sim), o.workDir, o.env)) return EXIT_DAEMON;
    simStart(&sim);
    return finish(&sim, steps.empty() ? idle(&sim) : runScenario(&sim, steps));
}
