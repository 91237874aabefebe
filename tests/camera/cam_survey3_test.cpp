// The Survey3 driver against a sandbox root in which the test plays the camera: it reads the
// servo commands from fcPipe while the driver waits, shows or hides the camera's USB disk on a
// 1500 µs pulse and takes a picture on a 2000 µs pulse; stub mount/umount commands make the
// card's photo directory appear and disappear under the mount point.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "archive/chainFixtures.h"
#include "archive/geotagDb.h"
#include "camera/cam_survey3.h"
#include "camera/cameraThread.h"
#include "core/clock.h"
#include "core/pipes.h"
#include "core/sandbox.h"
#include "mavlink/mavlink.h"
#include "support/testSupport.h"

namespace {

struct Command {
    uint16_t command;
    int param1;
    int param2;
    int targetSystem;
    int targetComponent;
};

// The camera on the far side of fcPipe. It reacts while the driver waits (the sleep hook),
// so every reaction happens at a defined point of the retry loops.
class Survey3Camera {
public:
    Survey3Camera(const std::string& root, int readFd) : root_(root), readFd_(readFd) {
        fcntl(readFd_, F_SETFL, fcntl(readFd_, F_GETFL) | O_NONBLOCK);
    }

    bool respondsToPulses = true;
    int triggerChannel = 7;
    std::string jpegSample; // copied to the card for every picture taken

    std::string deviceNode() const { return root_ + "/dev/sdb1"; }
    std::string photoDir() const { return root_ + "/card/DCIM/Photo"; }
    bool storageMode() const { return vt::fileExists(deviceNode()); }
    void setStorageMode(bool on) {
        if (on)
            vt::writeFile(deviceNode(), "");
        else
            unlink(deviceNode().c_str());
    }

    void readPipe() {
        std::lock_guard<std::mutex> guard(mutex_);
        for (;;) {
            mavlink_message_t msg{};
            if (!msgRead(readFd_, &msg)) return;
            ++messages_;
            if (msg.msgid == MAVLINK_MSG_ID_DATA96) reports_.push_back(msg);
            if (msg.msgid != MAVLINK_MSG_ID_COMMAND_LONG) continue;
            mavlink_command_long_t cmd{};
            mavlink_msg_command_long_decode(&msg, &cmd);
            commands_.push_back({cmd.command, static_cast<int>(cmd.param1), static_cast<int>(cmd.param2),
                                 cmd.target_system, cmd.target_component});
            if (cmd.command != MAV_CMD_DO_SET_SERVO || static_cast<int>(cmd.param1) != triggerChannel) continue;
            int pwm = static_cast<int>(cmd.param2);
            if (pwm == 1500 && respondsToPulses) setStorageMode(!storageMode());
            if (pwm == 2000 && !storageMode()) takePicture();
        }
    }

    std::vector<Command> commands() {
        std::lock_guard<std::mutex> guard(mutex_);
        return commands_;
    }
    // Pulse widths sent to the trigger channel, in order.
    std::vector<int> servoValues() {
        std::vector<int> out;
        for (const auto& c : commands())
            if (c.command == MAV_CMD_DO_SET_SERVO) out.push_back(c.param2);
        return out;
    }
    int messages() {
        std::lock_guard<std::mutex> guard(mutex_);
        return messages_;
    }
    std::vector<chain::Progress> progressReports() {
        std::lock_guard<std::mutex> guard(mutex_);
        return chain::progressReports(reports_);
    }
    int pictures() const { return pictures_; }

private:
    void takePicture() {
        char name[64];
        snprintf(name, sizeof name, "/IMG_%04d.JPG", ++pictures_ + 1);
        vt::writeFile(photoDir() + name, vt::readFile(jpegSample));
    }

