// Resident memory, CPU time and open descriptors of the real daemon, read from /proc/<pid>/status,
// /proc/<pid>/stat and /proc/<pid>/fd while it runs on a pseudo-terminal in a sandbox.
//
//   bench_footprint idle [SECONDS=30]
//       vorn-fcsim plays the flight controller with heartbeats only; RSS and CPU over the window.
//   bench_footprint shots [N=1000] [fifo|feedback]
//       N triggers of a Survey3 camera without its card (command path "survey3") stored as shot
//       rows: "trigger" N times on the command path (fifo, the default: as fast as the camera
//       thread stores them), or N CAMERA_FEEDBACKs 1.05 s apart from vorn-fcsim flying the
//       survey pattern (feedback: the daemon uses at most one a second, so 1000 take 18 min).
//       RSS once the first 100 rows are stored and after the last one: at most 1 MB apart.
//   bench_footprint soak [SECONDS=600] [LOG_BLOCKS_PER_S=50]
//       A whole flight, played here rather than by vorn-fcsim because its parts run at once:
//       heartbeats, positions at 5 Hz, a CAMERA_FEEDBACK every 1.05 s (the daemon uses at most
//       one a second, so delivery jitter may make it skip one) and a dataflash log streamed and resent until every block is
//       acknowledged, after a preflight of a Survey3 camera whose card appears after the
//       toggle pulse; then the disarm and the postflight. Checks: RSS flat within 1 MB after
//       warm-up (sampled every 5 s), the same descriptors before and after, the log file
//       byte-identical, every feedback received and one shot row per feedback used.
//
// Every figure is also printed as "RESULT|figure|value|note" for bench/run-all.sh. The exit
// status is non-zero when a check fails.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "mavlink/mavlink.h"
#include "support/testSupport.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

bool g_failed = false;

void result(const std::string& figure, const std::string& value, const std::string& note = "") {
    printf("%-44s %s %s\n", figure.c_str(), value.c_str(), note.c_str());
    printf("RESULT|%s|%s|%s\n", figure.c_str(), value.c_str(), note.c_str());
    fflush(stdout);
}

void check(bool ok, const std::string& what) {
    printf("check: %s: %s\n", what.c_str(), ok ? "ok" : "FAILED");
    if (!ok) g_failed = true;
}

std::string fmt(const char* f, double v) {
    char out[64];
    snprintf(out, sizeof out, f, v);
    return out;
}

