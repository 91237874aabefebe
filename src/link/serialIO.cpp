#include "link/serialIO.h"

#include <cstring>

#include "core/clock.h"
#include "core/logging.h"

std::atomic<uint8_t> msgFilter[256];
std::atomic<uint8_t> msgModemFilter[256];

namespace {

constexpr uint32_t MSG_ID_COMMAND_LONG = 76;
constexpr uint16_t CMD_DO_LAND_START = 189;

uint16_t commandOf(const mavlink_message_t* msg) {
    uint16_t command;
    memcpy(&command, msg->payload + 28, sizeof command);
    return command;
}

int filterWith(const std::atomic<uint8_t>* table, const mavlink_message_t* msg) {
    if (msg->msgid == MSG_ID_COMMAND_LONG) return commandOf(msg) == CMD_DO_LAND_START ? 0 : 1;
    if (msg->msgid < 256 && table[msg->msgid] != 0) return 0;
    return 1;
}

} // namespace

void initMsgFilters() {
    for (int i = 0; i < 256; ++i) {
        msgFilter[i] = 0;
        msgModemFilter[i] = 0;
    }
    msgFilter[0] = 1;   // HEARTBEAT
    msgFilter[1] = 0;   // SYS_STATUS
    msgFilter[2] = 1;   // SYSTEM_TIME, cleared once the clock has been set
    msgFilter[33] = 1;  // GLOBAL_POSITION_INT
    msgFilter[35] = 1;  // RC_CHANNELS_RAW
    msgFilter[36] = 0;  // SERVO_OUTPUT_RAW
    msgFilter[76] = 1;  // COMMAND_LONG (DO_LAND_START only)
    msgFilter[112] = 0; // CAMERA_TRIGGER
    msgFilter[154] = 1; // DIGICAM_CONFIGURE
    msgFilter[155] = 0; // DIGICAM_CONTROL
    msgFilter[172] = 1; // DATA96
    msgFilter[180] = 1; // CAMERA_FEEDBACK
    msgFilter[184] = 1; // REMOTE_LOG_DATA_BLOCK
    msgFilter[185] = 1; // REMOTE_LOG_BLOCK_STATUS
    msgFilter[253] = 1; // STATUSTEXT
    msgModemFilter[76] = 1;
    msgModemFilter[172] = 1;
    msgModemFilter[253] = 1;
}

int filterMsg(const mavlink_message_t* msg) {
    return filterWith(msgFilter, msg);
}

int filterModemMsg(const mavlink_message_t* msg) {
    return filterWith(msgModemFilter, msg);
}

// Not built yet: announces itself and waits for the stop flag.
void serialIOThread(AppContext* ctx) {
    logPuts("vorn-camera serialIO started...");
    while (!ctx->quit) sleepMs(1000);
}
