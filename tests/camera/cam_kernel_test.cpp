// The Kernel driver against a sandbox root in which the test plays the camera while the driver
// waits: its disk appears under /dev, it leaves transfer mode once the marker file is on its
// card, and stub mount/umount commands attach and detach the card under the mount point. There
// is no HID device on a test machine, so every command over USB fails to open the device.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <functional>
#include <string>
#include <vector>

#include "archive/chainFixtures.h"
#include "archive/geotagDb.h"
#include "camera/cam_kernel.h"
#include "core/clock.h"
#include "core/pipes.h"
#include "core/sandbox.h"
#include "mavlink/mavlink.h"
#include "support/testSupport.h"

namespace {

TEST(KernelReport, CommandBytesThenZeros) {
    KernelReport capture = kernel_buildReport(3, 13);
    KernelReport transfer = kernel_buildReport(3, 1);
    EXPECT_EQ(capture.size(), 512u);
    EXPECT_EQ(capture[0], 3);
    EXPECT_EQ(capture[1], 13);
    EXPECT_EQ(transfer[0], 3);
    EXPECT_EQ(transfer[1], 1);
    for (size_t i = 2; i < 512; ++i) {
        ASSERT_EQ(capture[i], 0) << i;
        ASSERT_EQ(transfer[i], 0) << i;
    }
}

TEST(KernelHid, CommandWithoutDeviceFailsToOpen) {
    vt::StdoutCapture log;
    EXPECT_EQ(kernel_writeCmd(kernelGroupMode, kernelModeCapture), -1);
    initialize_kernel(nullptr, -1, 1, 1);
    std::string out = log.release();
    EXPECT_EQ(vt::countOf(out, "vorn-camera kernel failed to open usb\n"), 2);
    EXPECT_NE(out.find("vorn-camera initialize_kernel failed to set capture photo mode\n"), std::string::npos);
    kernel_reset();
}

class KernelTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("VORN_ROOT", root.path().c_str(), 1);
        sandboxInit();
        kernel_reset();
        vt::makeDirs(root / "dev");
        vt::makeDirs(root / "media/usbdrive");
        vt::makeDirs(imageDir());
        // mount shows the card's dcim directory under the mount point, umount takes it away.
        stubs.add("mount", "ln -s \"" + root.path() + "/card/dcim\" \"$2/dcim\"");
        stubs.add("umount", "rm -f \"$1/dcim\"");
        setSleepHook([this](long ms) {
            sleeps.push_back(ms);
            if (onWait) onWait();
        });
        ASSERT_EQ(sqlite3_open((root / "geodata.db").c_str(), &db), SQLITE_OK);
        chain::createSchema(db);
        cam.db = db;
    }

    void TearDown() override {
        setSleepHook({});
        sqlite3_close(db);
        unsetenv("VORN_ROOT");
        sandboxInit();
        kernel_reset();
    }

    int rows(const char* table) {
        std::string q = std::string("SELECT COUNT(*) FROM ") + table;
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(db, q.c_str(), -1, &stmt, nullptr);
        int n = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int(stmt, 0) : -1;
        sqlite3_finalize(stmt);
        return n;
    }

    std::string device() { return root / "dev/sdc"; }
    std::string mountDir() { return root / "media/usbdrive"; }
    std::string imageDir() { return root / "card/dcim/MED-06-001"; }
    std::string marker() { return root / "card/dcim/tmtf.txt"; }
    std::string base() { return mountDir() + "/dcim/MED-06-001"; }

    // The camera in transfer mode with its card mounted.
    void mountedCard() {
        vt::writeFile(device(), "");
        ASSERT_EQ(symlink((root / "card/dcim").c_str(), (mountDir() + "/dcim").c_str()), 0);
    }

    // The camera back in capture mode: its disk is gone, a mount of it shows nothing.
    void leaveTransferMode() {
        unlink(device().c_str());
        rename((root / "card").c_str(), (root / "card-unplugged").c_str());
    }

    vt::TempDir root;
    vt::StubPath stubs;
    std::vector<long> sleeps;
    std::function<void()> onWait;
    sqlite3* db = nullptr;
    CameraContext cam;
};

TEST_F(KernelTest, UnmountWithNothingMountedSucceedsAtOnce) {
    vt::StdoutCapture log;
    EXPECT_EQ(unmount_kernel(&cam, -1, 1, 1), 0);
    EXPECT_NE(log.release().find("vorn-camera unmount_kernel " + mountDir() + " is unmounted\n"), std::string::npos);
    EXPECT_TRUE(sleeps.empty());
    EXPECT_TRUE(stubs.calls().empty());
    EXPECT_FALSE(vt::fileExists(marker()));
}

