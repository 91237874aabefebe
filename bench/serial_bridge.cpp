// Bridge throughput of the real daemon: with the modem bridged, a paced stream of MAVLink frames
// flows flight controller -> modem and modem -> flight controller at the byte rate of a
// 1.5 Mbaud line (150 kB/s each way). Reports bytes lost, the latency each frame took through
// the daemon (pty in, daemon, pty out) and the daemon's CPU share.
//
//   bench_serial_bridge [SECONDS] [--baseline | --page-load N]   (default 30 s)
//
// --baseline replaces the daemon by a bare copy loop in this process (same ptys, same
// 280-byte reads), to tell the daemon's share of the latency from the machine's.
// --page-load N meanwhile asks the daemon's field page N requests a second (the page, the status,
// the flights and a flight of 2,000 shots in turn) and reports their times.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>

#include "archive/flightExport.h"
#include "mavlink/mavlink.h"
#include "support/testSupport.h"

namespace {

constexpr double BYTES_PER_SECOND = 150000.0; // 1.5 Mbaud, 10 bits per byte
constexpr uint8_t PAYLOAD_LEN = 37;           // SERVO_OUTPUT_RAW with extensions

int64_t nowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct Pty {
    int master = -1;
    std::string path;
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        grantpt(master);
        unlockpt(master);
        path = ptsname(master);
        int slave = open(path.c_str(), O_RDWR | O_NOCTTY);
        termios tty{};
        tcgetattr(slave, &tty);
        cfmakeraw(&tty);
        tcsetattr(slave, TCSANOW, &tty);
        close(slave);
    }
};

// One direction: frames numbered from 0, stamped with their send time.
struct Stream {
    const char* name;
    int in;  // where the frames are written
    int out; // where they come out of the daemon
    uint8_t sysid;
    std::atomic<uint64_t> framesSent{0}, bytesSent{0};
    uint64_t framesGot = 0, bytesGot = 0, corrupt = 0, outOfOrder = 0;
    std::vector<int64_t> latencyNs;
};

uint16_t buildFrame(Stream* s, mavlink_channel_t* chan, uint32_t number, uint8_t* buf) {
    uint8_t payload[PAYLOAD_LEN];
    for (size_t i = 0; i < sizeof payload; ++i) payload[i] = static_cast<uint8_t>(0xA5 ^ i);
    int64_t t = nowNs();
    memcpy(payload, &number, sizeof number);
    memcpy(payload + 4, &t, sizeof t);
    mavlink_message_t msg{};
    mavlink_finalize_message(&msg, s->sysid, 1, chan, MAVLINK_MSG_ID_SERVO_OUTPUT_RAW, payload, sizeof payload,
                             MAVLINK_MSG_ID_SERVO_OUTPUT_RAW_CRC);
    return mavlink_msg_to_send_buffer(buf, &msg);
}