    std::string root_;
    int readFd_;
    std::mutex mutex_;
    std::vector<Command> commands_;
    int messages_ = 0;
    std::vector<mavlink_message_t> reports_;
    int pictures_ = 0;
};

struct Pipe {
    Pipe() {
        if (pipe(fd) != 0) fd[0] = fd[1] = -1;
    }
    ~Pipe() {
        close(fd[0]);
        close(fd[1]);
    }
    int fd[2];
};

class Survey3Test : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("VORN_ROOT", root.path().c_str(), 1);
        sandboxInit();
        survey3_reset();
        vt::makeDirs(root / "dev");
        vt::makeDirs(root / "media/usbdrive");
        vt::makeDirs(camera.photoDir());
        ASSERT_NE(fcPipe[0], -1);
        // mount shows the card's DCIM directory under the mount point, umount takes it away.
        stubs.add("mount", "ln -s \"" + root.path() + "/card/DCIM\" \"$2/DCIM\"");
        stubs.add("umount", "rm -f \"$1/DCIM\"");
        setSleepHook([this](long ms) {
            {
                std::lock_guard<std::mutex> guard(sleepMutex);
                sleeps.push_back(ms);
            }
            camera.readPipe();
        });
        openDatabase(root / "geodata.db");
    }

    // The driver's connection with the four tables. The test queries through it as well: a
    // second connection would hold read locks that make the driver's inserts fail as busy.
    void openDatabase(const std::string& path) {
        sqlite3_close(db);
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        chain::createSchema(db);
        cam.db = db;
    }

    void TearDown() override {
        setSleepHook({});
        sqlite3_close(db);
        unsetenv("VORN_ROOT");
        sandboxInit();
        survey3_reset();
    }

    std::vector<long> recordedSleeps() {
        std::lock_guard<std::mutex> guard(sleepMutex);
        return sleeps;
    }

    int rows(const char* table) {
        std::string q = std::string("SELECT COUNT(*) FROM ") + table;
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(db, q.c_str(), -1, &stmt, nullptr);
        int n = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int(stmt, 0) : -1;
        sqlite3_finalize(stmt);
        return n;
    }

    // The card as the camera shows it once mounted: storage mode and the photo directory.
    void mountedCard() {
        camera.setStorageMode(true);
        ASSERT_EQ(symlink((root / "card/DCIM").c_str(), (root / "media/usbdrive/DCIM").c_str()), 0);
    }

    std::string base() { return root / "media/usbdrive/DCIM/Photo"; }

    vt::TempDir root;
    vt::StubPath stubs;
    Pipe fc;
    int* fcPipe = fc.fd;
    Survey3Camera camera{root.path(), fcPipe[0]};
    std::mutex sleepMutex;
    std::vector<long> sleeps;
    sqlite3* db = nullptr;
    CameraContext cam;
};

TEST_F(Survey3Test, AlreadyMountedCardMountsAtOnceWithoutPulse) {
    mountedCard();
    vt::StdoutCapture log;
    EXPECT_EQ(mount_survey3(&cam, fcPipe[1], 1, 1), 0);
    camera.readPipe();
    std::string out = log.release();
    EXPECT_NE(out.find("vorn-camera mount_survey3 " + camera.deviceNode() + " is mounted\n"), std::string::npos) << out;
    EXPECT_TRUE(recordedSleeps().empty());
    EXPECT_EQ(camera.messages(), 0);
    EXPECT_TRUE(stubs.calls().empty());
    EXPECT_EQ(isMounted_survey3(&cam, fcPipe[1], 1, 1), 1);
}

TEST_F(Survey3Test, CameraInCaptureModeIsSwitchedAndMounted) {
    vt::StdoutCapture log;
    EXPECT_EQ(mount_survey3(&cam, fcPipe[1], 42, 43), 0);
    std::string out = log.release();
    // Attempt 1: pulse (200 ms) and wait; attempt 2: disk seen, mount issued, wait; attempt 3: done.
    EXPECT_EQ(recordedSleeps(), (std::vector<long>{200, 5000, 5000}));
    EXPECT_EQ(camera.servoValues(), (std::vector<int>{1500, 1000}));
    for (const auto& c : camera.commands()) {
        EXPECT_EQ(c.param1, 7);
        EXPECT_EQ(c.targetSystem, 42);
        EXPECT_EQ(c.targetComponent, 43);
    }
    EXPECT_EQ(stubs.calls(), (std::vector<std::string>{"mount " + camera.deviceNode() + " " + (root / "media/usbdrive")}));
    EXPECT_NE(out.find("vorn-camera mount_survey3 sent momentary pulse\n"), std::string::npos);
    EXPECT_NE(out.find("vorn-camera mount_survey3 issued mount command\n"), std::string::npos);
    EXPECT_EQ(isMounted_survey3(&cam, -1, 1, 1), 1);
}

TEST_F(Survey3Test, DiskThatNeverShowsGetsPulsesInAttemptsOneThreeFiveThenGivesUp) {
    camera.respondsToPulses = false;
    vt::StdoutCapture log;
    EXPECT_EQ(mount_survey3(&cam, fcPipe[1], 1, 1), 1);
    std::string out = log.release();
    EXPECT_EQ(recordedSleeps(), (std::vector<long>{200, 5000, 5000, 200, 5000, 5000, 200, 5000, 5000}));
    EXPECT_EQ(camera.servoValues(), (std::vector<int>{1500, 1000, 1500, 1000, 1500, 1000}));
    EXPECT_EQ(vt::countOf(out, "vorn-camera mount_survey3 sent momentary pulse\n"), 3);
    EXPECT_TRUE(stubs.calls().empty());
    EXPECT_EQ(isMounted_survey3(&cam, -1, 1, 1), 0);
}

