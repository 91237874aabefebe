// The Sentera driver: session start and stop with their retries, the share mount, postflight
// without a mission.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "senteraTest.h"
#include "sentera/cam_sentera.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

const std::string sessionRoute = "GET /api/v1/session";
const std::string controlRoute = "PUT /api/v1/session";

class SenteraDriver : public st::SenteraTest {
protected:
    std::string mountCommand() const {
        return "mount -t cifs -o username=ostrel,password= //127.0.0.1/sdcard " + root("/media/usbdrive");
    }
};


TEST_F(SenteraDriver, StartEndsWhenTheCameraIsReady) {
    camera.reply(controlRoute, {"{}"});
    camera.reply(sessionRoute, {R"({"status":"Ready","sessions":[{"name":"M7_0001"}]})"});
    CaptureStdout();
    EXPECT_EQ(startSession_sentera("M7"), 0);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(sleeps, std::vector<long>{8000});
    EXPECT_EQ(camera.requests("PUT", "/api/v1/session").size(), 1u);
    EXPECT_EQ(camera.requests("GET", "/api/v1/session").size(), 1u);
    EXPECT_EQ(out.rfind("vorn-camera startSession_sentera\n", 0), 0u) << out;
    EXPECT_NE(out.find("vorn-camera startSession_sentera successfully started session M7\n"), std::string::npos)
        << out;
}

TEST_F(SenteraDriver, StartGivesUpAfterFiveAttempts) {
    camera.reply(controlRoute, {"{}"});
    camera.reply(sessionRoute, {R"({"status":"Starting"})"});
    CaptureStdout();
    EXPECT_EQ(startSession_sentera("M7"), 1);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(sleeps, std::vector<long>(5, 8000));
    // The start command is repeated while the camera keeps reporting that it is starting.
    auto puts = camera.requests("PUT", "/api/v1/session");
    ASSERT_EQ(puts.size(), 5u);
    for (const auto& put : puts) EXPECT_NE(put.body.find("\"start\""), std::string::npos);
    EXPECT_EQ(camera.requests("GET", "/api/v1/session").size(), 5u);
    EXPECT_EQ(vt::countOf(out, "session STARTING\n"), 5u);
    EXPECT_NE(out.find("vorn-camera startSession_sentera failed to start session M7\n"), std::string::npos) << out;
}

TEST_F(SenteraDriver, StartAfterSomeAttemptsUsesAFullLengthMissionId) {
    camera.reply(controlRoute, {"{}"});
    camera.reply(sessionRoute, {R"({"status":"Idle"})", R"({"status":"Starting"})", R"({"status":"STARTED"})"});
    // A 32-byte mission id has no terminator; whatever follows it is not part of it.
    struct {
        char missionID[32];
        char after[8];
    } field;
    std::memset(field.missionID, 'A', sizeof field.missionID);
    std::memcpy(field.after, "XXXXXXX", 8);
    std::string id(32, 'A');
    CaptureStdout();
    EXPECT_EQ(startSession_sentera(field.missionID), 0);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(sleeps, std::vector<long>(3, 8000));
    auto puts = camera.requests("PUT", "/api/v1/session");
    ASSERT_EQ(puts.size(), 3u);
    EXPECT_NE(puts[0].body.find("\"" + id + "\""), std::string::npos) << puts[0].body;
    EXPECT_NE(out.find("successfully started session " + id + "\n"), std::string::npos) << out;
}

TEST_F(SenteraDriver, StopWaitsForIdle) {
    camera.reply(controlRoute, {"{}"});
    camera.reply(sessionRoute, {R"({"status":"Stopping"})", R"({"status":"IDLE"})"});
    CaptureStdout();
    EXPECT_EQ(stopSession_sentera(), 0);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(sleeps, std::vector<long>(2, 5000));
    auto puts = camera.requests("PUT", "/api/v1/session");
    ASSERT_EQ(puts.size(), 2u);
    EXPECT_NE(puts[1].body.find("\"stop\""), std::string::npos);
    EXPECT_NE(out.find("vorn-camera cam_sentera_utils session CLOSING\n"), std::string::npos);
    EXPECT_NE(out.find("vorn-camera stopSession_sentera successfully stopped session\n"), std::string::npos) << out;
}

