#include "mavlink/mavlink.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "payloads are copied in host byte order");

// Every message of the dialect, sorted by id: the parser accepts a valid frame of any of them,
// whether or not the daemon reads that message.
constexpr mavlink_msg_entry_t msgEntries[] = {
#include "mavlink/mavlink_msg_entries.inc"
};

constexpr bool sortedById() {
    for (size_t i = 1; i < std::size(msgEntries); ++i)
        if (msgEntries[i - 1].msgid >= msgEntries[i].msgid) return false;
    return true;
}
static_assert(sortedById(), "the lookup searches the entries by id");

bool crcExtraOf(uint32_t msgid, uint8_t* extra) {
    const mavlink_msg_entry_t* entry = mavlink_get_msg_entry(msgid);
    if (!entry) return false;
    *extra = entry->crc_extra;
    return true;
}

// CRC-16/MCRF4XX (X.25), one byte at a time.
inline uint16_t crcAccumulate(uint8_t data, uint16_t crc) {
    uint8_t tmp = data ^ static_cast<uint8_t>(crc & 0xff);
    tmp ^= static_cast<uint8_t>(tmp << 4);
    return static_cast<uint16_t>((crc >> 8) ^ (tmp << 8) ^ (tmp << 3) ^ (tmp >> 4));
}

// Checksum of a frame: from the length byte to the end of the payload, then the CRC extra.
uint16_t frameCrc(const uint8_t* header, const uint8_t* payload, uint8_t len, uint8_t extra) {
    uint16_t crc = 0xffff;
    for (int i = 1; i < 1 + MAVLINK_CORE_HEADER_LEN; ++i) crc = crcAccumulate(header[i], crc);
    for (int i = 0; i < len; ++i) crc = crcAccumulate(payload[i], crc);
    return crcAccumulate(extra, crc);
}

constexpr int HEADER_LEN = 1 + MAVLINK_CORE_HEADER_LEN;  // start byte + core header

uint16_t frameLength(const uint8_t* buf) {
    uint16_t n = HEADER_LEN + buf[1] + MAVLINK_NUM_CHECKSUM_BYTES;
    if (buf[2] & MAVLINK_IFLAG_SIGNED) n += MAVLINK_SIGNATURE_BLOCK_LEN;
    return n;
}

uint32_t msgidOf(const uint8_t* buf) { return buf[7] | (buf[8] << 8) | (uint32_t(buf[9]) << 16); }

// The start byte and core header of msg in wire order.
void putHeader(uint8_t* buf, const mavlink_message_t* msg) {
    buf[0] = MAVLINK_STX;
    buf[1] = msg->len;
    buf[2] = msg->incompat_flags;
    buf[3] = msg->compat_flags;
    buf[4] = msg->seq;
    buf[5] = msg->sysid;
    buf[6] = msg->compid;
    buf[7] = static_cast<uint8_t>(msg->msgid);
    buf[8] = static_cast<uint8_t>(msg->msgid >> 8);
    buf[9] = static_cast<uint8_t>(msg->msgid >> 16);
}

// Checks the complete candidate frame in buf and, when valid, stores it in msg.
bool acceptFrame(const uint8_t* buf, mavlink_message_t* msg) {
    uint8_t len = buf[1];
    uint32_t msgid = msgidOf(buf);
    uint8_t extra;
    if (!crcExtraOf(msgid, &extra)) return false;
    const uint8_t* payload = buf + HEADER_LEN;
    uint16_t crc = frameCrc(buf, payload, len, extra);
    if ((payload[len] | (payload[len + 1] << 8)) != crc) return false;

    msg->checksum = crc;
    msg->magic = MAVLINK_STX;
    msg->len = len;
    msg->incompat_flags = buf[2];
    msg->compat_flags = buf[3];
    msg->seq = buf[4];
    msg->sysid = buf[5];
    msg->compid = buf[6];
    msg->msgid = msgid;
    memcpy(msg->payload, payload, len);
    memset(msg->payload + len, 0, sizeof msg->payload - len);
    msg->ck[0] = payload[len];
    msg->ck[1] = payload[len + 1];
    if (buf[2] & MAVLINK_IFLAG_SIGNED)
        memcpy(msg->signature, payload + len + 2, MAVLINK_SIGNATURE_BLOCK_LEN);
    else
        memset(msg->signature, 0, MAVLINK_SIGNATURE_BLOCK_LEN);
    return true;
}

