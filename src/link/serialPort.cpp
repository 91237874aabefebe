#include "link/serialPort.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "core/clock.h"
#include "core/logging.h"

namespace {

// 0 when the baud rate has no speed constant here.
speed_t speedOf(int baud) {
    switch (baud) {
    case 1200: return B1200;
    case 1800: return B1800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 1500000: return B1500000;
    default: return 0;
    }
}

void makeRaw(termios* tty) {
    tty->c_iflag &= ~(IGNBRK | BRKINT | PARMRK | INPCK | ISTRIP | INLCR | ICRNL | IXON);
    tty->c_oflag &= ~(OPOST | ONLCR | OCRNL | ONOCR | ONLRET | OFILL);
    tty->c_lflag &= ~(ISIG | ICANON | ECHO | ECHONL | IEXTEN);
    tty->c_cflag &= ~(CRTSCTS | PARENB | CSIZE);
    tty->c_cflag |= CS8;
    tty->c_cc[VMIN] = 1;
    tty->c_cc[VTIME] = 2;
}

int setSpeed(termios* tty, int baud) {
    speed_t speed = speedOf(baud);
    int err = 0;
    if (speed == 0)
        err = EINVAL;
    else if (cfsetispeed(tty, speed) != 0 || cfsetospeed(tty, speed) != 0)
        err = errno != 0 ? errno : EINVAL;
    if (err != 0)
        logPrintf("vorn-camera serialPortConfig: Failed to setspeed, baud=%d, err=%s\n", baud, strerror(err));
    return err;
}

int configure(int fd, int baud) {
    termios tty{};
    if (tcgetattr(fd, &tty) != 0) {
        int err = errno;
        logPrintf("vorn-camera serialPortConfig: Failed to getattr, err=%s\n", strerror(err));
        return err;
    }
    makeRaw(&tty);
    if (int err = setSpeed(&tty, baud); err != 0) return err;
    if (tcsetattr(fd, TCSAFLUSH, &tty) != 0) {
        int err = errno;
        logPrintf("vorn-camera serialPortConfig: Failed to setattr, err=%s\n", strerror(err));
        return err;
    }
    return 0;
}

} // namespace

int serialPortConfig(int fd, int baud) {
    int result = configure(fd, baud);
    logPrintf("vorn-camera serialPortConfig returning %d\n", result);
    return result;
}

void sendBuf(int fd, size_t len, const void* buf, const char* name) {
    const auto* bytes = static_cast<const uint8_t*>(buf);
    size_t written = 0;
    int failures = 0;
    while (written < len) {
        ssize_t n = write(fd, bytes + written, len - written);
        if (n > 0) {
            written += static_cast<size_t>(n);
            continue;
        }
        if (++failures >= 2) {
            logPrintf("vorn-camera sendBuf to %s failed\n", name);
            return;
        }
        sleepMs(1000);
    }
}
