#include "camera/cameraThread.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>
#include <future>
#include <thread>

#include "archive/chainFixtures.h"
#include "camera/cam_none.h"
#include "core/clock.h"
#include "support/testSupport.h"

using Rows = std::vector<std::vector<std::string>>;

namespace {

// A context as the entry point builds it: real pipes and geodata.db in the working directory.
class CameraThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        ASSERT_EQ(pipe(ctx.fcPipe), 0);
        ASSERT_EQ(pipe(ctx.camera.cameraPipe), 0);
        ctx.camera.db = db.get();
        setSleepHook([](long) {}); // driver set-up waits are not the subject here
    }
    void TearDown() override {
        setSleepHook({});
        for (int fd : {ctx.fcPipe[0], ctx.fcPipe[1], ctx.camera.cameraPipe[0], ctx.camera.cameraPipe[1]}) close(fd);
    }
    void send(int type, uint8_t cmd) {
        CameraCommand c{};
        c.camType = type;
        c.cmd = cmd;
        ASSERT_EQ(pipeWrite(ctx.camera.cameraPipe[1], sizeof c, &c), 1);
    }
    int pendingBytes() {
        int n = 0;
        ioctl(ctx.camera.cameraPipe[0], FIONREAD, &n);
        return n;
    }
    // Runs the camera thread over the commands sent so far and returns its log.
    std::string runThread(const std::function<void()>& commands) {
        testing::internal::CaptureStdout();
        std::thread camera(cameraThread, &ctx);
        commands();
        // Once the thread has taken every command it executes them before it looks at quit.
        EXPECT_TRUE(vt::waitUntil([&] { return pendingBytes() == 0; }, std::chrono::seconds(60)));
        ctx.quit = 1;
        send(0, 0); // wakes the wait
        camera.join();
        return testing::internal::GetCapturedStdout();
    }

    vt::TempDir dir;
    chain::WorkDir work{dir.path()};
    chain::Db db = chain::openDb("geodata.db");
    AppContext ctx;
};

bool contains(const std::string& log, const std::string& text) {
    return log.find(text) != std::string::npos;
}

} // namespace

TEST_F(CameraThreadTest, StartsByCreatingTheTablesAndLeavesOnQuit) {
    std::string log = runThread([] {});
    size_t at = 0;
    for (const char* line : {"vorn-camera cameraThread started...\n",
                             "vorn-camera cameraThread try to create table 'image'\n",
                             "vorn-camera cameraThread try to create table 'oldfiles'\n",
                             "vorn-camera cameraThread try to create table 'flights'\n",
                             "vorn-camera cameraThread try to create table 'unknownFiles'\n",
                             "vorn-camera cameraThread try to create table 'untagged'\n",
                             "vorn-camera cameraThread exit\n"}) {
        size_t next = log.find(line, at);
        ASSERT_NE(next, std::string::npos) << line;
        at = next;
    }
    EXPECT_EQ(chain::query(db.get(), "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name"),
              (Rows{{"flights"}, {"image"}, {"oldfiles"}, {"unknownFiles"}, {"untagged"}}));

    // Without a wake-up frame the thread, waiting for commands, notices the flag within 5 s.
    ctx.quit = 0;
    unmount_none(&ctx.camera, -1, 1, 1);
    vt::StdoutCapture out;
    std::thread camera(cameraThread, &ctx);
    send(CAMTYPE_NONE, CAM_MOUNT);
    EXPECT_TRUE(out.waitFor("vorn-camera cameraThread read cmd=3, type=1\n"));
    ctx.quit = 1;
    auto joined = std::async(std::launch::async, [&] { camera.join(); });
    EXPECT_EQ(joined.wait_for(std::chrono::seconds(7)), std::future_status::ready);
    joined.wait();
    EXPECT_EQ(isMounted_none(&ctx.camera, -1, 1, 1), 1);
    EXPECT_TRUE(out.has("vorn-camera cameraThread exit\n"));
}

