#include "core/shell.h"

#include <cstdlib>

int runShell(const std::string& command) {
    return std::system(command.c_str());
}

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += "'";
    return quoted;
}
