#include "core/pipes.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

#include "core/AppContext.h"

namespace {

struct Pipe {
    int fd[2];
    Pipe() { EXPECT_EQ(pipe(fd), 0); }
    ~Pipe() {
        for (int f : fd)
            if (f >= 0) close(f);
    }
    void closeWrite() {
        close(fd[1]);
        fd[1] = -1;
    }
};

} // namespace

TEST(Pipes, ZeroLengthAndFullRecordFrames) {
    Pipe p;
    uint8_t big[291];
    for (size_t i = 0; i < sizeof big; ++i) big[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(pipeWrite(p.fd[1], 0, big), 1);
    ASSERT_EQ(pipeWrite(p.fd[1], 291, big), 1);

    uint8_t buf[291] = {};
    EXPECT_EQ(pipeRead(p.fd[0], buf, sizeof buf), 1);
    EXPECT_EQ(pipeRead(p.fd[0], buf, sizeof buf), 1);
    EXPECT_EQ(std::memcmp(buf, big, sizeof big), 0);
}

TEST(Pipes, FrameHeaderIsBigEndianLength) {
    Pipe p;
    uint8_t payload[300] = {};
    ASSERT_EQ(pipeWrite(p.fd[1], 300, payload), 1);
    uint8_t header[2];
    ASSERT_EQ(read(p.fd[0], header, 2), 2);
    EXPECT_EQ(header[0], 1);
    EXPECT_EQ(header[1], 44);
}

TEST(Pipes, ClosedWriteEndFailsTheRead) {
    Pipe p;
    p.closeWrite();
    uint8_t buf[8];
    EXPECT_EQ(pipeRead(p.fd[0], buf, sizeof buf), 0);
}

TEST(Pipes, OversizedFrameIsDiscardedAndTheNextFrameStillReads) {
    Pipe p;
    uint8_t big[200];
    std::memset(big, 0xAB, sizeof big);
    CameraCommand cmd{};
    cmd.camType = CAMTYPE_KERNEL;
    cmd.cmd = CAM_POSTFLIGHT;
    ASSERT_EQ(pipeWrite(p.fd[1], sizeof big, big), 1);
    ASSERT_EQ(pipeWrite(p.fd[1], sizeof cmd, &cmd), 1);

    struct {
        CameraCommand cmd;
        uint8_t guard[16];
    } target;
    std::memset(&target, 0, sizeof target);
    EXPECT_EQ(pipeRead(p.fd[0], &target.cmd, sizeof target.cmd), 0);
    for (uint8_t g : target.guard) EXPECT_EQ(g, 0);
    EXPECT_EQ(pipeRead(p.fd[0], &target.cmd, sizeof target.cmd), 1);
    EXPECT_EQ(target.cmd.camType, CAMTYPE_KERNEL);
    EXPECT_EQ(target.cmd.cmd, CAM_POSTFLIGHT);
}

TEST(Pipes, MessageRecordPrefixCrossesAndTrailingBytesStayZero) {
    Pipe p;
    mavlink_message_t out{};
    out.magic = MAVLINK_STX;
    out.len = 5;
    out.msgid = 172;
    std::memcpy(out.payload, "\x01\x02\x03\x04\x05", 5);
    out.payload[5] = 0x77; // beyond len: must not cross
    ASSERT_EQ(msgWrite(p.fd[1], &out), 1);

    mavlink_message_t in{};
    ASSERT_EQ(msgRead(p.fd[0], &in), 1);
    EXPECT_EQ(in.len, 5);
    EXPECT_EQ(in.msgid, 172u);
    EXPECT_EQ(in.payload[4], 5);
    EXPECT_EQ(in.payload[5], 0);
}

TEST(Pipes, ConcurrentWritersGiveOnlyWholeFrames) {
    Pipe p;
    constexpr int perWriter = 3000;
    auto writer = [&](uint8_t tag, uint16_t len) {
        std::vector<uint8_t> frame(len, tag);
        for (int i = 0; i < perWriter; ++i) ASSERT_EQ(pipeWrite(p.fd[1], len, frame.data()), 1);
    };
    std::thread a(writer, 0xA1, 267);
    std::thread b(writer, 0xB2, 24);
    int countA = 0, countB = 0;
    uint8_t buf[291];
    for (int i = 0; i < 2 * perWriter; ++i) {
        std::memset(buf, 0, sizeof buf);
        ASSERT_EQ(pipeRead(p.fd[0], buf, sizeof buf), 1);
        if (buf[0] == 0xA1) {
            for (int k = 0; k < 267; ++k) ASSERT_EQ(buf[k], 0xA1);
            ++countA;
        } else {
            ASSERT_EQ(buf[0], 0xB2);
            for (int k = 0; k < 24; ++k) ASSERT_EQ(buf[k], 0xB2);
            EXPECT_EQ(buf[24], 0);
            ++countB;
        }
    }
    a.join();
    b.join();
    EXPECT_EQ(countA, perWriter);
    EXPECT_EQ(countB, perWriter);
}
