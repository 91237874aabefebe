#include "decode.h"

#include <cstdio>

namespace {

std::string flt(double v) {
    char buf[32];
    snprintf(buf, sizeof buf, "%.9g", v);
    return buf;
}

std::string num(long long v) {
    return std::to_string(v);
}

std::string hex(const uint8_t* data, size_t len) {
    std::string out;
    char buf[3];
    for (size_t i = 0; i < len; ++i) {
        snprintf(buf, sizeof buf, "%02x", data[i]);
        out += buf;
    }
    return out;
}

// Quoted text up to the first zero byte, with unprintable bytes as \xNN.
std::string quoted(const char* text, size_t max) {
    std::string out = "\"";
    for (size_t i = 0; i < max && text[i] != '\0'; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 32 || c >= 127 || c == '"' || c == '\\') {
            char buf[5];
            snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

void decodeHeartbeat(const mavlink_message_t* msg, RxRecord* r) {
    mavlink_heartbeat_t m;
    mavlink_msg_heartbeat_decode(msg, &m);
    r->fields = {{"type", num(m.type)}, {"autopilot", num(m.autopilot)}, {"base_mode", num(m.base_mode)},
                 {"status", num(m.system_status)}};
}

void decodeCommandLong(const mavlink_message_t* msg, RxRecord* r) {
    mavlink_command_long_t m;
    mavlink_msg_command_long_decode(msg, &m);
    r->fields = {{"cmd", num(m.command)},        {"p1", flt(m.param1)}, {"p2", flt(m.param2)},
                 {"p3", flt(m.param3)},          {"p4", flt(m.param4)}, {"p5", flt(m.param5)},
                 {"p6", flt(m.param6)},          {"p7", flt(m.param7)},
                 {"target", num(m.target_system) + "/" + num(m.target_component)}};
}

void decodeData96(const mavlink_message_t* msg, RxRecord* r) {
    mavlink_data96_t m;
    mavlink_msg_data96_decode(msg, &m);
    size_t len = m.len <= sizeof m.data ? m.len : sizeof m.data;
    r->fields = {{"type", num(m.type)}, {"len", num(m.len)}, {"data", hex(m.data, len)}};
    if (m.type == 8 && len >= 1) { // USER_MESSAGE: level byte, then text
        r->fields.push_back({"level", num(m.data[0])});
        r->fields.push_back({"text", quoted(reinterpret_cast<const char*>(m.data + 1), len - 1)});
    }
}

void decodeLogStatus(const mavlink_message_t* msg, RxRecord* r) {
    mavlink_remote_log_block_status_t m;
    mavlink_msg_remote_log_block_status_decode(msg, &m);
    r->fields = {{"seqno", num(m.seqno)},
                 {"status", num(m.status)},
                 {"target", num(m.target_system) + "/" + num(m.target_component)}};
}

void decodeStatusText(const mavlink_message_t* msg, RxRecord* r) {
    mavlink_statustext_t m;
    mavlink_msg_statustext_decode(msg, &m);
    r->fields = {{"severity", num(m.severity)}, {"text", quoted(m.text, sizeof m.text)}};
}

} // namespace

RxRecord decodeMessage(const mavlink_message_t* msg) {
    RxRecord r;
    switch (msg->msgid) {
    case MAVLINK_MSG_ID_HEARTBEAT: r.name = "HEARTBEAT"; decodeHeartbeat(msg, &r); break;
    case MAVLINK_MSG_ID_COMMAND_LONG: r.name = "COMMAND_LONG"; decodeCommandLong(msg, &r); break;
    case MAVLINK_MSG_ID_DATA96: r.name = "DATA96"; decodeData96(msg, &r); break;
    case MAVLINK_MSG_ID_REMOTE_LOG_BLOCK_STATUS: r.name = "REMOTE_LOG_BLOCK_STATUS"; decodeLogStatus(msg, &r); break;
    case MAVLINK_MSG_ID_STATUSTEXT: r.name = "STATUSTEXT"; decodeStatusText(msg, &r); break;
    default: r.name = "MSG"; r.fields = {{"id", num(static_cast<long long>(msg->msgid))}, {"len", num(msg->len)}};
    }
    r.fields.push_back({"from", num(msg->sysid) + "/" + num(msg->compid)});
    return r;
}

std::string formatRecord(const RxRecord& rec) {
    std::string out = rec.name;
    for (const auto& [key, value] : rec.fields) out += " " + key + "=" + value;
    return out;
}

const std::string* fieldOf(const RxRecord& rec, const std::string& key) {
    for (const auto& [k, v] : rec.fields)
        if (k == key) return &v;
    return nullptr;
}
