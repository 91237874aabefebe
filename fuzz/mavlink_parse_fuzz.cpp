// Feeds arbitrary bytes to the MAVLink parser. Every frame it accepts must be well formed and
// must survive serialising and parsing again unchanged.
#include <cstdlib>
#include <cstring>

#include "mavlink/mavlink.h"

namespace {

void require(bool ok) {
    if (!ok) abort();
}

// Every accessor path on the accepted record, so trimmed payloads are read at every offset.
void readFields(const mavlink_message_t* msg) {
    mavlink_heartbeat_t hb;
    mavlink_global_position_int_t pos;
    mavlink_data96_t d96;
    mavlink_remote_log_data_block_t block;
    mavlink_statustext_t text;
    mavlink_camera_feedback_t feedback;
    mavlink_msg_heartbeat_decode(msg, &hb);
    mavlink_msg_global_position_int_decode(msg, &pos);
    mavlink_msg_data96_decode(msg, &d96);
    mavlink_msg_remote_log_data_block_decode(msg, &block);
    mavlink_msg_statustext_decode(msg, &text);
    mavlink_msg_camera_feedback_decode(msg, &feedback);
    require(mavlink_msg_global_position_int_get_hdg(msg) == pos.hdg);
    require(mavlink_msg_camera_feedback_get_completed_captures(msg) == feedback.completed_captures);
    char chars[50];
    require(mavlink_msg_statustext_get_text(msg, chars) == 50 && memcmp(chars, text.text, 50) == 0);
}

void checkAccepted(const mavlink_message_t* msg) {
    require(msg->magic == MAVLINK_STX);
    require((msg->incompat_flags & ~MAVLINK_IFLAG_SIGNED) == 0);
    for (size_t k = msg->len; k < sizeof msg->payload; ++k) require(msg->payload[k] == 0);
    readFields(msg);

    uint8_t wire[MAVLINK_MAX_PACKET_LEN];
    uint16_t n = mavlink_msg_to_send_buffer(wire, msg);
    mavlink_parser_t again{};
    mavlink_message_t copy;
    int found = 0;
    for (uint16_t k = 0; k < n; ++k) found += mavlink_parse_char(&again, wire[k], &copy);
    require(found == 1);
    require(memcmp(&copy, msg, sizeof copy) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    mavlink_parser_t parser{};
    mavlink_message_t msg;
    for (size_t k = 0; k < size; ++k)
        if (mavlink_parse_char(&parser, data[k], &msg)) checkAccepted(&msg);
    return 0;
}
