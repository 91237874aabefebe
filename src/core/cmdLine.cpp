#include "core/cmdLine.h"

#include <cstdlib>
#include <cstring>

namespace {

bool isOption(const char* arg) {
    return std::strncmp(arg, "--", 2) == 0;
}

// An empty argument holds its place and keeps the default (the service passes every conffile
// line as one argument, empty or not).
void setPositional(AppContext* ctx, int index, char* arg) {
    if (*arg == '\0') return;
    switch (index) {
    case 1: ctx->fcPort = arg; break;
    case 2: ctx->fcBaud = std::atoi(arg); break;
    case 3: ctx->modemPort = arg; break;
    case 4: ctx->modemBaud = std::atoi(arg); break;
    default: break; // fifth and later positional arguments are ignored
    }
}

} // namespace

int parseCommandLine(AppContext* ctx, int argc, char** argv) {
    int positional = 1;
    for (int i = 1; i < argc; ++i) {
        char* arg = argv[i];
        if (std::strcmp(arg, "--modem") == 0) {
            ctx->useModem = 1;
        } else if (std::strcmp(arg, "--wifiCF") == 0) {
            ctx->wifiMode = 2;
        } else if (std::strcmp(arg, "--version") == 0) {
            return 1;
        } else if (std::strcmp(arg, "--web") == 0) {
            // ADDR:PORT or "off"; an empty value (a conffile line left empty) keeps the default.
            if (i + 1 < argc && *argv[++i] != '\0') ctx->webAddress = argv[i];
        } else if (std::strcmp(arg, "--trigger") == 0) {
            // The next argument is the channel, whatever it looks like.
            if (i + 1 < argc) ctx->camera.triggerChannel = std::atoi(argv[++i]);
        } else if (!isOption(arg)) {
            setPositional(ctx, positional++, arg);
        }
    }
    return 0;
}
