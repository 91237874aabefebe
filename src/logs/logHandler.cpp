#include "logs/logHandler.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "core/logBlockStatus.h"
#include "core/logging.h"
#include "core/pipes.h"
#include "core/stop.h"
#include "core/userMessage.h"
#include "logs/logStore.h"
#include "mavlink/mavlink.h"

namespace {

constexpr int32_t kLogBytesLimit = 1073741824;
constexpr int kAttempts = 11;
constexpr int64_t kBlockSize = 200;
constexpr int64_t kMaxFileOffset = INT32_MAX;  // log files keep to 32-bit offsets
constexpr size_t kMaxUnsynced = 64;            // bounds how long a block waits for its acknowledgement
constexpr int kWaitMs = 5000;

// The log thread's own sequence numbers.
mavlink_channel_t m_logChannel{};

struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

struct LogState {
    GrowStr path;                   // current log file, none when it could not be created
    std::vector<uint32_t> unsynced; // written to the current file, not yet synced nor acknowledged
    long notStored = 0;             // blocks of the current file that could not be written
};

const char* pathText(const GrowStr& path) {
    return path ? path->c_str() : "(null)";
}

void startNewLog(AppContext* ctx, LogState* state) {
    removeEmptyLogs();
    GrowStr path;
    for (int attempt = 0; attempt < kAttempts && !path; ++attempt) path = getLogFilePath();
    state->path = path;
    state->notStored = 0;
    if (path) logPrintf("vorn-camera logHandlerThread created log file %s\n", path->c_str());
    if (requestLogStart(ctx) != 0) logPuts("vorn-camera logHandlerThread did not succeed in requesting log start");
}

// A block that could not be stored (err: why): the first of a log file is logged and warned to
// the ground, later ones are counted and logged once in a thousand, so that a full disk neither
// floods the log nor goes unnoticed.
void blockNotStored(LogState* state, const std::string& line, int err) {
    if (state->notStored++ == 0) {
        logPrintf("vorn-camera logHandlerThread %s: %s\n", line.c_str(), strerror(err));
        warnGround(GroundWarning::LogNotKept, "flight log not kept: %s", strerror(err));
    } else if (state->notStored % 1000 == 0) {
        logPrintf("vorn-camera logHandlerThread %ld blocks not stored, the last: %s: %s\n", state->notStored,
                  line.c_str(), strerror(err));
    }
}

// Writes the block at its place in the current log file; false when it could not be stored.
bool writeBlock(LogState* state, uint32_t seqno, const uint8_t* data) {
    Fd file(open(state->path ? state->path->c_str() : "", O_RDWR | O_CLOEXEC));
    if (file.fd < 0) {
        blockNotStored(state, std::string("Error oppening log file ") + pathText(state->path), errno);
        return false;
    }
    int64_t position = kBlockSize * seqno;
    if (position > kMaxFileOffset) {
        blockNotStored(state, "Error: log file could not seek to " + std::to_string(position), EOVERFLOW);
        return false;
    }
    ssize_t written = pwrite(file.fd, data, kBlockSize, position);
    if (written != kBlockSize) {
        int err = written < 0 ? errno : ENOSPC;
        blockNotStored(state, "Error fwrite only wrote " + std::to_string(written < 0 ? 0 : written) + " bytes", err);
        return false;
    }
    return true;
}

void acknowledge(AppContext* ctx, uint32_t seqno) {
    if (sendACK(ctx, seqno) == 0) return;
    logPuts("vorn-camera logHandlerThread failed to send ACK");
    sendACK(ctx, seqno);
}

// The flight controller never sends an acknowledged block again, so the written blocks reach
// the storage before they are acknowledged. One sync covers every block written since the last.
void commitBlocks(AppContext* ctx, LogState* state) {
    if (state->unsynced.empty()) return;
    Fd file(open(state->path->c_str(), O_RDWR | O_CLOEXEC));
    if (file.fd < 0 || fdatasync(file.fd) != 0) {
        logPrintf("vorn-camera logHandlerThread Error syncing log file %s: %s\n", state->path->c_str(),
                  strerror(errno));
        state->unsynced.clear();
        return;
    }
    for (uint32_t seqno : state->unsynced) acknowledge(ctx, seqno);
    state->unsynced.clear();
}

void handleRecord(AppContext* ctx, LogState* state, const mavlink_message_t& msg) {
    switch (msg.msgid) {
    case MAVLINK_MSG_ID_DATA96:
        commitBlocks(ctx, state);
        startNewLog(ctx, state);
        break;
    case MAVLINK_MSG_ID_REMOTE_LOG_DATA_BLOCK: {
        uint32_t seqno = mavlink_msg_remote_log_data_block_get_seqno(&msg);
        uint8_t data[kBlockSize];
        mavlink_msg_remote_log_data_block_get_data(&msg, data);
        if (!writeBlock(state, seqno, data)) break;
        state->unsynced.push_back(seqno);
        if (state->unsynced.size() >= kMaxUnsynced) commitBlocks(ctx, state);
        break;
    }
    default:
        break;
    }
}

// Empties logPipe without waiting. Once stopping, the message handler may be waiting for room
// there to hand on its last record; that wait must end. The dropped blocks were never
// acknowledged, so the flight controller sends them again with its next stream.
void dropQueued(AppContext* ctx) {
    uint8_t sink[4096];
    while (waitReadable(ctx, ctx->logPipe[0], 0) && read(ctx->logPipe[0], sink, sizeof sink) > 0) {
    }
}

} // namespace

int requestLogStart(AppContext* ctx) {
    if (writeBlockStatus(ctx, &m_logChannel, MAV_REMOTE_LOG_DATA_BLOCK_START)) return 0;
    logPuts("vorn-camera msgHandler failed to write REMOTE_LOG_BLOCK_STATUS START msg to outbound pipe");
    return 1;
}

int sendACK(AppContext* ctx, uint32_t seqno) {
    if (writeBlockStatus(ctx, &m_logChannel, seqno)) return 0;
    logPuts("vorn-camera msgHandler failed to write REMOTE_LOG_BLOCK_STATUS ACK msg to outbound pipe");
    return 1;
}

void logHandlerThread(AppContext* ctx) {
    logPuts("vorn-camera logHandlerThread started...");
    for (int attempt = 0; attempt < kAttempts && removeOldLogs(kLogBytesLimit) != 1; ++attempt) {
    }
    LogState state;
    startNewLog(ctx, &state);
    while (!ctx->quit) {
        // While blocks wait for their acknowledgement, only look whether more are already queued:
        // they share the next sync.
        if (!waitReadable(ctx, ctx->logPipe[0], state.unsynced.empty() ? kWaitMs : 0)) {
            commitBlocks(ctx, &state);
            continue;
        }
        mavlink_message_t msg{};
        if (!msgRead(ctx->logPipe[0], &msg)) {
            logPuts("vorn-camera logHandlerThread failed to read from logPipe");
            continue;
        }
        handleRecord(ctx, &state, msg);
    }
    commitBlocks(ctx, &state);
    dropQueued(ctx);
    logPuts("vorn-camera logHandlerThread exit");
}
