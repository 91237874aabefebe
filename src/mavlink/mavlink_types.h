// The in-memory MAVLink 2 message record, laid out as on a little-endian 32-bit target.
// Its first 12 + len bytes (header and payload) cross msgPipe and fcPipe; the whole
// 291-byte record crosses logPipe.
#pragma once

#include <cstddef>
#include <cstdint>

#define MAVLINK_MAX_PAYLOAD_LEN 255
#define MAVLINK_NUM_CHECKSUM_BYTES 2
#define MAVLINK_SIGNATURE_BLOCK_LEN 13
#define MAVLINK_STX 253
#define MAVLINK_CORE_HEADER_LEN 9
#define MAVLINK_NUM_NON_PAYLOAD_BYTES 12
#define MAVLINK_MAX_PACKET_LEN 280
#define MAVLINK_IFLAG_SIGNED 0x01

struct __attribute__((packed)) mavlink_message_t {
    uint16_t checksum;
    uint8_t magic;
    uint8_t len;
    uint8_t incompat_flags;
    uint8_t compat_flags;
    uint8_t seq;
    uint8_t sysid;
    uint8_t compid;
    uint32_t msgid : 24;
    uint8_t payload[264];
    uint8_t ck[2];
    uint8_t signature[MAVLINK_SIGNATURE_BLOCK_LEN];
};

static_assert(sizeof(mavlink_message_t) == 291);
static_assert(offsetof(mavlink_message_t, magic) == 2);
static_assert(offsetof(mavlink_message_t, len) == 3);
static_assert(offsetof(mavlink_message_t, seq) == 6);
static_assert(offsetof(mavlink_message_t, payload) == 12);
static_assert(offsetof(mavlink_message_t, ck) == 276);
static_assert(offsetof(mavlink_message_t, signature) == 278);

// Send-side state of one sending module: its own sequence numbers. Zero-initialise.
struct mavlink_channel_t {
    uint8_t seq;
};

// Parse state of one byte stream. Zero-initialise. Holds the bytes from the latest
// candidate start byte on, so that a false start inside garbage can be rescanned.
struct mavlink_parser_t {
    uint8_t buf[MAVLINK_MAX_PACKET_LEN];
    uint16_t have;  // bytes held in buf
    uint16_t need;  // length of the frame once its header has been accepted, else 0
};
