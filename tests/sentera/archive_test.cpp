// Archiving a Sentera session: the sensor list from config.yml and the oldfiles and flights rows
// in a real database file.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "archive/chainFixtures.h"
#include "archive/geotagDb.h"
#include "senteraTest.h"
#include "sentera/cam_sentera.h"
#include "sentera/cam_sentera_archive.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

const std::string listingRoute = "GET /sdcard?path=/snapshots/";

using Strings = std::vector<std::string>;

class SenteraSensors : public st::SenteraTest {
protected:
    std::string card(const std::string& rel) const { return root("/media/usbdrive" + rel); }
    void config(const std::string& rel, const std::string& text) {
        vt::makeDirs(card(rel.substr(0, rel.rfind('/'))));
        vt::writeFile(card(rel), text);
    }
};

TEST_F(SenteraSensors, CarriageReturnsEndTheNames) {
    config("/config.yml", "model: 6X\r\nCamName: RGB\r\nformat: jpg\r\nCamName: NIR\r\n");
    CaptureStdout();
    EXPECT_EQ(findSensors(), (Strings{"/RGB/", "/NIR/"}));
    EXPECT_EQ(GetCapturedStdout(), "vorn-camera findSensors started\n"
                                   "vorn-camera findSensors found config file: " + card("/config.yml") + "\n"
                                   "vorn-camera got sensorName: RGB\n"
                                   "vorn-camera got sensorName: NIR\n");
}

TEST_F(SenteraSensors, InfoConfigWinsOverTheTopLevelOne) {
    config("/config.yml", "CamName: TOP\r\n");
    config("/info/config.yml", "CamName: Red Edge  \r\n");
    CaptureStdout();
    EXPECT_EQ(findSensors(), Strings{"/Red Edge  /"}); // trailing spaces are part of the name
    EXPECT_NE(GetCapturedStdout().find("found config file: " + card("/info/config.yml") + "\n"), std::string::npos);
}

TEST_F(SenteraSensors, LineFeedsDoNotEndANameButCarriageReturnsDo) {
    config("/config.yml", "CamName: RGB\nCamName: NIR\nlens: 5mm\r\nCamName: \r\rTIR\r\n");
    EXPECT_EQ(findSensors(), (Strings{"/RGB\nCamName: NIR\nlens: 5mm/", "/TIR/"}));

    config("/config.yml", "CamName: RGB\nCamName: NIR\n");
    EXPECT_EQ(findSensors(), Strings{"/RGB\nCamName: NIR\n/"});
}

TEST_F(SenteraSensors, NoNamesNoSensors) {
    CaptureStdout();
    EXPECT_TRUE(findSensors().empty());
    EXPECT_EQ(GetCapturedStdout(), "vorn-camera findSensors started\n");

    config("/config.yml", "Cam Name: RGB\r\nCamName:NIR\r\nCamName: ");
    CaptureStdout();
    EXPECT_TRUE(findSensors().empty());
    std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("vorn-camera findSensors failed to find any sensorNames\n"), std::string::npos) << out;

    config("/config.yml", "");
    EXPECT_TRUE(findSensors().empty());
}

TEST_F(SenteraSensors, ParsingStopsAtTheBytesRead) {
    config("/config.yml", std::string("CamName: RGB\r\n\0CamName: NIR\r\n", 30));
    EXPECT_EQ(findSensors(), Strings{"/RGB/"});
}

TEST_F(SenteraSensors, UnreadableConfigGivesUpCleanly) {
    // A directory opens, but has no sensible size and cannot be read.
    vt::makeDirs(card("/info/config.yml"));
    CaptureStderr();
    EXPECT_TRUE(findSensors().empty());
    std::string err = GetCapturedStderr();
    EXPECT_TRUE(err == "vorn-camera findSensors ERROR: Failed to find size of " + card("/info/config.yml") + "\n" ||
                err == "vorn-camera findSensors ERROR: Failed to read file: " + card("/info/config.yml") + "\n")
        << err;
}

struct OldFile {
    std::string path;
    int size;
    int flightID;
    bool operator==(const OldFile&) const = default;
};

void PrintTo(const OldFile& f, std::ostream* os) {
    *os << "{" << f.path << ", " << f.size << ", " << f.flightID << "}";
}

struct Flight {
    int flightID;
    std::string missionID;
    int camType;
    int64_t time;
    bool operator==(const Flight&) const = default;
};

void PrintTo(const Flight& f, std::ostream* os) {
    *os << "{" << f.flightID << ", " << f.missionID << ", " << f.camType << ", " << f.time << "}";
}

