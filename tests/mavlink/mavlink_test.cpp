// Our MAVLink 2 codec against node-mavlink's frames (tests/data/mavlink/golden.txt), the parser on bad input.
#include "mavlink/mavlink.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

namespace {
using Bytes = std::vector<uint8_t>;
Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (size_t k = 0; k + 1 < hex.size(); k += 2) out.push_back(std::stoul(hex.substr(k, 2), nullptr, 16));
    return out;
}
// One line of golden.txt: its header values, its frame and the message's fields in definition order.
struct Golden {
    std::string name; int seq = 0, sysid = 0, compid = 0, isSigned = 0; Bytes frame; std::vector<std::string> fields;
};
std::vector<Golden> golden() {
    std::vector<Golden> out;
    std::ifstream in(VORN_TEST_DATA_DIR "/mavlink/golden.txt");
    for (std::string line; std::getline(in, line);) {
        Golden g;
        char name[40], hex[600];  // a frame has 280 bytes at most
        int end = 0;
        if (sscanf(line.c_str(), "%39s seq=%d sysid=%d compid=%d signed=%d frame=%599s%n", name, &g.seq, &g.sysid,
                   &g.compid, &g.isSigned, hex, &end) < 6) continue;  // a comment line
        std::istringstream words(line.substr(end));
        for (std::string w; words >> w;) g.fields.push_back(w.substr(w.find('=') + 1));
        g.name = name, g.frame = fromHex(hex);
        out.push_back(g);
    }
    return out;
}
// A field as a pack function takes it: a number, or an array or text (hex of the whole field) ended by a zero.
template <class T> T as(const std::string& text) {
    static Bytes bytes;  // a message has one array or text at most
    if constexpr (std::is_pointer_v<T>) return reinterpret_cast<T>((bytes = fromHex(text + "00")).data());
    else if constexpr (std::is_floating_point_v<T>) return static_cast<T>(std::strtod(text.c_str(), nullptr));
    else return static_cast<T>(std::strtoull(text.c_str(), nullptr, 10));  // a negative value wraps back
}
// The pack functions take a message's fields in definition order, as golden.txt lists them.
using Pack = std::function<uint16_t(const Golden&, mavlink_channel_t*, mavlink_message_t*)>;
template <class... Args>
Pack packer(uint16_t (*pack)(uint8_t, uint8_t, mavlink_channel_t*, mavlink_message_t*, Args...)) {
    return [pack](const Golden& g, mavlink_channel_t* c, mavlink_message_t* m) {
        auto next = [&g, i = size_t{0}]() mutable { return g.fields.at(i++); };
        std::tuple<Args...> fields{as<Args>(next())...};  // a braced list is read in order
        return std::apply([&](Args... f) { return pack(g.sysid, g.compid, c, m, f...); }, fields);
    };
}
// The messages the daemon sends or reads; it only passes the others on or counts them.
#define PACKER(NAME, name) {#NAME, packer(mavlink_msg_##name##_pack_chan)}
const std::map<std::string, Pack> packers = {
    PACKER(HEARTBEAT, heartbeat), PACKER(SYSTEM_TIME, system_time), PACKER(GLOBAL_POSITION_INT, global_position_int),
    PACKER(RC_CHANNELS_RAW, rc_channels_raw), PACKER(COMMAND_LONG, command_long), PACKER(DATA96, data96),
    PACKER(DIGICAM_CONFIGURE, digicam_configure), PACKER(CAMERA_FEEDBACK, camera_feedback),
    PACKER(STATUSTEXT, statustext), PACKER(REMOTE_LOG_DATA_BLOCK, remote_log_data_block),
    PACKER(REMOTE_LOG_BLOCK_STATUS, remote_log_block_status),
};
Bytes wireOf(const mavlink_message_t& msg) {
    uint8_t buf[MAVLINK_MAX_PACKET_LEN];
    return Bytes(buf, buf + mavlink_msg_to_send_buffer(buf, &msg));
}
// Every frame the stream completes, parsed into one record (stale bytes at first) as the serial thread does.
std::vector<mavlink_message_t> parseAll(std::initializer_list<Bytes> stream) {
    mavlink_parser_t parser{};
    mavlink_message_t msg;
    memset(&msg, 0xa5, sizeof msg);
    std::vector<mavlink_message_t> out;
    for (const Bytes& part : stream)
        for (uint8_t c : part)
            if (mavlink_parse_char(&parser, c, &msg)) out.push_back(msg);
    return out;
}
// A GLOBAL_POSITION_INT frame, or one of its payload under another id and checksum seed.
Bytes position(uint8_t seq, uint16_t hdg, uint32_t msgid = MAVLINK_MSG_ID_GLOBAL_POSITION_INT, uint8_t extra = 104) {
    mavlink_global_position_int_t p = {1000, 473977418, 85455939, 488000, 100, 1, 2, 3, hdg};
    mavlink_channel_t chan{seq};
    mavlink_message_t msg;
    mavlink_finalize_message(&msg, 1, 1, &chan, msgid, &p, sizeof p, extra);
    return wireOf(msg);
}
}  // namespace

