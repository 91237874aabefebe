// The camera code in a sandbox root: disks under /dev, stub mount/umount attach the card under
// /media/usbdrive, Sony FIFOs in /var/run. Waits are recorded, not slept; at each the test plays the camera.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <thread>

#include "camera/cam_kernel.h"
#include "camera/cam_none.h"
#include "camera/cam_sony.h"
#include "camera/cam_survey3.h"
#include "camera/cameraThread.h"
#include "camera/geotag.h"
#include "core/clock.h"
#include "core/sandbox.h"
#include "core/stop.h"
#include "link/sonyGps.h"
#include "support/chainFixtures.h"
#include "support/testSupport.h"

namespace {

using Longs = std::vector<long>;
using Ints = std::vector<int>;
using Texts = std::vector<std::string>;

template <class T> std::vector<T> rep(int n, const std::vector<T>& part, std::vector<T> head = {}) { // head, n parts
    for (int i = 0; i < n; ++i) head.insert(head.end(), part.begin(), part.end());
    return head;
}

class Rig : public ::testing::Test {
protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN); // as the daemon does: a reader gone is a failed write
        setenv("VORN_ROOT", root.path().c_str(), 1);
        sandboxInit(), survey3_reset(), kernel_reset(), sony_reset();
        for (const char* d : {"dev", "media/usbdrive", "var/run", "card/DCIM/Photo", "card/dcim/MED-06-001"})
            vt::makeDirs(root / d);
        ASSERT_EQ(pipe(fc), 0);
        stubs.add("mount", "ln -s \"" + root.path() + "\"/card/* \"$2\""), stubs.add("umount", "rm -f \"$1\"/*");
        setSleepHook([this](long ms) { sleeps.push_back(ms), readCommands(); if (onWait) onWait(); });
        chain::createSchema(cam.db = db.get());
        chain::exec(cam.db, sql::createUntagged);
    }
    void TearDown() override { for (int fd : fc) close(fd); setSleepHook({}), unsetenv("VORN_ROOT"), sandboxInit(); }
    // Takes the flight controller's commands (command, output, value, target system, component), output 7's
    // also in pwm: the Survey3 camera there toggles USB storage (its disk /dev/sdb1) on a 1500 µs pulse, unless stuck.
    void readCommands() {
        for (const auto& msg : chain::drainMessages(fc[0])) {
            mavlink_command_long_t c{};
            mavlink_msg_command_long_decode(&msg, &c);
            sent.push_back({c.command, int(c.param1), int(c.param2), c.target_system, c.target_component});
            if (c.command != MAV_CMD_DO_SET_SERVO || c.param1 != 7) continue;
            pwm.push_back(int(c.param2));
            std::string disk = root / "dev/sdb1";
            if (!stuck && c.param2 == 1500) vt::fileExists(disk) ? (void)unlink(disk.c_str()) : vt::writeFile(disk, "");
        }
    }
    void mountedCard(const std::string& disk, const std::string& dir) { // in USB storage mode
        vt::writeFile(root / "dev/" + disk, "");
        ASSERT_EQ(symlink((root / "card/" + dir).c_str(), (root / "media/usbdrive/" + dir).c_str()), 0);
    }
    std::string shots() { // rows of image / rows of untagged
        return chain::query(cam.db, "SELECT (SELECT COUNT(*) FROM image)||'/'||(SELECT COUNT(*) FROM untagged)")[0][0];
    }

    vt::TempDir root;
    vt::StubPath stubs;
    chain::Db db = chain::openDb(root / "geodata.db");
    CameraContext cam;
    int fc[2] = {-1, -1};
    Longs sleeps;
    std::vector<Ints> sent;
    Ints pwm;
    bool stuck = false;
    std::function<void()> onWait;
};

