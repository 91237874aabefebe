#include "camera/cam_sony.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "core/logging.h"
#include "core/sandbox.h"

namespace {

const char fifo_filename[] = "/var/run/vornSonyMsg.fifo";

enum : int32_t {
    SONY_TRIGGER = 0,
    SONY_ZOOM_IN = 1,
    SONY_ZOOM_OUT = 2,
    SONY_ZOOM_STOP = 3,
    SONY_MODE_STILL = 4,
    SONY_MODE_MOVIE = 5,
    SONY_RECORD_START = 6,
    SONY_RECORD_STOP = 7,
};

int m_isSonyInitialized = 0;
int write_fd = -1;
uint8_t sonyCameraMode = 0;
uint8_t sonyMovieState = 0;
bool m_noReaderLogged = false; // one log line per streak of failed opens

// Opens the FIFO without blocking: with no reader the open fails at once and is tried again
// at the next request. The descriptor stays non-blocking, so a stuck reader cannot stall us.
bool openCommandFifo() {
    std::string path = sandboxPath(fifo_filename);
    write_fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (write_fd < 0) {
        if (!m_noReaderLogged)
            logPrintf("Error: Sony command FIFO %s not open for writing: %s\n", path.c_str(), strerror(errno));
        m_noReaderLogged = true;
        return false;
    }
    if (m_noReaderLogged) logPrintf("vorn-camera sony command FIFO %s open again\n", path.c_str());
    m_noReaderLogged = false;
    return true;
}

// Writes one command value; returns what write returned (-1 when it could not be sent).
ssize_t sonyMsg(int32_t value) {
    if (write_fd < 0 && !openCommandFifo()) {
        logPrintf("vorn-camera sony command %d dropped: no reader on the command FIFO\n", value);
        return -1;
    }
    ssize_t n = write(write_fd, &value, sizeof value);
    if (n < 0) {
        int err = errno;
        logPrintf("vorn-camera sony command %d dropped: %s\n", value, strerror(err));
        // The reader went away: open afresh at the next request.
        if (err == EPIPE) {
            close(write_fd);
            write_fd = -1;
        }
    }
    return n;
}

} // namespace

void sony_initialize() {
    if (m_isSonyInitialized) return;
    m_isSonyInitialized = 1;
    if (mkfifo(sandboxPath(fifo_filename).c_str(), 0700) != 0 && errno != EEXIST)
        logPuts("Error: No FIFO created and no existing FIFO");
    sonyMsg(SONY_MODE_STILL);
    sonyCameraMode = SONY_MODE_STILL;
}

void sony_reset() {
    if (write_fd >= 0) close(write_fd);
    write_fd = -1;
    m_isSonyInitialized = 0;
    sonyCameraMode = 0;
    sonyMovieState = 0;
    m_noReaderLogged = false;
}

// The card of a Sony camera is never mounted by the daemon, so there is nothing to pair.
int isMounted_sony(CameraContext*, int, int, int) { return 0; }
int mount_sony(CameraContext*, int, int, int) { return 1; }
int unmount_sony(CameraContext*, int, int, int) { return 1; }
int preflight_sony(CameraContext*, int, int, int) { return 0; }
int postflight_sony(CameraContext*, int, int, int) { return 1; }

void zoomin_sony() {
    sony_initialize();
    sonyMsg(SONY_ZOOM_IN);
}

void zoomout_sony() {
    sony_initialize();
    sonyMsg(SONY_ZOOM_OUT);
}

void zoomstop_sony() {
    sony_initialize();
    sonyMsg(SONY_ZOOM_STOP);
}

void modestill_sony() {
    sony_initialize();
    logPuts("vorn-camera modestill_sony switching to still mode");
    if (sonyMsg(SONY_MODE_STILL) > 0) sonyCameraMode = SONY_MODE_STILL;
}

void modemovie_sony() {
    sony_initialize();
    logPuts("vorn-camera modemovie_sony switching to movie mode");
    if (sonyMsg(SONY_MODE_MOVIE) > 0) sonyCameraMode = SONY_MODE_MOVIE;
}

int recordstart_sony() {
    sony_initialize();
    return sonyMsg(SONY_RECORD_START) > 0;
}

int recordstop_sony() {
    sony_initialize();
    return sonyMsg(SONY_RECORD_STOP) > 0;
}

// No shot row is stored: the Sony process gets its positions through the GPS FIFO.
int trigger_sony(CameraContext*, sqlite3_stmt*, int, int, int) {
    logPuts("vorn-camera trigger_sony");
    sony_initialize();
    if (sonyCameraMode == SONY_MODE_STILL) {
        logPuts("vorn-camera trigger_sony Still trigger");
        return sonyMsg(SONY_TRIGGER) > 0 ? 0 : 1;
    }
    if (sonyCameraMode != SONY_MODE_MOVIE) return 1;
    // The recording state follows only requests that reached the Sony process.
    if (!sonyMovieState) {
        logPuts("vorn-camera trigger_sony Start Recording");
        if (recordstart_sony()) sonyMovieState = 1;
    } else {
        logPuts("vorn-camera trigger_sony Stop Recording");
        if (recordstop_sony()) sonyMovieState = 0;
    }
    return 1;
}
