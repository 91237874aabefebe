#include "mavlink/mavlink.h"

#include <cstring>

namespace {

template <class T>
uint16_t finish(mavlink_message_t* msg, uint8_t system_id, uint8_t component_id, mavlink_channel_t* chan,
                uint32_t msgid, uint8_t crc_extra, const T& payload) {
    return mavlink_finalize_message(msg, system_id, component_id, chan, msgid, &payload, sizeof payload, crc_extra);
}

}  // namespace

uint16_t mavlink_msg_heartbeat_pack_chan(uint8_t system_id, uint8_t component_id, mavlink_channel_t* chan,
                                         mavlink_message_t* msg, uint8_t type, uint8_t autopilot,
                                         uint8_t base_mode, uint32_t custom_mode, uint8_t system_status) {
    mavlink_heartbeat_t p = {custom_mode, type, autopilot, base_mode, system_status, 3};
    return finish(msg, system_id, component_id, chan, MAVLINK_MSG_ID_HEARTBEAT, MAVLINK_MSG_ID_HEARTBEAT_CRC, p);
}

uint16_t mavlink_msg_system_time_pack_chan(uint8_t system_id, uint8_t component_id, mavlink_channel_t* chan,
                                           mavlink_message_t* msg, uint64_t time_unix_usec,
                                           uint32_t time_boot_ms) {
    mavlink_system_time_t p = {time_unix_usec, time_boot_ms};
    return finish(msg, system_id, component_id, chan, MAVLINK_MSG_ID_SYSTEM_TIME, MAVLINK_MSG_ID_SYSTEM_TIME_CRC, p);
}

uint16_t mavlink_msg_global_position_int_pack_chan(uint8_t system_id, uint8_t component_id,
                                                   mavlink_channel_t* chan, mavlink_message_t* msg,
                                                   uint32_t time_boot_ms, int32_t lat, int32_t lon, int32_t alt,
                                                   int32_t relative_alt, int16_t vx, int16_t vy, int16_t vz,
                                                   uint16_t hdg) {
    mavlink_global_position_int_t p = {time_boot_ms, lat, lon, alt, relative_alt, vx, vy, vz, hdg};
    return finish(msg, system_id, component_id, chan, MAVLINK_MSG_ID_GLOBAL_POSITION_INT,
                  MAVLINK_MSG_ID_GLOBAL_POSITION_INT_CRC, p);
}

uint16_t mavlink_msg_rc_channels_raw_pack_chan(uint8_t system_id, uint8_t component_id, mavlink_channel_t* chan,
                                               mavlink_message_t* msg, uint32_t time_boot_ms, uint8_t port,
                                               uint16_t chan1_raw, uint16_t chan2_raw, uint16_t chan3_raw,
                                               uint16_t chan4_raw, uint16_t chan5_raw, uint16_t chan6_raw,
                                               uint16_t chan7_raw, uint16_t chan8_raw, uint8_t rssi) {
    mavlink_rc_channels_raw_t p = {time_boot_ms, chan1_raw, chan2_raw, chan3_raw, chan4_raw, chan5_raw,
                                   chan6_raw,    chan7_raw, chan8_raw, port,      rssi};
    return finish(msg, system_id, component_id, chan, MAVLINK_MSG_ID_RC_CHANNELS_RAW,
                  MAVLINK_MSG_ID_RC_CHANNELS_RAW_CRC, p);
}

uint16_t mavlink_msg_command_long_pack_chan(uint8_t system_id, uint8_t component_id, mavlink_channel_t* chan,
                                            mavlink_message_t* msg, uint8_t target_system,
                                            uint8_t target_component, uint16_t command, uint8_t confirmation,
                                            float param1, float param2, float param3, float param4,
                                            float param5, float param6, float param7) {
    mavlink_command_long_t p = {param1,  param2,        param3,           param4,      param5, param6,
                                param7,  command,       target_system,    target_component, confirmation};
    return finish(msg, system_id, component_id, chan, MAVLINK_MSG_ID_COMMAND_LONG, MAVLINK_MSG_ID_COMMAND_LONG_CRC,
                  p);
}