TEST_F(KernelTest, UnmountWritesMarkerThenRemovesStaleMount) {
    mountedCard();
    ASSERT_EQ(mount_kernel(&cam, -1, 1, 1), 0);
    onWait = [this] {
        if (vt::fileExists(marker())) leaveTransferMode();
    };
    vt::StdoutCapture log;
    EXPECT_EQ(unmount_kernel(&cam, -1, 1, 1), 0);
    std::string out = log.release();
    EXPECT_EQ(sleeps, (std::vector<long>{10000, 10000}));
    EXPECT_EQ(stubs.calls(), (std::vector<std::string>{"umount " + mountDir()}));
    EXPECT_TRUE(vt::fileExists(root / "card-unplugged/dcim/tmtf.txt"));
    EXPECT_NE(out.find("vorn-camera unmount_kernel created unmount file\n"), std::string::npos);
    EXPECT_EQ(isMounted_kernel(&cam, -1, 1, 1), 0);
}

TEST_F(KernelTest, UnmountWithMarkerAlreadyOnCardWaitsWithoutWritingIt) {
    mountedCard();
    vt::writeFile(marker(), "");
    utimbuf old{1000, 1000};
    ASSERT_EQ(utime(marker().c_str(), &old), 0);
    onWait = [this] { leaveTransferMode(); };
    vt::StdoutCapture log;
    EXPECT_EQ(unmount_kernel(&cam, -1, 1, 1), 0);
    std::string out = log.release();
    EXPECT_EQ(sleeps, (std::vector<long>{10000}));
    EXPECT_TRUE(stubs.calls().empty()); // no umount
    EXPECT_EQ(out.find("created unmount file"), std::string::npos);
    struct stat st{};
    ASSERT_EQ(stat((root / "card-unplugged/dcim/tmtf.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1000);
}

TEST_F(KernelTest, UnmountOfCameraThatStaysInTransferModeGivesUp) {
    mountedCard();
    vt::StdoutCapture log;
    EXPECT_EQ(unmount_kernel(&cam, -1, 1, 1), 1);
    EXPECT_EQ(vt::countOf(log.release(), "vorn-camera unmount_kernel created unmount file\n"), 1);
    EXPECT_EQ(sleeps, std::vector<long>(6, 10000));
    EXPECT_TRUE(vt::fileExists(marker()));
}

TEST_F(KernelTest, MountWithoutDeviceAsksForTransferModeAtEveryAttempt) {
    vt::StdoutCapture log;
    EXPECT_EQ(mount_kernel(&cam, -1, 1, 1), 1);
    std::string out = log.release();
    EXPECT_EQ(sleeps, std::vector<long>(6, 10000));
    EXPECT_EQ(vt::countOf(out, "vorn-camera kernel failed to open usb\n"), 6);
    EXPECT_EQ(vt::countOf(out, "vorn-camera mount_kernel failed to write to usb, err="), 6);
    EXPECT_TRUE(stubs.calls().empty());
    EXPECT_EQ(isMounted_kernel(&cam, -1, 1, 1), 0);
}

TEST_F(KernelTest, MountOnceTheDiskShowsUp) {
    onWait = [this] { vt::writeFile(device(), ""); };
    vt::StdoutCapture log;
    EXPECT_EQ(mount_kernel(&cam, -1, 1, 1), 0);
    std::string out = log.release();
    // Attempt 1: no disk; attempt 2: disk, mount issued; attempt 3: image directory there.
    EXPECT_EQ(sleeps, (std::vector<long>{10000, 10000}));
    EXPECT_EQ(stubs.calls(), (std::vector<std::string>{"mount " + device() + " " + mountDir()}));
    EXPECT_NE(out.find("vorn-camera mount_kernel before mount\nvorn-camera mount_kernel issued mount command\n"),
              std::string::npos);
    EXPECT_NE(out.find("vorn-camera mount_kernel " + device() + " is mounted\n"), std::string::npos);
    EXPECT_EQ(isMounted_kernel(&cam, -1, 1, 1), 1);
}

TEST_F(KernelTest, TriggerPulsesOutputTwelveWhateverTheTriggerChannel) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    sqlite3_stmt* insert = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, sql::insertImage, -1, &insert, nullptr), SQLITE_OK);
    cam.triggerChannel = 7;
    EXPECT_EQ(trigger_kernel(&cam, insert, fds[1], 1, 1), 0);
    EXPECT_EQ(sleeps, (std::vector<long>{200}));
    EXPECT_EQ(rows("image"), 1);
    for (int expected : {2000, 1000}) {
        mavlink_message_t msg{};
        ASSERT_EQ(msgRead(fds[0], &msg), 1);
        ASSERT_EQ(msg.msgid, MAVLINK_MSG_ID_COMMAND_LONG);
        mavlink_command_long_t cmd{};
        mavlink_msg_command_long_decode(&msg, &cmd);
        EXPECT_EQ(cmd.command, MAV_CMD_DO_SET_SERVO);
        EXPECT_EQ(cmd.param1, 12.0f);
        EXPECT_EQ(cmd.param2, static_cast<float>(expected));
    }

    vt::StdoutCapture log;
    EXPECT_EQ(trigger_kernel(&cam, insert, -1, 1, 1), 1);
    EXPECT_NE(log.release().find("vorn-camera trigger_kernel failed to write DO_SET_SERVO to outbound pipe\n"),
              std::string::npos);
    EXPECT_EQ(rows("image"), 1);
    sqlite3_finalize(insert);
    close(fds[0]);
    close(fds[1]);
}