double secondsSince(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

std::string loadAverage() {
    std::string l = vt::readFile("/proc/loadavg");
    return "load " + l.substr(0, l.find(' ', l.find(' ', l.find(' ') + 1) + 1));
}

// ---- /proc --------------------------------------------------------------------------------

long statusKb(pid_t pid, const char* field) {
    std::istringstream in(vt::readFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(in, line);)
        if (line.rfind(field, 0) == 0) return atol(line.c_str() + strlen(field));
    return -1;
}

long rssKb(pid_t pid) {
    return statusKb(pid, "VmRSS:");
}

// The fields of /proc/<pid>/stat after the command name; [0] is field 3 (state).
std::vector<std::string> statFields(pid_t pid) {
    std::string s = vt::readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = s.rfind(')');
    std::vector<std::string> f;
    if (close == std::string::npos) return f;
    std::istringstream in(s.substr(close + 2));
    for (std::string w; in >> w;) f.push_back(w);
    return f;
}

// CPU time of the whole process, summed over its threads' run time in nanoseconds (finer than
// the clock ticks of /proc/<pid>/stat, which an idle daemon hardly ever reaches).
double cpuSeconds(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
    if (!d) return -1;
    double total = 0;
    while (dirent* e = readdir(d.get()))
        if (e->d_name[0] != '.') total += atof(vt::readFile(dir + "/" + e->d_name + "/schedstat").c_str()) / 1e9;
    return total;
}

std::map<int, std::string> openFds(pid_t pid) {
    std::map<int, std::string> fds;
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
    if (!d) return fds;
    while (dirent* e = readdir(d.get())) {
        if (e->d_name[0] == '.') continue;
        char target[512] = {};
        ssize_t n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
        fds[atoi(e->d_name)] = n > 0 ? std::string(target, static_cast<size_t>(n)) : "?";
    }
    return fds;
}

// The child of parent whose command name is comm, or -1.
pid_t childNamed(pid_t parent, const std::string& comm) {
    std::unique_ptr<DIR, int (*)(DIR*)> d(opendir("/proc"), closedir);
    while (dirent* e = readdir(d.get())) {
        pid_t pid = atoi(e->d_name);
        if (pid <= 0) continue;
        std::vector<std::string> f = statFields(pid);
        if (f.size() < 2 || atoi(f[1].c_str()) != parent) continue;
        if (vt::readFile("/proc/" + std::to_string(pid) + "/comm") == comm + "\n") return pid;
    }
    return -1;
}

// ---- the sandbox and the daemon's output ---------------------------------------------------

struct Sandbox {
    vt::TempDir work;
    vt::StubPath stubs;
    std::string root = work / "root";
    std::string flight = work / "flight"; // working directory: geodata.db
    Sandbox() {
        vt::makeDirs(root + "/var/run");
        vt::makeDirs(root + "/media/usbdrive");
        vt::makeDirs(flight);
        for (const char* cmd : {"nmcli", "systemctl"}) stubs.add(cmd);
        // A Survey3 card: mounting shows its photo directory, unmounting takes the disk away
        // (the block device appears again after the next toggle pulse).
        stubs.add("mount", "mkdir -p \"$2/DCIM/Photo\"\n");
        stubs.add("umount", "rm -rf \"$1/DCIM\" \"" + root + "/dev/sda1\"\n");
    }
    std::string commandPath() const { return root + "/var/run/vorn-camera.fifo"; }
};

// Reads a growing output file line by line from where it left off.
class OutputTail {
public:
    explicit OutputTail(std::string path) : path_(std::move(path)) {}
    // Occurrences of needle in the complete lines so far.
    int count(const std::string& needle) {
        poll();
        auto it = counts_.find(needle);
        if (it == counts_.end()) it = counts_.emplace(needle, countIn(seen_, needle)).first;
        return it->second;
    }
    bool waitFor(const std::string& needle, int n, Clock::duration deadline) {
        return vt::waitUntil([&] { return count(needle) >= n; }, std::chrono::duration_cast<milliseconds>(deadline));
    }
    const std::string& all() {
        poll();
        return seen_;
    }

private:
    static int countIn(const std::string& text, const std::string& needle) {
        return static_cast<int>(vt::countOf(text, needle));
    }
    void poll() {
        if (fd_ < 0) fd_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) return;
        char buf[65536];
        for (ssize_t n; (n = read(fd_, buf, sizeof buf)) > 0;) partial_.append(buf, static_cast<size_t>(n));
        size_t end = partial_.rfind('\n');
        if (end == std::string::npos) return;
        std::string lines = partial_.substr(0, end + 1);
        partial_.erase(0, end + 1);
        for (auto& [needle, n] : counts_) n += countIn(lines, needle);
        seen_ += lines;
    }
    std::string path_;
    int fd_ = -1;
    std::string partial_, seen_;
    std::map<std::string, int> counts_;
};

long long imageRows(const std::string& db) {
    sqlite3* h = nullptr;
    long long rows = -1;
    if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(h, 2000);
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(h, "SELECT COUNT(*) FROM image", -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW)
            rows = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
    }
    sqlite3_close(h);
    return rows;
}

// ---- idle and shots: the daemon behind vorn-fcsim -------------------------------------------

// vorn-fcsim with the daemon behind it, holding the line open (heartbeats and SYSTEM_TIME only)
// until the command path says "bench-done", then stopping the daemon.
struct FcsimFlight {
    Sandbox box;
    std::unique_ptr<vt::Process> sim;
    std::unique_ptr<OutputTail> out;
    pid_t daemon = -1;
    int fifo = -1;