void writer(Stream* s, double seconds) {
    mavlink_channel_t chan{};
    uint32_t number = 0;
    int64_t start = nowNs(), end = start + static_cast<int64_t>(seconds * 1e9);
    uint8_t batch[8192];
    while (nowNs() < end) {
        double due = (nowNs() - start) * 1e-9 * BYTES_PER_SECOND;
        size_t len = 0;
        while (s->bytesSent + len < due && len + MAVLINK_MAX_PACKET_LEN < sizeof batch)
            len += buildFrame(s, &chan, number++, batch + len);
        size_t done = 0;
        while (done < len) {
            ssize_t n = write(s->in, batch + done, len - done);
            if (n > 0) done += static_cast<size_t>(n);
        }
        s->bytesSent += len;
        s->framesSent = number;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
}

void reader(Stream* s, const std::atomic<bool>* stop) {
    mavlink_parser_t parser{};
    mavlink_message_t msg{};
    int64_t expected = 0;
    uint8_t buf[4096];
    while (!*stop) {
        pollfd p{s->out, POLLIN, 0};
        if (poll(&p, 1, 50) != 1) continue;
        ssize_t n = read(s->out, buf, sizeof buf);
        int64_t t = nowNs();
        for (ssize_t i = 0; i < n; ++i) {
            if (mavlink_parse_char(&parser, buf[i], &msg) != 1) continue;
            if (msg.msgid != MAVLINK_MSG_ID_SERVO_OUTPUT_RAW || msg.sysid != s->sysid) continue; // the daemon's own
            uint32_t number;
            int64_t sent;
            memcpy(&number, msg.payload, sizeof number);
            memcpy(&sent, msg.payload + 4, sizeof sent);
            if (msg.len != PAYLOAD_LEN) ++s->corrupt;
            if (number != expected) ++s->outOfOrder;
            expected = static_cast<int64_t>(number) + 1;
            ++s->framesGot;
            s->bytesGot += 12 + msg.len;
            s->latencyNs.push_back(t - sent);
        }
    }
}

// The baseline bridge: copies between the two lines and does nothing else.
void copyLoop(const std::string& a, const std::string& b, const std::atomic<bool>* stop) {
    int fds[2] = {open(a.c_str(), O_RDWR | O_NOCTTY), open(b.c_str(), O_RDWR | O_NOCTTY)};
    for (int fd : fds) { // a pty's settings are reset when its last user closes it
        termios tty{};
        tcgetattr(fd, &tty);
        cfmakeraw(&tty);
        tcsetattr(fd, TCSAFLUSH, &tty);
    }
    uint8_t buf[MAVLINK_MAX_PACKET_LEN];
    while (!*stop) {
        pollfd p[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
        if (poll(p, 2, 100) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (!(p[i].revents & POLLIN)) continue;
            ssize_t n = read(fds[i], buf, sizeof buf);
            for (ssize_t done = 0; n > 0 && done < n;) {
                ssize_t w = write(fds[1 - i], buf + done, static_cast<size_t>(n - done));
                if (w > 0) done += w;
            }
        }
    }
    close(fds[0]);
    close(fds[1]);
}

// A flight of 2,000 shots in the daemon's working directory: its files, and its flights row once
// the daemon has made the database.
void prepareFlight(const std::string& dir) {
    std::vector<ExportedShot> shots;
    for (int k = 0; k < 2000; ++k) {
        GeoData geo{1700000000000 + k * 2000LL, -353632621 + (k % 50) * 4491, 1491652374 + (k / 50) * 4406,
                    0, 0, 0, 704000, 0};
        char name[16];
        std::snprintf(name, sizeof name, "IMG_%04d.JPG", k + 1);
        shots.push_back({name, true, geo, k % 100 != 7});
    }
    std::string here = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    exportFlight({1, "bench", 1}, shots, CardTarget{});
    std::filesystem::current_path(here);
}

bool addFlightRow(const std::string& db) {
    sqlite3* handle = nullptr;
    bool ok = sqlite3_open(db.c_str(), &handle) == SQLITE_OK &&
              sqlite3_exec(handle, "INSERT INTO flights (flightID, missionID, camType, time) VALUES(1, 'bench', 1, 0)",
                           nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(handle);
    return ok;
}

// One GET over a connection of its own; the response's size, -1 unless answered 200.
long httpGet(int port, const std::string& path) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        std::string request = "GET " + path + " HTTP/1.1\r\nHost: bench\r\nConnection: close\r\n\r\n";
        if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
            char buf[65536];
            for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) reply.append(buf, static_cast<size_t>(n));
        }
    }
    close(fd);
    return reply.rfind("HTTP/1.1 200 ", 0) == 0 ? static_cast<long>(reply.size()) : -1;
}

// Asks the page perSecond requests a second, in turn, until stop; the time each took, per path.
struct PageLoad {
    std::map<std::string, std::vector<int64_t>> latencyNs;
    std::map<std::string, long> bytes;
    long failed = 0;
};

void pager(int port, int perSecond, PageLoad* load, const std::atomic<bool>* stop) {
    // The phones asking are not on the board: their share of this machine is kept out of the way.
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 19);
    const char* paths[] = {"/", "/api/status", "/api/flights", "/api/flights/1"};
    int64_t next = nowNs();
    for (size_t i = 0; !*stop; ++i) {
        const char* path = paths[i % std::size(paths)];
        int64_t t = nowNs();
        long size = httpGet(port, path);
        load->latencyNs[path].push_back(nowNs() - t);
        if (size < 0) ++load->failed;
        else load->bytes[path] = size;
        next += 1000000000LL / perSecond;
        if (next > nowNs()) std::this_thread::sleep_for(std::chrono::nanoseconds(next - nowNs()));
    }
}

// utime + stime of a process, in clock ticks.
long cpuTicks(pid_t pid) {
    std::string stat = vt::readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    long utime = 0, stime = 0;
    // Fields after the command name: state is field 3; utime and stime are fields 14 and 15.
    sscanf(stat.c_str() + close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &utime, &stime);
    return utime + stime;
}

double percentile(std::vector<int64_t> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * (v.size() - 1))] / 1e6;
}

