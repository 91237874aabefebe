#include "scenario.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <set>
#include <thread>

#include "daemonProc.h"

namespace {

using Clock = std::chrono::steady_clock;

// A step that cannot run as written; carries the exit code. Caught in runScenario only.
struct StepFailure {
    int code;
    std::string message;
};

[[noreturn]] void fail(const Step& s, int code, const std::string& message) {
    throw StepFailure{code, s.where + ": " + s.verb + ": " + message};
}

double number(const Step& s, const std::string& text, const char* what) {
    char* end = nullptr;
    double v = strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(v)) fail(s, EXIT_USAGE, std::string("bad number for ") + what + ": " + text);
    return v;
}

double opt(const Step& s, const std::string& key, double def) {
    auto it = s.opts.find(key);
    return it == s.opts.end() ? def : number(s, it->second, key.c_str());
}

std::string optText(const Step& s, const std::string& key, const std::string& def = "") {
    auto it = s.opts.find(key);
    return it == s.opts.end() ? def : it->second;
}

std::string word(const Step& s, size_t i, const std::string& def = "") {
    return i < s.words.size() ? s.words[i] : def;
}

// Waits in small slices; false when the simulator is interrupted.
bool pause(Sim* sim, double seconds) {
    auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (Clock::now() < end) {
        if (sim->interrupted) return false;
        std::this_thread::sleep_for(std::min<Clock::duration>(std::chrono::milliseconds(20), end - Clock::now()));
    }
    return !sim->interrupted;
}

void pauseOrStop(Sim* sim, const Step& s, double seconds) {
    if (!pause(sim, seconds)) fail(s, EXIT_INTERRUPTED, "interrupted");
}

// The line a message goes out on: given by via=, else the flight controller's for its own
// messages and, for the ground station's requests, the modem when there is one.
Via viaOf(Sim* sim, const Step& s, bool fromGround) {
    std::string via = optText(s, "via", fromGround && sim->useModem ? "modem" : "fc");
    if (via == "fc") return Via::Fc;
    if (via != "modem") fail(s, EXIT_USAGE, "via must be fc or modem");
    if (!sim->useModem) fail(s, EXIT_USAGE, "via=modem needs --modem");
    return Via::Modem;
}

void send(Sim* sim, const Step& s, Via via, const mavlink_message_t* msg) {
    if (!simSend(sim, via, msg)) fail(s, EXIT_DAEMON, "the line stays full: the daemon does not read it");
}

void sendData96(Sim* sim, const Step& s, uint8_t type, const uint8_t* data, uint8_t len) {
    mavlink_message_t msg{};
    mavlink_msg_data96_pack_chan(GCS_SYSID, GCS_COMPID, simChannel(sim, Via::Modem), &msg, type, len, data);
    send(sim, s, viaOf(sim, s, true), &msg);
}

// A command through the modem comes from the ground station's ids, otherwise from the FC's.
void sendCommand(Sim* sim, const Step& s, uint16_t command, const float p[7]) {
    Via via = viaOf(sim, s, false);
    bool fromFc = via == Via::Fc;
    mavlink_message_t msg{};
    mavlink_msg_command_long_pack_chan(fromFc ? static_cast<uint8_t>(sim->sysId) : GCS_SYSID, fromFc ? 1 : GCS_COMPID,
                                       simChannel(sim, via), &msg, DAEMON_SYSID, DAEMON_COMPID,
                                       command, 0, p[0], p[1], p[2], p[3], p[4], p[5], p[6]);
    send(sim, s, via, &msg);
}

void sendStatusText(Sim* sim, const Step& s, uint8_t severity, const std::string& text) {
    char buf[50] = {};
    memcpy(buf, text.data(), std::min(text.size(), sizeof buf));
    mavlink_message_t msg{};
    mavlink_msg_statustext_pack_chan(static_cast<uint8_t>(sim->sysId), 1, simChannel(sim, Via::Fc), &msg, severity, buf, 0, 0);
    send(sim, s, Via::Fc, &msg);
}