    // steps: what the simulator does once the daemon is up (the command path says "go").
    bool start(const std::string& steps = "") {
        vt::writeFile(box.work / "flight.txt",
                      "wait log \"flight controller on\" 30\nsay ready\n" +
                          (steps.empty() ? "" : "wait log \"received [go]\" 60\n" + steps) +
                          "wait log \"received [bench-done]\" 86400\nstop 10\n");
        sim = std::make_unique<vt::Process>(
            box.work.path(), "fcsim",
            std::vector<std::string>{VORN_FCSIM_PATH, "--quiet", "--workdir", box.flight, "--env", "VORN_ROOT=" + box.root,
                                     "--daemon-log", box.work / "daemon.log", box.work / "flight.txt", "--",
                                     VORN_DAEMON_PATH, "{fc}", "1500000"});
        out = std::make_unique<OutputTail>(box.work / "daemon.log");
        if (!sim->waitForOutput("fcsim: ready", seconds(40))) return false;
        pid_t fcsim = childNamed(getpid(), "vorn-fcsim");
        daemon = fcsim > 0 ? childNamed(fcsim, "vorn-camera") : -1;
        return daemon > 0;
    }
    // One command on the command path, waiting until the daemon has read it.
    bool command(const std::string& word, int nth) {
        if (fifo < 0) {
            if (mkfifo(box.commandPath().c_str(), 0600) != 0) return false;
            fifo = open(box.commandPath().c_str(), O_RDWR | O_CLOEXEC); // never waits for the reader
        }
        std::string line = word + "\n";
        if (write(fifo, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return false;
        return out->waitFor("received [" + word + "]", nth, seconds(15));
    }
    // Stops the daemon through the scenario; true when it and the simulator ended cleanly.
    bool finish() {
        bool sent = command("bench-done", 1);
        int status = sim->wait(seconds(30));
        if (fifo >= 0) close(fifo);
        return sent && status == 0;
    }
};

int runIdle(double window) {
    FcsimFlight f;
    if (!f.start()) {
        fprintf(stderr, "daemon did not come up behind vorn-fcsim\n%s", f.sim->errors().c_str());
        return 1;
    }
    long minRss = rssKb(f.daemon), maxRss = minRss;
    double cpu0 = cpuSeconds(f.daemon);
    auto t0 = Clock::now();
    while (secondsSince(t0) < window) {
        std::this_thread::sleep_for(milliseconds(500)); // the sampling period of the window
        long r = rssKb(f.daemon);
        minRss = std::min(minRss, r);
        maxRss = std::max(maxRss, r);
    }
    double cpu = cpuSeconds(f.daemon) - cpu0, wall = secondsSince(t0);
    std::string note = "(" + fmt("%.0f", wall) + " s window, " + loadAverage() + ")";
    result("idle RSS (kB)", std::to_string(maxRss), note + " min " + std::to_string(minRss));
    result("idle CPU (% of one core)", fmt("%.3f", 100.0 * cpu / wall), note);
    result("idle CPU time (ms per minute)", fmt("%.1f", 1000.0 * cpu / wall * 60.0), note);
    result("idle threads", std::to_string(atoi(statFields(f.daemon)[17].c_str())), "");
    result("idle open descriptors", std::to_string(openFds(f.daemon).size()), "");
    check(f.finish(), "daemon stopped by SIGTERM with status 0");
    return g_failed ? 1 : 0;
}

int runShots(int shots, bool feedback) {
    FcsimFlight f;
    std::string survey = "survey shots=" + std::to_string(shots) + " every=1.05\nsay shots sent\n";
    if (!f.start(feedback ? survey : "")) {
        fprintf(stderr, "daemon did not come up behind vorn-fcsim\n%s", f.sim->errors().c_str());
        return 1;
    }
    std::string db = f.box.flight + "/geodata.db";
    long rssStart = rssKb(f.daemon);
    double cpu0 = cpuSeconds(f.daemon);
    auto t0 = Clock::now();
    check(f.command("survey3", 1), "camera type Survey3 taken");
    if (feedback) {
        // The simulator flies the pattern and sends the feedbacks; the daemon uses one a second.
        check(f.command("go", 1), "survey started");
    } else {
        // The handler reads one command per read: each trigger goes once the previous one was read.
        for (int k = 1; k <= shots; ++k)
            if (!f.command("trigger", k)) {
                check(false, "trigger " + std::to_string(k) + " read by the daemon");
                break;
            }
    }
    // The camera thread stores them at its own pace (a 200 ms servo pulse each).
    long rssAt100 = -1, rssMax = rssStart;
    long long rows = 0;
    auto deadline = Clock::now() + seconds(60) + milliseconds(feedback ? 1500 : 400) * shots;
    while (Clock::now() < deadline) {
        rows = imageRows(db);
        long r = rssKb(f.daemon);
        rssMax = std::max(rssMax, r);
        if (rssAt100 < 0 && rows >= std::min(100, shots)) rssAt100 = r;
        // Every trigger the handler made is a row; a feedback inside its one-second hold-off
        // makes none.
        bool allSent = !feedback || f.sim->output().find("fcsim: shots sent") != std::string::npos;
        int expected = feedback ? f.out->count("used CAMERA_FEEDBACK") : shots;
        if (allSent && rows >= expected) break;
        std::this_thread::sleep_for(milliseconds(500)); // rows are counted twice a second
    }
    long rssEnd = rssKb(f.daemon);
    double cpu = cpuSeconds(f.daemon) - cpu0, wall = secondsSince(t0);
    std::string note = "(" + std::to_string(shots) + (feedback ? " CAMERA_FEEDBACK" : " command-path") + " triggers in " +
                       fmt("%.0f", wall) + " s, " + loadAverage() + ")";
    result("RSS before shots (kB)", std::to_string(rssStart), "");
    result("RSS after " + std::to_string(std::min(100, shots)) + " shots (kB)", std::to_string(rssAt100), "");
    result("RSS after " + std::to_string(shots) + " shots (kB)", std::to_string(rssEnd), note);
    result("RSS growth from shot 100 to the last (kB)", std::to_string(rssEnd - rssAt100), "");
    result("daemon CPU per shot (ms)", fmt("%.2f", 1000.0 * cpu / shots), note);
    int triggers = shots;
    if (feedback) {
        int received = f.out->count("got  CAMERA_FEEDBACK");
        triggers = f.out->count("used CAMERA_FEEDBACK");
        result("feedbacks sent / received / used by the daemon",
               std::to_string(shots) + " / " + std::to_string(received) + " / " + std::to_string(triggers),
               "a feedback within 1 s of the last used one is not used");
        check(received == shots, "every feedback received");
    }
    check(rows == triggers, "every trigger stored (" + std::to_string(rows) + " rows of " + std::to_string(triggers) + ")");
    check(rssEnd - rssAt100 <= 1024, "RSS did not grow by more than 1 MB with the shots");
    check(f.finish(), "daemon stopped by SIGTERM with status 0");
    return g_failed ? 1 : 0;
}

// ---- soak: a whole flight played here ------------------------------------------------------

constexpr uint8_t FC_SYSID = 1, FC_COMPID = 1;
constexpr int TOGGLE_PWM = 1500; // the Survey3's switch between capture mode and USB storage

struct Pty {
    int master = -1, slave = -1;
    std::string path;
    bool open() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return false;
        path = ptsname(master);
        // Held open so that the line survives the daemon reopening it.
        slave = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios t{};
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
        return slave >= 0;
    }
    ~Pty() {
        if (slave >= 0) close(slave);
        if (master >= 0) close(master);
    }
};

// The flight controller of the soak: what it sends, and what it hears back.
class Peer {
public:
    Peer(Pty* line, std::string deviceNode, size_t blocks)
        : line_(line), device_(std::move(deviceNode)), acked_(new std::atomic<bool>[blocks]()), blocks_(blocks) {}