TEST_F(Survey3Test, MountWhosePulseCannotBeWrittenFailsAtOnce) {
    vt::StdoutCapture log;
    EXPECT_EQ(mount_survey3(&cam, -1, 1, 1), 1);
    EXPECT_NE(log.release().find("vorn-camera mount_survey3 failed to write DO_SET_SERVO to outbound pipe\n"),
              std::string::npos);
    EXPECT_TRUE(recordedSleeps().empty());
}

TEST_F(Survey3Test, MountedCardIsUnmountedAndCameraSwitchedBack) {
    mountedCard();
    ASSERT_EQ(mount_survey3(&cam, fcPipe[1], 1, 1), 0);
    vt::StdoutCapture log;
    EXPECT_EQ(unmount_survey3(&cam, fcPipe[1], 1, 1), 0);
    std::string out = log.release();
    // Attempt 1: umount; attempt 2: disk still there, pulse; attempt 3: gone.
    EXPECT_EQ(recordedSleeps(), (std::vector<long>{5000, 200, 5000}));
    EXPECT_EQ(stubs.calls(), (std::vector<std::string>{"umount " + (root / "media/usbdrive")}));
    EXPECT_EQ(camera.servoValues(), (std::vector<int>{1500, 1000}));
    EXPECT_FALSE(camera.storageMode());
    EXPECT_NE(out.find("vorn-camera unmount_survey3 " + (root / "media/usbdrive") + " is unmounted\n"), std::string::npos);
    EXPECT_EQ(isMounted_survey3(&cam, -1, 1, 1), 0);
}

TEST_F(Survey3Test, CameraStuckInStorageModeIsAnUnmountFailure) {
    mountedCard();
    ASSERT_EQ(mount_survey3(&cam, fcPipe[1], 1, 1), 0);
    camera.respondsToPulses = false;
    vt::StdoutCapture log;
    EXPECT_EQ(unmount_survey3(&cam, fcPipe[1], 1, 1), 1);
    EXPECT_EQ(vt::countOf(log.release(), "vorn-camera unmount_survey3 sent momentary pulse\n"), 5);
    EXPECT_EQ(recordedSleeps().size(), 11u); // six waits of 5 s and five pulses of 200 ms
    EXPECT_EQ(isMounted_survey3(&cam, -1, 1, 1), 1);
}

TEST_F(Survey3Test, FailingUmountIsRetriedAndReported) {
    mountedCard();
    ASSERT_EQ(mount_survey3(&cam, fcPipe[1], 1, 1), 0);
    stubs.add("umount", "exit 32");
    vt::StdoutCapture log;
    EXPECT_EQ(unmount_survey3(&cam, fcPipe[1], 1, 1), 1);
    EXPECT_EQ(vt::countOf(log.release(), "vorn-camera unmount_survey3 failed to issue umount command\n"), 6);
    EXPECT_EQ(recordedSleeps(), std::vector<long>(6, 5000));
    EXPECT_TRUE(vt::fileExists(base()));
}

TEST_F(Survey3Test, PreflightWithoutCameraMovesLeftShotsToUntagged) {
    camera.respondsToPulses = false;
    ASSERT_EQ(sqlite3_exec(db, sql::createUntagged, nullptr, nullptr, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "INSERT INTO image (time, path) VALUES (1, ''), (2, '')", nullptr, nullptr, nullptr),
              SQLITE_OK);
    vt::StdoutCapture log;
    EXPECT_EQ(preflight_survey3(&cam, fcPipe[1], 1, 1), 1);
    std::string out = log.release();
    EXPECT_EQ(rows("image"), 0);
    EXPECT_EQ(rows("untagged"), 2);
    EXPECT_EQ(rows("unknownFiles"), 0);
    EXPECT_NE(out.find("vorn-camera preflight_survey3 2 shots moved to table untagged\n"), std::string::npos);
    EXPECT_EQ(out.find("unknown files"), std::string::npos);
    EXPECT_EQ(recordedSleeps().size(), 9u);
}