// ---- flight ---------------------------------------------------------------------------------

void setHeartbeat(Sim* sim, HbState hb) {
    {
        std::lock_guard<std::mutex> g(sim->state);
        sim->hb = hb;
    }
    simSendHeartbeat(sim); // the change is seen at once, then every second
}

void stepHeartbeat(Sim* sim, const Step& s) {
    static const std::map<std::string, HbState> states = {
        {"off", HbState::Off}, {"disarmed", HbState::Disarmed}, {"armed", HbState::Armed}, {"active", HbState::Active}};
    auto it = states.find(word(s, 0));
    if (it == states.end()) fail(s, EXIT_USAGE, "state must be disarmed, armed, active or off");
    setHeartbeat(sim, it->second);
}

void stepSystime(Sim* sim, const Step& s) {
    std::string mode = word(s, 0);
    if (mode != "on" && mode != "off" && mode != "nofix") fail(s, EXIT_USAGE, "expected on, off or nofix");
    std::lock_guard<std::mutex> g(sim->state);
    sim->sysTimeOn = mode != "off";
    sim->sysTimeFix = mode == "on";
}

void stepPosition(Sim* sim, const Step& s) {
    std::string mode = word(s, 0);
    if (mode != "on" && mode != "off") fail(s, EXIT_USAGE, "expected on [HZ] or off");
    double hz = mode == "on" ? (s.words.size() > 1 ? number(s, s.words[1], "rate") : 5.0) : 0.0;
    if (hz < 0 || hz > 1000) fail(s, EXIT_USAGE, "rate out of range");
    std::lock_guard<std::mutex> g(sim->state);
    sim->posHz = hz;
}

void stepOrigin(Sim* sim, const Step& s) {
    std::lock_guard<std::mutex> g(sim->state);
    sim->origin.lat = opt(s, "lat", sim->origin.lat);
    sim->origin.lon = opt(s, "lon", sim->origin.lon);
    sim->origin.alt = opt(s, "alt", sim->origin.alt);
}

// Waits under rxLock until done() holds; fails the step when the simulator is interrupted, the
// daemon ends or `timeout` seconds pass (what() then says what was awaited).
void awaitDaemon(Sim* sim, const Step& s, double timeout, const std::function<bool()>& done,
                 const std::function<std::string()>& what) {
    auto deadline = Clock::now() + std::chrono::duration<double>(timeout);
    std::unique_lock<std::mutex> lock(sim->rxLock);
    while (!done()) {
        if (sim->interrupted) fail(s, EXIT_INTERRUPTED, "interrupted");
        if (sim->daemonEnded) fail(s, EXIT_DAEMON, "the daemon has exited");
        if (Clock::now() >= deadline) fail(s, EXIT_TIMEOUT, "timed out after " + what());
        sim->rxCv.wait_for(lock, std::chrono::milliseconds(100));
    }
}

bool watchesDaemon(const Sim* sim) {
    return sim->daemonOut >= 0 || sim->watchFd >= 0;
}

// The daemon uses one CAMERA_FEEDBACK a second, counted from its arrival. When its output is
// watched, a feedback goes out once a second (and a little) has passed since the daemon was seen
// using the last one, which is after its arrival, and the step ends when the daemon has used it:
// no shot is lost to the hold-off, however slow the machine. after=S: not sooner than S seconds
// after the previous feedback (the flight between two shots).
void feedbackAt(Sim* sim, const Step& s) {
    const auto holdOff = std::chrono::milliseconds(1050);
    const auto flown = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(opt(s, "after", 0)));
    size_t used;
    Clock::time_point clear;
    {
        std::lock_guard<std::mutex> g(sim->rxLock);
        used = sim->feedbackUsed;
        clear = sim->feedbackSentAt + flown;
        if (watchesDaemon(sim)) clear = std::max(clear, sim->feedbackUsedAt + holdOff);
    }
    if (Clock::now() < clear) pauseOrStop(sim, s, std::chrono::duration<double>(clear - Clock::now()).count());
    Position p = simPosition(sim);
    p.lat = opt(s, "lat", p.lat);
    p.lon = opt(s, "lon", p.lon);
    p.alt = opt(s, "alt", p.alt);
    {
        std::lock_guard<std::mutex> g(sim->rxLock);
        sim->feedbackSentAt = Clock::now();
    }
    simSendFeedback(sim, p, opt(s, "roll", 0), opt(s, "pitch", 0), opt(s, "yaw", p.heading));
    say("fcsim: CAMERA_FEEDBACK lat=%.7f lon=%.7f alt=%.2f", p.lat, p.lon, p.alt);
    if (watchesDaemon(sim))
        awaitDaemon(sim, s, 30, [&] { return sim->feedbackUsed > used; },
                    [] { return std::string("30 s waiting for the daemon to use the CAMERA_FEEDBACK"); });
}

