// Scenarios: one step per line ("heartbeat armed", "wait log \"text\" 30", ...), read from a
// file, standard input or the command line. The whole scenario is checked before it runs.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "sim.h"

struct Step {
    std::string where;                       // "file:line" for messages
    std::string verb;
    std::vector<std::string> words;          // positional words after the verb
    std::map<std::string, std::string> opts; // key=value words
};

// Exit codes of the simulator.
enum { EXIT_OK = 0, EXIT_USAGE = 1, EXIT_TIMEOUT = 2, EXIT_DAEMON = 3, EXIT_INTERRUPTED = 130 };

// Parses one line into a step (false for blank lines and comments); a syntax error fills *err.
bool parseStep(const std::string& line, const std::string& where, Step* step, std::string* err);

// Checks the verb, its words and its keys; fills *err when the step cannot run.
bool checkStep(const Step& step, std::string* err);

// Runs the steps in order; returns an exit code (EXIT_OK when all ran).
int runScenario(Sim* sim, const std::vector<Step>& steps);
