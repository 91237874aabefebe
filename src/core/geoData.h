#pragma once

#include "core/AppContext.h"

// Copies the whole current GeoData under the context's lock.
void copyGeoData(CameraContext* cam, GeoData* out);
