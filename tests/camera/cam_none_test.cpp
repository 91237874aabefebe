#include "camera/cam_none.h"

#include <gtest/gtest.h>

#include "archive/chainFixtures.h"
#include "support/testSupport.h"

using Rows = std::vector<std::vector<std::string>>;

namespace {

// The driver's card is ./images and its prepared data set ./triggered, both in the working
// directory beside geodata.db.
class CameraLess : public ::testing::Test {
protected:
    void SetUp() override {
        vt::makeDirs(dir / "images");
        vt::makeDirs(dir / "triggered");
        cam.db = db.get();
        chain::createSchema(cam.db);
    }
    // The first trigger of a fresh process; returns its result.
    int firstTrigger(bool twice = false) {
        db.reset();
        chain::Child child(dir / "trigger.log", [&] {
            chain::Db childDb = chain::openDb("geodata.db");
            cam.db = childDb.get();
            int first = trigger_none(&cam, nullptr, -1, 1, 1);
            if (twice) {
                vt::writeFile(dir / "triggered/late.jpg", "late");
                chain::exec(cam.db, "INSERT INTO image (time) VALUES(42)");
                if (trigger_none(&cam, nullptr, -1, 1, 1) != 0) return 10;
            }
            return first;
        });
        int result = child.wait();
        db = chain::openDb("geodata.db");
        cam.db = db.get();
        return result;
    }
    std::string log(const char* name) { return vt::readFile(dir / name); }

    vt::TempDir dir;
    chain::WorkDir work{dir.path()};
    chain::Db db = chain::openDb("geodata.db");
    CameraContext cam;
};

} // namespace

TEST_F(CameraLess, FirstTriggerInstallsThePreparedDataSetOnlyOnce) {
    chain::createOrigImage(cam.db);
    chain::addShot(cam.db, {1000, 1, 2, 3, 4}, "origImage");
    chain::addShot(cam.db, {3000, 5, 6, 7, 8}, "origImage");
    chain::addShot(cam.db, {9, 9, 9, 9, 9}); // a shot of an earlier flight is replaced
    vt::writeFile(dir / "triggered/a.jpg", "a");
    vt::writeFile(dir / "triggered/b.jpg", "b");

    EXPECT_EQ(firstTrigger(true), 0);
    EXPECT_EQ(vt::readFile(dir / "images/a.jpg"), "a");
    EXPECT_EQ(vt::readFile(dir / "images/b.jpg"), "b");
    EXPECT_FALSE(vt::fileExists(dir / "images/late.jpg")); // the second trigger copies nothing
    EXPECT_EQ(chain::query(cam.db, "SELECT time, lat, lon FROM image ORDER BY id"),
              (Rows{{"1000", "1", "2"}, {"3000", "5", "6"}, {"42", "NULL", "NULL"}}));
    EXPECT_TRUE(chain::query(cam.db, "SELECT name FROM sqlite_master WHERE name = 'origImage'").empty());
}

TEST_F(CameraLess, AnEmptyPreparedImageDirectoryStillReplacesTheShots) {
    chain::createOrigImage(cam.db);
    chain::addShot(cam.db, {1000, 1, 2, 3, 4}, "origImage");
    EXPECT_EQ(firstTrigger(), 0);
    EXPECT_EQ(chain::query(cam.db, "SELECT time FROM image"), (Rows{{"1000"}}));
}

TEST_F(CameraLess, WithoutPreparedShotsTheFirstTriggerFails) {
    EXPECT_EQ(firstTrigger(), 1);
    EXPECT_EQ(log("trigger.log"), "vorn-camera triggerCamera failed to rename table\n");
    EXPECT_TRUE(chain::query(cam.db, "SELECT name FROM sqlite_master WHERE name = 'image'").empty());
}

TEST_F(CameraLess, PreflightRecordsTheFilesAlreadyOnTheCard) {
    chain::makeImage(dir / "images/old1.jpg");
    chain::makeImage(dir / "images/old2.JPG");
    mount_none(&cam, -1, 1, 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(preflight_none(&cam, -1, 1, 1), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("vorn-camera preflight_none 2 unknown files\n"), std::string::npos);
    EXPECT_EQ(isMounted_none(&cam, -1, 1, 1), 0);
    EXPECT_EQ(chain::query(cam.db, "SELECT COUNT(*) FROM unknownFiles")[0][0], "2");
}

TEST_F(CameraLess, PostflightTagsThePairedImagesAndThenArchivesShotsWithPaths) {
    chain::makeImage(dir / "images/IMG_0001.jpg");
    chain::makeImage(dir / "images/IMG_0002.jpg");
    chain::addShot(cam.db, {1700000000000, 100000000, 200000000, 4500, 120000});
    chain::addShot(cam.db, {1700000002000, 110000000, 210000000, -4500, 121000});
    testing::internal::CaptureStdout();
    EXPECT_EQ(postflight_none(&cam, -1, 1, 1), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("vorn-camera postflight_none 2 images, 2 files to process\n"), std::string::npos);
    EXPECT_NE(out.find("vorn-camera postflight_none 2 items paired\n"), std::string::npos);
    EXPECT_NE(out.find("vorn-camera postflight_none 2 images processed, 2 expected\n"), std::string::npos);
    EXPECT_NE(out.find("vorn-camera postflight_none 0 image paths stored\n"), std::string::npos);
    EXPECT_EQ(isMounted_none(&cam, -1, 1, 1), 1);
    EXPECT_EQ(chain::exifTags(dir / "images/IMG_0002.jpg")["Exif.GPSInfo.GPSTrack"], "31500/100");
    EXPECT_EQ(chain::query(cam.db, "SELECT path FROM oldfiles ORDER BY id"),
              (Rows{{"./images/IMG_0001.jpg"}, {"./images/IMG_0002.jpg"}}));

    // No new file on the card: nothing is paired, and shots that name an existing file are archived.
    vt::writeFile(dir / "elsewhere.jpg", "e");
    chain::addShot(cam.db, {1, 1, 1, 1, 1, "./elsewhere.jpg"});
    testing::internal::CaptureStdout();
    EXPECT_EQ(postflight_none(&cam, -1, 1, 1), 0);
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("vorn-camera postflight_none 1 images, 0 files to process\n"), std::string::npos);
    EXPECT_NE(out.find("vorn-camera postflight_none 1 image paths stored\n"), std::string::npos);
    EXPECT_EQ(chain::query(cam.db, "SELECT flightID FROM oldfiles WHERE path = './elsewhere.jpg'"), (Rows{{"2"}}));
}
