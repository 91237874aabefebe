#include "goldenFrames.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

std::vector<uint8_t> fromHex(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t k = 0; k + 1 < hex.size(); k += 2) out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(k, 2), nullptr, 16)));
    return out;
}

const std::string& GoldenFrame::text(const std::string& field) const {
    for (const auto& [name, value] : fields)
        if (name == field) return value;
    ADD_FAILURE() << label() << " has no field " << field;
    static const std::string none = "0";
    return none;
}

uint64_t GoldenFrame::u(const std::string& field) const { return std::strtoull(text(field).c_str(), nullptr, 10); }
int64_t GoldenFrame::i(const std::string& field) const { return std::strtoll(text(field).c_str(), nullptr, 10); }
float GoldenFrame::f(const std::string& field) const { return static_cast<float>(std::strtod(text(field).c_str(), nullptr)); }
std::vector<uint8_t> GoldenFrame::bytes(const std::string& field) const { return fromHex(text(field)); }

std::string GoldenFrame::label() const { return name + " seq=" + std::to_string(seq); }

std::vector<GoldenFrame> loadGoldenFrames() {
    std::ifstream in(VORN_TEST_DATA_DIR "/mavlink/golden.txt");
    EXPECT_TRUE(in.good()) << "golden frames missing";
    std::vector<GoldenFrame> frames;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        GoldenFrame g;
        words >> g.name;
        std::string word;
        bool inFields = false;  // after the frame come the message's own fields (one may be "seq")
        while (words >> word) {
            auto eq = word.find('=');
            std::string key = word.substr(0, eq), value = word.substr(eq + 1);
            if (inFields) g.fields.emplace_back(key, value);
            else if (key == "seq") g.seq = std::stoi(value);
            else if (key == "sysid") g.sysid = std::stoi(value);
            else if (key == "compid") g.compid = std::stoi(value);
            else if (key == "signed") g.isSigned = value == "1";
            else if (key == "frame") g.frame = fromHex(value), inFields = true;
        }
        frames.push_back(std::move(g));
    }
    return frames;
}