void report(const Stream& s, uint64_t frameBytes) {
    uint64_t lost = (s.framesSent - s.framesGot) * frameBytes;
    printf("%-14s sent %8" PRIu64 " frames %9" PRIu64 " bytes | received %8" PRIu64 " frames | lost %" PRIu64
           " bytes | corrupt %" PRIu64 " | out of order %" PRIu64 " | latency p50 %.3f ms p99 %.3f ms max %.3f ms\n",
           s.name, s.framesSent.load(), s.bytesSent.load(), s.framesGot, lost, s.corrupt, s.outOfOrder,
           percentile(s.latencyNs, 0.5), percentile(s.latencyNs, 0.99), percentile(s.latencyNs, 1.0));
}

} // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? atof(argv[1]) : 30.0;
    bool baseline = argc > 2 && std::string(argv[2]) == "--baseline";
    int pagesPerSecond = argc > 3 && std::string(argv[2]) == "--page-load" ? atoi(argv[3]) : 0;
    vt::TempDir work;
    vt::StubPath stubs;
    stubs.add("nmcli");
    vt::makeDirs(work / "root/vorn/dataflashlogs");
    Pty fc, modem;
    std::atomic<bool> stop{false};
    std::thread copier;
    std::unique_ptr<vt::Process> daemon;
    if (baseline) {
        copier = std::thread(copyLoop, fc.path, modem.path, &stop);
    } else {
        daemon = std::make_unique<vt::Process>(work.path(), "daemon",
                                              vt::daemonArgv({fc.path, "1500000", "--modem", modem.path, "1500000"}),
                                              std::map<std::string, std::string>{{"VORN_ROOT", work.path()}});
        if (!daemon->waitForOutput("telemetry modem on") || !daemon->waitForOutput("flight controller on")) {
            fprintf(stderr, "daemon did not open its ports:\n%s", daemon->output().c_str());
            return 1;
        }
    }
    int port = 0;
    if (pagesPerSecond > 0) {
        const std::string listening = "webServer listening on http://127.0.0.1:";
        prepareFlight(work.path());
        if (!daemon || !daemon->waitForOutput(listening) || !addFlightRow(work / "geodata.db")) {
            fprintf(stderr, "no field page to load\n");
            return 1;
        }
        std::string out = daemon->output();
        port = atoi(out.c_str() + out.find(listening) + listening.size());
    }
    std::this_thread::sleep_for(std::chrono::seconds(2)); // let start-up work settle
    Stream up{"fc -> modem", fc.master, modem.master, 1, {}, {}, 0, 0, 0, 0, {}};
    Stream down{"modem -> fc", modem.master, fc.master, 255, {}, {}, 0, 0, 0, 0, {}};
    up.latencyNs.reserve(static_cast<size_t>(seconds * 5000));
    down.latencyNs.reserve(static_cast<size_t>(seconds * 5000));
    std::thread r1(reader, &up, &stop), r2(reader, &down, &stop);
    PageLoad pages;
    std::thread loader;
    if (port) loader = std::thread(pager, port, pagesPerSecond, &pages, &stop);

    pid_t bridgePid = baseline ? getpid() : daemon->pid();
    long ticks0 = cpuTicks(bridgePid);
    int64_t t0 = nowNs();
    std::thread w1(writer, &up, seconds), w2(writer, &down, seconds);
    w1.join();
    w2.join();
    // Whatever is still on its way gets a second to arrive.
    vt::waitUntil([&] { return up.framesGot == up.framesSent && down.framesGot == down.framesSent; },
                  std::chrono::seconds(1));
    int64_t t1 = nowNs();
    long ticks1 = cpuTicks(bridgePid);
    stop = true;
    r1.join();
    r2.join();
    if (copier.joinable()) copier.join();
    if (loader.joinable()) loader.join();

    uint8_t probe[MAVLINK_MAX_PACKET_LEN];
    mavlink_channel_t chan{};
    uint64_t frameBytes = buildFrame(&up, &chan, 0, probe);
    double cpu = (ticks1 - ticks0) / static_cast<double>(sysconf(_SC_CLK_TCK)) / ((t1 - t0) * 1e-9) * 100;
    printf("serial bridge through %s, %.0f s, %.0f bytes/s each way, %" PRIu64 "-byte frames\n",
           baseline ? "a bare copy loop (baseline)" : "vorn-camera", seconds,
           BYTES_PER_SECOND, frameBytes);
    report(up, frameBytes);
    report(down, frameBytes);
    printf("%s CPU: %.2f %% of one core (machine load average: %s)\n", baseline ? "bench process" : "daemon", cpu,
           vt::readFile("/proc/loadavg").substr(0, 14).c_str());
    for (const auto& [path, times] : pages.latencyNs)
        printf("page %-15s %5zu requests, %7ld bytes: p50 %.2f ms p99 %.2f ms max %.2f ms\n", path.c_str(), times.size(),
               pages.bytes[path], percentile(times, 0.5), percentile(times, 0.99), percentile(times, 1.0));
    if (port) printf("page requests failed: %ld\n", pages.failed);
    if (daemon) {
        const std::string status = vt::readFile("/proc/" + std::to_string(daemon->pid()) + "/status");
        const size_t peak = status.find("VmHWM:");
        if (peak != std::string::npos) printf("daemon peak memory: %ld kB\n", atol(status.c_str() + peak + 6));
    }
    if (daemon) daemon->stop();
    bool ok = up.framesGot == up.framesSent && down.framesGot == down.framesSent && up.corrupt + down.corrupt == 0 &&
              pages.failed == 0;
    return ok ? 0 : 2;
}
