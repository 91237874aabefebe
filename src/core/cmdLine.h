#pragma once

#include "core/AppContext.h"

// Applies the command line to the context. Returns 1 when "--version" was given (the caller
// prints the version and exits), else 0.
int parseCommandLine(AppContext* ctx, int argc, char** argv);

#define VORN_VERSION "0.38"
