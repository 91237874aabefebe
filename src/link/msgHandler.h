#pragma once

#include "core/AppContext.h"

void msgHandlerThread(AppContext* ctx);
