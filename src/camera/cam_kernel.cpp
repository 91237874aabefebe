#include "camera/cam_kernel.h"

#include <hidapi/hidapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "archive/cardInventory.h"
#include "archive/filePairing.h"
#include "camera/geotag.h"
#include "core/clock.h"
#include "core/logging.h"
#include "core/sandbox.h"
#include "core/shell.h"

namespace {

constexpr unsigned short kernelVendorId = 0x0525;
constexpr unsigned short kernelProductId = 0xA4AC;

// The camera is always triggered on this output, whatever the Survey3 trigger channel is.
constexpr int kernelTriggerServo = 12;
constexpr int pwmShoot = 2000;

constexpr int mountAttempts = 6;
constexpr long attemptWaitMs = 10000;

struct HidCloser {
    void operator()(hid_device* dev) const { hid_close(dev); }
};
using HidDevice = std::unique_ptr<hid_device, HidCloser>;

// Driver state for the life of the process. The fixed paths resolve below the sandbox root.
std::string m_kernelMountDir;
std::string m_kernelPattern;
char m_kernelDevice[256];
char m_kernelBase[256];
char m_kernelExtension[8];
int m_isKernelMounted = 0;
int m_kernelInitialized = 0;
// Error text of the last failed command; the device is closed by the time callers log it.
std::string m_kernelHidError;

void kernel_initialize() {
    if (m_kernelInitialized) return;
    memset(m_kernelDevice, 0, sizeof m_kernelDevice);
    memset(m_kernelBase, 0, sizeof m_kernelBase);
    memset(m_kernelExtension, 0, sizeof m_kernelExtension);
    m_kernelMountDir = sandboxPath("/media/usbdrive");
    m_kernelPattern = sandboxPath("/dev/sd%c");
    snprintf(m_kernelBase, sizeof m_kernelBase, "%s/dcim/MED-06-001", m_kernelMountDir.c_str());
    snprintf(m_kernelExtension, sizeof m_kernelExtension, "tiff");
    m_kernelInitialized = 1;
}

std::string hidErrorText(hid_device* dev) {
    const wchar_t* text = hid_error(dev);
    if (!text) return "unknown error";
    char out[256];
    size_t n = wcstombs(out, text, sizeof out - 1);
    if (n == static_cast<size_t>(-1)) return "unprintable error";
    out[n] = '\0';
    return out;
}

} // namespace

void kernel_reset() {
    m_kernelInitialized = 0;
    m_isKernelMounted = 0;
}

KernelReport kernel_buildReport(uint8_t group, uint8_t value) {
    KernelReport report{};
    report[0] = group;
    report[1] = value;
    return report;
}

int kernel_writeCmd(uint8_t group, uint8_t value) {
    HidDevice dev(hid_open(kernelVendorId, kernelProductId, nullptr));
    if (!dev) {
        m_kernelHidError = hidErrorText(nullptr);
        logPuts("vorn-camera kernel failed to open usb");
        return -1;
    }
    KernelReport report = kernel_buildReport(group, value);
    int written = hid_write(dev.get(), report.data(), report.size());
    if (written < 0) m_kernelHidError = hidErrorText(dev.get());
    dev.reset();
    if (written >= 0)
        logPrintf("vorn-camera kernel wrote %d,%d over usb\n", group, value);
    else
        logPrintf("vorn-camera kernel failed to write to usb, err=%s\n", m_kernelHidError.c_str());
    return written;
}

void initialize_kernel(CameraContext*, int, int, int) {
    kernel_initialize();
    if (kernel_writeCmd(kernelGroupMode, kernelModeCapture) >= 0)
        logPuts("vorn-camera initialize_kernel set to capture photo mode");
    else
        logPuts("vorn-camera initialize_kernel failed to set capture photo mode");
}

int isMounted_kernel(CameraContext*, int, int, int) {
    return m_isKernelMounted;
}