// Without a camera both preflights give up after six attempts, leaving an earlier flight's shots for a pass
// that reaches the card. A Survey3 camera that ignores its pulses stays in storage mode: the unmount fails.
TEST_F(Rig, MountAndUnmountGiveUpAfterSixAttempts) {
    stuck = true;
    initialize_survey3(&cam, -1, 1, 1); // the idle level tried three times
    EXPECT_EQ(mount_survey3(&cam, -1, 1, 1), 1); // no pulse can be sent: no attempt
    chain::exec(db.get(), "INSERT INTO image (time, path) VALUES (1, ''), (2, '')");
    EXPECT_EQ(preflight_survey3(&cam, fc[1], 1, 1), 1);
    // A pulse at every other attempt: one while the camera switches would switch it back.
    EXPECT_EQ(sleeps, rep(3, Longs{200, 5000, 5000}, Longs(3, 5000)));
    EXPECT_EQ(pwm, rep(3, Ints{1500, 1000}));
    EXPECT_EQ(shots(), "2/0");
    chain::exec(db.get(), "INSERT INTO image (time, path) VALUES (3, '')");
    EXPECT_EQ(preflight_kernel(&cam, fc[1], 1, 1), 1); // no HID device: transfer mode asked in vain
    EXPECT_EQ(sleeps, rep(6, Longs{10000}, rep(3, Longs{200, 5000, 5000}, Longs(3, 5000))));
    EXPECT_EQ(shots(), "3/0");
    sleeps.clear(), pwm.clear();
    mountedCard("sdb1", "DCIM");
    EXPECT_EQ(mount_survey3(&cam, fc[1], 1, 1), 0);
    EXPECT_EQ(unmount_survey3(&cam, fc[1], 1, 1), 1);
    EXPECT_EQ(sleeps, rep(5, Longs{200, 5000}, {5000}));
    EXPECT_EQ(pwm, rep(5, Ints{1500, 1000}));
    EXPECT_EQ(stubs.calls(), Texts{"umount " + root / "media/usbdrive"});
    EXPECT_EQ(isMounted_survey3(&cam, -1, 1, 1), 1);
}

// The Kernel camera leaves transfer mode once the marker file is on its card, its mount removed; one
// that stays is a failure after six attempts; a marker there is not written again. HID report bytes.
TEST_F(Rig, KernelUnmountThroughTheMarkerFile) {
    const std::string marker = root / "card/dcim/tmtf.txt";
    EXPECT_EQ(unmount_kernel(&cam, -1, 1, 1), 0); // nothing mounted: done at once
    mountedCard("sdc", "dcim");
    ASSERT_EQ(mount_kernel(&cam, -1, 1, 1), 0);
    EXPECT_EQ(unmount_kernel(&cam, -1, 1, 1), 1);
    EXPECT_TRUE(vt::fileExists(marker));
    EXPECT_EQ(isMounted_kernel(&cam, -1, 1, 1), 1);
    onWait = [&] { // the camera leaves: its disk goes, the mount left behind shows nothing
        if (unlink((root / "dev/sdc").c_str()) == 0) rename((root / "card").c_str(), (root / "gone").c_str());
    };
    EXPECT_EQ(unmount_kernel(&cam, -1, 1, 1), 0); // a marker written now would ask for a umount
    EXPECT_EQ(rename((root / "gone").c_str(), (root / "card").c_str()) + unlink(marker.c_str()), 0);
    vt::writeFile(root / "dev/sdc", "");
    ASSERT_EQ(mount_kernel(&cam, -1, 1, 1), 0);
    EXPECT_EQ(unmount_kernel(&cam, -1, 1, 1), 0);
    EXPECT_EQ(sleeps, Longs(9, 10000));
    EXPECT_EQ(stubs.calls(), Texts{"umount " + root / "media/usbdrive"});
    EXPECT_EQ(isMounted_kernel(&cam, -1, 1, 1), 0);
    EXPECT_EQ(kernel_buildReport(kernelGroupMode, kernelModeCapture), (KernelReport{3, 13}));
    EXPECT_EQ(kernel_buildReport(kernelGroupMode, kernelModeTransfer), (KernelReport{3, 1}));
}