TEST_F(Survey3Test, PreflightRecordsCardFilesAndLeavesCameraInCaptureMode) {
    vt::writeFile(camera.photoDir() + "/IMG_0001.JPG", "old");
    vt::writeFile(camera.photoDir() + "/IMG_0002.jpg", "old");
    vt::writeFile(camera.photoDir() + "/notes.txt", "not an image");
    vt::StdoutCapture log;
    EXPECT_EQ(preflight_survey3(&cam, fcPipe[1], 1, 1), 0);
    std::string out = log.release();
    EXPECT_EQ(rows("unknownFiles"), 2);
    EXPECT_NE(out.find("vorn-camera preflfight_survey3 2 unknown files in "), std::string::npos) << out;
    EXPECT_FALSE(camera.storageMode());
    EXPECT_FALSE(vt::fileExists(base()));
    // Mount: pulse, mount; unmount: umount, pulse.
    EXPECT_EQ(camera.servoValues(), (std::vector<int>{1500, 1000, 1500, 1000}));
    EXPECT_EQ(recordedSleeps(), (std::vector<long>{200, 5000, 5000, 5000, 200, 5000}));
}

TEST_F(Survey3Test, PostflightWithMountedCardAndNoShotsTagsNothing) {
    mountedCard();
    vt::writeFile(camera.photoDir() + "/IMG_0001.JPG", "not really a jpeg");
    vt::StdoutCapture log;
    EXPECT_EQ(postflight_survey3(&cam, fcPipe[1], 1, 1), 0);
    std::string out = log.release();
    EXPECT_NE(out.find("vorn-camera postflight_survey3 0 images, 1 files to process\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("items paired"), std::string::npos);
    EXPECT_EQ(rows("oldfiles"), 0);
    EXPECT_EQ(vt::readFile(camera.photoDir() + "/IMG_0001.JPG"), "not really a jpeg");
    EXPECT_EQ(isMounted_survey3(&cam, -1, 1, 1), 1);
    EXPECT_TRUE(vt::fileExists(base()));
}

TEST_F(Survey3Test, TriggerStoresOneRowPerPulse) {
    sqlite3_stmt* insert = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, sql::insertImage, -1, &insert, nullptr), SQLITE_OK);
    cam.triggerChannel = 9;
    camera.triggerChannel = 9;
    cam.geo.lat = 473977418;
    EXPECT_EQ(trigger_survey3(&cam, insert, fcPipe[1], 1, 1), 0);
    camera.readPipe();
    EXPECT_EQ(camera.servoValues(), (std::vector<int>{2000, 1000}));
    EXPECT_EQ(camera.commands().at(0).param1, 9);
    EXPECT_EQ(recordedSleeps(), (std::vector<long>{200}));
    EXPECT_EQ(rows("image"), 1);

    vt::StdoutCapture log;
    EXPECT_EQ(trigger_survey3(&cam, insert, -1, 1, 1), 1);
    EXPECT_NE(log.release().find("vorn-camera trigger_survey3 failed to write DO_SET_SERVO to oubound pipe\n"),
              std::string::npos);
    EXPECT_EQ(rows("image"), 1);
    sqlite3_finalize(insert);
}

TEST_F(Survey3Test, InitialiseSwitchesRelayOnAndSetsIdleLevel) {
    cam.relayNumber = 2;
    initialize_survey3(&cam, fcPipe[1], 1, 1);
    camera.readPipe();
    auto cmds = camera.commands();
    ASSERT_EQ(cmds.size(), 2u);
    EXPECT_EQ(cmds[0].command, MAV_CMD_DO_SET_RELAY);
    EXPECT_EQ(cmds[0].param1, 2);
    EXPECT_EQ(cmds[0].param2, 1);
    EXPECT_EQ(cmds[1].command, MAV_CMD_DO_SET_SERVO);
    EXPECT_EQ(cmds[1].param1, 7);
    EXPECT_EQ(cmds[1].param2, 1000);
    EXPECT_EQ(recordedSleeps(), (std::vector<long>{5000}));
}

TEST_F(Survey3Test, InitialiseWithoutPipeRetriesIdleLevelThreeTimes) {
    initialize_survey3(&cam, -1, 1, 1);
    EXPECT_EQ(recordedSleeps(), (std::vector<long>{5000, 5000, 5000}));
}

