#pragma once

#include "core/AppContext.h"

void cameraThread(AppContext* ctx);
