// Running external commands through the shell.
#pragma once

#include <string>

// Runs the command through /bin/sh and waits for it; returns the wait status as system() does.
int runShell(const std::string& command);

// Runs the command through /bin/sh and waits for it; true when it exited with status 0. Otherwise
// failure receives how it ended ("exit status 1", "killed by signal 9", "could not be run").
bool runShellOk(const std::string& command, std::string* failure);

// Quotes a text for the shell so that it arrives as one literal word, whatever it holds.
std::string shellQuote(const std::string& text);