// A whole flight through the camera thread: preflight, three shots, postflight, one more shot.
TEST_F(Survey3Test, FlightThroughCameraThread) {
    camera.jpegSample = root / "sample.jpg";
    chain::makeImage(camera.jpegSample);
    vt::writeFile(camera.photoDir() + "/IMG_0001.JPG", vt::readFile(camera.jpegSample)); // from an earlier day
    vt::TempDir work;
    chain::WorkDir workDir(work.path()); // tagging leaves geodone.db in the working directory
    openDatabase(work / "geodata.db");

    AppContext ctx;
    ctx.fcSysId = 1;
    ctx.fcCompId = 1;
    ASSERT_EQ(pipe(ctx.camera.cameraPipe), 0);
    ctx.fcPipe[1] = fcPipe[1];
    ctx.camera.db = db;
    auto send = [&](uint8_t cmd) {
        CameraCommand c{};
        c.camType = CAMTYPE_SURVEY3;
        c.cmd = cmd;
        ASSERT_EQ(pipeWrite(ctx.camera.cameraPipe[1], sizeof c, &c), 1);
    };
    auto setGeo = [&](int32_t lat) {
        std::lock_guard<std::mutex> guard(ctx.camera.lock);
        ctx.camera.geo.lat = lat;
        ctx.camera.geo.lon = 85000000;
        ctx.camera.geo.alt = 500000;
    };

    vt::StdoutCapture log;
    std::thread thread(cameraThread, &ctx);
    send(CAM_PREFLIGHT);
    bool preflightDone = vt::waitUntil([&] { return log.text().find("unmount_survey3") != std::string::npos &&
                                                    log.text().find("is unmounted") != std::string::npos; });
    const int32_t lats[] = {473000000, 473100000, 473200000};
    bool shotsStored = preflightDone;
    for (int i = 0; i < 3 && shotsStored; ++i) {
        setGeo(lats[i]);
        send(CAM_TRIGGER);
        shotsStored = vt::waitUntil([&] { return rows("image") == i + 1; });
    }
    send(CAM_POSTFLIGHT);
    bool tagged = vt::waitUntil([&] { return log.text().find("postflight_survey3 3 images processed") != std::string::npos; },
                                std::chrono::seconds(30));
    int oldfilesAfterFlight = rows("oldfiles");
    int imageAfterFlight = rows("image");
    bool stillMounted = vt::fileExists(base());
    setGeo(474000000);
    send(CAM_TRIGGER);
    bool nextShot = vt::waitUntil([&] { return rows("image") == 1; });
    ctx.quit = 1;
    send(99); // wakes the thread so it sees the stop flag
    thread.join();
    std::string out = log.release();
    close(ctx.camera.cameraPipe[0]);
    close(ctx.camera.cameraPipe[1]);

    ASSERT_TRUE(preflightDone) << out;
    ASSERT_TRUE(shotsStored) << out;
    ASSERT_TRUE(tagged) << out;
    ASSERT_TRUE(nextShot) << out;
    EXPECT_NE(out.find("vorn-camera preflfight_survey3 1 unknown files in "), std::string::npos);
    EXPECT_NE(out.find("vorn-camera postflight_survey3 3 images, 3 files to process\n"), std::string::npos);
    EXPECT_EQ(oldfilesAfterFlight, 3);
    EXPECT_EQ(imageAfterFlight, 0);
    EXPECT_TRUE(stillMounted);
    EXPECT_TRUE(vt::fileExists(work / "geodone.db"));
    // Each new picture carries its own shot's latitude; the earlier picture is left alone.
    auto tags = [&](const char* name) { return chain::exifTags(camera.photoDir() + "/" + name); };
    EXPECT_EQ(tags("IMG_0002.JPG")["Exif.GPSInfo.GPSLatitude"], "47/1 18/1 0/10000");
    EXPECT_EQ(tags("IMG_0003.JPG")["Exif.GPSInfo.GPSLatitude"], "47/1 18/1 360000/10000");
    EXPECT_EQ(tags("IMG_0004.JPG")["Exif.GPSInfo.GPSLatitude"], "47/1 19/1 120000/10000");
    EXPECT_EQ(tags("IMG_0004.JPG")["Exif.Image.Orientation"], "6");
    EXPECT_EQ(tags("IMG_0001.JPG").count("Exif.GPSInfo.GPSLatitude"), 0u);
    // The shot after the flight first unmounted the card and switched the camera back.
    size_t unmounted = out.rfind("vorn-camera unmount_survey3 " + (root / "media/usbdrive") + " is unmounted\n");
    size_t lastShot = out.rfind("vorn-camera trigger momentary_pwm servo=7, value=2000\n");
    ASSERT_NE(unmounted, std::string::npos);
    ASSERT_NE(lastShot, std::string::npos);
    EXPECT_LT(unmounted, lastShot);
    EXPECT_EQ(camera.progressReports(),
              (std::vector<chain::Progress>{{1, 3}, {2, 3}, {3, 3}, {3, 3}})); // per image, then the final one
    EXPECT_EQ(camera.pictures(), 4);
    EXPECT_FALSE(camera.storageMode());
}

} // namespace