TEST(MavlinkGolden, EveryFrameParsesAndPacksAsNodeMavlinkWroteIt) {
    int packed = 0;
    for (const Golden& g : golden()) {
        SCOPED_TRACE(g.name + " seq=" + std::to_string(g.seq));
        auto got = parseAll({g.frame});
        ASSERT_EQ(got.size(), 1u);
        EXPECT_TRUE(std::all_of(got[0].payload + got[0].len, std::end(got[0].payload), [](uint8_t b) { return !b; }));
        EXPECT_EQ(wireOf(got[0]), g.frame);  // ground messages are bridged on unchanged, signature and all
        if (!packers.count(g.name) || g.isSigned) continue;  // the daemon signs nothing
        mavlink_channel_t chan{static_cast<uint8_t>(g.seq)};
        mavlink_message_t ours, fromPipe{};
        memset(&ours, 0xa5, sizeof ours);
        uint16_t prefix = packers.at(g.name)(g, &chan, &ours);
        EXPECT_EQ(prefix, MAVLINK_NUM_NON_PAYLOAD_BYTES + ours.len);
        EXPECT_EQ(chan.seq, static_cast<uint8_t>(g.seq + 1));
        EXPECT_EQ(ours.len, std::max<int>(g.frame[1], 1));  // node-mavlink cuts an all-zero payload to nothing
        memcpy(&fromPipe, &ours, prefix);                    // only the prefix crosses fcPipe
        EXPECT_TRUE(!g.frame[1] || wireOf(fromPipe) == g.frame) << testing::PrintToString(wireOf(fromPipe));
        ++packed;
    }
    EXPECT_GE(packed, 35) << "golden frames missing";
}

TEST(MavlinkParser, DamagedAndForeignInputHidesNoFrameBehindIt) {
    Bytes badCrc = position(8, 1), truncated(badCrc.begin(), badCrc.end() - 3);
    badCrc.back() ^= 0x80;
    std::vector<std::pair<std::string, Bytes>> leaders = {
        {"garbage", {0x00, 0xff, 0x55, 0x13}},
        {"MAVLink 1 frame holding start bytes", {0xfe, 9, 7, 1, 1, 0, 0xfd, 0x20, 0, 0, 0xfd, 0xfd, 3, 2, 3, 0x12}},
        {"lone start byte", {0xfd}}, {"false start claiming 255 bytes", {0xfd, 0xff, 0x00}},
        {"unsupported incompatibility flag", {0xfd, 0x05, 0x02}}, {"false signed start", {0xfd, 0x10, 0x01, 0x00}},
        {"truncated frame", truncated}, {"bad checksum", badCrc},
        {"undefined id", position(8, 1, 3, 39)}, {"id beyond the dialect's highest", position(8, 1, 42002, 0)},
    };
    for (const Golden& g : golden())  // any single bit flipped, but in a signature (stored, not verified)
        for (size_t bit = 0; bit < 8 * (g.frame.size() - (g.isSigned ? MAVLINK_SIGNATURE_BLOCK_LEN : 0)); ++bit) {
            leaders.push_back({g.name + " seq=" + std::to_string(g.seq) + " bit " + std::to_string(bit), g.frame});
            leaders.back().second[bit / 8] ^= static_cast<uint8_t>(1 << bit % 8);
        }
    for (const auto& [name, leader] : leaders) {
        auto got = parseAll({leader, position(9, 1234), position(10, 1), Bytes(MAVLINK_MAX_PACKET_LEN, 0x55)});
        ASSERT_EQ(got.size(), 2u) << name;
        EXPECT_EQ(mavlink_msg_global_position_int_get_hdg(&got[0]), 1234) << name;
        EXPECT_EQ(got[1].seq, 10) << name;
    }
    EXPECT_EQ(parseAll({position(8, 1, 42001, 239)}).size(), 1u) << "the dialect's highest id";
    // A reader of msgPipe gets only the prefix: what an earlier message left beyond it reads as zero.
    mavlink_message_t stale = parseAll({position(1, 9000)})[0], trimmed = parseAll({position(2, 0)})[0];
    memcpy(&stale, &trimmed, MAVLINK_NUM_NON_PAYLOAD_BYTES + trimmed.len);
    EXPECT_EQ(mavlink_msg_global_position_int_get_hdg(&stale), 0);
}