class SenteraArchive : public SenteraSensors {
protected:
    void SetUp() override {
        SenteraSensors::SetUp();
        ASSERT_EQ(sqlite3_open((dbDir / "geodata.db").c_str(), &cam.db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(cam.db, sql::createOldfiles, nullptr, nullptr, nullptr), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(cam.db, sql::createFlights, nullptr, nullptr, nullptr), SQLITE_OK);
        std::memcpy(cam.missionID, "M7", 2);
        cam.camType = CAMTYPE_SENTERA;
        cam.flightTime = 1796000000123;
        stubs.add("mount", "mkdir -p \"$6/snapshots\"");
    }
    void TearDown() override {
        sqlite3_close(cam.db);
        SenteraSensors::TearDown();
    }

    // A camera whose session M7_0002 has 3 images per sensor; the card holds all but one.
    void threeImageSession() {
        config("/info/config.yml", "CamName: RGB\r\nCamName: NIR\r\n");
        camera.reply(listingRoute, {"<div class=\"file_entry\"><a class=\"directory sd_entry\" "
                                    "href=\"sdcard?path=/snapshots//M7_0002\">M7_0002</a></div>"});
        camera.reply(listingRoute + "M7_0002/RGB/", {"IMG_00001.jpg IMG_00002.jpg IMG_00003.jpg"});
        for (int i = 1; i <= 3; ++i) vt::writeFile(imagePath("RGB", i), std::string(1000 * i, 'r'));
        vt::writeFile(imagePath("NIR", 1), std::string(70, 'n'));
        vt::writeFile(imagePath("NIR", 3), std::string(90, 'n'));
    }

    std::string imagePath(const std::string& sensor, int n) {
        char name[32];
        std::snprintf(name, sizeof name, "IMG_%05d.jpg", n);
        std::string dir = card("/snapshots/M7_0002/" + sensor);
        vt::makeDirs(dir);
        return dir + "/" + name;
    }

    std::vector<OldFile> oldfiles() {
        std::vector<OldFile> out;
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(cam.db, "SELECT path, size, flightID FROM oldfiles ORDER BY id", -1, &stmt, nullptr);
        while (sqlite3_step(stmt) == SQLITE_ROW)
            out.push_back({reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)), sqlite3_column_int(stmt, 1),
                           sqlite3_column_int(stmt, 2)});
        sqlite3_finalize(stmt);
        return out;
    }

    std::vector<Flight> flights() {
        std::vector<Flight> out;
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(cam.db, "SELECT flightID, missionID, camType, time FROM flights ORDER BY id", -1, &stmt,
                           nullptr);
        while (sqlite3_step(stmt) == SQLITE_ROW)
            out.push_back({sqlite3_column_int(stmt, 0), reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1)),
                           sqlite3_column_int(stmt, 2), sqlite3_column_int64(stmt, 3)});
        sqlite3_finalize(stmt);
        return out;
    }

    std::vector<OldFile> expectedRows(int flightID) {
        return {{imagePath("RGB", 1), 1000, flightID}, {imagePath("RGB", 2), 2000, flightID},
                {imagePath("RGB", 3), 3000, flightID}, {imagePath("NIR", 1), 70, flightID},
                {imagePath("NIR", 2), 0, flightID},    {imagePath("NIR", 3), 90, flightID}};
    }

    vt::TempDir dbDir;
    chain::WorkDir work{dbDir.path()}; // the daemon's working directory: the flight's side files go here
    vt::StubPath stubs;
    CameraContext cam;
};


TEST_F(SenteraArchive, SessionImagesOfEverySensorAreRecorded) {
    threeImageSession();
    CaptureStdout();
    EXPECT_EQ(storeSenteraImagesSamba(&cam), 3);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(oldfiles(), expectedRows(1));
    EXPECT_EQ(flights(), (std::vector<Flight>{{1, "M7", CAMTYPE_SENTERA, 1796000000123}}));
    // The flight's side files list the archived images, without positions (the camera tags them).
    auto parsed = chain::parsedSideFiles("flights/1");
    ASSERT_EQ(parsed.size(), 6u + 7u + 1u);
    EXPECT_EQ(parsed[4], "NIR/IMG_00002.jpg|||||False");
    EXPECT_EQ(parsed.back(), "props:1|M7|5");
    EXPECT_EQ(vt::readFile("flights/1/geo.txt"), "EPSG:4326\n");
    EXPECT_EQ(vt::readFile(card("/vorn/flight-1/shots.csv")), vt::readFile("flights/1/shots.csv"));
    EXPECT_NE(out.find("vorn-camera storeSenteraImages Session: M7_0002  Number of Images: 3\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("vorn-camera storeFlightImages FlightID = 1\n"
                       "vorn-camera storeFlightImages storing images from sensor 0: /RGB/\n"
                       "vorn-camera storeFlightImages storing images from sensor 1: /NIR/\n"),
              std::string::npos)
        << out;
    // The count comes from the first sensor's folder only.
    auto requests = camera.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].path, "/sdcard?path=/snapshots/M7_0002/RGB/");
}

