// Log blocks per second through the log thread's real path: records into logPipe, each block
// written at its place and synced before it is acknowledged, acknowledgements read from fcPipe.
//
//   bench_log_blocks [blocks] [directory]
//
// The directory (default: a fresh one under /tmp) decides which storage is measured.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "core/AppContext.h"
#include "core/pipes.h"
#include "core/sandbox.h"
#include "logs/logHandler.h"
#include "mavlink/mavlink.h"
#include "support/testSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// The daemon's log output is not part of the measurement.
void silenceStdout() {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
}

struct Rig {
    AppContext ctx;
    std::thread thread;
    mavlink_channel_t fc{};

    Rig() {
        if (pipe(ctx.logPipe) != 0 || pipe(ctx.fcPipe) != 0) std::abort();
        thread = std::thread(logHandlerThread, &ctx);
        if (nextAck() != MAV_REMOTE_LOG_DATA_BLOCK_START) std::abort();
    }
    ~Rig() {
        ctx.quit = 1;
        mavlink_message_t wake{};
        pipeWrite(ctx.logPipe[1], sizeof wake, &wake);
        thread.join();
        for (int32_t* fds : {ctx.logPipe, ctx.fcPipe})
            for (int i = 0; i < 2; ++i) close(fds[i]);
    }
    void send(uint32_t seqno) {
        uint8_t data[200];
        for (int i = 0; i < 200; ++i) data[i] = static_cast<uint8_t>(seqno + i);
        mavlink_message_t msg{};
        mavlink_msg_remote_log_data_block_pack_chan(1, 1, &fc, &msg, 100, 100, seqno, data);
        if (!pipeWrite(ctx.logPipe[1], sizeof msg, &msg)) std::abort();
    }
    int64_t nextAck() {
        mavlink_message_t msg{};
        if (!msgRead(ctx.fcPipe[0], &msg)) return -1;
        return mavlink_msg_remote_log_block_status_get_seqno(&msg);
    }
};

// Blocks sent as fast as the pipe takes them; one sync may cover several blocks.
double streamed(uint32_t blocks) {
    Rig rig;
    auto t0 = Clock::now();
    std::thread sender([&] {
        for (uint32_t i = 0; i < blocks; ++i) rig.send(i);
    });
    for (uint32_t i = 0; i < blocks; ++i)
        if (rig.nextAck() != i) std::abort();
    double s = secondsSince(t0);
    sender.join();
    return blocks / s;
}

// Each block waits for its acknowledgement before the next is sent: one sync per block.
double lockstep(uint32_t blocks) {
    Rig rig;
    auto t0 = Clock::now();
    for (uint32_t i = 0; i < blocks; ++i) {
        rig.send(i);
        if (rig.nextAck() != i) std::abort();
    }
    return blocks / secondsSince(t0);
}

// Blocks sent at the serial link's pace: the mean and worst wait for an acknowledgement, in ms.
void paced(uint32_t blocks, double perSecond, double* meanMs, double* worstMs) {
    Rig rig;
    std::vector<Clock::time_point> sent(blocks);
    auto gap = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / perSecond));
    std::thread sender([&] {
        auto next = Clock::now();
        for (uint32_t i = 0; i < blocks; ++i) {
            std::this_thread::sleep_until(next);
            sent[i] = Clock::now();
            rig.send(i);
            next += gap;
        }
    });
    double total = 0, worst = 0;
    for (uint32_t i = 0; i < blocks; ++i) {
        if (rig.nextAck() != i) std::abort();
        double ms = std::chrono::duration<double, std::milli>(Clock::now() - sent[i]).count();
        total += ms;
        if (ms > worst) worst = ms;
    }
    sender.join();
    *meanMs = total / blocks;
    *worstMs = worst;
}

// The file operations alone, per block: open, write at the place, optionally sync, close.
double rawWrites(const std::string& path, uint32_t blocks, bool sync) {
    close(open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644));
    uint8_t data[200] = {};
    auto t0 = Clock::now();
    for (uint32_t i = 0; i < blocks; ++i) {
        int fd = open(path.c_str(), O_RDWR);
        if (fd < 0 || pwrite(fd, data, sizeof data, 200L * i) != 200) std::abort();
        if (sync) fdatasync(fd);
        close(fd);
    }
    return blocks / secondsSince(t0);
}

} // namespace

int main(int argc, char** argv) {
    uint32_t blocks = argc > 1 ? static_cast<uint32_t>(std::atoi(argv[1])) : 20000;
    vt::TempDir temp;
    std::string root = argc > 2 ? argv[2] : temp.path();
    setenv("VORN_ROOT", root.c_str(), 1);
    sandboxInit();
    int out = dup(STDOUT_FILENO);
    silenceStdout();

    double stream = streamed(blocks);
    double step = lockstep(blocks / 4);
    // 1.5 Mbaud at 10 bits a byte; a REMOTE_LOG_DATA_BLOCK frame is 218 bytes on the wire.
    double linkCeiling = 1500000.0 / 10 / 218;
    double meanMs = 0, worstMs = 0;
    paced(static_cast<uint32_t>(linkCeiling * 5), linkCeiling, &meanMs, &worstMs);
    std::string raw = root + "/raw.bin";
    double noSync = rawWrites(raw, blocks, false);
    double withSync = rawWrites(raw, blocks / 4, true);
    unlink(raw.c_str());

    dprintf(out, "storage: %s\n", root.c_str());
    dprintf(out, "streamed through the log thread:  %8.0f blocks/s (%.2f MB/s of log)\n", stream, stream * 200 / 1e6);
    dprintf(out, "one block in flight at a time:    %8.0f blocks/s\n", step);
    dprintf(out, "at the link's pace for 5 s:       acknowledged after %.2f ms on average, %.2f ms at worst\n",
            meanMs, worstMs);
    dprintf(out, "file ops per block, no sync:      %8.0f blocks/s\n", noSync);
    dprintf(out, "file ops per block, fdatasync:    %8.0f blocks/s\n", withSync);
    dprintf(out, "serial link ceiling (1.5 Mbaud):  %8.0f blocks/s (%.3f MB/s of log)\n", linkCeiling,
            linkCeiling * 200 / 1e6);
    return 0;
}