// Flies the pattern with positions streaming and one CAMERA_FEEDBACK every `every` seconds.
void stepSurvey(Sim* sim, const Step& s) {
    int shots = static_cast<int>(opt(s, "shots", 10));
    double every = opt(s, "every", 2.0);
    double savedHz;
    {
        std::lock_guard<std::mutex> g(sim->state);
        savedHz = sim->posHz;
        if (sim->posHz <= 0) sim->posHz = 5.0;
    }
    for (int i = 0; i < shots; ++i) {
        pauseOrStop(sim, s, every);
        feedbackAt(sim, s);
    }
    std::lock_guard<std::mutex> g(sim->state);
    sim->posHz = savedHz;
}

void stepLand(Sim* sim, const Step& s) {
    if (word(s, 0) == "text") {
        sendStatusText(sim, s, 6, "Executing command ID #189");
        return;
    }
    if (!s.words.empty()) fail(s, EXIT_USAGE, "expected \"land\" or \"land text\"");
    float p[7] = {};
    sendCommand(sim, s, 189, p);
}

void stepCommand(Sim* sim, const Step& s) {
    float p[7];
    for (int i = 0; i < 7; ++i) p[i] = static_cast<float>(opt(s, "p" + std::to_string(i + 1), 0));
    sendCommand(sim, s, static_cast<uint16_t>(number(s, word(s, 0), "command")), p);
}

void stepStatustext(Sim* sim, const Step& s) {
    sendStatusText(sim, s, static_cast<uint8_t>(number(s, word(s, 0), "severity")), word(s, 1));
}

void stepRc(Sim* sim, const Step& s) {
    uint16_t ch[8];
    for (int i = 0; i < 8; ++i) ch[i] = static_cast<uint16_t>(opt(s, "chan" + std::to_string(i + 1), 1500));
    mavlink_message_t msg{};
    mavlink_msg_rc_channels_raw_pack_chan(static_cast<uint8_t>(sim->sysId), 1, simChannel(sim, Via::Fc), &msg, 0, 0, ch[0], ch[1],
                                          ch[2], ch[3], ch[4], ch[5], ch[6], ch[7], 255);
    send(sim, s, Via::Fc, &msg);
}

void stepDigicam(Sim* sim, const Step& s) {
    mavlink_message_t msg{};
    mavlink_msg_digicam_configure_pack_chan(static_cast<uint8_t>(sim->sysId), 1, simChannel(sim, Via::Fc), &msg, DAEMON_SYSID,
                                            DAEMON_COMPID, static_cast<uint8_t>(opt(s, "mode", 10)), 0, 0, 0, 0, 0, 0, 0,
                                            0.0f);
    send(sim, s, Via::Fc, &msg);
}

// ---- ground station requests (DATA96) -------------------------------------------------------

void putText(uint8_t* dst, size_t room, const Step& s, const std::string& text, const char* what) {
    if (text.size() > room) fail(s, EXIT_USAGE, std::string(what) + " longer than " + std::to_string(room) + " bytes");
    memcpy(dst, text.data(), text.size());
}

