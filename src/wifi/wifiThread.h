#pragma once

#include "core/AppContext.h"

void wifiThread(AppContext* ctx);