uint16_t mavlink_msg_digicam_configure_pack_chan(uint8_t system_id, uint8_t component_id,
                                                 mavlink_channel_t* chan, mavlink_message_t* msg,
                                                 uint8_t target_system, uint8_t target_component, uint8_t mode,
                                                 uint16_t shutter_speed, uint8_t aperture, uint8_t iso,
                                                 uint8_t exposure_type, uint8_t command_id,
                                                 uint8_t engine_cut_off, uint8_t extra_param, float extra_value) {
    mavlink_digicam_configure_t p = {extra_value, shutter_speed, target_system, target_component,
                                     mode,        aperture,      iso,           exposure_type,
                                     command_id,  engine_cut_off, extra_param};
    return finish(msg, system_id, component_id, chan, MAVLINK_MSG_ID_DIGICAM_CONFIGURE,
                  MAVLINK_MSG_ID_DIGICAM_CONFIGURE_CRC, p);
}

uint16_t mavlink_msg_data96_pack_chan(uint8_t system_id, uint8_t component_id, mavlink_channel_t* chan,
                                      mavlink_message_t* msg, uint8_t type, uint8_t len, const uint8_t* data) {
    mavlink_data96_t p = {type, len, {}};
    memcpy(p.data, data, sizeof p.data);
    return finish(msg, system_id, component_id, chan, MAVLINK_MSG_ID_DATA96, MAVLINK_MSG_ID_DATA96_CRC, p);
}

uint16_t mavlink_msg_camera_feedback_pack_chan(uint8_t system_id, uint8_t component_id, mavlink_channel_t* chan,
                                               mavlink_message_t* msg, uint64_t time_usec, uint8_t target_system,
                                               uint8_t cam_idx, uint16_t img_idx, int32_t lat, int32_t lng,
                                               float alt_msl, float alt_rel, float roll, float pitch, float yaw,
                                               float foc_len, uint8_t flags, uint16_t completed_captures) {
    mavlink_camera_feedback_t p = {time_usec, lat,     lng,           alt_msl, alt_rel, roll,
                                   pitch,     yaw,     foc_len,       img_idx, target_system,
                                   cam_idx,   flags,   completed_captures};
    return finish(msg, system_id, component_id, chan, MAVLINK_MSG_ID_CAMERA_FEEDBACK,
                  MAVLINK_MSG_ID_CAMERA_FEEDBACK_CRC, p);
}

uint16_t mavlink_msg_remote_log_data_block_pack_chan(uint8_t system_id, uint8_t component_id,
                                                     mavlink_channel_t* chan, mavlink_message_t* msg,
                                                     uint8_t target_system, uint8_t target_component,
                                                     uint32_t seqno, const uint8_t* data) {
    mavlink_remote_log_data_block_t p = {seqno, target_system, target_component, {}};
    memcpy(p.data, data, sizeof p.data);
    return finish(msg, system_id, component_id, chan, MAVLINK_MSG_ID_REMOTE_LOG_DATA_BLOCK,
                  MAVLINK_MSG_ID_REMOTE_LOG_DATA_BLOCK_CRC, p);
}

uint16_t mavlink_msg_remote_log_block_status_pack_chan(uint8_t system_id, uint8_t component_id,
                                                       mavlink_channel_t* chan, mavlink_message_t* msg,
                                                       uint8_t target_system, uint8_t target_component,
                                                       uint32_t seqno, uint8_t status) {
    mavlink_remote_log_block_status_t p = {seqno, target_system, target_component, status};
    return finish(msg, system_id, component_id, chan, MAVLINK_MSG_ID_REMOTE_LOG_BLOCK_STATUS,
                  MAVLINK_MSG_ID_REMOTE_LOG_BLOCK_STATUS_CRC, p);
}

uint16_t mavlink_msg_statustext_pack_chan(uint8_t system_id, uint8_t component_id, mavlink_channel_t* chan,
                                          mavlink_message_t* msg, uint8_t severity, const char* text,
                                          uint16_t id, uint8_t chunk_seq) {
    mavlink_statustext_t p = {severity, {}, id, chunk_seq};
    // Never read past the caller's terminator: a short text is zero-padded.
    memcpy(p.text, text, strnlen(text, sizeof p.text));
    return finish(msg, system_id, component_id, chan, MAVLINK_MSG_ID_STATUSTEXT, MAVLINK_MSG_ID_STATUSTEXT_CRC, p);
}
