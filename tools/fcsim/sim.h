// The simulated flight controller and ground station: the pty lines to the daemon, the flight
// state played at fixed rates (HEARTBEAT 1 Hz, SYSTEM_TIME 1 Hz, GLOBAL_POSITION_INT along a
// survey pattern with ATTITUDE and GPS_RAW_INT), one-off messages, and everything received back,
// kept for the waits.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "decode.h"
#include "mavlink/mavlink.h"
#include "pty.h"

enum class Via { Fc, Modem };
enum class HbState { Off, Disarmed, Armed, Active };

constexpr uint8_t GCS_SYSID = 255;
constexpr uint8_t GCS_COMPID = 190;
constexpr uint8_t DAEMON_SYSID = 100;
constexpr uint8_t DAEMON_COMPID = 100;

struct Position {
    double lat = -35.3632621; // degrees
    double lon = 149.1652374;
    double alt = 584.0;       // metres above mean sea level
    double relAlt = 0.0;      // metres above home
    double heading = 0.0;     // degrees
    double vn = 0.0, ve = 0.0;// m/s
};

struct Sim {
    // configuration
    int sysId = 1;
    bool verbose = false;  // also print our own messages coming back through the bridge
    bool printLog = true;  // echo daemon output lines as "LOG ..."
    bool useModem = false;

    std::mutex io; // one writer at a time on the ptys
    PtyPair fc, modem;
    // Sequence numbers of our two identities; the tick thread and the scenario both pack on
    // them, so a pack holds `channels` (see simChannel).
    std::mutex channels;
    mavlink_channel_t fcChan{}, gcsChan{};

    // flight state, guarded by `state`
    std::mutex state;
    HbState hb = HbState::Disarmed;
    bool sysTimeOn = true;
    bool sysTimeFix = true;
    double posHz = 0.0;       // 0: no position stream
    Position origin;
    double flown = 0.0;       // seconds flown along the survey pattern
    uint16_t imageIndex = 0;

    // received, guarded by `rxLock`
    std::mutex rxLock;
    std::condition_variable rxCv;
    std::vector<RxRecord> rx;         // messages from the daemon (not our own bridged back)
    size_t rxCursor = 0;
    std::vector<std::string> log;     // daemon output lines
    size_t logCursor = 0;
    std::set<uint32_t> acked;         // log blocks acknowledged since the stream began
    std::chrono::steady_clock::time_point feedbackSentAt; // the last CAMERA_FEEDBACK sent
    size_t feedbackUsed = 0;          // CAMERA_FEEDBACKs the daemon logged as used, and when the
    std::chrono::steady_clock::time_point feedbackUsedAt; // last of them was seen

    // the daemon, when we started it
    pid_t daemonPid = -1;
    int daemonOut = -1;  // read end of its stdout + stderr
    int watchFd = -1;    // log file of a daemon started by hand
    int rawLogFd = -1;   // copy of the daemon output
    std::atomic<bool> daemonEnded{false};

    std::atomic<bool> stop{false};
    std::atomic<bool> interrupted{false}; // SIGINT or SIGTERM to the simulator
    std::thread rxThread, tickThread;
};

// Opens the ptys (modem only when useModem).
bool simOpen(Sim* sim, const std::string& fcLink, const std::string& modemLink);
void simStart(Sim* sim);    // starts the receive and rate threads
void simShutdown(Sim* sim); // stops the threads, closes the ptys

// Sends one message on the chosen line; false when that line is not open.
// The flight controller's (Via::Fc) or the ground station's channel, locked until the end of
// the full expression it appears in: `mavlink_msg_x_pack_chan(..., simChannel(sim, Via::Fc), ...)`.
struct LockedChannel {
    std::unique_lock<std::mutex> hold;
    mavlink_channel_t* chan;
    operator mavlink_channel_t*() const { return chan; }
};
LockedChannel simChannel(Sim* sim, Via identity);

bool simSend(Sim* sim, Via via, const mavlink_message_t* msg);
void simSendHeartbeat(Sim* sim);
void simSendFeedback(Sim* sim, const Position& pos, double roll, double pitch, double yaw);
Position simPosition(Sim* sim); // where the aircraft is now

// Closes the flight-controller line (the daemon reads end-of-file), waits, and offers a fresh
// one behind the same link.
bool simHangup(Sim* sim, double seconds);

// Thread-safe whole-line output on standard output.
void say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
