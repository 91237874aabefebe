// The messages of the ardupilotmega dialect that the daemon sends or reads: ids, CRC extras,
// payload records in wire order, pack, decode and field accessors. Include "mavlink/mavlink.h".
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "mavlink/mavlink_types.h"

#define MAVLINK_MSG_ID_HEARTBEAT 0
#define MAVLINK_MSG_ID_HEARTBEAT_CRC 50
#define MAVLINK_MSG_ID_SYS_STATUS 1
#define MAVLINK_MSG_ID_SYS_STATUS_CRC 124
#define MAVLINK_MSG_ID_SYSTEM_TIME 2
#define MAVLINK_MSG_ID_SYSTEM_TIME_CRC 137
#define MAVLINK_MSG_ID_GLOBAL_POSITION_INT 33
#define MAVLINK_MSG_ID_GLOBAL_POSITION_INT_CRC 104
#define MAVLINK_MSG_ID_RC_CHANNELS_RAW 35
#define MAVLINK_MSG_ID_RC_CHANNELS_RAW_CRC 244
#define MAVLINK_MSG_ID_SERVO_OUTPUT_RAW 36
#define MAVLINK_MSG_ID_SERVO_OUTPUT_RAW_CRC 222
#define MAVLINK_MSG_ID_COMMAND_LONG 76
#define MAVLINK_MSG_ID_COMMAND_LONG_CRC 152
#define MAVLINK_MSG_ID_CAMERA_TRIGGER 112
#define MAVLINK_MSG_ID_CAMERA_TRIGGER_CRC 174
#define MAVLINK_MSG_ID_DIGICAM_CONFIGURE 154
#define MAVLINK_MSG_ID_DIGICAM_CONFIGURE_CRC 84
#define MAVLINK_MSG_ID_DIGICAM_CONTROL 155
#define MAVLINK_MSG_ID_DIGICAM_CONTROL_CRC 22
#define MAVLINK_MSG_ID_DATA96 172
#define MAVLINK_MSG_ID_DATA96_CRC 22
#define MAVLINK_MSG_ID_CAMERA_FEEDBACK 180
#define MAVLINK_MSG_ID_CAMERA_FEEDBACK_CRC 52
#define MAVLINK_MSG_ID_REMOTE_LOG_DATA_BLOCK 184
#define MAVLINK_MSG_ID_REMOTE_LOG_DATA_BLOCK_CRC 159
#define MAVLINK_MSG_ID_REMOTE_LOG_BLOCK_STATUS 185
#define MAVLINK_MSG_ID_REMOTE_LOG_BLOCK_STATUS_CRC 186
#define MAVLINK_MSG_ID_STATUSTEXT 253
#define MAVLINK_MSG_ID_STATUSTEXT_CRC 83

enum MAV_TYPE { MAV_TYPE_FIXED_WING = 1 };
enum MAV_AUTOPILOT { MAV_AUTOPILOT_GENERIC = 0 };
enum MAV_MODE_FLAG { MAV_MODE_FLAG_SAFETY_ARMED = 128 };
enum MAV_STATE { MAV_STATE_ACTIVE = 4 };
enum MAV_SEVERITY { MAV_SEVERITY_INFO = 6 };
enum MAV_CMD {
    MAV_CMD_DO_SET_RELAY = 181,
    MAV_CMD_DO_SET_SERVO = 183,
    MAV_CMD_DO_LAND_START = 189,
};
enum MAV_REMOTE_LOG_DATA_BLOCK_COMMANDS {
    MAV_REMOTE_LOG_DATA_BLOCK_STOP = 2147483645,
    MAV_REMOTE_LOG_DATA_BLOCK_START = 2147483646,
};
enum MAV_REMOTE_LOG_DATA_BLOCK_STATUSES {
    MAV_REMOTE_LOG_DATA_BLOCK_NACK = 0,
    MAV_REMOTE_LOG_DATA_BLOCK_ACK = 1,
};

// Payload records: fields in wire order, so a record is its payload byte for byte.
struct __attribute__((packed)) mavlink_heartbeat_t {
    uint32_t custom_mode;
    uint8_t type;
    uint8_t autopilot;
    uint8_t base_mode;
    uint8_t system_status;
    uint8_t mavlink_version;
};

