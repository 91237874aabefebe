// Running external commands through the shell.
#pragma once

#include <string>

// Runs the command through /bin/sh and waits for it; returns the wait status as system() does.
int runShell(const std::string& command);

// Quotes a text for the shell so that it arrives as one literal word, whatever it holds.
std::string shellQuote(const std::string& text);
