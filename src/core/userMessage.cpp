#include "core/userMessage.h"

#include <time.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/AppContext.h"
#include "core/liveStatus.h"
#include "core/logging.h"
#include "core/pipes.h"
#include "mavlink/mavlink.h"

namespace {

constexpr size_t userTextMax = 95;
constexpr int64_t repeatAfterMs = 60000;

// Sequence state of the texts to the ground, shared by every thread that sends one.
std::mutex g_userChannelLock;
mavlink_channel_t g_userChannel{};

std::mutex g_warningLock;
int g_warningFd = -1;
int64_t g_lastSentMs[static_cast<int>(GroundWarning::Count)];
std::string g_lastText[static_cast<int>(GroundWarning::Count)]; // empty: none sent yet
// Until the ground is first heard, warnings are held; they go out then, and once more at the
// next preflight.
bool g_groundHeard = false;
std::vector<std::string> g_held;
bool g_heldSentAgain = false;

int64_t monotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void sendUserText(int fd, uint8_t level, const char* text, size_t length) {
    uint8_t data[96] = {};
    data[0] = level;
    size_t copied = length < userTextMax ? length : userTextMax;
    std::memcpy(data + 1, text, copied);
    mavlink_message_t out{};
    {
        std::lock_guard<std::mutex> guard(g_userChannelLock);
        mavlink_msg_data96_pack_chan(OWN_SYSID, OWN_COMPID, &g_userChannel, &out, USER_MESSAGE,
                                     static_cast<uint8_t>(1 + copied), data);
    }
    if (msgWrite(fd, &out)) logPuts("vorn-camera userMessage done writing USER_MESSAGE msg to outbound pipe");
    else logPuts("vorn-camera userMessage failed to write USER_MESSAGE msg to outbound pipe");
}

void sendStatusText(int fd, const char* text) {
    mavlink_message_t out{};
    {
        std::lock_guard<std::mutex> guard(g_userChannelLock);
        mavlink_msg_statustext_pack_chan(OWN_SYSID, OWN_COMPID, &g_userChannel, &out, warningSeverity, text, 0, 0);
    }
    if (!msgWrite(fd, &out)) logPuts("vorn-camera userMessage failed to write STATUSTEXT msg to outbound pipe");
}

// True when the warning may go to the ground now: not the same text of the same kind within a
// minute. Notes it if so.
bool mayWarn(GroundWarning kind, const char* text) {
    int k = static_cast<int>(kind);
    int64_t now = monotonicMs();
    if (g_lastText[k] == text && now - g_lastSentMs[k] < repeatAfterMs) return false;
    g_lastText[k] = text;
    g_lastSentMs[k] = now;
    return true;
}

void sendWarning(const char* text) {
    logPrintf("vorn-camera warning to the ground: %s\n", text);
    sendUserText(g_warningFd, warningLevel, text, std::strlen(text));
    sendStatusText(g_warningFd, text);
}

} // namespace

void send_user_message(int fd, uint8_t level, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    char* raw = nullptr;
    int n = vasprintf(&raw, fmt ? fmt : "%s", args);
    va_end(args);
    if (n < 0) {
        logPuts("vorn-camera userMessage failed to send user message");
        return;
    }
    std::unique_ptr<char, decltype(&free)> text(raw, &free);
    sendUserText(fd, level, text.get(), static_cast<size_t>(n));
}

void setGroundWarningPipe(int fd) {
    std::lock_guard<std::mutex> guard(g_warningLock);
    g_warningFd = fd;
}

void warnGround(GroundWarning kind, const char* fmt, ...) {
    char text[userTextMax + 1];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    noteWarning(text);
    std::lock_guard<std::mutex> guard(g_warningLock);
    if (g_warningFd != -1 && !g_groundHeard) {
        logPrintf("vorn-camera warning held until the ground is heard: %s\n", text);
        g_held.push_back(text);
        return;
    }
    if (g_warningFd == -1 || !mayWarn(kind, text)) {
        logPrintf("vorn-camera warning (not sent to the ground): %s\n", text);
        return;
    }
    sendWarning(text);
}

void groundHeard(bool preflight) {
    std::lock_guard<std::mutex> guard(g_warningLock);
    if (g_warningFd == -1 || (g_groundHeard && (!preflight || g_heldSentAgain))) return;
    if (g_groundHeard) g_heldSentAgain = true;
    g_groundHeard = true;
    for (const std::string& text : g_held) sendWarning(text.c_str());
    if (g_heldSentAgain || preflight) g_held.clear(); // a preflight's crew has seen them
}

void resetGroundWarnings() {
    std::lock_guard<std::mutex> guard(g_warningLock);
    for (std::string& text : g_lastText) text.clear();
    g_held.clear();
    g_groundHeard = true;
}