struct __attribute__((packed)) mavlink_system_time_t {
    uint64_t time_unix_usec;
    uint32_t time_boot_ms;
};

struct __attribute__((packed)) mavlink_global_position_int_t {
    uint32_t time_boot_ms;
    int32_t lat;
    int32_t lon;
    int32_t alt;
    int32_t relative_alt;
    int16_t vx;
    int16_t vy;
    int16_t vz;
    uint16_t hdg;
};

struct __attribute__((packed)) mavlink_rc_channels_raw_t {
    uint32_t time_boot_ms;
    uint16_t chan1_raw;
    uint16_t chan2_raw;
    uint16_t chan3_raw;
    uint16_t chan4_raw;
    uint16_t chan5_raw;
    uint16_t chan6_raw;
    uint16_t chan7_raw;
    uint16_t chan8_raw;
    uint8_t port;
    uint8_t rssi;
};

struct __attribute__((packed)) mavlink_command_long_t {
    float param1;
    float param2;
    float param3;
    float param4;
    float param5;
    float param6;
    float param7;
    uint16_t command;
    uint8_t target_system;
    uint8_t target_component;
    uint8_t confirmation;
};

struct __attribute__((packed)) mavlink_digicam_configure_t {
    float extra_value;
    uint16_t shutter_speed;
    uint8_t target_system;
    uint8_t target_component;
    uint8_t mode;
    uint8_t aperture;
    uint8_t iso;
    uint8_t exposure_type;
    uint8_t command_id;
    uint8_t engine_cut_off;
    uint8_t extra_param;
};

struct __attribute__((packed)) mavlink_data96_t {
    uint8_t type;
    uint8_t len;
    uint8_t data[96];
};

struct __attribute__((packed)) mavlink_camera_feedback_t {
    uint64_t time_usec;
    int32_t lat;
    int32_t lng;
    float alt_msl;
    float alt_rel;
    float roll;
    float pitch;
    float yaw;
    float foc_len;
    uint16_t img_idx;
    uint8_t target_system;
    uint8_t cam_idx;
    uint8_t flags;
    uint16_t completed_captures;  // extension
};

struct __attribute__((packed)) mavlink_remote_log_data_block_t {
    uint32_t seqno;
    uint8_t target_system;
    uint8_t target_component;
    uint8_t data[200];
};

struct __attribute__((packed)) mavlink_remote_log_block_status_t {
    uint32_t seqno;
    uint8_t target_system;
    uint8_t target_component;
    uint8_t status;
};

struct __attribute__((packed)) mavlink_statustext_t {
    uint8_t severity;
    char text[50];  // not NUL-terminated when full
    uint16_t id;         // extension
    uint8_t chunk_seq;   // extension
};

#define MAVLINK_MSG_ID_HEARTBEAT_LEN 9
#define MAVLINK_MSG_ID_SYSTEM_TIME_LEN 12
#define MAVLINK_MSG_ID_GLOBAL_POSITION_INT_LEN 28
#define MAVLINK_MSG_ID_RC_CHANNELS_RAW_LEN 22
#define MAVLINK_MSG_ID_COMMAND_LONG_LEN 33
#define MAVLINK_MSG_ID_DIGICAM_CONFIGURE_LEN 15
#define MAVLINK_MSG_ID_DATA96_LEN 98
#define MAVLINK_MSG_ID_CAMERA_FEEDBACK_LEN 47
#define MAVLINK_MSG_ID_REMOTE_LOG_DATA_BLOCK_LEN 206
#define MAVLINK_MSG_ID_REMOTE_LOG_BLOCK_STATUS_LEN 7
#define MAVLINK_MSG_ID_STATUSTEXT_LEN 54

