#include "sentera/senteraShare.h"

#include <string>

#include "archive/cardInventory.h"
#include "core/clock.h"
#include "core/logging.h"
#include "core/sandbox.h"
#include "core/shell.h"
#include "sentera/cam_sentera_utils.h"

namespace {

constexpr int mountAttempts = 5;
constexpr long mountWaitMs = 5000;

int m_senteraInitialized = 0;
std::string m_senteraDevice;   // the card share, //HOST/sdcard
std::string m_senteraMountDir; // where it is mounted
std::string m_senteraBase;     // the snapshot directory, visible once the share is mounted
int m_isSenteraMounted = 0;

} // namespace

void sentera_initialize() {
    if (m_senteraInitialized) return;
    m_senteraInitialized = 1;
    m_senteraDevice = "//" + senteraHost() + "/sdcard";
    m_senteraMountDir = sandboxPath(senteraMountPoint);
    m_senteraBase = m_senteraMountDir + "/snapshots";
    // A share still mounted from an earlier run counts as mounted.
    m_isSenteraMounted = isSenteraMounted();
}

int isSenteraMounted() {
    sentera_initialize();
    return exists(m_senteraBase.c_str());
}

int isMounted_sentera() {
    sentera_initialize();
    return m_isSenteraMounted;
}

int mount_sentera() {
    sentera_initialize();
    m_isSenteraMounted = 0;
    // The share counts as mounted only when its snapshot directory shows, whatever mount said.
    for (int attempt = 0;; ++attempt) {
        if (exists(m_senteraBase.c_str())) {
            m_isSenteraMounted = 1;
            logPrintf("vorn-camera mount_sentera %s is mounted\n", m_senteraDevice.c_str());
            return 0;
        }
        if (attempt == mountAttempts) return 1;
        std::string command = "mount -t cifs -o username=ostrel,password= " + shellQuote(m_senteraDevice) + " " +
                              shellQuote(m_senteraMountDir);
        if (runShell(command) != 0)
            logPuts("vorn-camera mount_sentera failed to issue mount command");
        else
            logPuts("vorn-camera mount_sentera issued mount command");
        sleepMs(mountWaitMs);
    }
}

int unmount_sentera() {
    // The share stays mounted: the images are read from it after the flight.
    return 0;
}
