// MAVLink 2 codec (record type only until the codec lands).
#pragma once

#include "mavlink/mavlink_types.h"
