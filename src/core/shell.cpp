#include "core/shell.h"

#include <sys/wait.h>

#include <cstdlib>

int runShell(const std::string& command) {
    return std::system(command.c_str());
}

bool runShellOk(const std::string& command, std::string* failure) {
    int status = runShell(command);
    if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    if (status == -1 || (WIFEXITED(status) && WEXITSTATUS(status) == 127))
        *failure = "could not be run";
    else if (WIFEXITED(status))
        *failure = "exit status " + std::to_string(WEXITSTATUS(status));
    else
        *failure = "killed by signal " + std::to_string(WTERMSIG(status));
    return false;
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