    std::atomic<bool> armed{false}, active{false}, positions{false};

    void start() {
        stop_ = false;
        rx_ = std::thread([this] { receive(); });
        tick_ = std::thread([this] { tick(); });
    }
    void stop() {
        stop_ = true;
        if (tick_.joinable()) tick_.join();
        if (rx_.joinable()) rx_.join();
    }

    void send(mavlink_message_t* msg) {
        uint8_t buf[MAVLINK_MAX_PACKET_LEN];
        uint16_t n = mavlink_msg_to_send_buffer(buf, msg);
        std::lock_guard<std::mutex> g(io_);
        for (uint16_t at = 0; at < n;) {
            ssize_t w = write(line_->master, buf + at, n - at);
            if (w <= 0) return;
            at += static_cast<uint16_t>(w);
        }
    }
    void sendPreflight(int camType, const std::string& mission) {
        uint8_t data[96] = {};
        int64_t now = std::chrono::duration_cast<milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
        memcpy(data, &now, 8);
        memcpy(data + 8, mission.data(), std::min<size_t>(mission.size(), 32));
        data[40] = static_cast<uint8_t>(camType);
        mavlink_message_t msg{};
        mavlink_msg_data96_pack_chan(255, 190, &gcsChan_, &msg, 3, 41, data);
        send(&msg);
    }
    void sendFeedback() {
        Position p = position();
        mavlink_message_t msg{};
        uint64_t usec = static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch()).count());
        ++imageIndex_;
        mavlink_msg_camera_feedback_pack_chan(FC_SYSID, FC_COMPID, &fcChan_, &msg, usec, 0, 0, imageIndex_, p.lat, p.lon,
                                              p.altMm / 1000.0f, 120.0f, 1.5f, -2.25f, p.hdg / 100.0f, 0, 0, imageIndex_);
        send(&msg);
    }
    void sendBlock(uint32_t seq, const std::string& file) {
        uint8_t data[200] = {};
        memcpy(data, file.data() + seq * 200, std::min<size_t>(200, file.size() - seq * 200));
        mavlink_message_t msg{};
        mavlink_msg_remote_log_data_block_pack_chan(FC_SYSID, FC_COMPID, &fcChan_, &msg, 100, 100, seq, data);
        send(&msg);
    }
    bool acked(size_t seq) const { return acked_[seq]; }
    size_t ackCount() const { return acks_; }