int mount_kernel(CameraContext*, int, int, int) {
    kernel_initialize();
    m_isKernelMounted = 0;
    for (int attempt = 0; attempt < mountAttempts; ++attempt) {
        memset(m_kernelDevice, 0, sizeof m_kernelDevice);
        if (!isDevicePresent(m_kernelDevice, sizeof m_kernelDevice, m_kernelPattern.c_str())) {
            // In capture mode the camera shows no disk: ask for transfer mode again.
            if (kernel_writeCmd(kernelGroupMode, kernelModeTransfer) >= 0)
                logPuts("vorn-camera mount_kernel wrote xfer mode cmd");
            else
                logPrintf("vorn-camera mount_kernel failed to write to usb, err=%s\n", m_kernelHidError.c_str());
        } else if (exists(m_kernelBase)) {
            m_isKernelMounted = 1;
            logPrintf("vorn-camera mount_kernel %s is mounted\n", m_kernelDevice);
            return 0;
        } else {
            logPuts("vorn-camera mount_kernel before mount");
            std::string cmd = "mount " + shellQuote(m_kernelDevice) + " " + shellQuote(m_kernelMountDir);
            if (runShell(cmd) < 0)
                logPrintf("vorn-camera mount_kernel failed to run %s\n", cmd.c_str());
            else
                logPuts("vorn-camera mount_kernel issued mount command");
        }
        sleepMs(attemptWaitMs);
    }
    return 1;
}

int unmount_kernel(CameraContext*, int, int, int) {
    kernel_initialize();
    // The camera leaves transfer mode once it finds this file on its card.
    std::string marker = m_kernelMountDir + "/dcim/tmtf.txt";
    bool markerWritten = false;
    for (int attempt = 0; attempt < mountAttempts; ++attempt) {
        if (exists(m_kernelBase)) {
            if (!exists(marker.c_str())) {
                if (runShell("touch " + shellQuote(marker)) == 0) {
                    logPuts("vorn-camera unmount_kernel created unmount file");
                    markerWritten = true;
                } else {
                    logPuts("vorn-camera unmount_kernel failed to create unmount file");
                }
            }
        } else if (markerWritten) {
            // The camera has gone; remove the mount it left behind.
            if (runShell("umount " + shellQuote(m_kernelMountDir)) == 0)
                markerWritten = false;
            else
                logPuts("vorn-camera unmount_kernel failed to issue umount command");
        } else {
            m_isKernelMounted = 0;
            logPrintf("vorn-camera unmount_kernel %s is unmounted\n", m_kernelMountDir.c_str());
            return 0;
        }
        sleepMs(attemptWaitMs);
    }
    return 1;
}

int trigger_kernel(CameraContext* cam, sqlite3_stmt* insertImageStmt, int fcFd, int sysId, int compId) {
    if (!momentary_pwm(kernelTriggerServo, pwmShoot, fcFd, sysId, compId)) {
        logPuts("vorn-camera trigger_kernel failed to write DO_SET_SERVO to outbound pipe");
        return 1;
    }
    return storeGeoData(cam, insertImageStmt);
}

int preflight_kernel(CameraContext* cam, int fcFd, int sysId, int compId) {
    bool mounted = mount_kernel(cam, fcFd, sysId, compId) == 0;
    // Shots left from an earlier flight must never be paired with this flight's images.
    int count = takePreflight(cam, "preflight_kernel", mounted ? m_kernelBase : nullptr, m_kernelExtension,
                              m_kernelMountDir.c_str(), fcFd);
    if (!mounted) return 1;
    if (count >= 0) logPrintf("vorn-camera preflight_kernel %d unknown files\n", count);
    return unmount_kernel(cam, fcFd, sysId, compId);
}

int postflight_kernel(CameraContext* cam, int fcFd, int sysId, int compId) {
    int result = mount_kernel(cam, fcFd, sysId, compId);
    if (result != 0) return result;
    // The TIFF files are tagged as they are; the card stays mounted.
    return pairAndTagFlight(cam, "postflight_kernel", m_kernelBase, m_kernelExtension, m_kernelMountDir.c_str(),
                            fcFd);
}