// The camera thread unmounts a mounted card before a shot, passes Sony requests to a Sony camera
// only and mounts for a past flight with that flight's camera type.
TEST_F(Rig, CameraThreadUnmountsBeforeAShot) {
    AppContext ctx;
    ASSERT_EQ(pipe(ctx.camera.cameraPipe) + pipe(ctx.stopPipe), 0);
    ctx.fcPipe[1] = fc[1], ctx.camera.db = cam.db;
    chain::exec(cam.db, "INSERT INTO flights (flightID, camType) VALUES (65535, 1)");
    ctx.camera.flightID = -1; // flight 65535: the number is read without sign
    mountedCard("sdb1", "DCIM");
    unmount_none(&ctx.camera, -1, 1, 1);
    std::thread thread(cameraThread, &ctx);
    for (CameraCommand c : {CameraCommand{{}, CAMTYPE_SURVEY3, CAM_TRIGGER, {}, {}},
                            {{}, CAMTYPE_SURVEY3, CAM_ZOOM_IN, {}, {}}, {{}, 0, CAM_MOUNT, {}, {}}})
        EXPECT_EQ(pipeWrite(ctx.camera.cameraPipe[1], sizeof c, &c), 1);
    EXPECT_TRUE(vt::waitUntil([&] { int n = 0; return ioctl(ctx.camera.cameraPipe[0], FIONREAD, &n) == 0 && n == 0; }));
    requestStop(&ctx), thread.join();
    for (int fd : {ctx.camera.cameraPipe[0], ctx.camera.cameraPipe[1], ctx.stopPipe[0], ctx.stopPipe[1]}) close(fd);
    readCommands();
    EXPECT_EQ(pwm, (Ints{1000, 1500, 1000, 2000, 1000}));
    EXPECT_EQ(stubs.calls(), Texts{"umount " + root / "media/usbdrive"});
    EXPECT_EQ(isMounted_survey3(&cam, -1, 1, 1), 0);
    EXPECT_EQ(isMounted_none(&ctx.camera, -1, 1, 1), 1);
    EXPECT_FALSE(vt::fileExists(root / "var/run/vornSonyMsg.fifo")); // zoom is for a Sony camera only
}

// A shot: pulse, 200 ms, idle 1000 µs, a row with the current geo and time. Idle level and relay are one
// command each; nothing sent without a pipe; a failed pulse not released; an unstored row reported.
TEST_F(Rig, ShotIsAPulseAndARowIdleAndRelayOneCommandEach) {
    int rc = 0;
    Stmt insert = prepareStmt(db.get(), sql::insertImage, &rc);
    cam.triggerChannel = 9, cam.geo = {123, -336250000, 1510000000, -150, 275, -500, 488000, 35999};
    std::string before = std::to_string(current_timestamp());
    EXPECT_EQ(trigger_survey3(&cam, insert.get(), fc[1], 5, 6), 0);
    EXPECT_EQ(chain::query(db.get(), "SELECT lat, lon, pitch, roll, yaw, heading, alt, path, time BETWEEN " + before +
                                         " AND " + std::to_string(current_timestamp()) + " FROM image"),
              (std::vector<Texts>{{"-336250000", "1510000000", "-150", "275", "-500", "35999", "488000", "", "1"}}));
    EXPECT_EQ(momentary_pwm(4, 1000, fc[1], 5, 6) + set_relay(2, 1, fc[1], 5, 6), 2);
    EXPECT_EQ(trigger_survey3(&cam, insert.get(), -1, 1, 1) - set_relay(2, 1, -1, 1, 1), 1); // no pipe: none
    readCommands();
    EXPECT_EQ(sent, (std::vector<Ints>{{183, 9, 2000, 5, 6}, {183, 9, 1000, 5, 6}, {183, 4, 1000, 5, 6},
                                       {181, 2, 1, 5, 6}}));
    chain::exec(db.get(), "CREATE TRIGGER refuse BEFORE INSERT ON image BEGIN SELECT RAISE(ABORT, 'full'); END");
    vt::StdoutCapture capture;
    EXPECT_EQ(storeGeoData(&cam, insert.get()) + storeGeoData(&cam, nullptr), 2); // refused; no statement
    EXPECT_EQ(vt::countOf(capture.release(), "shot not stored: "), 2u);
    chain::exec(db.get(), "DROP TRIGGER refuse");
    EXPECT_EQ(storeGeoData(&cam, insert.get()), 0); // the statement was reset after the failure
    close(std::exchange(fc[0], -1)); // no reader: the write fails
    EXPECT_EQ(momentary_pwm(9, 2000, fc[1], 1, 1), 0);
    EXPECT_EQ(sleeps, Longs{200});
}

