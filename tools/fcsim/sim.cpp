#include "sim.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr double LEG_M = 300.0;     // survey pattern: north-south legs ...
constexpr double SPACING_M = 40.0;  // ... this far apart
constexpr double SPEED_MS = 15.0;
constexpr double AGL_M = 120.0;
constexpr double M_PER_DEG = 111320.0;

std::mutex g_out;
const auto g_boot = std::chrono::steady_clock::now();

uint32_t bootMs() {
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - g_boot).count());
}

uint64_t unixMicros() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return static_cast<uint64_t>(tv.tv_sec) * 1000000u + static_cast<uint64_t>(tv.tv_usec);
}

bool writeAll(int fd, const uint8_t* p, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// Writes a message to a (non-blocking) line, waiting up to 30 s for room (a slow log sync can
// hold the daemon's reading that long): a busy daemon only slows the simulator down, one that
// has stopped reading fails the step instead of hanging it.
bool writeLine(int fd, const uint8_t* p, size_t len) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n > 0) {
            p += n;
            len -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        if (std::chrono::steady_clock::now() >= end) return false;
        pollfd out{fd, POLLOUT, 0};
        poll(&out, 1, 20);
    }
    return true;
}

// North/east offset and heading after flying `seconds` of the lawn-mower pattern.
void surveyOffset(double seconds, double* north, double* east, double* heading) {
    double d = seconds * SPEED_MS;
    double period = 2 * (LEG_M + SPACING_M);
    int cycles = static_cast<int>(d / period);
    double r = d - cycles * period;
    *east = cycles * 2 * SPACING_M;
    if (r < LEG_M) {
        *north = r, *heading = 0;
    } else if (r < LEG_M + SPACING_M) {
        *north = LEG_M, *east += r - LEG_M, *heading = 90;
    } else if (r < 2 * LEG_M + SPACING_M) {
        *north = LEG_M - (r - LEG_M - SPACING_M), *east += SPACING_M, *heading = 180;
    } else {
        *north = 0, *east += SPACING_M + (r - 2 * LEG_M - SPACING_M), *heading = 90;
    }
}

void sendSystemTime(Sim* sim, bool fix) {
    mavlink_message_t msg{};
    mavlink_msg_system_time_pack_chan(static_cast<uint8_t>(sim->sysId), 1, simChannel(sim, Via::Fc), &msg, fix ? unixMicros() : 0,
                                      bootMs());
    simSend(sim, Via::Fc, &msg);
}

// Telemetry a flight controller streams beside its position; the daemon only counts it.
struct __attribute__((packed)) AttitudePayload {
    uint32_t time_boot_ms;
    float roll, pitch, yaw, rollspeed, pitchspeed, yawspeed;
};
struct __attribute__((packed)) GpsRawPayload {
    uint64_t time_usec;
    int32_t lat, lon, alt;
    uint16_t eph, epv, vel, cog;
    uint8_t fix_type, satellites_visible;
};

template <class Payload>
void sendTelemetry(Sim* sim, uint32_t msgid, const Payload& payload) {
    mavlink_message_t msg{};
    mavlink_finalize_message(&msg, static_cast<uint8_t>(sim->sysId), 1, simChannel(sim, Via::Fc), msgid, &payload,
                             sizeof payload, mavlink_get_msg_entry(msgid)->crc_extra);
    simSend(sim, Via::Fc, &msg);
}

void sendPosition(Sim* sim) {
    Position p = simPosition(sim);
    float yaw = static_cast<float>(p.heading * M_PI / 180);
    sendTelemetry(sim, 30, AttitudePayload{bootMs(), 0, 0, yaw, 0, 0, 0}); // ATTITUDE
    GpsRawPayload gps{unixMicros(), static_cast<int32_t>(std::lround(p.lat * 1e7)),
                      static_cast<int32_t>(std::lround(p.lon * 1e7)), static_cast<int32_t>(std::lround(p.alt * 1000)),
                      120, 200, static_cast<uint16_t>(std::lround(std::hypot(p.vn, p.ve) * 100)),
                      static_cast<uint16_t>(std::lround(p.heading * 100) % 36000), 3, 14};
    sendTelemetry(sim, 24, gps); // GPS_RAW_INT
    mavlink_message_t msg{};
    mavlink_msg_global_position_int_pack_chan(
        static_cast<uint8_t>(sim->sysId), 1, simChannel(sim, Via::Fc), &msg, bootMs(), static_cast<int32_t>(std::lround(p.lat * 1e7)),
        static_cast<int32_t>(std::lround(p.lon * 1e7)), static_cast<int32_t>(std::lround(p.alt * 1000)),
        static_cast<int32_t>(std::lround(p.relAlt * 1000)), static_cast<int16_t>(std::lround(p.vn * 100)),
        static_cast<int16_t>(std::lround(p.ve * 100)), 0, static_cast<uint16_t>(std::lround(p.heading * 100)) % 36000);
    simSend(sim, Via::Fc, &msg);
}

