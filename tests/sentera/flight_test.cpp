// A whole Sentera flight through the camera thread: take-off opens the session, landing closes
// it, postflight closes it again, mounts the card share and archives the session's images.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "camera/cameraThread.h"
#include "core/database.h"
#include "core/pipes.h"
#include "fakeSentera.h"

namespace {

// Standard output goes to a file for the life of the object, so it can be read while the
// camera thread runs.
class StdoutToFile {
public:
    explicit StdoutToFile(const std::string& path) : path_(path), saved_(dup(STDOUT_FILENO)) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, STDOUT_FILENO);
        close(fd);
    }
    ~StdoutToFile() {
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }
    std::string text() const { return vt::readFile(path_); }

private:
    std::string path_;
    int saved_;
};

using st::count;

class SenteraFlight : public st::SenteraTest {
protected:
    void SetUp() override {
        st::SenteraTest::SetUp();
        ASSERT_EQ(pipe(ctx.camera.cameraPipe), 0);
        ASSERT_EQ(pipe(ctx.fcPipe), 0);
        // The daemon's own connection, which waits out the observer's reads.
        ctx.camera.db = openGeotagDatabase((work / "geodata.db").c_str());
        ASSERT_NE(ctx.camera.db, nullptr);
        ASSERT_EQ(sqlite3_open((work / "geodata.db").c_str(), &observer), SQLITE_OK);
        sqlite3_busy_timeout(observer, 1000);
        std::memcpy(ctx.camera.missionID, "M7", 2);
        ctx.camera.camType = CAMTYPE_SENTERA;
        ctx.camera.flightTime = 1796000000123;
    }
    void TearDown() override {
        ctx.quit = 1;
        if (thread.joinable()) thread.join();
        sqlite3_close(observer);
        sqlite3_close(ctx.camera.db);
        for (int fd : {ctx.camera.cameraPipe[0], ctx.camera.cameraPipe[1], ctx.fcPipe[0], ctx.fcPipe[1]}) close(fd);
        st::SenteraTest::TearDown();
    }

    void send(uint8_t cmd) {
        CameraCommand command{};
        command.camType = CAMTYPE_SENTERA;
        command.cmd = cmd;
        ASSERT_EQ(pipeWrite(ctx.camera.cameraPipe[1], sizeof command, &command), 1);
    }

    int rows(const char* table) {
        std::string query = std::string("SELECT COUNT(*) FROM ") + table;
        sqlite3_stmt* stmt = nullptr;
        int n = -1;
        if (sqlite3_prepare_v2(observer, query.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW)
            n = sqlite3_column_int(stmt, 0);
        sqlite3_finalize(stmt);
        return n;
    }

    vt::TempDir work;
    AppContext ctx;
    sqlite3* observer = nullptr;
    std::thread thread;
};

TEST_F(SenteraFlight, TakeoffLandingPostflight) {
    // The camera's card as the share shows it once mounted.
    vt::TempDir card;
    vt::makeDirs(card / "info");
    vt::writeFile(card / "info/config.yml", "CamName: RGB\r\nCamName: NIR\r\n");
    for (const char* sensor : {"RGB", "NIR"}) {
        vt::makeDirs(card / ("snapshots/M7_0001/" + std::string(sensor)));
        for (const char* image : {"IMG_00001.jpg", "IMG_00002.jpg"})
            vt::writeFile(card / ("snapshots/M7_0001/" + std::string(sensor) + "/" + image), "jpeg");
    }
    vt::StubPath stubs;
    stubs.add("mount", "cp -r " + card.path() + "/. \"$6\"");
    vt::makeDirs(root("/media/usbdrive"));

    camera.reply("PUT /api/v1/session", {"{}"});
    camera.reply("GET /api/v1/session",
                 {R"({"status":"Ready","sessions":[{"name":"M7_0001"}]})", R"({"status":"Idle"})"});
    camera.reply("GET /sdcard?path=/snapshots/", {"<div class=\"file_entry\"><a class=\"directory sd_entry\" "
                                                  "href=\"sdcard?path=/snapshots//M7_0001\">M7_0001</a></div>"});
    camera.reply("GET /sdcard?path=/snapshots/M7_0001/RGB/", {"IMG_00001.jpg IMG_00002.jpg"});

    // gtest reports to standard output too: check only after it is back.
    std::string log;
    bool started = false, archived = false, mountedAgain = false;
    {
        StdoutToFile out(work / "stdout.log");
        thread = std::thread(cameraThread, &ctx);
        send(CAM_TAKEOFF);
        started = vt::waitUntil([&] { return camera.requests("GET", "/api/v1/session").size() == 1; });
        send(CAM_LANDING);
        send(CAM_POSTFLIGHT);
        archived = started && vt::waitUntil([&] { return rows("flights") == 1; }, std::chrono::seconds(30));
        // A later mount finds the share still there and runs no command.
        send(CAM_MOUNT);
        mountedAgain = archived && vt::waitUntil([&] {
            return count(out.text(), "vorn-camera mount_sentera //127.0.0.1/sdcard is mounted\n") == 2;
        });
        ctx.quit = 1;
        thread.join();
        log = out.text();
    }
    ASSERT_TRUE(started) << log;
    ASSERT_TRUE(archived) << log;
    ASSERT_TRUE(mountedAgain) << log;

    std::vector<std::string> seen;
    for (const st::Request& r : camera.requests()) {
        std::string what = r.method + " " + r.path;
        if (r.method == "PUT") what += r.body.find("\"start\"") != std::string::npos ? " start" : " stop";
        seen.push_back(what);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "PUT /api/v1/session start", "GET /api/v1/session",  // take-off
                        "PUT /api/v1/session stop", "GET /api/v1/session",   // landing
                        "PUT /api/v1/session stop", "GET /api/v1/session",   // postflight
                        "GET /sdcard?path=/snapshots/", "GET /sdcard?path=/snapshots/M7_0001/RGB/"}));
    EXPECT_EQ(stubs.calls(), std::vector<std::string>{"mount -t cifs -o username=ostrel,password= //127.0.0.1/sdcard " +
                                                      root("/media/usbdrive")});
    EXPECT_EQ(rows("oldfiles"), 4);
    EXPECT_EQ(rows("flights"), 1);
    EXPECT_NE(log.find("vorn-camera startSession_sentera successfully started session M7\n"), std::string::npos);
    EXPECT_EQ(count(log, "vorn-camera stopSession_sentera successfully stopped session\n"), 2u);
    EXPECT_NE(log.find("vorn-camera postflight_sentera 2 image paths stored\n"), std::string::npos) << log;
    // Session start, two stops and one mount attempt, after whatever the other drivers' set-up waited.
    ASSERT_GE(sleeps.size(), 4u);
    EXPECT_EQ(std::vector<long>(sleeps.end() - 4, sleeps.end()), (std::vector<long>{8000, 5000, 5000, 5000}));
}

} // namespace