private:
    struct Position {
        int32_t lat, lon, altMm;
        uint16_t hdg;
    };
    // North-south legs of 300 m, 40 m apart, at 15 m/s and 120 m above ground.
    Position position() const {
        double t = secondsSince(t0_) * 15.0;
        int leg = static_cast<int>(t / 300.0);
        double along = std::fmod(t, 300.0);
        double north = leg % 2 == 0 ? along : 300.0 - along;
        Position p;
        p.lat = static_cast<int32_t>(-353632621 + north / 111320.0 * 1e7);
        p.lon = static_cast<int32_t>(1491652374 + leg * 40.0 / 90800.0 * 1e7);
        p.altMm = 704000;
        p.hdg = leg % 2 == 0 ? 0 : 18000;
        return p;
    }
    void tick() {
        auto nextHb = Clock::now(), nextPos = Clock::now();
        while (!stop_) {
            auto now = Clock::now();
            if (now >= nextHb) {
                nextHb += seconds(1);
                mavlink_message_t msg{};
                mavlink_msg_heartbeat_pack_chan(FC_SYSID, FC_COMPID, &fcChan_, &msg, 1, 3, armed ? 128 + 89 : 89, 10,
                                                active ? 4 : 3);
                send(&msg);
            }
            if (now >= nextPos) {
                nextPos += milliseconds(200);
                if (positions) {
                    Position p = position();
                    mavlink_message_t msg{};
                    uint32_t bootMs = static_cast<uint32_t>(secondsSince(t0_) * 1000);
                    mavlink_msg_global_position_int_pack_chan(FC_SYSID, FC_COMPID, &fcChan_, &msg, bootMs, p.lat, p.lon,
                                                              p.altMm, 120000, 0, 1500, 0, p.hdg);
                    send(&msg);
                }
            }
            std::this_thread::sleep_until(std::min(nextHb, nextPos));
        }
    }
    void receive() {
        mavlink_parser_t parser{};
        mavlink_message_t msg;
        uint8_t buf[4096];
        while (!stop_) {
            pollfd p{line_->master, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            ssize_t n = read(line_->master, buf, sizeof buf);
            for (ssize_t k = 0; k < n; ++k) {
                if (!mavlink_parse_char(&parser, buf[k], &msg) || msg.sysid != 100) continue;
                if (msg.msgid == MAVLINK_MSG_ID_REMOTE_LOG_BLOCK_STATUS) {
                    uint32_t seq = mavlink_msg_remote_log_block_status_get_seqno(&msg);
                    if (seq < blocks_ && mavlink_msg_remote_log_block_status_get_status(&msg) == 1 && !acked_[seq].exchange(true))
                        ++acks_;
                } else if (msg.msgid == MAVLINK_MSG_ID_COMMAND_LONG &&
                           mavlink_msg_command_long_get_command(&msg) == MAV_CMD_DO_SET_SERVO &&
                           mavlink_msg_command_long_get_param2(&msg) == TOGGLE_PWM) {
                    // The camera switches to USB storage: its disk shows up.
                    vt::writeFile(device_, "");
                }
            }
        }
    }

    Pty* line_;
    std::string device_;
    std::unique_ptr<std::atomic<bool>[]> acked_;
    size_t blocks_;
    std::atomic<size_t> acks_{0};
    std::mutex io_;
    mavlink_channel_t fcChan_{}, gcsChan_{};
    uint16_t imageIndex_ = 0;
    Clock::time_point t0_ = Clock::now();
    std::atomic<bool> stop_{false};
    std::thread rx_, tick_;
};