// The fixed-rate messages: HEARTBEAT and SYSTEM_TIME each second, positions at posHz.
void tickLoop(Sim* sim) {
    using clock = std::chrono::steady_clock;
    auto nextSecond = clock::now();
    auto nextPos = clock::now();
    auto last = clock::now();
    while (!sim->stop) {
        auto now = clock::now();
        double hz;
        bool sysTime, fix;
        {
            std::lock_guard<std::mutex> g(sim->state);
            hz = sim->posHz;
            sysTime = sim->sysTimeOn;
            fix = sim->sysTimeFix;
            if (hz > 0) sim->flown += std::chrono::duration<double>(now - last).count();
        }
        last = now;
        if (now >= nextSecond) {
            nextSecond += std::chrono::seconds(1);
            simSendHeartbeat(sim);
            if (sysTime) sendSystemTime(sim, fix);
        }
        if (hz > 0 && now >= nextPos) {
            nextPos = now + std::chrono::microseconds(static_cast<long>(1e6 / hz));
            sendPosition(sim);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Our own messages (flight controller or ground station ids) coming back through the bridge.
bool isEcho(const Sim* sim, const mavlink_message_t* msg) {
    return msg->sysid == sim->sysId || msg->sysid == GCS_SYSID;
}

void noteAck(Sim* sim, const RxRecord& rec) {
    if (rec.name != "REMOTE_LOG_BLOCK_STATUS") return;
    const std::string* seq = fieldOf(rec, "seqno");
    const std::string* status = fieldOf(rec, "status");
    if (seq && status && *status == "1") sim->acked.insert(static_cast<uint32_t>(std::stoul(*seq)));
}

void handleMessage(Sim* sim, const char* port, const mavlink_message_t* msg) {
    RxRecord rec = decodeMessage(msg);
    if (isEcho(sim, msg)) {
        if (sim->verbose) say("ECHO %s %s", port, formatRecord(rec).c_str());
        return;
    }
    say("RX %s%s", port[0] == 'm' ? "modem " : "", formatRecord(rec).c_str());
    std::lock_guard<std::mutex> g(sim->rxLock);
    noteAck(sim, rec);
    sim->rx.push_back(std::move(rec));
    sim->rxCv.notify_all();
}

struct LineBuffer {
    std::string partial;
};

void handleOutput(Sim* sim, LineBuffer* buf, const char* data, size_t len) {
    if (sim->rawLogFd >= 0) writeAll(sim->rawLogFd, reinterpret_cast<const uint8_t*>(data), len);
    buf->partial.append(data, len);
    size_t nl;
    while ((nl = buf->partial.find('\n')) != std::string::npos) {
        std::string line = buf->partial.substr(0, nl);
        buf->partial.erase(0, nl + 1);
        if (sim->printLog) say("LOG %s", line.c_str());
        std::lock_guard<std::mutex> g(sim->rxLock);
        if (line.find("vorn-camera msgHandler used CAMERA_FEEDBACK") != std::string::npos) {
            ++sim->feedbackUsed;
            sim->feedbackUsedAt = std::chrono::steady_clock::now();
        }
        sim->log.push_back(std::move(line));
        sim->rxCv.notify_all();
    }
}

void readPort(Sim* sim, int fd, mavlink_parser_t* parser, const char* port) {
    uint8_t buf[1024];
    ssize_t n = read(fd, buf, sizeof buf);
    mavlink_message_t msg{};
    for (ssize_t i = 0; i < n; ++i)
        if (mavlink_parse_char(parser, buf[i], &msg) == 1) handleMessage(sim, port, &msg);
}

void readOutput(Sim* sim, int fd, LineBuffer* lines) {
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
        handleOutput(sim, lines, buf, static_cast<size_t>(n));
    } else if (n == 0 && fd == sim->daemonOut) {
        sim->daemonEnded = true; // its output closed: the daemon is gone
        std::lock_guard<std::mutex> g(sim->rxLock);
        sim->rxCv.notify_all();
    }
}

// Reads both lines and the daemon's output until stopped.
void rxLoop(Sim* sim) {
    mavlink_parser_t fcParser{}, modemParser{};
    LineBuffer lines;
    while (!sim->stop) {
        pollfd fds[3];
        int n = 0;
        fds[n++] = {sim->fc.master, POLLIN, 0};
        fds[n++] = {sim->modem.master, POLLIN, 0}; // -1 is ignored by poll
        fds[n++] = {sim->daemonEnded ? -1 : sim->daemonOut, POLLIN, 0};
        if (poll(fds, n, 50) < 0 && errno != EINTR) break;
        if (fds[0].revents & POLLIN) readPort(sim, fds[0].fd, &fcParser, "fc");
        if (fds[1].revents & POLLIN) readPort(sim, fds[1].fd, &modemParser, "modem");
        if (fds[2].revents & (POLLIN | POLLHUP)) readOutput(sim, fds[2].fd, &lines);
        if (sim->watchFd >= 0) readOutput(sim, sim->watchFd, &lines); // a file: read what was added
    }
}

} // namespace

void say(const char* fmt, ...) {
    char buf[2048];
    va_list args;
    va_start(args, fmt);
    int n = vsnprintf(buf, sizeof buf - 1, fmt, args);
    va_end(args);
    if (n < 0) return;
    size_t len = static_cast<size_t>(n) < sizeof buf - 1 ? static_cast<size_t>(n) : sizeof buf - 2;
    buf[len++] = '\n';
    std::lock_guard<std::mutex> g(g_out);
    writeAll(STDOUT_FILENO, reinterpret_cast<const uint8_t*>(buf), len);
}

bool simOpen(Sim* sim, const std::string& fcLink, const std::string& modemLink) {
    if (!openPty(&sim->fc, fcLink)) return false;
    return !sim->useModem || openPty(&sim->modem, modemLink);
}

void simStart(Sim* sim) {
    sim->rxThread = std::thread(rxLoop, sim);
    sim->tickThread = std::thread(tickLoop, sim);
}

void simShutdown(Sim* sim) {
    sim->stop = true;
    if (sim->tickThread.joinable()) sim->tickThread.join();
    if (sim->rxThread.joinable()) sim->rxThread.join();
    closePty(&sim->fc);
    closePty(&sim->modem);
}

LockedChannel simChannel(Sim* sim, Via identity) {
    return {std::unique_lock<std::mutex>(sim->channels), identity == Via::Fc ? &sim->fcChan : &sim->gcsChan};
}

bool simSend(Sim* sim, Via via, const mavlink_message_t* msg) {
    uint8_t buf[300];
    uint16_t len = mavlink_msg_to_send_buffer(buf, msg);
    std::lock_guard<std::mutex> g(sim->io);
    int fd = via == Via::Fc ? sim->fc.master : sim->modem.master;
    return fd >= 0 && writeLine(fd, buf, len);
}

void simSendHeartbeat(Sim* sim) {
    HbState hb;
    {
        std::lock_guard<std::mutex> g(sim->state);
        hb = sim->hb;
    }
    if (hb == HbState::Off) return;
    // Fixed wing, ArduPilot; custom mode and stabilize flags, plus the armed flag.
    uint8_t baseMode = 1 | 16 | (hb == HbState::Disarmed ? 0 : 128);
    uint8_t status = hb == HbState::Active ? 4 : 3; // active / standby
    mavlink_message_t msg{};
    mavlink_msg_heartbeat_pack_chan(static_cast<uint8_t>(sim->sysId), 1, simChannel(sim, Via::Fc), &msg, 1, 3, baseMode, 0, status);
    simSend(sim, Via::Fc, &msg);
}

Position simPosition(Sim* sim) {
    std::lock_guard<std::mutex> g(sim->state);
    Position p = sim->origin;
    if (sim->flown <= 0) return p;
    double north, east, heading;
    surveyOffset(sim->flown, &north, &east, &heading);
    p.lat += north / M_PER_DEG;
    p.lon += east / (M_PER_DEG * std::cos(sim->origin.lat * M_PI / 180));
    p.alt += AGL_M;
    p.relAlt = AGL_M;
    p.heading = heading;
    p.vn = SPEED_MS * std::cos(heading * M_PI / 180);
    p.ve = SPEED_MS * std::sin(heading * M_PI / 180);
    return p;
}

void simSendFeedback(Sim* sim, const Position& pos, double roll, double pitch, double yaw) {
    uint16_t index;
    {
        std::lock_guard<std::mutex> g(sim->state);
        index = ++sim->imageIndex;
    }
    mavlink_message_t msg{};
    mavlink_msg_camera_feedback_pack_chan(
        static_cast<uint8_t>(sim->sysId), 1, simChannel(sim, Via::Fc), &msg, unixMicros(), DAEMON_SYSID, 0, index,
        static_cast<int32_t>(std::lround(pos.lat * 1e7)), static_cast<int32_t>(std::lround(pos.lon * 1e7)),
        static_cast<float>(pos.alt), static_cast<float>(pos.relAlt), static_cast<float>(roll),
        static_cast<float>(pitch), static_cast<float>(yaw), 0.0f, 0, index);
    simSend(sim, Via::Fc, &msg);
}

bool simHangup(Sim* sim, double seconds) {
    PtyPair fresh;
    if (!openPty(&fresh, "")) return false;
    if (!sim->fc.linkPath.empty()) unlink(sim->fc.linkPath.c_str());
    {
        // The fresh master takes the old descriptor number, so the receive thread never sees
        // a closed descriptor; replacing it closes the old master and the daemon reads EOF.
        std::lock_guard<std::mutex> g(sim->io);
        dup3(fresh.master, sim->fc.master, O_CLOEXEC);
        close(fresh.master);
        close(sim->fc.slave);
        sim->fc.slave = fresh.slave;
        sim->fc.slavePath = fresh.slavePath;
    }
    say("fcsim: flight controller line hung up");
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    if (!sim->fc.linkPath.empty() && symlink(sim->fc.slavePath.c_str(), sim->fc.linkPath.c_str()) != 0) {
        say("fcsim: symlink %s failed: %s", sim->fc.linkPath.c_str(), strerror(errno));
        return false;
    }
    say("fcsim: flight controller port %s", sim->fc.slavePath.c_str());
    return true;
}