TEST_F(KernelTest, PreflightWithoutCameraNeverUnmountsAndKeepsShots) {
    ASSERT_EQ(sqlite3_exec(db, "INSERT INTO image (time, path) VALUES (1, '')", nullptr, nullptr, nullptr), SQLITE_OK);
    vt::StdoutCapture log;
    EXPECT_EQ(preflight_kernel(&cam, -1, 1, 1), 1);
    std::string out = log.release();
    EXPECT_EQ(sleeps, std::vector<long>(6, 10000));
    EXPECT_EQ(out.find("unmount_kernel"), std::string::npos);
    EXPECT_TRUE(stubs.calls().empty());
    EXPECT_EQ(rows("image"), 1);
}

TEST_F(KernelTest, PreflightRecordsCardFilesThenUnmounts) {
    mountedCard();
    vt::writeFile(imageDir() + "/IMG_0001.tiff", "old");
    vt::writeFile(imageDir() + "/IMG_0002.TIFF", "old");
    vt::writeFile(imageDir() + "/IMG_0003.jpg", "other");
    onWait = [this] {
        if (vt::fileExists(marker())) leaveTransferMode();
    };
    vt::StdoutCapture log;
    EXPECT_EQ(preflight_kernel(&cam, -1, 1, 1), 0);
    std::string out = log.release();
    EXPECT_NE(out.find("vorn-camera preflight_kernel 2 unknown files\n"), std::string::npos) << out;
    EXPECT_EQ(rows("unknownFiles"), 2);
    EXPECT_EQ(sleeps, (std::vector<long>{10000, 10000}));
    EXPECT_FALSE(vt::fileExists(root / "dev/sdc"));
}

TEST_F(KernelTest, PostflightTagsTheTiffFilesAsTheyAre) {
    mountedCard();
    chain::makeImage(imageDir() + "/IMG_0001.tiff");
    chain::makeImage(imageDir() + "/IMG_0002.tiff");
    ASSERT_EQ(sqlite3_exec(db, "INSERT INTO image (time, lat, lon, alt, path) VALUES "
                               "(1700000000000, -336250000, 1511000000, 1500, ''), "
                               "(1700000001000, -336260000, 1511000000, 1500, '')",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    int result;
    std::string out;
    {
        chain::WorkDir workDir(root.path()); // the database copy is taken in the working directory
        vt::StdoutCapture log;
        result = postflight_kernel(&cam, -1, 1, 1);
        out = log.release();
    }
    EXPECT_EQ(result, 0) << out;
    EXPECT_NE(out.find("vorn-camera postflight_kernel 2 images processed, 2 expected\n"), std::string::npos) << out;
    EXPECT_EQ(rows("oldfiles"), 2);
    auto tags = chain::exifTags(imageDir() + "/IMG_0001.tiff");
    EXPECT_EQ(tags["Exif.GPSInfo.GPSLatitude"], "33/1 37/1 300000/10000");
    EXPECT_EQ(tags["Exif.GPSInfo.GPSLatitudeRef"], "S");
    EXPECT_FALSE(vt::fileExists(imageDir() + "/IMG_0001.JPG"));
    EXPECT_TRUE(vt::fileExists(root / "geodone.db"));
    EXPECT_EQ(isMounted_kernel(&cam, -1, 1, 1), 1);
}

} // namespace