static_assert(sizeof(mavlink_heartbeat_t) == MAVLINK_MSG_ID_HEARTBEAT_LEN);
static_assert(sizeof(mavlink_system_time_t) == MAVLINK_MSG_ID_SYSTEM_TIME_LEN);
static_assert(sizeof(mavlink_global_position_int_t) == MAVLINK_MSG_ID_GLOBAL_POSITION_INT_LEN);
static_assert(sizeof(mavlink_rc_channels_raw_t) == MAVLINK_MSG_ID_RC_CHANNELS_RAW_LEN);
static_assert(sizeof(mavlink_command_long_t) == MAVLINK_MSG_ID_COMMAND_LONG_LEN);
static_assert(sizeof(mavlink_digicam_configure_t) == MAVLINK_MSG_ID_DIGICAM_CONFIGURE_LEN);
static_assert(sizeof(mavlink_data96_t) == MAVLINK_MSG_ID_DATA96_LEN);
static_assert(sizeof(mavlink_camera_feedback_t) == MAVLINK_MSG_ID_CAMERA_FEEDBACK_LEN);
static_assert(sizeof(mavlink_remote_log_data_block_t) == MAVLINK_MSG_ID_REMOTE_LOG_DATA_BLOCK_LEN);
static_assert(sizeof(mavlink_remote_log_block_status_t) == MAVLINK_MSG_ID_REMOTE_LOG_BLOCK_STATUS_LEN);
static_assert(sizeof(mavlink_statustext_t) == MAVLINK_MSG_ID_STATUSTEXT_LEN);
static_assert(offsetof(mavlink_camera_feedback_t, completed_captures) == 45);
static_assert(offsetof(mavlink_statustext_t, id) == 51);

// Payload bytes at or beyond msg->len read as zero, whatever the record holds there: a
// sender trims trailing zero bytes.
inline void mavlink_copy_payload(const mavlink_message_t* msg, size_t offset, void* out, size_t size) {
    size_t have = offset < msg->len ? std::min(size, size_t(msg->len) - offset) : 0;
    memcpy(out, msg->payload + offset, have);
    memset(static_cast<uint8_t*>(out) + have, 0, size - have);
}

template <class T>
T mavlink_get_field(const mavlink_message_t* msg, size_t offset) {
    T value;
    mavlink_copy_payload(msg, offset, &value, sizeof value);
    return value;
}

#define MAVLINK_DECODER(name)                                                                   \
    inline void mavlink_msg_##name##_decode(const mavlink_message_t* msg, mavlink_##name##_t* out) { \
        mavlink_copy_payload(msg, 0, out, sizeof *out);                                         \
    }