TEST_F(CameraThreadTest, TableAndStatementFailuresAreReportedAndStartUpGoesOn) {
    chain::exec(db.get(), "CREATE VIEW image AS SELECT 1 AS id"); // "exists", but takes no shot
    std::string log = runThread([] {});
    EXPECT_TRUE(contains(log, std::string("vorn-camera cameraThread sqlite3_prepare_v2(") + sql::insertImage +
                                  ") failed, rc=1\n"));
    EXPECT_EQ(chain::query(db.get(), "SELECT COUNT(*) FROM sqlite_master WHERE type = 'table'")[0][0], "4");

    sqlite3* readOnly = nullptr;
    vt::writeFile(dir / "empty.db", "");
    ASSERT_EQ(sqlite3_open_v2((dir / "empty.db").c_str(), &readOnly, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    chain::Db keep(readOnly);
    ctx.camera.db = readOnly;
    ctx.quit = 0;
    log = runThread([] {});
    for (const char* table : {"image", "oldfiles", "flights", "unknownFiles"})
        EXPECT_TRUE(contains(log, std::string("vorn-camera cameraThread create table ") + table + " failed, rc=8\n")) << table;
    EXPECT_FALSE(contains(log, "sqlite3_prepare_v2"));
}

TEST_F(CameraThreadTest, CommandsReachOnlyTheDriversTheyAreMeantFor) {
    std::string log = runThread([&] {
        send(CAMTYPE_SENTERA, CAM_TRIGGER); // no shot for a Sentera camera
        send(CAMTYPE_SURVEY3, CAM_ZOOM_IN); // Sony only
        send(CAMTYPE_NONE, 6);
        send(CAMTYPE_NONE, 14);
        send(CAMTYPE_NONE, 40);
        send(9, CAM_POSTFLIGHT);
    });
    EXPECT_TRUE(contains(log, "vorn-camera cameraThread read cmd=1, type=5\nvorn-camera isMounted type=5\n"));
    EXPECT_TRUE(contains(log, "vorn-camera triggerCamera type=5\n"));
    EXPECT_TRUE(contains(log, "vorn-camera cameraThread read cmd=11, type=2\nvorn-camera cameraThread read cmd=6, type=1\n"));
    EXPECT_TRUE(contains(log, "vorn-camera cameraThread read cmd=6, type=1\nvorn-camera cameraThread read cmd=14, type=1\n"
                              "vorn-camera cameraThread read cmd=40, type=1\nvorn-camera cameraThread read cmd=5, type=9\n"
                              "vorn-camera cameraThread postflightCamera(9)\n"));
    EXPECT_EQ(chain::query(db.get(), "SELECT COUNT(*) FROM image")[0][0], "0");
}

TEST_F(CameraThreadTest, MountingForAPastFlightUsesItsRecordedCameraType) {
    chain::createSchema(db.get());
    chain::exec(db.get(), "INSERT INTO flights (flightID, missionID, camType, time) VALUES(65535, 'm', 1, 0)");
    unmount_none(&ctx.camera, -1, 1, 1);
    std::string log = runThread([&] {
        send(0, CAM_MOUNT); // no flight number: no driver
    });
    EXPECT_FALSE(contains(log, "retrieving camType"));
    EXPECT_EQ(isMounted_none(&ctx.camera, -1, 1, 1), 0);

    {
        std::lock_guard<std::mutex> guard(ctx.camera.lock);
        ctx.camera.flightID = -1; // flight 65535: the number is read without sign
    }
    ctx.quit = 0;
    log = runThread([&] { send(0, CAM_MOUNT); });
    EXPECT_TRUE(contains(log, "vorn-camera cameraThread mountCamera retrieving camType from database\n"
                              "vorn-camera cameraThread mountCamera using camType = 1\n"));
    EXPECT_EQ(isMounted_none(&ctx.camera, -1, 1, 1), 1);

    {
        std::lock_guard<std::mutex> guard(ctx.camera.lock);
        ctx.camera.flightID = 12; // no such flight
    }
    ctx.quit = 0;
    log = runThread([&] {
        send(CAMTYPE_NONE, CAM_UNMOUNT);
        send(0, CAM_MOUNT);
    });
    EXPECT_TRUE(contains(log, "retrieving camType from database\n"));
    EXPECT_FALSE(contains(log, "using camType"));
    EXPECT_EQ(isMounted_none(&ctx.camera, -1, 1, 1), 0);
}

TEST_F(CameraThreadTest, WithoutADatabaseNoTableIsMadeAndTheThreadRuns) {
    ctx.camera.db = nullptr;
    std::string log = runThread([&] { send(CAMTYPE_NONE, CAM_MOUNT); });
    EXPECT_FALSE(contains(log, "try to create table"));
    EXPECT_TRUE(contains(log, "vorn-camera cameraThread read cmd=3, type=1\n"));
    EXPECT_TRUE(contains(log, "vorn-camera cameraThread exit\n"));
    EXPECT_EQ(isMounted_none(&ctx.camera, -1, 1, 1), 1);
}
