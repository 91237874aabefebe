#include "core/geoData.h"

void copyGeoData(CameraContext* cam, GeoData* out) {
    std::lock_guard<std::mutex> guard(cam->lock);
    *out = cam->geo;
}
