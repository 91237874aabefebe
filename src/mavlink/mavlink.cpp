#include "mavlink/mavlink.h"
