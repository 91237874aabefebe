// A camera-less survey flight through the real daemon: the simulator plays the flight controller
// and the ground station on a pseudo-terminal; after landing every prepared image must carry the
// position of its own shot and the ground must have received the progress reports.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "archive/chainFixtures.h"
#include "e2e/fcsimRunner.h"
#include "support/testSupport.h"

namespace {

constexpr int kShots = 10;

// Shot k of the prepared flight: two north-south legs over the simulator's survey origin.
chain::Shot shot(int k) {
    int leg = k / 5, along = k % 5;
    int32_t lat = -353632621 + (leg == 0 ? along : 4 - along) * 4491;
    int32_t lon = 1491652374 + leg * 4406;
    return {1700000000000 + k * 2000, lat, lon, leg == 0 ? 0 : 18000, 704000 + k * 10};
}

std::string rational(int32_t v) {
    int64_t a = v < 0 ? -static_cast<int64_t>(v) : v;
    char out[64];
    std::snprintf(out, sizeof out, "%lld/1 %lld/1 %lld/10000", static_cast<long long>(a / 10000000),
                  static_cast<long long>((a % 10000000) * 60 / 10000000),
                  static_cast<long long>(((a % 10000000) * 60 % 10000000) * 60 / 1000));
    return out;
}

std::string progressHex(int archived, int pairs) {
    char out[16];
    std::snprintf(out, sizeof out, "%02x%02x%02x%02xffbe", archived & 255, archived >> 8, pairs & 255, pairs >> 8);
    return out;
}

} // namespace

TEST(CameraLessFlight, EveryImageCarriesItsOwnShotAndTheGroundHearsTheProgress) {
    vt::TempDir work;
    vt::StubPath stubs;
    for (const char* cmd : {"nmcli", "systemctl", "mount", "umount"}) stubs.add(cmd);
    std::string flightDir = work / "flight";
    vt::makeDirs(flightDir + "/images");
    vt::makeDirs(flightDir + "/triggered");
    {
        chain::Db db = chain::openDb(flightDir + "/geodata.db");
        chain::createOrigImage(db.get());
        for (int k = 0; k < kShots; ++k) {
            chain::addShot(db.get(), shot(k), "origImage");
            char name[64];
            std::snprintf(name, sizeof name, "/triggered/IMG_%04d.jpg", k + 1);
            chain::makeImage(flightDir + name, "320x240");
        }
    }
    std::ostringstream scenario;
    scenario << "wait log \"flight controller on\" 15\n"
             << "preflight camtype=1 mission=e2e-survey\n"
             << "wait log \"vorn-camera preflight_none 0 unknown files\" 30\n"
             << "arm\nheartbeat active\n"
             << "survey shots=" << kShots << " every=1.2\n"
             << "land\n"
             << "wait rx DATA96 type=4 count=" << kShots + 1 << " 60\n"
             << "disarm\n"
             << "wait log \"vorn-camera postflight_none 0 images, 0 files to process\" 30\n";
    vt::writeFile(work / "flight.txt", scenario.str());

    vt::FcsimRun sim(work.path(), {"--quiet", "--workdir", flightDir, "--env", "VORN_ROOT=" + work.path() + "/root",
                                   "--daemon-log", work / "daemon.log", work / "flight.txt", "--",
                                   VORN_DAEMON_PATH, "{fc}", "1500000"});
    ASSERT_EQ(sim.wait(std::chrono::seconds(150)), 0) << sim.out() << sim.err() << vt::readFile(work / "daemon.log");

    std::string out = sim.out();
    for (int k = 1; k <= kShots; ++k)
        EXPECT_EQ(vt::countOf(out, "RX DATA96 type=4 len=6 data=" + progressHex(k, kShots)), k == kShots ? 2u : 1u) << k;

    for (int k = 0; k < kShots; ++k) {
        char name[64];
        std::snprintf(name, sizeof name, "/images/IMG_%04d.jpg", k + 1);
        auto tags = chain::exifTags(flightDir + name);
        chain::Shot s = shot(k);
        EXPECT_EQ(tags["Exif.GPSInfo.GPSLatitude"], rational(s.lat)) << name;
        EXPECT_EQ(tags["Exif.GPSInfo.GPSLatitudeRef"], "S") << name;
        EXPECT_EQ(tags["Exif.GPSInfo.GPSLongitude"], rational(s.lon)) << name;
        EXPECT_EQ(tags["Exif.GPSInfo.GPSLongitudeRef"], "E") << name;
        EXPECT_EQ(tags["Exif.GPSInfo.GPSAltitude"], std::to_string(s.alt) + "/1000") << name;
        EXPECT_EQ(tags["Exif.GPSInfo.GPSTrack"], std::to_string(s.yaw) + "/100") << name;
    }

    chain::Db db = chain::openDb(flightDir + "/geodata.db");
    EXPECT_EQ(chain::query(db.get(), "SELECT COUNT(*), MIN(flightID), MAX(flightID) FROM oldfiles"),
              (std::vector<std::vector<std::string>>{{std::to_string(kShots), "1", "1"}}));
    EXPECT_EQ(chain::query(db.get(), "SELECT missionID, camType FROM flights WHERE flightID = 1"),
              (std::vector<std::vector<std::string>>{{"e2e-survey", "1"}}));
    EXPECT_EQ(chain::query(db.get(), "SELECT COUNT(*) FROM image")[0][0], "0");
    chain::Db done = chain::openDb(flightDir + "/geodone.db");
    EXPECT_EQ(chain::query(done.get(), "SELECT COUNT(*) FROM image")[0][0], std::to_string(kShots));
}
