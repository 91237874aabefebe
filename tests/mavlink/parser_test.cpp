// The byte parser on damaged, split, buried and foreign input, and the packer's edges.
#include "mavlink/mavlink.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <random>

#include "core/pipes.h"
#include "goldenFrames.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes wireOf(const mavlink_message_t& msg) {
    uint8_t buf[MAVLINK_MAX_PACKET_LEN];
    return Bytes(buf, buf + mavlink_msg_to_send_buffer(buf, &msg));
}

// Every frame the stream completes, in order.
std::vector<mavlink_message_t> parseAll(mavlink_parser_t* parser, const Bytes& stream) {
    std::vector<mavlink_message_t> out;
    mavlink_message_t msg;
    for (uint8_t c : stream)
        if (mavlink_parse_char(parser, c, &msg)) out.push_back(msg);
    return out;
}

std::vector<mavlink_message_t> parseAll(const Bytes& stream) {
    mavlink_parser_t parser{};
    return parseAll(&parser, stream);
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes positionFrame(uint8_t seq, uint16_t hdg, int16_t vz = 3) {
    mavlink_channel_t chan{seq};
    mavlink_message_t msg{};
    mavlink_msg_global_position_int_pack_chan(1, 1, &chan, &msg, 1000, 473977418, 85455939, 488000, 100, 1, 2, vz, hdg);
    return wireOf(msg);
}

// A MAVLink 1 frame (start byte 0xFE) whose payload holds MAVLink 2 start bytes.
Bytes mavlink1Frame() {
    return {0xfe, 9, 7, 1, 1, 0, 0xfd, 0x20, 0, 0, 0xfd, 0xfd, 3, 2, 3, 0x12, 0x34};
}

}  // namespace

TEST(MavlinkParser, FrameSplitAtEveryByteBoundaryParses) {
    // Two reads of the serial port, each fed byte by byte; frames on both sides of the split.
    for (const auto& g : loadGoldenFrames()) {
        Bytes before = positionFrame(1, 100), after = positionFrame(2, 200);
        for (size_t split = 1; split < g.frame.size(); ++split) {
            mavlink_parser_t parser{};
            auto first = parseAll(&parser, concat({before, Bytes(g.frame.begin(), g.frame.begin() + split)}));
            auto second = parseAll(&parser, concat({Bytes(g.frame.begin() + split, g.frame.end()), after}));
            ASSERT_EQ(first.size(), 1u) << g.label() << " split " << split;
            ASSERT_EQ(second.size(), 2u) << g.label() << " split " << split;
            EXPECT_EQ(second[0].seq, g.seq);
            EXPECT_EQ(wireOf(second[0]), g.frame);
            EXPECT_EQ(second[1].seq, 2);
        }
    }
}

TEST(MavlinkParser, FrameWithAnySingleFlippedBitIsRejected) {
    Bytes next = positionFrame(77, 4500);
    Bytes tail(MAVLINK_MAX_PACKET_LEN, 0);  // completes any candidate a flipped length made longer
    int cases = 0;
    for (const auto& g : loadGoldenFrames()) {
        // The signature is stored, not verified, so its bits are not checked.
        size_t checked = g.frame.size() - (g.isSigned ? MAVLINK_SIGNATURE_BLOCK_LEN : 0);
        for (size_t byte = 0; byte < checked; ++byte) {
            for (int bit = 0; bit < 8; ++bit) {
                Bytes bad = g.frame;
                bad[byte] ^= static_cast<uint8_t>(1 << bit);
                auto got = parseAll(concat({bad, next, tail}));
                ++cases;
                // Only the intact frame behind it comes out.
                ASSERT_EQ(got.size(), 1u) << g.label() << " byte " << byte << " bit " << bit;
                EXPECT_EQ(got[0].seq, 77);
                EXPECT_EQ(mavlink_msg_global_position_int_get_hdg(&got[0]), 4500);
            }
        }
    }
    EXPECT_GT(cases, 10000);
}

TEST(MavlinkParser, GarbageAndMavlink1FramesDoNotHideAFrame) {
    Bytes frame = positionFrame(9, 1234);
    const Bytes leaders[] = {
        {0x00, 0xff, 0x55, 0x13},
        mavlink1Frame(),
        {0xfd},                    // lone start byte right before the frame
        {0xfd, 0xff, 0x00},        // false start claiming 255 payload bytes, swallowing the frame
        {0xfd, 0x05, 0x02},        // unsupported incompatibility flag
        {0xfd, 0x10, 0x01, 0x00},  // false signed start
        concat({mavlink1Frame(), {0xfd, 0x30, 0x00, 0x00, 0x01}, mavlink1Frame()}),
    };
    Bytes traffic = positionFrame(10, 1), tail(MAVLINK_MAX_PACKET_LEN, 0x55);
    for (const auto& leader : leaders) {
        auto got = parseAll(concat({leader, frame, traffic, tail}));
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[0].seq, 9);
        EXPECT_EQ(mavlink_msg_global_position_int_get_hdg(&got[0]), 1234);
        EXPECT_EQ(got[1].seq, 10);
    }
}