void stepPreflight(Sim* sim, const Step& s) {
    uint8_t data[96] = {};
    auto now = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch());
    int64_t time = static_cast<int64_t>(opt(s, "time", static_cast<double>(now.count())));
    memcpy(data, &time, sizeof time); // little-endian host
    putText(data + 8, 32, s, optText(s, "mission"), "mission");
    data[40] = static_cast<uint8_t>(opt(s, "camtype", 1));
    sendData96(sim, s, 3, data, 43);
}

void stepVersion(Sim* sim, const Step& s) {
    uint8_t data[96] = {};
    sendData96(sim, s, 5, data, 0);
}

void stepUsb(Sim* sim, const Step& s) {
    std::string op = word(s, 0);
    uint8_t data[96] = {};
    data[0] = op == "attach" ? 2 : op == "release" ? 1 : static_cast<uint8_t>(number(s, op, "operation"));
    int16_t flight = static_cast<int16_t>(opt(s, "flight", 0));
    memcpy(data + 1, &flight, sizeof flight);
    sendData96(sim, s, 2, data, 3);
}

void stepWifi(Sim* sim, const Step& s) {
    std::string mode = word(s, 0);
    uint8_t data[96] = {};
    data[0] = mode == "ap" ? 1 : mode == "client" ? 2 : mode == "off" ? 3 : static_cast<uint8_t>(number(s, mode, "mode"));
    putText(data + 1, 32, s, optText(s, "ssid"), "ssid");
    putText(data + 33, 32, s, optText(s, "pass"), "pass");
    sendData96(sim, s, 1, data, 67);
}

void stepCameramode(Sim* sim, const Step& s) {
    std::string mode = word(s, 0);
    uint8_t data[96] = {};
    data[0] = mode == "still" ? 10 : mode == "movie" ? 11 : static_cast<uint8_t>(number(s, mode, "mode"));
    sendData96(sim, s, 6, data, 1);
}

void stepData96(Sim* sim, const Step& s) {
    std::string hex = optText(s, "hex");
    bool digits = std::all_of(hex.begin(), hex.end(), [](char c) { return isxdigit(static_cast<unsigned char>(c)); });
    if (!digits || hex.size() % 2 != 0 || hex.size() > 192)
        fail(s, EXIT_USAGE, "hex must be an even number of hex digits, at most 96 bytes");
    uint8_t data[96] = {};
    for (size_t i = 0; i < hex.size(); i += 2) data[i / 2] = static_cast<uint8_t>(strtoul(hex.substr(i, 2).c_str(), nullptr, 16));
    sendData96(sim, s, static_cast<uint8_t>(opt(s, "type", 0)), data,
               static_cast<uint8_t>(opt(s, "len", static_cast<double>(hex.size() / 2))));
}

// ---- remote log stream ----------------------------------------------------------------------

void sendBlock(Sim* sim, const Step& s, const std::vector<uint8_t>& file, uint32_t seq) {
    uint8_t data[200] = {};
    size_t at = static_cast<size_t>(seq) * 200;
    memcpy(data, file.data() + at, std::min<size_t>(200, file.size() - at));
    mavlink_message_t msg{};
    mavlink_msg_remote_log_data_block_pack_chan(static_cast<uint8_t>(sim->sysId), 1, simChannel(sim, Via::Fc), &msg, DAEMON_SYSID,
                                                DAEMON_COMPID, seq, data);
    send(sim, s, Via::Fc, &msg);
}

std::vector<uint32_t> sendOrder(const Step& s, uint32_t blocks) {
    std::vector<uint32_t> order(blocks);
    for (uint32_t i = 0; i < blocks; ++i) order[i] = i;
    std::string how = optText(s, "order", "seq");
    std::mt19937 rng(1); // the same shuffle every run
    if (how == "reverse")
        std::reverse(order.begin(), order.end());
    else if (how == "shuffle")
        std::shuffle(order.begin(), order.end(), rng);
    else if (how != "seq")
        fail(s, EXIT_USAGE, "order must be seq, reverse or shuffle");
    int dups = static_cast<int>(opt(s, "dup", 0));
    for (int i = 0; i < dups && blocks > 0; ++i) {
        size_t at = rng() % order.size();
        order.insert(order.begin() + static_cast<long>(at) + 1, order[at]);
    }
    return order;
}

