#pragma once

#include "core/AppContext.h"

void serialIOThread(AppContext* ctx);
