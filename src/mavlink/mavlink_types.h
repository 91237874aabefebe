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