// Drops the first `from` held bytes and any garbage after them, so that the held bytes
// again start with a start byte (or are empty).
void restartAt(mavlink_parser_t* p, uint16_t from) {
    p->need = 0;
    const void* next = from < p->have ? memchr(p->buf + from, MAVLINK_STX, p->have - from) : nullptr;
    if (!next) {
        p->have = 0;
        return;
    }
    uint16_t start = static_cast<uint16_t>(static_cast<const uint8_t*>(next) - p->buf);
    p->have = static_cast<uint16_t>(p->have - start);
    memmove(p->buf, p->buf + start, p->have);
}

// Works through the held bytes until they need more input or a frame completes. A candidate
// that turns out false is rescanned from its next start byte, so a frame that arrived inside
// it is still found; at most one frame is returned per call, a further complete frame already
// held comes out with the next byte.
uint8_t examine(mavlink_parser_t* p, mavlink_message_t* msg) {
    while (p->have >= 3) {
        if (!p->need) {
            // Give up on a candidate as soon as its header rules it out: flags we cannot
            // handle, or a message whose checksum we cannot check.
            uint8_t extra;
            if (p->buf[2] & ~MAVLINK_IFLAG_SIGNED) {
                restartAt(p, 1);
                continue;
            }
            if (p->have < HEADER_LEN) return 0;
            if (!crcExtraOf(msgidOf(p->buf), &extra)) {
                restartAt(p, 1);
                continue;
            }
            p->need = frameLength(p->buf);
        }
        if (p->have < p->need) return 0;
        if (acceptFrame(p->buf, msg)) {
            restartAt(p, p->need);
            return 1;
        }
        restartAt(p, 1);
    }
    return 0;
}

}  // namespace

const mavlink_msg_entry_t* mavlink_get_msg_entry(uint32_t msgid) {
    // Line noise mostly claims ids far beyond the dialect's; turn those away at once.
    if (msgid > std::rbegin(msgEntries)->msgid) return nullptr;
    const mavlink_msg_entry_t* end = std::end(msgEntries);
    const mavlink_msg_entry_t* it = std::lower_bound(
        std::begin(msgEntries), end, msgid, [](const mavlink_msg_entry_t& e, uint32_t id) { return e.msgid < id; });
    return it != end && it->msgid == msgid ? it : nullptr;
}

uint8_t mavlink_parse_char(mavlink_parser_t* parser, uint8_t c, mavlink_message_t* msg) {
    if (parser->have == 0 && c != MAVLINK_STX) return 0;
    // Invariant: at most one byte short of a full frame is held here, so c always fits.
    parser->buf[parser->have++] = c;
    if (parser->have < parser->need) return 0;  // inside an accepted header's frame
    return examine(parser, msg);
}

uint16_t mavlink_msg_to_send_buffer(uint8_t* buf, const mavlink_message_t* msg) {
    putHeader(buf, msg);
    memcpy(buf + HEADER_LEN, msg->payload, msg->len);
    uint16_t n = HEADER_LEN + msg->len;
    buf[n++] = static_cast<uint8_t>(msg->checksum & 0xff);
    buf[n++] = static_cast<uint8_t>(msg->checksum >> 8);
    if (msg->incompat_flags & MAVLINK_IFLAG_SIGNED) {
        memcpy(buf + n, msg->signature, MAVLINK_SIGNATURE_BLOCK_LEN);
        n += MAVLINK_SIGNATURE_BLOCK_LEN;
    }
    return n;
}

uint16_t mavlink_finalize_message(mavlink_message_t* msg, uint8_t system_id, uint8_t component_id,
                                  mavlink_channel_t* chan, uint32_t msgid, const void* payload,
                                  uint8_t length, uint8_t crc_extra) {
    memcpy(msg->payload, payload, length);
    memset(msg->payload + length, 0, sizeof msg->payload - length);
    while (length > 1 && msg->payload[length - 1] == 0) --length;

    msg->magic = MAVLINK_STX;
    msg->len = length;
    msg->incompat_flags = 0;
    msg->compat_flags = 0;
    msg->seq = chan->seq++;
    msg->sysid = system_id;
    msg->compid = component_id;
    msg->msgid = msgid;

    uint8_t header[HEADER_LEN];
    putHeader(header, msg);
    msg->checksum = frameCrc(header, msg->payload, length, crc_extra);
    msg->ck[0] = static_cast<uint8_t>(msg->checksum & 0xff);
    msg->ck[1] = static_cast<uint8_t>(msg->checksum >> 8);
    memset(msg->signature, 0, MAVLINK_SIGNATURE_BLOCK_LEN);
    return static_cast<uint16_t>(MAVLINK_NUM_NON_PAYLOAD_BYTES + length);
}