std::vector<uint32_t> unacknowledged(Sim* sim, uint32_t blocks) {
    std::vector<uint32_t> pending;
    std::lock_guard<std::mutex> g(sim->rxLock);
    for (uint32_t i = 0; i < blocks; ++i)
        if (!sim->acked.count(i)) pending.push_back(i);
    return pending;
}

// Streams the file in 200-byte blocks and, as a flight controller does, sends every block
// again that has not been acknowledged a second after the last send.
void stepLogstream(Sim* sim, const Step& s) {
    std::ifstream in(word(s, 0), std::ios::binary);
    if (!in) fail(s, EXIT_USAGE, "cannot read " + word(s, 0));
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    uint32_t blocks = static_cast<uint32_t>((file.size() + 199) / 200);
    double rate = opt(s, "rate", 200);
    double gap = rate > 0 ? 1.0 / rate : 0.0;
    double timeout = opt(s, "timeout", 60);
    {
        std::lock_guard<std::mutex> g(sim->rxLock);
        sim->acked.clear();
    }
    auto deadline = Clock::now() + std::chrono::duration<double>(timeout);
    std::vector<uint32_t> batch = sendOrder(s, blocks);
    size_t resent = 0;
    for (bool first = true;; first = false) {
        for (uint32_t seq : batch) {
            // Without a gap nothing else looks at an interruption before the whole batch is out.
            if (sim->interrupted) fail(s, EXIT_INTERRUPTED, "interrupted");
            sendBlock(sim, s, file, seq);
            if (gap > 0) pauseOrStop(sim, s, gap);
        }
        if (!first) resent += batch.size();
        pauseOrStop(sim, s, 1.0);
        batch = unacknowledged(sim, blocks);
        if (batch.empty()) break;
        if (Clock::now() >= deadline)
            fail(s, EXIT_TIMEOUT, std::to_string(batch.size()) + " of " + std::to_string(blocks) +
                                      " blocks not acknowledged after " + optText(s, "timeout", "60") + " s");
    }
    say("fcsim: logstream %s: %u blocks, %zu resent, all acknowledged", word(s, 0).c_str(), blocks, resent);
}

// ---- waiting --------------------------------------------------------------------------------

double waitTimeout(const Step& s, size_t firstNumberWord) {
    if (s.words.size() > firstNumberWord) return number(s, s.words[firstNumberWord], "timeout");
    return opt(s, "timeout", 30);
}

bool rxMatches(const RxRecord& rec, const Step& s) {
    if (rec.name != word(s, 1)) return false;
    for (const auto& [key, value] : s.opts) {
        if (key == "count" || key == "timeout") continue;
        const std::string* got = fieldOf(rec, key);
        if (!got || (*got != value && *got != "\"" + value + "\"")) return false; // a text with or without its quotes
    }
    return true;
}

// Waits until the scenario's condition holds on what has arrived since the last match; the
// match then moves the cursor past what it used, so one line or message satisfies one wait.
void stepWait(Sim* sim, const Step& s) {
    bool isLog = word(s, 0) == "log", isFile = word(s, 0) == "file";
    if (isLog && !watchesDaemon(sim))
        fail(s, EXIT_USAGE, "no daemon output to watch: start the daemon after -- or give --watch");
    double timeout = waitTimeout(s, 2);
    long need = isLog ? 1 : static_cast<long>(opt(s, "count", 1));
    long found = 0;
    auto matched = [&] {
        if (isFile) return access(word(s, 1).c_str(), F_OK) == 0;
        if (isLog) {
            for (; sim->logCursor < sim->log.size(); ++sim->logCursor)
                if (sim->log[sim->logCursor].find(word(s, 1)) != std::string::npos) {
                    ++sim->logCursor;
                    return true;
                }
        } else {
            for (; sim->rxCursor < sim->rx.size(); ++sim->rxCursor)
                if (rxMatches(sim->rx[sim->rxCursor], s) && ++found == need) {
                    ++sim->rxCursor;
                    return true;
                }
        }
        return false;
    };
    awaitDaemon(sim, s, timeout, matched, [&] {
        std::string what = isLog || isFile ? word(s, 0) + " \"" + word(s, 1) + "\""
                                           : "rx " + word(s, 1) + " (" + std::to_string(found) + " of " + std::to_string(need) +
                                       " seen)";
        return (s.words.size() > 2 ? s.words[2] : optText(s, "timeout", "30")) + " s waiting for " + what;
    });
}

