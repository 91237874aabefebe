// State of the message handler thread, shared by its parts (MAVLink handling, the companion
// protocol and the command FIFO), and the writes they all make to the other threads.
#pragma once

#include <cstdint>

#include "core/AppContext.h"
#include "mavlink/mavlink.h"

struct FlightState {
    int32_t handlerCamType = 0;     // camType of every CameraCommand the handler writes
    CameraCommand cameraCommand{};  // the one record written to cameraPipe
    bool armed = false;
    bool takeoffSent = false;       // CAM_TAKEOFF for an active vehicle goes out once per run
    bool wifiOn = true;
    int lastSystemStatus = -1;      // none yet: counts as not active
    uint16_t lastChan6 = 0;
    int64_t lastFeedbackTrigger = 0;
    int64_t lastFeedbackCheck = 0;
    int64_t lastHeartbeatSent = 0;
    int64_t loopTime = 0;
    mavlink_message_t msg{};        // the message being handled
    mavlink_channel_t channel{};    // the handler's own send sequence
};

// Clock of the handler's timing rules (feedback hold-off, own heartbeat, position time), in
// milliseconds since the epoch. Tests may replace it; nullptr restores current_timestamp.
int64_t handlerClock();
void setHandlerClock(int64_t (*clock)());

// Writes cmd to cameraPipe with handlerCamType; prints failMsg when the write fails.
// Returns 1 when written, 0 otherwise.
int writeCameraCommand(AppContext* ctx, FlightState* st, uint8_t cmd, const char* failMsg);

// Writes req to wifiPipe; prints the failure line when the write fails. 1 when written, else 0.
int writeWifiRequest(AppContext* ctx, const WifiRequest& req);

// handlerCamType and, under lock, CameraContext.camType.
void setCameraType(AppContext* ctx, FlightState* st, int32_t camType);

// Sends REMOTE_LOG_BLOCK_STATUS with status ACK and the given seqno (start or stop of the log
// stream) to the flight controller, printing doneMsg or failMsg.
void sendLogBlockStatus(AppContext* ctx, FlightState* st, uint32_t seqno, const char* doneMsg,
                        const char* failMsg);
