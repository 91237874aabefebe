// MAVLink 2 codec: framing, checksums, the byte parser and the messages the daemon uses.
#pragma once

#include "mavlink/mavlink_types.h"

// A message of the dialect: its id and the CRC extra byte that seeds its checksum.
struct mavlink_msg_entry_t {
    uint32_t msgid;
    uint8_t crc_extra;
};

// The dialect's entry of a message id, or nullptr for an id the dialect does not define.
const mavlink_msg_entry_t* mavlink_get_msg_entry(uint32_t msgid);

// Feeds one received byte to the parser of its stream. Returns 1 when the byte completed a
// valid MAVLink 2 frame of a message of the dialect, which is then stored in *msg (payload bytes
// beyond len zeroed); otherwise 0 and *msg is left alone. MAVLink 1 frames, garbage, frames
// with a bad checksum or of an id outside the dialect are skipped.
uint8_t mavlink_parse_char(mavlink_parser_t* parser, uint8_t c, mavlink_message_t* msg);

// Writes the wire bytes of msg to buf (room for MAVLINK_MAX_PACKET_LEN bytes) and returns
// their number. The checksum comes from msg->checksum, so a record prefix read from a pipe
// is enough.
uint16_t mavlink_msg_to_send_buffer(uint8_t* buf, const mavlink_message_t* msg);

// Builds msg from a payload in wire layout: trims trailing zero bytes (keeping one), stamps
// the header with the channel's next sequence number and computes the checksum. Returns the
// record prefix length, 12 + len.
uint16_t mavlink_finalize_message(mavlink_message_t* msg, uint8_t system_id, uint8_t component_id,
                                  mavlink_channel_t* chan, uint32_t msgid, const void* payload,
                                  uint8_t length, uint8_t crc_extra);

#include "mavlink/mavlink_msgs.h"
