#include "core/logBlockStatus.h"

#include "core/pipes.h"
#include "mavlink/mavlink.h"

int writeBlockStatus(AppContext* ctx, mavlink_channel_t* chan, uint32_t seqno) {
    mavlink_message_t msg{};
    mavlink_msg_remote_log_block_status_pack_chan(OWN_SYSID, OWN_COMPID, chan, &msg,
                                                  static_cast<uint8_t>(ctx->fcSysId & 0xFF),
                                                  static_cast<uint8_t>(ctx->fcCompId & 0xFF), seqno,
                                                  MAV_REMOTE_LOG_DATA_BLOCK_ACK);
    return msgWrite(ctx->fcPipe[1], &msg);
}