TEST_F(SenteraDriver, UnreachableCameraGivesUpAfterTheDocumentedAttempts) {
    unreachableCamera();
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(startSession_sentera("M7"), 1);
    EXPECT_EQ(stopSession_sentera(), 1);
    std::string err = GetCapturedStderr();
    std::string out = GetCapturedStdout();
    EXPECT_EQ(vt::countOf(err, "curl said: Couldn't connect to server\n"), 10u) << err;
    std::vector<long> expected(5, 8000);
    expected.insert(expected.end(), 5, 5000);
    EXPECT_EQ(sleeps, expected);
    EXPECT_EQ(vt::countOf(out, "sessionControl start session M7\n"), 5u);
    EXPECT_EQ(vt::countOf(out, "sessionControl stop session\n"), 5u);
    EXPECT_NE(out.find("vorn-camera startSession_sentera failed to start session M7\n"), std::string::npos);
    EXPECT_NE(out.find("vorn-camera stopSession_sentera failed to stop session\n"), std::string::npos);
}

TEST_F(SenteraDriver, VisibleShareNeedsNoMount) {
    vt::StubPath stubs;
    stubs.add("mount", "exit 1");
    vt::makeDirs(root("/media/usbdrive/snapshots"));
    CaptureStdout();
    EXPECT_EQ(mount_sentera(), 0);
    EXPECT_EQ(GetCapturedStdout(), "vorn-camera mount_sentera //127.0.0.1/sdcard is mounted\n");
    EXPECT_TRUE(stubs.calls().empty());
    EXPECT_TRUE(sleeps.empty());
    EXPECT_EQ(isMounted_sentera(), 1);
    // Unmounting leaves the share (and the driver's belief) as it is.
    EXPECT_EQ(unmount_sentera(), 0);
    EXPECT_EQ(isMounted_sentera(), 1);
}

TEST_F(SenteraDriver, MountRunsTheCifsCommandUntilTheSnapshotsShow) {
    vt::StubPath stubs;
    // The share shows its snapshot directory from the second command on.
    stubs.add("mount", "if [ -e \"$6.tried\" ]; then mkdir -p \"$6/snapshots\"; else touch \"$6.tried\"; fi");
    vt::makeDirs(root("/media"));
    CaptureStdout();
    EXPECT_EQ(mount_sentera(), 0);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(stubs.calls(), std::vector<std::string>(2, mountCommand()));
    EXPECT_EQ(sleeps, std::vector<long>(2, 5000));
    EXPECT_EQ(out, "vorn-camera mount_sentera issued mount command\n"
                   "vorn-camera mount_sentera issued mount command\n"
                   "vorn-camera mount_sentera //127.0.0.1/sdcard is mounted\n");
    EXPECT_EQ(isMounted_sentera(), 1);
}

TEST_F(SenteraDriver, MountGivesUpAfterFiveCommands) {
    vt::StubPath stubs;
    stubs.add("mount", "exit 32");
    CaptureStdout();
    EXPECT_EQ(mount_sentera(), 1);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(stubs.calls(), std::vector<std::string>(5, mountCommand()));
    EXPECT_EQ(sleeps, std::vector<long>(5, 5000));
    EXPECT_EQ(vt::countOf(out, "vorn-camera mount_sentera failed to issue mount command\n"), 5u);
    EXPECT_EQ(isMounted_sentera(), 0);
}

TEST_F(SenteraDriver, MountDoneByTheLastCommandCounts) {
    vt::StubPath stubs;
    // Only the fifth command brings the share up.
    stubs.add("mount", "n=$(cat \"$6.n\" 2>/dev/null || echo 0); n=$((n+1)); echo $n > \"$6.n\"; "
                       "[ $n -lt 5 ] || mkdir -p \"$6/snapshots\"");
    vt::makeDirs(root("/media"));
    CaptureStdout();
    EXPECT_EQ(mount_sentera(), 0);
    GetCapturedStdout();
    EXPECT_EQ(stubs.calls().size(), 5u);
    EXPECT_EQ(sleeps, std::vector<long>(5, 5000));
    EXPECT_EQ(isMounted_sentera(), 1);
}

TEST_F(SenteraDriver, PostflightWithoutMissionStopsAndArchivesNothing) {
    camera.reply(controlRoute, {"{}"});
    camera.reply(sessionRoute, {R"({"status":"Idle"})"});
    vt::StubPath stubs;
    stubs.add("mount", "mkdir -p \"$6/snapshots\"");
    CameraContext cam;
    CaptureStdout();
    EXPECT_EQ(postflight_sentera(&cam), 0);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(sleeps, std::vector<long>{5000});
    EXPECT_NE(out.find("vorn-camera stopSession_sentera successfully stopped session\n"), std::string::npos);
    EXPECT_NE(out.find("vorn-camera postflight_sentera DID NOT START storeSenteraImagesSamba\n"), std::string::npos);
    EXPECT_TRUE(stubs.calls().empty());
    EXPECT_TRUE(camera.requests("GET", "/sdcard?path=/snapshots/").empty());
}

} // namespace
