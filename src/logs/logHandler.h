#pragma once

#include "core/AppContext.h"

void logHandlerThread(AppContext* ctx);
