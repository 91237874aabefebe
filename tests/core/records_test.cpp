#include <gtest/gtest.h>

#include <cstring>

#include "core/AppContext.h"
#include "core/geoData.h"
#include "mavlink/mavlink_types.h"
#include "core/sandbox.h"
#include "core/shell.h"
#include "support/testSupport.h"

TEST(Records, LayoutsMatchWhatCrossesThePipes) {
    EXPECT_EQ(sizeof(CameraCommand), 24u);
    EXPECT_EQ(offsetof(CameraCommand, camType), 8u);
    EXPECT_EQ(offsetof(CameraCommand, cmd), 12u);
    EXPECT_EQ(sizeof(WifiRequest), 67u);
    EXPECT_EQ(sizeof(SonyGeoRecord), 180u);
    EXPECT_EQ(sizeof(mavlink_message_t), 291u);

    // GeoData field order: time, lat, lon, pitch, roll, yaw, alt, heading.
    GeoData g{};
    g.time = 0x0102030405060708;
    g.lat = 11;
    g.alt = 77;
    g.heading = 35999;
    uint8_t raw[sizeof g];
    std::memcpy(raw, &g, sizeof g);
    int32_t lat, alt;
    uint16_t heading;
    std::memcpy(&lat, raw + 8, 4);
    std::memcpy(&alt, raw + 28, 4);
    std::memcpy(&heading, raw + 32, 2);
    EXPECT_EQ(raw[0], 0x08);
    EXPECT_EQ(lat, 11);
    EXPECT_EQ(alt, 77);
    EXPECT_EQ(heading, 35999);
}

TEST(Records, CopyGeoDataTakesTheWholeRecord) {
    CameraContext cam;
    cam.geo = GeoData{5, 1, 2, 3, 4, 5, 6, 7};
    GeoData out{};
    copyGeoData(&cam, &out);
    EXPECT_EQ(std::memcmp(&out, &cam.geo, sizeof out), 0);
}

TEST(Records, MissionIdIsAtMost32Bytes) {
    char full[32];
    std::memset(full, 'x', sizeof full);
    EXPECT_EQ(missionIdLength(full), 32u);
    char shortId[32] = "abc";
    EXPECT_EQ(missionIdLength(shortId), 3u);
}

TEST(Sandbox, FixedPathsResolveBelowTheRootAndTheCameraAddressIsRead) {
    setenv("VORN_ROOT", "/tmp/root/", 1);
    setenv("VORN_SENTERA_ADDR", "127.0.0.1:18080", 1);
    sandboxInit();
    EXPECT_TRUE(sandboxActive());
    EXPECT_EQ(sandboxPath("/media/usbdrive"), "/tmp/root/media/usbdrive");
    EXPECT_EQ(senteraHost(), "127.0.0.1");
    EXPECT_EQ(senteraPort(), 18080);

    setenv("VORN_SENTERA_ADDR", "10.1.2.3", 1);
    unsetenv("VORN_ROOT");
    sandboxInit();
    EXPECT_FALSE(sandboxActive());
    EXPECT_EQ(sandboxPath("/dev/sda1"), "/dev/sda1");
    EXPECT_EQ(senteraHost(), "10.1.2.3");
    EXPECT_EQ(senteraPort(), 8080);
    unsetenv("VORN_SENTERA_ADDR");
    sandboxInit();
}

TEST(Shell, QuotedTextArrivesLiterallyAndRunsNothing) {
    vt::TempDir dir;
    std::string hostile = "it's a $(touch " + dir / "pwned" + ") `touch " + dir / "pwned2" + "`; \"x\"";
    std::string out = dir / "out.txt";
    runShell("printf '%s' " + shellQuote(hostile) + " > " + shellQuote(out));
    EXPECT_EQ(vt::readFile(out), hostile);
    EXPECT_FALSE(vt::fileExists(dir / "pwned"));
    EXPECT_FALSE(vt::fileExists(dir / "pwned2"));
}
