// The golden MAVLink 2 frames written by node-mavlink (tests/data/mavlink/golden.txt).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct GoldenFrame {
    std::string name;  // message name, e.g. "GLOBAL_POSITION_INT"
    int seq = 0, sysid = 0, compid = 0;
    bool isSigned = false;
    std::vector<uint8_t> frame;
    std::vector<std::pair<std::string, std::string>> fields;  // in definition order

    const std::string& text(const std::string& field) const;  // fails the test when absent
    uint64_t u(const std::string& field) const;
    int64_t i(const std::string& field) const;
    float f(const std::string& field) const;
    std::vector<uint8_t> bytes(const std::string& field) const;  // hex field
    std::string label() const;  // for failure messages
};

std::vector<GoldenFrame> loadGoldenFrames();
std::vector<uint8_t> fromHex(const std::string& hex);
