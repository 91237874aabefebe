#include "archive/geotagDb.h"
