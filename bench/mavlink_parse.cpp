// MAVLink parse throughput on one core, byte at a time as the serial thread feeds the parser,
// compared with the flight-controller line (1.5 Mbaud, about 150 kB/s).
//
//   bench_mavlink_parse [CPU seconds per stream, default 2]
//
// Streams: a realistic flight-controller mix (telemetry the daemon ignores, the messages it
// reads, a dataflash log stream, a little line noise), pure random noise, and worst cases of
// repeated false frame starts that each claim a full-length payload.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <vector>

#include "mavlink/mavlink.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr double LINE_RATE = 150e3;  // bytes per second at 1.5 Mbaud

struct Kind {
    uint32_t msgid;
    uint8_t length;
    uint8_t crcExtra;
    int perCycle;
};

// Roughly what an autopilot streams to a companion computer while logging to it.
const Kind MIX[] = {
    {30, 28, 39, 10},                                                        // ATTITUDE
    {74, 20, 20, 5},                                                         // VFR_HUD
    {27, 29, 144, 5},                                                        // RAW_IMU
    {24, 30, 24, 2},                                                         // GPS_RAW_INT
    {65, 42, 118, 5},                                                        // RC_CHANNELS
    {MAVLINK_MSG_ID_SYS_STATUS, 31, MAVLINK_MSG_ID_SYS_STATUS_CRC, 2},
    {MAVLINK_MSG_ID_SERVO_OUTPUT_RAW, 21, MAVLINK_MSG_ID_SERVO_OUTPUT_RAW_CRC, 5},
    {MAVLINK_MSG_ID_GLOBAL_POSITION_INT, 28, MAVLINK_MSG_ID_GLOBAL_POSITION_INT_CRC, 5},
    {MAVLINK_MSG_ID_RC_CHANNELS_RAW, 22, MAVLINK_MSG_ID_RC_CHANNELS_RAW_CRC, 5},
    {MAVLINK_MSG_ID_HEARTBEAT, 9, MAVLINK_MSG_ID_HEARTBEAT_CRC, 1},
    {MAVLINK_MSG_ID_SYSTEM_TIME, 12, MAVLINK_MSG_ID_SYSTEM_TIME_CRC, 1},
    {MAVLINK_MSG_ID_REMOTE_LOG_DATA_BLOCK, 206, MAVLINK_MSG_ID_REMOTE_LOG_DATA_BLOCK_CRC, 20},
};

Bytes realisticStream(size_t size) {
    std::mt19937 rng(1);
    mavlink_channel_t chan{};
    Bytes out;
    while (out.size() < size) {
        for (const Kind& kind : MIX) {
            for (int k = 0; k < kind.perCycle; ++k) {
                uint8_t payload[255];
                for (int j = 0; j < kind.length; ++j) payload[j] = static_cast<uint8_t>(rng());
                mavlink_message_t msg{};
                mavlink_finalize_message(&msg, 1, 1, &chan, kind.msgid, payload, kind.length, kind.crcExtra);
                uint8_t wire[MAVLINK_MAX_PACKET_LEN];
                out.insert(out.end(), wire, wire + mavlink_msg_to_send_buffer(wire, &msg));
            }
        }
        for (int j = 0; j < 5; ++j) out.push_back(static_cast<uint8_t>(rng()));  // line noise
    }
    return out;
}

Bytes noiseStream(size_t size) {
    std::mt19937 rng(2);
    Bytes out(size);
    for (auto& b : out) b = static_cast<uint8_t>(rng());
    return out;
}

// Headers claiming 255 payload bytes: of an unknown message (dropped at its header) and of a
// known one (checked only once all its bytes are in).
Bytes falseStartStream(size_t size, uint8_t msgid) {
    Bytes out;
    while (out.size() < size) out.insert(out.end(), {MAVLINK_STX, 0xff, 0, 0, 0, 1, 1, msgid, 0, 0});
    return out;
}

// CPU time of this thread, so that other work on a shared machine does not count.
double cpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

void measure(const char* name, const Bytes& stream, double seconds) {
    mavlink_parser_t parser{};
    mavlink_message_t msg;
    size_t bytes = 0, frames = 0;
    double t0 = cpuSeconds(), elapsed = 0;
    do {
        for (uint8_t c : stream) frames += mavlink_parse_char(&parser, c, &msg);
        bytes += stream.size();
        elapsed = cpuSeconds() - t0;
    } while (elapsed < seconds);
    double rate = bytes / elapsed;
    printf("%-22s %8.1f MB/s  %7.0fx line rate  %zu frames accepted\n", name, rate / 1e6, rate / LINE_RATE, frames);
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? atof(argv[1]) : 2.0;
    constexpr size_t SIZE = 4 << 20;
    measure("realistic mix", realisticStream(SIZE), seconds);
    measure("random noise", noiseStream(SIZE), seconds);
    measure("false starts, unknown", falseStartStream(SIZE, 3), seconds);  // no message 3 in the dialect
    measure("false starts, known", falseStartStream(SIZE, MAVLINK_MSG_ID_REMOTE_LOG_DATA_BLOCK), seconds);
    return 0;
}
