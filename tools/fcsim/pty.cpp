#include "pty.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

bool fail(const char* what) {
    fprintf(stderr, "fcsim: %s failed: %s\n", what, strerror(errno));
    return false;
}

} // namespace

bool openPty(PtyPair* pty, const std::string& linkPath) {
    // Non-blocking, so a daemon that stops reading cannot block the simulator for good.
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master < 0) return fail("posix_openpt");
    if (grantpt(master) != 0 || unlockpt(master) != 0) {
        close(master);
        return fail("grantpt/unlockpt");
    }
    const char* name = ptsname(master);
    int slave = name ? open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    if (slave < 0) {
        close(master);
        return fail("opening the pty slave");
    }
    // Raw from the start, so nothing sent before the daemon configures the line is echoed.
    termios tty{};
    tcgetattr(slave, &tty);
    cfmakeraw(&tty);
    tcsetattr(slave, TCSANOW, &tty);
    pty->master = master;
    pty->slave = slave;
    pty->slavePath = name;
    pty->linkPath = linkPath;
    if (!linkPath.empty()) {
        unlink(linkPath.c_str());
        if (symlink(pty->slavePath.c_str(), linkPath.c_str()) != 0) return fail(("symlink " + linkPath).c_str());
    }
    return true;
}

void closePty(PtyPair* pty) {
    if (pty->master >= 0) close(pty->master);
    if (pty->slave >= 0) close(pty->slave);
    pty->master = pty->slave = -1;
}
