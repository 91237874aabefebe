// The daemon as a child of the simulator: started on the pty slave, its standard output and
// error read by the simulator, stopped with SIGTERM at the end.
#pragma once

#include <string>
#include <vector>

#include "sim.h"

// Starts argv (the first word is the program) in workDir (empty: ours) with extra "K=V"
// environment entries. False with a message when the program cannot be started.
bool startDaemon(Sim* sim, const std::vector<std::string>& argv, const std::string& workDir,
                 const std::vector<std::string>& env);

// True while the daemon runs.
bool daemonRunning(Sim* sim);

// SIGTERM, then waits up to `seconds`; returns its exit status, 128 + signal when a signal
// ended it, or -1 when it did not end (it is then killed). Says "fcsim: daemon exited with
// status N", with the time it took after the SIGTERM when it was still running.
int stopDaemon(Sim* sim, double seconds);