TEST_F(SenteraArchive, SecondRunKeepsTheRowsAndAddsAFlight) {
    threeImageSession();
    ASSERT_EQ(storeSenteraImagesSamba(&cam), 3);
    CaptureStdout();
    EXPECT_EQ(storeSenteraImagesSamba(&cam), 3);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(oldfiles(), expectedRows(1));
    EXPECT_EQ(vt::countOf(out, ") failed, rc=19\n"), 6u) << out;
    EXPECT_NE(out.find("vorn-camera storeFlightImages insertOld(" + imagePath("NIR", 2) + ") failed, rc=19\n"),
              std::string::npos);
    EXPECT_NE(out.find("vorn-camera storeFlightImages FlightID = 2\n"), std::string::npos);
    EXPECT_EQ(flights(), (std::vector<Flight>{{1, "M7", CAMTYPE_SENTERA, 1796000000123},
                                              {2, "M7", CAMTYPE_SENTERA, 1796000000123}}));
}

TEST_F(SenteraArchive, FullLengthMissionIdIsKeptWhole) {
    threeImageSession();
    std::string id(32, 'Q');
    std::memcpy(cam.missionID, id.data(), 32);
    camera.reply(listingRoute, {"<div class=\"file_entry\"><a class=\"directory sd_entry\" "
                                "href=\"sdcard?path=/snapshots//" + id + "_1\">x</a></div>"});
    camera.reply(listingRoute + id + "_1/RGB/", {"IMG_00002.jpg"});
    CaptureStdout();
    EXPECT_EQ(storeSenteraImagesSamba(&cam), 2);
    GetCapturedStdout();
    ASSERT_EQ(flights().size(), 1u);
    EXPECT_EQ(flights()[0].missionID, id);
    EXPECT_EQ(oldfiles().size(), 4u);
}

TEST_F(SenteraArchive, EarlyFailuresLeaveTheDatabaseAlone) {
    // No session of the mission on the camera.
    threeImageSession();
    std::memcpy(cam.missionID, "M8", 2);
    CaptureStdout();
    EXPECT_EQ(storeSenteraImagesSamba(&cam), -1);
    std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("vorn-camera storeSenteraImages Session:   Number of Images: 0\n"
                       "vorn-camera storeSenteraImages ERROR: No images found found\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(camera.requests().size(), 1u);

    // No sensors on the card.
    vt::writeFile(card("/info/config.yml"), "model: 6X\r\n");
    CaptureStdout();
    EXPECT_EQ(storeSenteraImagesSamba(&cam), -1);
    EXPECT_NE(GetCapturedStdout().find("vorn-camera storeSenteraImages ERROR: No sensors found\n"), std::string::npos);

    EXPECT_TRUE(oldfiles().empty());
    EXPECT_TRUE(flights().empty());
}

TEST_F(SenteraArchive, UnmountableShare) {
    vt::StubPath failing;
    failing.add("mount", "exit 32");
    CaptureStdout();
    EXPECT_EQ(storeSenteraImagesSamba(&cam), -1);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(failing.calls().size(), 5u);
    EXPECT_EQ(sleeps, std::vector<long>(5, 5000));
    EXPECT_NE(out.find("vorn-camera storeSenteraImages ERROR: Unable to mount Sentera\n"), std::string::npos);
    EXPECT_TRUE(camera.requests().empty());
}

TEST_F(SenteraArchive, PostflightStopsThenArchives) {
    threeImageSession();
    camera.reply("PUT /api/v1/session", {"{}"});
    camera.reply("GET /api/v1/session", {R"({"status":"Idle"})"});
    CaptureStdout();
    EXPECT_EQ(postflight_sentera(&cam), 0);
    std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("vorn-camera postflight_sentera 3 image paths stored\n"), std::string::npos) << out;
    EXPECT_EQ(oldfiles().size(), 6u);
    auto requests = camera.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].method, "PUT");
    EXPECT_EQ(requests[1].path, "/api/v1/session");
    EXPECT_EQ(requests[2].path, "/sdcard?path=/snapshots/");
}

TEST_F(SenteraArchive, PostflightWithAnUnreachableCameraGivesUp) {
    threeImageSession();
    unreachableCamera();
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(postflight_sentera(&cam), -1);
    GetCapturedStderr();
    std::string out = GetCapturedStdout();
    // Five stop attempts, then the share is there but the camera cannot name the session.
    EXPECT_EQ(sleeps, std::vector<long>(5, 5000));
    EXPECT_EQ(vt::countOf(out, "sessionControl stop session\n"), 5u);
    EXPECT_NE(out.find("vorn-camera storeSenteraImages ERROR: No images found found\n"
                       "vorn-camera postflight_sentera -1 image paths stored\n"),
              std::string::npos)
        << out;
    EXPECT_TRUE(oldfiles().empty());
}

} // namespace