TEST(MavlinkParser, TrimmedHeadingZeroReadsZeroNotStale) {
    Bytes full = positionFrame(1, 9000), trimmed = positionFrame(2, 0);
    ASSERT_EQ(trimmed[1], 25);  // hdg and the zero high byte of vz cut off the payload

    // The same record receives both frames, as the serial thread's per-port record does.
    mavlink_parser_t parser{};
    mavlink_message_t msg;
    for (uint8_t c : concat({full, trimmed})) mavlink_parse_char(&parser, c, &msg);
    EXPECT_EQ(msg.len, 25);
    EXPECT_EQ(mavlink_msg_global_position_int_get_hdg(&msg), 0);
    mavlink_global_position_int_t decoded;
    mavlink_msg_global_position_int_decode(&msg, &decoded);
    EXPECT_EQ(decoded.hdg, 0);
    EXPECT_EQ(decoded.vz, 3);

    // Across msgPipe only the prefix travels; a reader record still holding the earlier
    // message's heading must not show it.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    mavlink_message_t stale;
    for (uint8_t c : full) mavlink_parse_char(&parser, c, &stale);
    ASSERT_EQ(mavlink_msg_global_position_int_get_hdg(&stale), 9000);
    ASSERT_EQ(msgWrite(fds[1], &msg), 1);
    ASSERT_EQ(msgRead(fds[0], &stale), 1);
    EXPECT_EQ(mavlink_msg_global_position_int_get_hdg(&stale), 0);
    mavlink_msg_global_position_int_decode(&stale, &decoded);
    EXPECT_EQ(decoded.hdg, 0);
    close(fds[0]);
    close(fds[1]);
}

TEST(MavlinkParser, MessageIdsOutsideTheDialectAreDropped) {
    // Well-formed frames with correct checksums, but of ids the dialect does not define.
    mavlink_channel_t chan{};
    mavlink_message_t unused{}, extended{};
    uint8_t payload[28] = {1, 2, 3};
    mavlink_finalize_message(&unused, 1, 1, &chan, 3, payload, sizeof payload, 39);
    mavlink_finalize_message(&extended, 1, 1, &chan, 12916, payload, sizeof payload, 0);
    auto got = parseAll(concat({wireOf(unused), wireOf(extended), positionFrame(5, 1)}));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].msgid, MAVLINK_MSG_ID_GLOBAL_POSITION_INT);
}

TEST(MavlinkParser, SignedFramesAmongUnsignedOnesKeepTheirSignature) {
    Bytes stream;
    std::vector<GoldenFrame> signedFrames;
    for (const auto& g : loadGoldenFrames()) {
        if (!g.isSigned) continue;
        signedFrames.push_back(g);
        stream = concat({stream, g.frame, positionFrame(static_cast<uint8_t>(g.seq + 1), 7)});
    }
    ASSERT_FALSE(signedFrames.empty());
    auto got = parseAll(stream);
    ASSERT_EQ(got.size(), 2 * signedFrames.size());
    for (size_t k = 0; k < signedFrames.size(); ++k) {
        const auto& g = signedFrames[k];
        EXPECT_EQ(got[2 * k].incompat_flags, MAVLINK_IFLAG_SIGNED);
        EXPECT_EQ(0, memcmp(got[2 * k].signature, &g.frame[g.frame.size() - 13], 13)) << g.label();
        EXPECT_EQ(got[2 * k + 1].incompat_flags, 0);
        EXPECT_EQ(got[2 * k + 1].seq, static_cast<uint8_t>(g.seq + 1));
    }
}

TEST(MavlinkParser, FramesBuriedInRandomBytesAllComeOutInOrder) {
    std::mt19937 rng(20260601);
    auto byte = [&] { return static_cast<uint8_t>(rng() & 0xff); };
    auto golden = loadGoldenFrames();
    Bytes stream;
    std::vector<Bytes> sent;
    for (int k = 0; k < 3000; ++k) {
        // Garbage rich in start bytes, some of it shaped like frame headers.
        size_t n = rng() % 40;
        for (size_t j = 0; j < n; ++j) stream.push_back(rng() % 8 == 0 ? MAVLINK_STX : byte());
        if (rng() % 4 == 0) stream = concat({stream, mavlink1Frame()});
        if (rng() % 5 == 0) stream = concat({stream, {MAVLINK_STX, byte(), static_cast<uint8_t>(rng() % 2)}});
        const Bytes& frame = golden[rng() % golden.size()].frame;
        sent.push_back(frame);
        stream = concat({stream, frame});
    }
    stream.resize(stream.size() + MAVLINK_MAX_PACKET_LEN, 0);
    auto got = parseAll(stream);
    ASSERT_EQ(got.size(), sent.size());
    for (size_t k = 0; k < sent.size(); ++k) ASSERT_EQ(wireOf(got[k]), sent[k]) << "frame " << k;
}

TEST(MavlinkPacker, ChannelsNumberTheirOwnMessagesAndShortTextsStopAtTheirEnd) {
    mavlink_channel_t handler{}, camera{};
    mavlink_message_t msg;
    for (int k = 0; k < 300; ++k) {
        mavlink_msg_heartbeat_pack_chan(100, 100, &handler, &msg, 1, 0, 220, 0, 4);
        EXPECT_EQ(msg.seq, static_cast<uint8_t>(k));
    }
    mavlink_msg_command_long_pack_chan(100, 100, &camera, &msg, 1, 1, MAV_CMD_DO_SET_SERVO, 0, 9, 1900, 0, 0, 0, 0, 0);
    EXPECT_EQ(msg.seq, 0);
    EXPECT_EQ(camera.seq, 1);

    // Exactly as long as the text: packing must not read past the terminator.
    std::unique_ptr<char[]> text(new char[4]);
    memcpy(text.get(), "abc", 4);
    uint16_t prefix = mavlink_msg_statustext_pack_chan(100, 100, &handler, &msg, MAV_SEVERITY_INFO, text.get(), 0, 0);
    EXPECT_EQ(prefix, 12 + 4);
    char back[50];
    EXPECT_EQ(mavlink_msg_statustext_get_text(&msg, back), 50);
    EXPECT_STREQ(back, "abc");
}