// The record's words as the Sony process reads them: 2-6 latitude (1 south), 7-11 longitude
// (1 east), 12-15 altitude (1 below sea level), 39-44 local date and time.
TEST(SonyGeoRecord, FieldsOfPositionsAltitudesAndTimes) {
    SonyGeoRecord r{};
    auto words = [&r](int from, int n) { return Ints((int32_t*)&r + from, (int32_t*)&r + from + n); };
    struct Value { int32_t value; int deg, min, sec; }; // as latitude, longitude, altitude; INT32_MIN has no magnitude
    for (const Value& v : std::vector<Value>{{327531234, 32, 45, 1124423}, {-327531234, 32, 45, 1124423}, {0, 0, 0, 0},
                                             {-1170000000, 117, 0, 0}, {INT32_MIN, 214, 44, 5411327}}) {
        SonyGeo_Put_Lat(&r, v.value), SonyGeo_Put_Lon(&r, v.value), SonyGeo_Put_Alt(&r, v.value);
        EXPECT_EQ(words(2, 5), (Ints{v.value < 0, v.deg, v.min, v.sec, 100000})) << v.value;
        EXPECT_EQ(words(7, 5), (Ints{v.value >= 0, v.deg, v.min, v.sec, 100000})) << v.value;
        EXPECT_EQ(words(12, 4), (Ints{1, v.value < 0, v.value, 1000})) << v.value;
    }
    struct Time { const char* zone; int64_t ms; Ints local; };
    for (const Time& t : std::vector<Time>{{"UTC0", 1612137570250, {2021, 1, 31, 23, 59, 30250}},
                                           {"UTC0", 1609416059999, {2020, 12, 31, 12, 0, 59999}},
                                           {"XST5", 1614564000000, {2021, 2, 28, 21, 0, 0}}}) { // west of UTC
        setenv("TZ", t.zone, 1), tzset();
        SonyGeo_Put_Time(&r, t.ms);
        EXPECT_EQ(words(39, 6), t.local) << t.zone << " " << t.ms;
    }
    unsetenv("TZ"), tzset();
}

// Neither Sony FIFO waits for the Sony process: without a reader, or full, a request or record is
// dropped at once; the next request after the process (re)starts gets through.
TEST_F(Rig, SonyFifosNeverWait) {
    const std::string fifo = root / "var/run/vornSonyMsg.fifo", gps = root / "var/run/vornSonyGPSMsg.fifo";
    auto trigger = [] { return trigger_sony(nullptr, nullptr, -1, 1, 1); };
    auto drain = [](int fd, Ints out = {}) { for (int32_t v; read(fd, &v, 4) == 4;) out.push_back(v); return out; };
    alarm(10); // an open or write that waits ends the test run here
    modemovie_sony(); // dropped: the camera stays in still mode
    EXPECT_EQ(trigger(), 1);
    SonyGeoRecord rec{};
    EXPECT_EQ(sendSonyFix(&rec, GeoData{}), 1);
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK), gpsReader = open(gps.c_str(), O_RDONLY | O_NONBLOCK);
    zoomout_sony();
    EXPECT_EQ(trigger(), 0);
    int records = 0;
    while (send_sony_gps_message(&rec) == 0 && ++records < 10000) {}
    EXPECT_EQ(read(gpsReader, &rec, sizeof rec), static_cast<ssize_t>(sizeof rec));
    EXPECT_TRUE(records > 0 && records < 10000) << records;
    EXPECT_EQ(drain(reader), (Ints{2, 0}));
    close(reader);
    EXPECT_EQ(trigger(), 1); // broken pipe: a failed request
    EXPECT_EQ(unlink(fifo.c_str()) + mkfifo(fifo.c_str(), 0700), 0); // the Sony process makes a new FIFO
    reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    EXPECT_EQ(trigger(), 0);
    EXPECT_EQ(drain(reader), Ints{0});
    close(reader), close(gpsReader), alarm(0);
}

} // namespace
