// Test rig of the message handler: the real thread on a test context whose pipes are real
// pipes, a sandbox root for its fixed paths, its standard output captured, and its clock set
// by the test.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "core/AppContext.h"
#include "core/geoData.h"
#include "core/pipes.h"
#include "core/sandbox.h"
#include "link/flightState.h"
#include "link/msgHandler.h"
#include "mavlink/mavlink.h"
#include "support/testSupport.h"

namespace rig {

using namespace std::chrono_literals;
using vt::StdoutCapture;

// The handler's clock while a rig runs.
inline std::atomic<int64_t> g_now{1700000000123};
inline int64_t fakeClock() {
    return g_now.load();
}

inline bool readable(int fd, std::chrono::milliseconds wait) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, static_cast<int>(wait.count())) == 1;
}

class HandlerRig {
public:
    explicit HandlerRig(int useModem = 0) {
        signal(SIGPIPE, SIG_IGN); // as in the daemon: a reader that left is a failed write
        setenv("VORN_ROOT", root.path().c_str(), 1);
        sandboxInit();
        vt::makeDirs(root / "var/run");
        vt::makeDirs(root / "root/vorn");
        g_now = 1700000000123;
        setHandlerClock(&fakeClock);
        for (int32_t* fds : {ctx.msgPipe, ctx.fcPipe, ctx.logPipe, ctx.camera.cameraPipe, ctx.wifiPipe}) {
            int p[2];
            EXPECT_EQ(pipe(p), 0);
            fds[0] = p[0];
            fds[1] = p[1];
        }
        ctx.useModem = useModem;
        thread_ = std::thread(msgHandlerThread, &ctx);
        EXPECT_TRUE(out.waitFor("vorn-camera msgHandler started...\n"));
        sync();
        // The first pass that saw input sends the handler's own heartbeat.
        if (!useModem) {
            EXPECT_EQ(nextFc().msgid, MAVLINK_MSG_ID_HEARTBEAT);
        }
    }

    ~HandlerRig() {
        ctx.quit = 1;
        send(statusMsg()); // wakes the handler from its wait
        thread_.join();
        setHandlerClock(nullptr);
        unsetenv("VORN_ROOT");
        sandboxInit();
        for (int32_t* fds : {ctx.msgPipe, ctx.fcPipe, ctx.logPipe, ctx.camera.cameraPipe, ctx.wifiPipe})
            for (int i = 0; i < 2; ++i)
                if (fds[i] >= 0) close(fds[i]);
    }

    // ---- input ----

    void send(const mavlink_message_t& msg) { ASSERT_EQ(msgWrite(ctx.msgPipe[1], &msg), 1); }

    // Returns once the handler has dealt with everything sent before, including the end of
    // its pass: of two REMOTE_LOG_BLOCK_STATUS sent in a row the second is logged.
    void sync() {
        send(statusMsg());
        mavlink_message_t m = statusMsg();
        send(m);
        std::string line = "ID 185, sequence: " + std::to_string(m.seq) + " to component 1, system 1\n";
        ASSERT_TRUE(vt::waitUntil([&] { return out.count(line) > syncSeen_[m.seq]; })) << "handler stuck";
        syncSeen_[m.seq] = out.count(line);
    }

    mavlink_message_t heartbeat(uint8_t sysid, uint8_t compid, uint8_t status, bool armed) {
        mavlink_message_t m{};
        mavlink_msg_heartbeat_pack_chan(sysid, compid, &chan_, &m, 1, 3, armed ? 128 | 64 : 64, 0, status);
        return m;
    }
    mavlink_message_t data96(uint8_t type, const uint8_t* data, uint8_t len = 96) {
        mavlink_message_t m{};
        mavlink_msg_data96_pack_chan(1, 1, &chan_, &m, type, len, data);
        return m;
    }
    mavlink_message_t preflight(int64_t flightTime, const char* missionId, uint8_t camType) {
        uint8_t d[96] = {};
        std::memcpy(d, &flightTime, 8);
        std::memcpy(d + 8, missionId, strnlen(missionId, 32));
        d[40] = camType;
        return data96(COMPANION_COMPUTER_PREFLIGHT, d, 43);
    }
    mavlink_message_t position(int32_t lat, int32_t lon, int32_t alt, uint16_t hdg) {
        mavlink_message_t m{};
        mavlink_msg_global_position_int_pack_chan(1, 1, &chan_, &m, 1000, lat, lon, alt, 5000, 0, 0, 0, hdg);
        return m;
    }
    mavlink_message_t statusMsg() {
        mavlink_message_t m{};
        mavlink_msg_remote_log_block_status_pack_chan(1, 1, &chan_, &m, 100, 100, 7, 1);
        return m;
    }
    mavlink_channel_t* channel() { return &chan_; }

    // ---- output ----

    std::optional<CameraCommand> nextCamera(std::chrono::milliseconds wait = 5s) {
        if (!readable(ctx.camera.cameraPipe[0], wait)) return std::nullopt;
        CameraCommand c{};
        EXPECT_EQ(pipeRead(ctx.camera.cameraPipe[0], &c, sizeof c), 1);
        return c;
    }
    // The next camera command's code, 0 when none came.
    int nextCmd(std::chrono::milliseconds wait = 5s) {
        auto c = nextCamera(wait);
        return c ? c->cmd : 0;
    }
    std::optional<WifiRequest> nextWifi(std::chrono::milliseconds wait = 5s) {
        if (!readable(ctx.wifiPipe[0], wait)) return std::nullopt;
        WifiRequest r{};
        EXPECT_EQ(pipeRead(ctx.wifiPipe[0], &r, sizeof r), 1);
        return r;
    }
    mavlink_message_t nextFc(std::chrono::milliseconds wait = 5s) {
        mavlink_message_t m{};
        m.msgid = 0xFFFFFF; // none
        if (!readable(ctx.fcPipe[0], wait)) return m;
        m.msgid = 0;
        EXPECT_EQ(msgRead(ctx.fcPipe[0], &m), 1);
        return m;
    }
    bool nextLog(mavlink_message_t* m, std::chrono::milliseconds wait = 5s) {
        if (!readable(ctx.logPipe[0], wait)) return false;
        return pipeRead(ctx.logPipe[0], m, sizeof *m) == 1;
    }

    // After sync(): nothing is waiting on any of the handler's output pipes.
    void expectQuiet() {
        EXPECT_FALSE(readable(ctx.camera.cameraPipe[0], 0ms)) << "unexpected camera command";
        EXPECT_FALSE(readable(ctx.wifiPipe[0], 0ms)) << "unexpected WiFi request";
        EXPECT_FALSE(readable(ctx.fcPipe[0], 0ms)) << "unexpected message to the flight controller";
        EXPECT_FALSE(readable(ctx.logPipe[0], 0ms)) << "unexpected record to the log thread";
    }

    GeoData geo() {
        GeoData g;
        copyGeoData(&ctx.camera, &g);
        return g;
    }

    std::string path(const std::string& realPath) const { return root.path() + realPath; }

    // A reader on the Sony GPS FIFO, opened without waiting for its writer (-1 on failure).
    int openGpsReader() const {
        std::string fifo = path("/var/run/vornSonyGPSMsg.fifo");
        if (mkfifo(fifo.c_str(), 0700) != 0) return -1;
        return open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    }

    StdoutCapture out;
    vt::TempDir root;
    AppContext ctx;

private:
    std::thread thread_;
    mavlink_channel_t chan_{};
    size_t syncSeen_[256] = {};
};

} // namespace rig