std::string randomLog(size_t blocks) {
    std::mt19937 rng(20240611);
    std::string data(blocks * 200, '\0');
    for (auto& c : data) c = static_cast<char>(rng());
    return data;
}

// The log file the daemon opened last (from its "created log file" lines).
std::string lastLogFile(const std::string& output) {
    const std::string tag = "logHandlerThread created log file ";
    size_t at = output.rfind(tag);
    if (at == std::string::npos) return "";
    size_t end = output.find('\n', at);
    return output.substr(at + tag.size(), end - at - tag.size());
}

int runSoak(double flightSeconds, double blocksPerSecond) {
    Sandbox box;
    Pty line;
    if (!line.open()) {
        fprintf(stderr, "no pseudo-terminal\n");
        return 1;
    }
    size_t blocks = static_cast<size_t>(std::ceil(flightSeconds * blocksPerSecond));
    std::string log = randomLog(blocks);
    vt::makeDirs(box.root + "/dev");
    Peer peer(&line, box.root + "/dev/sda1", blocks);

    vt::Process daemon(box.flight, "daemon", vt::daemonArgv({line.path, "1500000"}), {{"VORN_ROOT", box.root}});
    OutputTail out(box.flight + "/daemon.out");
    if (!out.waitFor("flight controller on", 1, seconds(30))) {
        fprintf(stderr, "daemon did not open the line\n%s", daemon.output().c_str());
        return 1;
    }
    peer.start();

    // Preflight: the card is found after the toggle pulse, its files noted, the card unmounted,
    // and the log thread opens a new log file.
    peer.sendPreflight(2, "soak");
    bool preflight = out.waitFor("unmount_survey3", 1, seconds(90)) && out.waitFor(" is unmounted", 1, seconds(60)) &&
                     out.waitFor("logHandlerThread created log file", 2, seconds(30));
    check(preflight, "preflight done (card mounted, noted, unmounted; new log file)");
    std::string logFile = lastLogFile(out.all());
    std::map<int, std::string> fdsBefore = openFds(daemon.pid());

    // The flight: armed and active, positions, feedbacks and the log stream together.
    peer.armed = true;
    peer.active = true;
    peer.positions = true;
    std::vector<std::pair<double, long>> rss; // (seconds into the flight, kB)
    auto t0 = Clock::now();
    double cpu0 = cpuSeconds(daemon.pid());
    auto nextFeedback = t0 + milliseconds(500), nextSample = t0;
    const auto feedbackPeriod = milliseconds(1050);
    const auto blockGap = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / blocksPerSecond));
    const auto end = t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(flightSeconds));
    auto nextBlock = t0;
    size_t nextSeq = 0;
    int feedbacks = 0;
    while (Clock::now() < end) {
        auto now = Clock::now();
        if (now >= nextFeedback) {
            nextFeedback += feedbackPeriod;
            peer.sendFeedback();
            ++feedbacks;
        }
        while (nextSeq < blocks && now >= nextBlock) {
            peer.sendBlock(static_cast<uint32_t>(nextSeq++), log);
            nextBlock += blockGap;
        }
        if (now >= nextSample) {
            nextSample += seconds(5);
            rss.emplace_back(secondsSince(t0), rssKb(daemon.pid()));
        }
        std::this_thread::sleep_until(std::min({nextFeedback, nextSeq < blocks ? nextBlock : end, nextSample, end}));
    }
    double cpu = cpuSeconds(daemon.pid()) - cpu0, wall = secondsSince(t0);
    std::string load = loadAverage();

    // As a flight controller does: resend what was not acknowledged, a second after the last send.
    size_t resent = 0;
    auto resendDeadline = Clock::now() + seconds(120);
    for (;;) {
        std::this_thread::sleep_for(seconds(1));
        std::vector<uint32_t> missing;
        for (size_t s = 0; s < nextSeq; ++s)
            if (!peer.acked(s)) missing.push_back(static_cast<uint32_t>(s));
        if (missing.empty() || Clock::now() > resendDeadline) break;
        for (uint32_t s : missing) peer.sendBlock(s, log);
        resent += missing.size();
    }

    // Landing: the disarm stops the log stream and starts the postflight (the card mounted
    // again, its shots read with no images to pair).
    peer.positions = false;
    peer.active = false;
    peer.armed = false;
    bool postflight = out.waitFor("postflight_survey3", 1, seconds(120)) && out.waitFor(" files to process", 1, seconds(60));
    check(postflight, "postflight ran");
    // The camera thread is idle again once it has reported the pass; descriptors are compared then.
    std::this_thread::sleep_for(seconds(2)); // let the shell children of the pass be reaped
    std::map<int, std::string> fdsAfter = openFds(daemon.pid());
    long rssAfter = rssKb(daemon.pid());
    int received = out.count("got  CAMERA_FEEDBACK"), used = out.count("used CAMERA_FEEDBACK");
    long long rows = imageRows(box.flight + "/geodata.db");

    double warmup = std::min(60.0, flightSeconds / 5);
    long lo = LONG_MAX, hi = 0, first = -1, last = -1;
    for (auto [t, kb] : rss) {
        if (t < warmup) continue;
        if (first < 0) first = kb;
        last = kb;
        lo = std::min(lo, kb);
        hi = std::max(hi, kb);
    }
    std::string note = "(" + fmt("%.0f", wall) + " s flight, " + load + ")";
    std::ostringstream samples;
    for (auto [t, kb] : rss) samples << fmt("%.0f", t) << "s:" << kb << " ";
    printf("RSS samples (kB): %s\n", samples.str().c_str());
    result("soak RSS after warm-up, first / last (kB)", std::to_string(first) + " / " + std::to_string(last),
           "warm-up " + fmt("%.0f", warmup) + " s");
    result("soak RSS drift after warm-up, max - min (kB)", std::to_string(hi - lo), note);
    result("soak RSS after postflight (kB)", std::to_string(rssAfter), "");
    result("soak daemon CPU (% of one core)", fmt("%.2f", 100.0 * cpu / wall), note);
    result("soak open descriptors before / after", std::to_string(fdsBefore.size()) + " / " + std::to_string(fdsAfter.size()), "");
    result("soak log blocks sent / acknowledged / resent",
           std::to_string(nextSeq) + " / " + std::to_string(peer.ackCount()) + " / " + std::to_string(resent),
           fmt("%.0f blocks/s", blocksPerSecond));
    result("soak feedbacks sent / received / used / rows stored",
           std::to_string(feedbacks) + " / " + std::to_string(received) + " / " + std::to_string(used) + " / " +
               std::to_string(rows),
           "a feedback within 1 s of the last used one is not used");

    check(hi - lo <= 1024, "RSS flat within 1 MB after warm-up");
    check(fdsBefore == fdsAfter, "same descriptors open before and after the flight");
    if (fdsBefore != fdsAfter)
        for (auto& [fd, target] : fdsAfter)
            if (fdsBefore.count(fd) == 0 || fdsBefore[fd] != target) printf("  new fd %d -> %s\n", fd, target.c_str());
    check(peer.ackCount() == blocks, "every log block acknowledged");
    check(!logFile.empty() && vt::readFile(logFile) == log, "log file " + logFile + " byte-identical to the stream");
    check(received == feedbacks, "every feedback received");
    check(rows == used && used > 0, "one shot row per feedback used");
    int status = daemon.stop(seconds(10));
    peer.stop();
    check(status == 0, "daemon stopped by SIGTERM with status 0");
    return g_failed ? 1 : 0;
}

} // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    std::string mode = argc > 1 ? argv[1] : "";
    double a = argc > 2 ? atof(argv[2]) : 0, b = argc > 3 ? atof(argv[3]) : 0;
    if (mode == "idle") return runIdle(a > 0 ? a : 30);
    if (mode == "shots") return runShots(a > 0 ? static_cast<int>(a) : 1000, argc > 3 && std::string(argv[3]) == "feedback");
    if (mode == "soak") return runSoak(a > 0 ? a : 600, b > 0 ? b : 50);
    fprintf(stderr, "usage: bench_footprint idle [SECONDS] | shots [N] [fifo|feedback] | soak [SECONDS] [LOG_BLOCKS_PER_S]\n");
    return 1;
}