void stepMark(Sim* sim, const Step&) {
    std::lock_guard<std::mutex> g(sim->rxLock);
    sim->logCursor = sim->log.size();
    sim->rxCursor = sim->rx.size();
}

// ---- the rest -------------------------------------------------------------------------------

void stepSleep(Sim* sim, const Step& s) {
    pauseOrStop(sim, s, number(s, word(s, 0), "seconds"));
}

void stepHangup(Sim* sim, const Step& s) {
    if (sim->fc.linkPath.empty()) fail(s, EXIT_USAGE, "needs --link, so the daemon finds the new line");
    if (!simHangup(sim, s.words.empty() ? 1.0 : number(s, word(s, 0), "seconds")))
        fail(s, EXIT_DAEMON, "cannot open a new line");
}

void stepStop(Sim* sim, const Step& s) {
    if (sim->daemonPid < 0) fail(s, EXIT_USAGE, "no daemon started by the simulator");
    int status = stopDaemon(sim, s.words.empty() ? 10.0 : number(s, word(s, 0), "seconds"));
    if (status != 0) fail(s, EXIT_DAEMON, "daemon exit status " + std::to_string(status));
}

void stepSay(Sim*, const Step& s) {
    std::string text;
    for (const auto& w : s.words) text += (text.empty() ? "" : " ") + w;
    say("fcsim: %s", text.c_str());
}

struct Verb {
    const char* name;
    size_t minWords, maxWords;
    std::set<std::string> keys;
    void (*run)(Sim*, const Step&);
};

const std::set<std::string> VIA = {"via"};

const std::vector<Verb>& verbs() {
    static const std::vector<Verb> table = {
        {"heartbeat", 1, 1, {}, stepHeartbeat},
        {"arm", 0, 0, {}, [](Sim* sim, const Step&) { setHeartbeat(sim, HbState::Armed); }},
        {"disarm", 0, 0, {}, [](Sim* sim, const Step&) { setHeartbeat(sim, HbState::Disarmed); }},
        {"systime", 1, 1, {}, stepSystime},
        {"position", 1, 2, {}, stepPosition},
        {"origin", 0, 0, {"lat", "lon", "alt"}, stepOrigin},
        {"feedback", 0, 0, {"lat", "lon", "alt", "roll", "pitch", "yaw", "after"}, feedbackAt},
        {"survey", 0, 0, {"shots", "every", "roll", "pitch", "yaw"}, stepSurvey},
        {"land", 0, 1, VIA, stepLand},
        {"command", 1, 1, {"p1", "p2", "p3", "p4", "p5", "p6", "p7", "via"}, stepCommand},
        {"statustext", 2, 2, {}, stepStatustext},
        {"rc", 0, 0, {"chan1", "chan2", "chan3", "chan4", "chan5", "chan6", "chan7", "chan8"}, stepRc},
        {"digicam", 0, 0, {"mode"}, stepDigicam},
        {"preflight", 0, 0, {"camtype", "mission", "time", "via"}, stepPreflight},
        {"version", 0, 0, VIA, stepVersion},
        {"usb", 1, 1, {"flight", "via"}, stepUsb},
        {"wifi", 1, 1, {"ssid", "pass", "via"}, stepWifi},
        {"cameramode", 1, 1, VIA, stepCameramode},
        {"data96", 0, 0, {"type", "len", "hex", "via"}, stepData96},
        {"logstream", 1, 1, {"rate", "order", "dup", "timeout"}, stepLogstream},
        {"wait", 2, 3, {"*"}, stepWait},
        {"mark", 0, 0, {}, stepMark},
        {"sleep", 1, 1, {}, stepSleep},
        {"hangup", 0, 1, {}, stepHangup},
        {"stop", 0, 1, {}, stepStop},
        {"say", 0, 100, {}, stepSay},
    };
    return table;
}