#define MAVLINK_GETTER(name, field)                                                             \
    inline decltype(mavlink_##name##_t::field) mavlink_msg_##name##_get_##field(const mavlink_message_t* msg) { \
        return mavlink_get_field<decltype(mavlink_##name##_t::field)>(msg, offsetof(mavlink_##name##_t, field)); \
    }
// Array accessors copy the whole array into the caller's buffer and return its length.
#define MAVLINK_ARRAY_GETTER(name, field, type)                                                 \
    inline uint16_t mavlink_msg_##name##_get_##field(const mavlink_message_t* msg, type* out) { \
        constexpr size_t n = sizeof(mavlink_##name##_t::field);                                 \
        mavlink_copy_payload(msg, offsetof(mavlink_##name##_t, field), out, n);                 \
        return n;                                                                               \
    }

uint16_t mavlink_msg_heartbeat_pack_chan(uint8_t system_id, uint8_t component_id, mavlink_channel_t* chan,
                                         mavlink_message_t* msg, uint8_t type, uint8_t autopilot,
                                         uint8_t base_mode, uint32_t custom_mode, uint8_t system_status);
MAVLINK_DECODER(heartbeat)
MAVLINK_GETTER(heartbeat, type)
MAVLINK_GETTER(heartbeat, autopilot)
MAVLINK_GETTER(heartbeat, base_mode)
MAVLINK_GETTER(heartbeat, custom_mode)
MAVLINK_GETTER(heartbeat, system_status)
MAVLINK_GETTER(heartbeat, mavlink_version)

uint16_t mavlink_msg_system_time_pack_chan(uint8_t system_id, uint8_t component_id, mavlink_channel_t* chan,
                                           mavlink_message_t* msg, uint64_t time_unix_usec,
                                           uint32_t time_boot_ms);
MAVLINK_DECODER(system_time)
MAVLINK_GETTER(system_time, time_unix_usec)
MAVLINK_GETTER(system_time, time_boot_ms)

uint16_t mavlink_msg_global_position_int_pack_chan(uint8_t system_id, uint8_t component_id,
                                                   mavlink_channel_t* chan, mavlink_message_t* msg,
                                                   uint32_t time_boot_ms, int32_t lat, int32_t lon, int32_t alt,
                                                   int32_t relative_alt, int16_t vx, int16_t vy, int16_t vz,
                                                   uint16_t hdg);
MAVLINK_DECODER(global_position_int)
MAVLINK_GETTER(global_position_int, time_boot_ms)
MAVLINK_GETTER(global_position_int, lat)
MAVLINK_GETTER(global_position_int, lon)
MAVLINK_GETTER(global_position_int, alt)
MAVLINK_GETTER(global_position_int, relative_alt)
MAVLINK_GETTER(global_position_int, vx)
MAVLINK_GETTER(global_position_int, vy)
MAVLINK_GETTER(global_position_int, vz)
MAVLINK_GETTER(global_position_int, hdg)

uint16_t mavlink_msg_rc_channels_raw_pack_chan(uint8_t system_id, uint8_t component_id, mavlink_channel_t* chan,
                                               mavlink_message_t* msg, uint32_t time_boot_ms, uint8_t port,
                                               uint16_t chan1_raw, uint16_t chan2_raw, uint16_t chan3_raw,
                                               uint16_t chan4_raw, uint16_t chan5_raw, uint16_t chan6_raw,
                                               uint16_t chan7_raw, uint16_t chan8_raw, uint8_t rssi);
MAVLINK_DECODER(rc_channels_raw)
MAVLINK_GETTER(rc_channels_raw, time_boot_ms)
MAVLINK_GETTER(rc_channels_raw, port)
MAVLINK_GETTER(rc_channels_raw, chan1_raw)
MAVLINK_GETTER(rc_channels_raw, chan2_raw)
MAVLINK_GETTER(rc_channels_raw, chan3_raw)
MAVLINK_GETTER(rc_channels_raw, chan4_raw)
MAVLINK_GETTER(rc_channels_raw, chan5_raw)
MAVLINK_GETTER(rc_channels_raw, chan6_raw)
MAVLINK_GETTER(rc_channels_raw, chan7_raw)
MAVLINK_GETTER(rc_channels_raw, chan8_raw)
MAVLINK_GETTER(rc_channels_raw, rssi)

uint16_t mavlink_msg_command_long_pack_chan(uint8_t system_id, uint8_t component_id, mavlink_channel_t* chan,
                                            mavlink_message_t* msg, uint8_t target_system,
                                            uint8_t target_component, uint16_t command, uint8_t confirmation,
                                            float param1, float param2, float param3, float param4,
                                            float param5, float param6, float param7);
MAVLINK_DECODER(command_long)
MAVLINK_GETTER(command_long, target_system)
MAVLINK_GETTER(command_long, target_component)
MAVLINK_GETTER(command_long, command)
MAVLINK_GETTER(command_long, confirmation)
MAVLINK_GETTER(command_long, param1)
MAVLINK_GETTER(command_long, param2)
MAVLINK_GETTER(command_long, param3)
MAVLINK_GETTER(command_long, param4)
MAVLINK_GETTER(command_long, param5)
MAVLINK_GETTER(command_long, param6)
MAVLINK_GETTER(command_long, param7)

uint16_t mavlink_msg_digicam_configure_pack_chan(uint8_t system_id, uint8_t component_id,
                                                 mavlink_channel_t* chan, mavlink_message_t* msg,
                                                 uint8_t target_system, uint8_t target_component, uint8_t mode,
                                                 uint16_t shutter_speed, uint8_t aperture, uint8_t iso,
                                                 uint8_t exposure_type, uint8_t command_id,
                                                 uint8_t engine_cut_off, uint8_t extra_param, float extra_value);
MAVLINK_DECODER(digicam_configure)
MAVLINK_GETTER(digicam_configure, target_system)
MAVLINK_GETTER(digicam_configure, target_component)
MAVLINK_GETTER(digicam_configure, mode)
MAVLINK_GETTER(digicam_configure, shutter_speed)
MAVLINK_GETTER(digicam_configure, aperture)
MAVLINK_GETTER(digicam_configure, iso)
MAVLINK_GETTER(digicam_configure, exposure_type)
MAVLINK_GETTER(digicam_configure, command_id)
MAVLINK_GETTER(digicam_configure, engine_cut_off)
MAVLINK_GETTER(digicam_configure, extra_param)
MAVLINK_GETTER(digicam_configure, extra_value)

uint16_t mavlink_msg_data96_pack_chan(uint8_t system_id, uint8_t component_id, mavlink_channel_t* chan,
                                      mavlink_message_t* msg, uint8_t type, uint8_t len, const uint8_t* data);
MAVLINK_DECODER(data96)
MAVLINK_GETTER(data96, type)
MAVLINK_GETTER(data96, len)
MAVLINK_ARRAY_GETTER(data96, data, uint8_t)

uint16_t mavlink_msg_camera_feedback_pack_chan(uint8_t system_id, uint8_t component_id, mavlink_channel_t* chan,
                                               mavlink_message_t* msg, uint64_t time_usec, uint8_t target_system,
                                               uint8_t cam_idx, uint16_t img_idx, int32_t lat, int32_t lng,
                                               float alt_msl, float alt_rel, float roll, float pitch, float yaw,
                                               float foc_len, uint8_t flags, uint16_t completed_captures);
MAVLINK_DECODER(camera_feedback)
MAVLINK_GETTER(camera_feedback, time_usec)
MAVLINK_GETTER(camera_feedback, target_system)
MAVLINK_GETTER(camera_feedback, cam_idx)
MAVLINK_GETTER(camera_feedback, img_idx)
MAVLINK_GETTER(camera_feedback, lat)
MAVLINK_GETTER(camera_feedback, lng)
MAVLINK_GETTER(camera_feedback, alt_msl)
MAVLINK_GETTER(camera_feedback, alt_rel)
MAVLINK_GETTER(camera_feedback, roll)
MAVLINK_GETTER(camera_feedback, pitch)
MAVLINK_GETTER(camera_feedback, yaw)
MAVLINK_GETTER(camera_feedback, foc_len)
MAVLINK_GETTER(camera_feedback, flags)
MAVLINK_GETTER(camera_feedback, completed_captures)

uint16_t mavlink_msg_remote_log_data_block_pack_chan(uint8_t system_id, uint8_t component_id,
                                                     mavlink_channel_t* chan, mavlink_message_t* msg,
                                                     uint8_t target_system, uint8_t target_component,
                                                     uint32_t seqno, const uint8_t* data);
MAVLINK_DECODER(remote_log_data_block)
MAVLINK_GETTER(remote_log_data_block, target_system)
MAVLINK_GETTER(remote_log_data_block, target_component)
MAVLINK_GETTER(remote_log_data_block, seqno)
MAVLINK_ARRAY_GETTER(remote_log_data_block, data, uint8_t)

uint16_t mavlink_msg_remote_log_block_status_pack_chan(uint8_t system_id, uint8_t component_id,
                                                       mavlink_channel_t* chan, mavlink_message_t* msg,
                                                       uint8_t target_system, uint8_t target_component,
                                                       uint32_t seqno, uint8_t status);
MAVLINK_DECODER(remote_log_block_status)
MAVLINK_GETTER(remote_log_block_status, target_system)
MAVLINK_GETTER(remote_log_block_status, target_component)
MAVLINK_GETTER(remote_log_block_status, seqno)
MAVLINK_GETTER(remote_log_block_status, status)

// text: up to 50 characters are sent; a shorter text ends at its NUL.
uint16_t mavlink_msg_statustext_pack_chan(uint8_t system_id, uint8_t component_id, mavlink_channel_t* chan,
                                          mavlink_message_t* msg, uint8_t severity, const char* text,
                                          uint16_t id, uint8_t chunk_seq);
MAVLINK_DECODER(statustext)
MAVLINK_GETTER(statustext, severity)
MAVLINK_ARRAY_GETTER(statustext, text, char)
MAVLINK_GETTER(statustext, id)
MAVLINK_GETTER(statustext, chunk_seq)

#undef MAVLINK_DECODER
#undef MAVLINK_GETTER
#undef MAVLINK_ARRAY_GETTER
