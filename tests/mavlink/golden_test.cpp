// Our codec against frames written by an independent implementation (node-mavlink).
#include "mavlink/mavlink.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <type_traits>

#include "goldenFrames.h"

namespace {

template <class T>
void expectField(const GoldenFrame& g, const char* field, T actual) {
    if constexpr (std::is_floating_point_v<T>) {
        float want = g.f(field);
        uint32_t wantBits, actualBits;
        memcpy(&wantBits, &want, 4);
        memcpy(&actualBits, &actual, 4);
        EXPECT_EQ(wantBits, actualBits) << g.label() << " " << field << " " << actual;
    } else if constexpr (std::is_signed_v<T>) {
        EXPECT_EQ(g.i(field), static_cast<int64_t>(actual)) << g.label() << " " << field;
    } else {
        EXPECT_EQ(g.u(field), static_cast<uint64_t>(actual)) << g.label() << " " << field;
    }
}

void expectBytes(const GoldenFrame& g, const char* field, const void* actual, size_t n) {
    std::vector<uint8_t> want = g.bytes(field);
    ASSERT_EQ(want.size(), n) << g.label() << " " << field;
    EXPECT_EQ(0, memcmp(want.data(), actual, n)) << g.label() << " " << field;
}

// Each field through its accessor and through the decoded record.
#define FIELD(msgname, field)                                          \
    expectField(g, #field, mavlink_msg_##msgname##_get_##field(m));    \
    expectField(g, #field, d.field)
#define ARRAY(msgname, field)                                                            \
    {                                                                                    \
        decltype(d.field) copy;                                                          \
        EXPECT_EQ(mavlink_msg_##msgname##_get_##field(m, copy), sizeof copy) << #field; \
        expectBytes(g, #field, copy, sizeof copy);                                       \
        expectBytes(g, #field, d.field, sizeof d.field);                                 \
    }
#define DECODED(msgname)   \
    mavlink_##msgname##_t d; \
    memset(&d, 0x5a, sizeof d); \
    mavlink_msg_##msgname##_decode(m, &d)

using Pack = uint16_t (*)(const GoldenFrame&, mavlink_channel_t*, mavlink_message_t*);
using Check = void (*)(const GoldenFrame&, const mavlink_message_t*);

struct Codec {
    uint32_t msgid;
    uint8_t fullLen;  // payload length with every extension
    Pack pack;    // null for messages the daemon only validates
    Check check;
};

const std::map<std::string, Codec> codecs = {
    {"HEARTBEAT",
     {MAVLINK_MSG_ID_HEARTBEAT, MAVLINK_MSG_ID_HEARTBEAT_LEN,
      [](const GoldenFrame& g, mavlink_channel_t* c, mavlink_message_t* m) {
          return mavlink_msg_heartbeat_pack_chan(g.sysid, g.compid, c, m, g.u("type"), g.u("autopilot"),
                                                 g.u("base_mode"), g.u("custom_mode"), g.u("system_status"));
      },
      [](const GoldenFrame& g, const mavlink_message_t* m) {
          DECODED(heartbeat);
          FIELD(heartbeat, type);
          FIELD(heartbeat, autopilot);
          FIELD(heartbeat, base_mode);
          FIELD(heartbeat, custom_mode);
          FIELD(heartbeat, system_status);
          FIELD(heartbeat, mavlink_version);
      }}},
    {"SYSTEM_TIME",
     {MAVLINK_MSG_ID_SYSTEM_TIME, MAVLINK_MSG_ID_SYSTEM_TIME_LEN,
      [](const GoldenFrame& g, mavlink_channel_t* c, mavlink_message_t* m) {
          return mavlink_msg_system_time_pack_chan(g.sysid, g.compid, c, m, g.u("time_unix_usec"), g.u("time_boot_ms"));
      },
      [](const GoldenFrame& g, const mavlink_message_t* m) {
          DECODED(system_time);
          FIELD(system_time, time_unix_usec);
          FIELD(system_time, time_boot_ms);
      }}},
    {"GLOBAL_POSITION_INT",
     {MAVLINK_MSG_ID_GLOBAL_POSITION_INT, MAVLINK_MSG_ID_GLOBAL_POSITION_INT_LEN,
      [](const GoldenFrame& g, mavlink_channel_t* c, mavlink_message_t* m) {
          return mavlink_msg_global_position_int_pack_chan(g.sysid, g.compid, c, m, g.u("time_boot_ms"), g.i("lat"),
                                                           g.i("lon"), g.i("alt"), g.i("relative_alt"), g.i("vx"),
                                                           g.i("vy"), g.i("vz"), g.u("hdg"));
      },
      [](const GoldenFrame& g, const mavlink_message_t* m) {
          DECODED(global_position_int);
          FIELD(global_position_int, time_boot_ms);
          FIELD(global_position_int, lat);
          FIELD(global_position_int, lon);
          FIELD(global_position_int, alt);
          FIELD(global_position_int, relative_alt);
          FIELD(global_position_int, vx);
          FIELD(global_position_int, vy);
          FIELD(global_position_int, vz);
          FIELD(global_position_int, hdg);
      }}},
    {"RC_CHANNELS_RAW",
     {MAVLINK_MSG_ID_RC_CHANNELS_RAW, MAVLINK_MSG_ID_RC_CHANNELS_RAW_LEN,
      [](const GoldenFrame& g, mavlink_channel_t* c, mavlink_message_t* m) {
          return mavlink_msg_rc_channels_raw_pack_chan(
              g.sysid, g.compid, c, m, g.u("time_boot_ms"), g.u("port"), g.u("chan1_raw"), g.u("chan2_raw"),
              g.u("chan3_raw"), g.u("chan4_raw"), g.u("chan5_raw"), g.u("chan6_raw"), g.u("chan7_raw"),
              g.u("chan8_raw"), g.u("rssi"));
      },
      [](const GoldenFrame& g, const mavlink_message_t* m) {
          DECODED(rc_channels_raw);
          FIELD(rc_channels_raw, time_boot_ms);
          FIELD(rc_channels_raw, port);
          FIELD(rc_channels_raw, chan1_raw);
          FIELD(rc_channels_raw, chan2_raw);
          FIELD(rc_channels_raw, chan3_raw);
          FIELD(rc_channels_raw, chan4_raw);
          FIELD(rc_channels_raw, chan5_raw);
          FIELD(rc_channels_raw, chan6_raw);
          FIELD(rc_channels_raw, chan7_raw);
          FIELD(rc_channels_raw, chan8_raw);
          FIELD(rc_channels_raw, rssi);
      }}},
    {"COMMAND_LONG",
     {MAVLINK_MSG_ID_COMMAND_LONG, MAVLINK_MSG_ID_COMMAND_LONG_LEN,
      [](const GoldenFrame& g, mavlink_channel_t* c, mavlink_message_t* m) {
          return mavlink_msg_command_long_pack_chan(g.sysid, g.compid, c, m, g.u("target_system"),
                                                    g.u("target_component"), g.u("command"), g.u("confirmation"),
                                                    g.f("param1"), g.f("param2"), g.f("param3"), g.f("param4"),
                                                    g.f("param5"), g.f("param6"), g.f("param7"));
      },
      [](const GoldenFrame& g, const mavlink_message_t* m) {
          DECODED(command_long);
          FIELD(command_long, target_system);
          FIELD(command_long, target_component);
          FIELD(command_long, command);
          FIELD(command_long, confirmation);
          FIELD(command_long, param1);
          FIELD(command_long, param2);
          FIELD(command_long, param3);
          FIELD(command_long, param4);
          FIELD(command_long, param5);
          FIELD(command_long, param6);
          FIELD(command_long, param7);
      }}},
    {"DIGICAM_CONFIGURE",
     {MAVLINK_MSG_ID_DIGICAM_CONFIGURE, MAVLINK_MSG_ID_DIGICAM_CONFIGURE_LEN,
      [](const GoldenFrame& g, mavlink_channel_t* c, mavlink_message_t* m) {
          return mavlink_msg_digicam_configure_pack_chan(
              g.sysid, g.compid, c, m, g.u("target_system"), g.u("target_component"), g.u("mode"),
              g.u("shutter_speed"), g.u("aperture"), g.u("iso"), g.u("exposure_type"), g.u("command_id"),
              g.u("engine_cut_off"), g.u("extra_param"), g.f("extra_value"));
      },
      [](const GoldenFrame& g, const mavlink_message_t* m) {
          DECODED(digicam_configure);
          FIELD(digicam_configure, target_system);
          FIELD(digicam_configure, target_component);
          FIELD(digicam_configure, mode);
          FIELD(digicam_configure, shutter_speed);
          FIELD(digicam_configure, aperture);
          FIELD(digicam_configure, iso);
          FIELD(digicam_configure, exposure_type);
          FIELD(digicam_configure, command_id);
          FIELD(digicam_configure, engine_cut_off);
          FIELD(digicam_configure, extra_param);
          FIELD(digicam_configure, extra_value);
      }}},
    {"DATA96",
     {MAVLINK_MSG_ID_DATA96, MAVLINK_MSG_ID_DATA96_LEN,
      [](const GoldenFrame& g, mavlink_channel_t* c, mavlink_message_t* m) {
          return mavlink_msg_data96_pack_chan(g.sysid, g.compid, c, m, g.u("type"), g.u("len"), g.bytes("data").data());
      },
      [](const GoldenFrame& g, const mavlink_message_t* m) {
          DECODED(data96);
          FIELD(data96, type);
          FIELD(data96, len);
          ARRAY(data96, data);
      }}},
    {"CAMERA_FEEDBACK",
     {MAVLINK_MSG_ID_CAMERA_FEEDBACK, MAVLINK_MSG_ID_CAMERA_FEEDBACK_LEN,
      [](const GoldenFrame& g, mavlink_channel_t* c, mavlink_message_t* m) {
          return mavlink_msg_camera_feedback_pack_chan(
              g.sysid, g.compid, c, m, g.u("time_usec"), g.u("target_system"), g.u("cam_idx"), g.u("img_idx"),
              g.i("lat"), g.i("lng"), g.f("alt_msl"), g.f("alt_rel"), g.f("roll"), g.f("pitch"), g.f("yaw"),
              g.f("foc_len"), g.u("flags"), g.u("completed_captures"));
      },
      [](const GoldenFrame& g, const mavlink_message_t* m) {
          DECODED(camera_feedback);
          FIELD(camera_feedback, time_usec);
          FIELD(camera_feedback, target_system);
          FIELD(camera_feedback, cam_idx);
          FIELD(camera_feedback, img_idx);
          FIELD(camera_feedback, lat);
          FIELD(camera_feedback, lng);
          FIELD(camera_feedback, alt_msl);
          FIELD(camera_feedback, alt_rel);
          FIELD(camera_feedback, roll);
          FIELD(camera_feedback, pitch);
          FIELD(camera_feedback, yaw);
          FIELD(camera_feedback, foc_len);
          FIELD(camera_feedback, flags);
          FIELD(camera_feedback, completed_captures);
      }}},
    {"REMOTE_LOG_DATA_BLOCK",
     {MAVLINK_MSG_ID_REMOTE_LOG_DATA_BLOCK, MAVLINK_MSG_ID_REMOTE_LOG_DATA_BLOCK_LEN,
      [](const GoldenFrame& g, mavlink_channel_t* c, mavlink_message_t* m) {
          return mavlink_msg_remote_log_data_block_pack_chan(g.sysid, g.compid, c, m, g.u("target_system"),
                                                             g.u("target_component"), g.u("seqno"),
                                                             g.bytes("data").data());
      },
      [](const GoldenFrame& g, const mavlink_message_t* m) {
          DECODED(remote_log_data_block);
          FIELD(remote_log_data_block, target_system);
          FIELD(remote_log_data_block, target_component);
          FIELD(remote_log_data_block, seqno);
          ARRAY(remote_log_data_block, data);
      }}},
    {"REMOTE_LOG_BLOCK_STATUS",
     {MAVLINK_MSG_ID_REMOTE_LOG_BLOCK_STATUS, MAVLINK_MSG_ID_REMOTE_LOG_BLOCK_STATUS_LEN,
      [](const GoldenFrame& g, mavlink_channel_t* c, mavlink_message_t* m) {
          return mavlink_msg_remote_log_block_status_pack_chan(g.sysid, g.compid, c, m, g.u("target_system"),
                                                               g.u("target_component"), g.u("seqno"), g.u("status"));
      },
      [](const GoldenFrame& g, const mavlink_message_t* m) {
          DECODED(remote_log_block_status);
          FIELD(remote_log_block_status, target_system);
          FIELD(remote_log_block_status, target_component);
          FIELD(remote_log_block_status, seqno);
          FIELD(remote_log_block_status, status);
      }}},
    {"STATUSTEXT",
     {MAVLINK_MSG_ID_STATUSTEXT, MAVLINK_MSG_ID_STATUSTEXT_LEN,
      [](const GoldenFrame& g, mavlink_channel_t* c, mavlink_message_t* m) {
          std::vector<uint8_t> text = g.bytes("text");
          text.push_back(0);  // a full 50-character text has no terminator of its own
          return mavlink_msg_statustext_pack_chan(g.sysid, g.compid, c, m, g.u("severity"),
                                                  reinterpret_cast<const char*>(text.data()), g.u("id"),
                                                  g.u("chunk_seq"));
      },
      [](const GoldenFrame& g, const mavlink_message_t* m) {
          DECODED(statustext);
          FIELD(statustext, severity);
          ARRAY(statustext, text);
          FIELD(statustext, id);
          FIELD(statustext, chunk_seq);
      }}},
    {"SYS_STATUS", {MAVLINK_MSG_ID_SYS_STATUS, 0, nullptr, nullptr}},
    {"SERVO_OUTPUT_RAW", {MAVLINK_MSG_ID_SERVO_OUTPUT_RAW, 0, nullptr, nullptr}},
    {"CAMERA_TRIGGER", {MAVLINK_MSG_ID_CAMERA_TRIGGER, 0, nullptr, nullptr}},
    {"DIGICAM_CONTROL", {MAVLINK_MSG_ID_DIGICAM_CONTROL, 0, nullptr, nullptr}},
    // Telemetry the daemon does not read: accepted all the same, so that it is counted.
    {"ATTITUDE", {30, 0, nullptr, nullptr}},
    {"GPS_RAW_INT", {24, 0, nullptr, nullptr}},
    {"AOA_SSA", {11020, 0, nullptr, nullptr}},
};

const Codec& codecOf(const GoldenFrame& g) {
    auto it = codecs.find(g.name);
    if (it == codecs.end()) {
        ADD_FAILURE() << "no codec for " << g.name;
        static const Codec none{0, 0, nullptr, nullptr};
        return none;
    }
    return it->second;
}

// Feeds a whole frame; the parser must complete on its last byte and not before.
bool parseWhole(const std::vector<uint8_t>& frame, mavlink_message_t* msg) {
    mavlink_parser_t parser{};
    for (size_t k = 0; k + 1 < frame.size(); ++k)
        if (mavlink_parse_char(&parser, frame[k], msg)) return false;
    return mavlink_parse_char(&parser, frame.back(), msg) == 1;
}

}  // namespace

TEST(MavlinkGolden, EveryMessageHasFramesOfEveryKind) {
    auto frames = loadGoldenFrames();
    std::map<std::string, int> count;
    int signedFrames = 0, trimmed = 0;
    for (const auto& g : frames) {
        ++count[g.name];
        signedFrames += g.isSigned;
        trimmed += g.frame[1] < codecOf(g).fullLen;
    }
    for (const auto& [name, codec] : codecs) EXPECT_GE(count[name], codec.pack ? 3 : 1) << name;
    EXPECT_GE(signedFrames, 3);
    EXPECT_GE(trimmed, 10);
}

TEST(MavlinkGolden, PackerReproducesEveryFrame) {
    int packed = 0;
    for (const auto& g : loadGoldenFrames()) {
        const Codec& codec = codecOf(g);
        if (!codec.pack || g.isSigned) continue;
        mavlink_channel_t chan{static_cast<uint8_t>(g.seq)};
        mavlink_message_t msg;
        memset(&msg, 0xa5, sizeof msg);  // leftovers of an earlier message must not leak out
        uint16_t prefix = codec.pack(g, &chan, &msg);
        ++packed;
        EXPECT_EQ(prefix, MAVLINK_NUM_NON_PAYLOAD_BYTES + msg.len) << g.label();
        EXPECT_EQ(chan.seq, static_cast<uint8_t>(g.seq + 1)) << g.label();

        // What crosses fcPipe is only the record prefix; serialise from that alone.
        mavlink_message_t fromPipe{};
        memcpy(&fromPipe, &msg, prefix);
        uint8_t wire[MAVLINK_MAX_PACKET_LEN];
        std::vector<uint8_t> ours(wire, wire + mavlink_msg_to_send_buffer(wire, &fromPipe));

        if (g.frame[1] == 0) {
            // node-mavlink cuts an all-zero payload to nothing; the first payload byte is
            // never cut, so ours carries one zero byte and must still read back the same.
            EXPECT_EQ(msg.len, 1) << g.label();
            EXPECT_EQ(ours.size(), g.frame.size() + 1) << g.label();
            mavlink_message_t back;
            ASSERT_TRUE(parseWhole(ours, &back)) << g.label();
            codec.check(g, &back);
            continue;
        }
        EXPECT_EQ(ours, g.frame) << g.label();
    }
    EXPECT_GE(packed, 30);
}

TEST(MavlinkGolden, ParserDecodesEveryFrame) {
    for (const auto& g : loadGoldenFrames()) {
        const Codec& codec = codecOf(g);
        mavlink_message_t msg;
        memset(&msg, 0xa5, sizeof msg);  // stale bytes where a trimmed payload ends
        ASSERT_TRUE(parseWhole(g.frame, &msg)) << g.label();
        uint8_t len = g.frame[1];
        EXPECT_EQ(msg.magic, MAVLINK_STX);
        EXPECT_EQ(msg.len, len);
        EXPECT_EQ(msg.incompat_flags, g.isSigned ? MAVLINK_IFLAG_SIGNED : 0);
        EXPECT_EQ(msg.compat_flags, 0);
        EXPECT_EQ(msg.seq, g.seq) << g.label();
        EXPECT_EQ(msg.sysid, g.sysid);
        EXPECT_EQ(msg.compid, g.compid);
        EXPECT_EQ(msg.msgid, codec.msgid) << g.label();
        const uint8_t* ck = &g.frame[10 + len];
        EXPECT_EQ(msg.checksum, ck[0] | (ck[1] << 8)) << g.label();
        EXPECT_EQ(msg.ck[0], ck[0]);
        EXPECT_EQ(msg.ck[1], ck[1]);
        for (size_t k = len; k < sizeof msg.payload; ++k) ASSERT_EQ(msg.payload[k], 0) << g.label() << " byte " << k;
        if (g.isSigned) {
            EXPECT_EQ(0, memcmp(msg.signature, &g.frame[12 + len], MAVLINK_SIGNATURE_BLOCK_LEN)) << g.label();
        }
        if (codec.check) codec.check(g, &msg);

        // The parsed record goes out again unchanged (the bridge of ground messages relies on it).
        uint8_t wire[MAVLINK_MAX_PACKET_LEN];
        EXPECT_EQ(std::vector<uint8_t>(wire, wire + mavlink_msg_to_send_buffer(wire, &msg)), g.frame) << g.label();
    }
}