const Verb* findVerb(const std::string& name) {
    for (const auto& v : verbs())
        if (name == v.name) return &v;
    return nullptr;
}

bool isKey(const std::string& w, size_t eq) {
    if (eq == 0 || eq == std::string::npos) return false;
    for (size_t i = 0; i < eq; ++i)
        if (!isalnum(static_cast<unsigned char>(w[i])) && w[i] != '_') return false;
    return true;
}

} // namespace

bool parseStep(const std::string& line, const std::string& where, Step* step, std::string* err) {
    std::vector<std::string> tokens;
    std::vector<bool> hasKey; // the '=' of a token lay outside quotes
    std::string cur;
    bool inToken = false, inQuote = false;
    size_t eqOutside = std::string::npos;
    for (size_t i = 0; i <= line.size(); ++i) {
        char c = i < line.size() ? line[i] : '\0';
        if (inQuote) {
            if (c == '\0') {
                *err = where + ": unterminated quote";
                return false;
            }
            if (c == '\\' && i + 1 < line.size()) cur += line[++i];
            else if (c == '"') inQuote = false;
            else cur += c;
        } else if (c == '"') {
            inQuote = inToken = true;
        } else if (c == '\0' || c == ' ' || c == '\t' || c == '\r') {
            if (inToken) {
                tokens.push_back(cur);
                hasKey.push_back(eqOutside != std::string::npos);
            }
            cur.clear();
            inToken = false;
            eqOutside = std::string::npos;
        } else if (c == '#' && !inToken) {
            break;
        } else {
            if (c == '=' && eqOutside == std::string::npos) eqOutside = cur.size();
            cur += c;
            inToken = true;
        }
    }
    if (inToken) { // a comment right after a token
        tokens.push_back(cur);
        hasKey.push_back(eqOutside != std::string::npos);
    }
    if (tokens.empty()) return false;
    *step = Step{where, tokens[0], {}, {}};
    for (size_t i = 1; i < tokens.size(); ++i) {
        size_t eq = tokens[i].find('=');
        if (hasKey[i] && isKey(tokens[i], eq))
            step->opts[tokens[i].substr(0, eq)] = tokens[i].substr(eq + 1);
        else
            step->words.push_back(tokens[i]);
    }
    return true;
}

bool checkStep(const Step& step, std::string* err) {
    const Verb* v = findVerb(step.verb);
    if (!v) {
        *err = step.where + ": unknown step \"" + step.verb + "\"";
        return false;
    }
    if (step.words.size() < v->minWords || step.words.size() > v->maxWords) {
        *err = step.where + ": " + step.verb + ": wrong number of words";
        return false;
    }
    for (const auto& [key, value] : step.opts)
        if (!v->keys.count("*") && !v->keys.count(key)) {
            *err = step.where + ": " + step.verb + ": unknown option " + key;
            return false;
        }
    if (step.verb == "wait" && step.words[0] != "log" && step.words[0] != "rx" && step.words[0] != "file") {
        *err = step.where + ": wait: expected \"wait log TEXT [SECONDS]\", \"wait file PATH [SECONDS]\" or "
                            "\"wait rx NAME [field=value ...]\"";
        return false;
    }
    return true;
}

int runScenario(Sim* sim, const std::vector<Step>& steps) {
    for (const auto& s : steps) {
        try {
            findVerb(s.verb)->run(sim, s);
        } catch (const StepFailure& f) {
            fprintf(stderr, "fcsim: %s\n", f.message.c_str());
            say("fcsim: FAILED %s", f.message.c_str());
            return f.code;
        }
    }
    return EXIT_OK;
}
