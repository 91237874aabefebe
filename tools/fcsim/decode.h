// One received MAVLink message as the simulator prints and matches it: a name and
// key=value fields, e.g. "COMMAND_LONG cmd=183 p1=7 p2=2000 ...".
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "mavlink/mavlink.h"

struct RxRecord {
    std::string name;                                        // "COMMAND_LONG", or "MSG" for others
    std::vector<std::pair<std::string, std::string>> fields; // in print order
};

RxRecord decodeMessage(const mavlink_message_t* msg);

// "NAME k=v k=v ..."
std::string formatRecord(const RxRecord& rec);

// The value of a field, or nullptr.
const std::string* fieldOf(const RxRecord& rec, const std::string& key);
