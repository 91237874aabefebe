#include "archive/filePairing.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "archive/chainFixtures.h"
#include "core/userMessage.h"
#include "support/testSupport.h"

using chain::Progress;

namespace {

class Pairing : public ::testing::Test {
protected:
    void SetUp() override {
        vt::makeDirs(card);
        cam.db = db.get();
        chain::createSchema(cam.db);
        ASSERT_EQ(pipe(fc), 0);
    }
    void TearDown() override {
        close(fc[0]);
        close(fc[1]);
    }

    // Shots in id order and the card's new files, paired as a driver does.
    int pairCard(ImageNode** images, FileNode** files) {
        *images = getListImages(cam.db);
        *files = getListFiles(cam.db, card.c_str(), "jpg");
        return pairUpItemsPath(*images, *files);
    }

    vt::TempDir dir;
    chain::WorkDir work{dir.path()};
    chain::Db db = chain::openDb("geodata.db");
    std::string card = dir / "card";
    CameraContext cam;
    int fc[2] = {-1, -1};
};

ImageNode* node(int id, const std::string& path, GeoData geo) {
    auto* n = new ImageNode{};
    n->id = id;
    std::snprintf(n->path, sizeof n->path, "%s", path.c_str());
    n->geo = geo;
    return n;
}

// Shots (times in ms) and card files (times in s) as lists, shot ids counting from 1.
struct IntervalCase {
    const char* name;
    std::vector<int64_t> shotMs;
    std::vector<int32_t> fileSeconds;
    int firstMismatch;
};

} // namespace

TEST(PairingIntervals, FirstShotWhereShotAndFileTimesPart) {
    const IntervalCase cases[] = {
        {"consistent", {0, 3000, 6100, 9000}, {101, 104, 107, 110}, 0},
        {"missed picture at shot 3", {0, 3000, 6000, 9000, 12000}, {101, 104, 110, 113}, 3},
        {"extra picture after shot 2", {0, 3000, 6000, 9000}, {101, 104, 105, 107}, 3},
        // Taken at 100.0, 103.9, 106.0 and 109.9 s, kept by a FAT card in steps of two seconds.
        {"two-second file times", {0, 3900, 6000, 9900}, {100, 102, 106, 108}, 0},
        {"files copied onto the card", {0, 2000, 4000, 6000}, {500, 500, 501, 501}, 0},
    };
    for (const auto& c : cases) {
        ImageNode* images = nullptr;
        ImageNode** tail = &images;
        for (size_t i = 0; i < c.shotMs.size(); ++i) {
            *tail = node(static_cast<int>(i) + 1, "", GeoData{c.shotMs[i], 0, 0, 0, 0, 0, 0, 0});
            tail = &(*tail)->next;
        }
        FileNode* files = nullptr;
        for (auto t = c.fileSeconds.rbegin(); t != c.fileSeconds.rend(); ++t) files = new FileNode{*t, 1, "f.jpg", files};
        EXPECT_EQ(firstIntervalMismatch(images, files), c.firstMismatch) << c.name;
        freeImageList(images);
        freeFileList(files);
    }
}

TEST(PairingFormats, ArgumentTextsAndShortNames) {
    char out[128];
    formatLatitude(473977418, out);
    EXPECT_STREQ(out, "-M \"set Exif.GPSInfo.GPSLatitude 47/1 23/1 518704/10000\" -M\"set Exif.GPSInfo.GPSLatitudeRef N\"");
    formatLongitude(0, out);
    EXPECT_STREQ(out, "-M \"set Exif.GPSInfo.GPSLongitude 0/1 0/1 0/10000\" -M\"set Exif.GPSInfo.GPSLongitudeRef E\"");
    formatLongitude(-1224194000, out);
    EXPECT_STREQ(out, "-M \"set Exif.GPSInfo.GPSLongitude 122/1 25/1 98400/10000\" -M\"set Exif.GPSInfo.GPSLongitudeRef W\"");
    formatAltitude(0, out);
    EXPECT_STREQ(out, "-M \"set Exif.GPSInfo.GPSAltitude 0/1000\" -M\"set Exif.GPSInfo.GPSAltitudeRef 0\"");
    formatHeading(36000, out);
    EXPECT_STREQ(out, "-M \"set Exif.GPSInfo.GPSTrack 0/100\"");
    formatHeading(-72050, out);
    EXPECT_STREQ(out, "-M \"set Exif.GPSInfo.GPSTrack 35950/100\"");
    formatLatitude(INT32_MIN, out); // garbage from the link must not overflow
    EXPECT_NE(std::strstr(out, "GPSLatitudeRef S"), nullptr);

    char shortName[4];
    EXPECT_STREQ(getShortName(shortName, "/media/usbdrive/DCIM/Photo/IMG_0123.JPG"), "123");
    EXPECT_STREQ(getShortName(shortName, "./images/a.b.jpg"), "a"); // stops at the first dot met
    EXPECT_STREQ(getShortName(shortName, "ab.jpg"), "ab");
    EXPECT_STREQ(getShortName(shortName, "no-dot"), "");
}

TEST_F(Pairing, TagsReadBackFromJpegAndTiff) {
    const char* oldTz = std::getenv("TZ");
    std::string savedTz = oldTz ? oldTz : "";
    setenv("TZ", "EST5", 1); // the date is written in local time
    tzset();

    chain::makeImage(card + "/south.jpg");
    chain::makeImage(card + "/north.tiff");
    ImageNode* images = node(1, card + "/south.jpg", {0, -336250000, 0, 0, 0, 35999, -1500, 0});
    images->next = node(2, card + "/north.tiff", {1700000000123, 473977418, -1224194000, 0, 0, -500, 0, 0});

    EXPECT_EQ(updatePairedImages(&cam, images, 2, -1, 0, 6), 2);

    auto south = chain::exifTags(card + "/south.jpg");
    EXPECT_EQ(south["Exif.GPSInfo.GPSLatitude"], "33/1 37/1 300000/10000");
    EXPECT_EQ(south["Exif.GPSInfo.GPSLatitudeRef"], "S");
    EXPECT_EQ(south["Exif.GPSInfo.GPSLongitude"], "0/1 0/1 0/10000");
    EXPECT_EQ(south["Exif.GPSInfo.GPSLongitudeRef"], "E");
    EXPECT_EQ(south["Exif.GPSInfo.GPSAltitude"], "1500/1000");
    EXPECT_EQ(south["Exif.GPSInfo.GPSAltitudeRef"], "1");
    EXPECT_EQ(south["Exif.GPSInfo.GPSTrack"], "35999/100");
    EXPECT_EQ(south["Exif.Photo.DateTimeOriginal"], "1969:12:31 19:00:00");
    EXPECT_EQ(south["Exif.Image.Orientation"], "6");

    auto north = chain::exifTags(card + "/north.tiff");
    EXPECT_EQ(north["Exif.GPSInfo.GPSLatitude"], "47/1 23/1 518704/10000");
    EXPECT_EQ(north["Exif.GPSInfo.GPSLatitudeRef"], "N");
    EXPECT_EQ(north["Exif.GPSInfo.GPSLongitude"], "122/1 25/1 98400/10000");
    EXPECT_EQ(north["Exif.GPSInfo.GPSLongitudeRef"], "W");
    EXPECT_EQ(north["Exif.GPSInfo.GPSAltitude"], "0/1000");
    EXPECT_EQ(north["Exif.GPSInfo.GPSAltitudeRef"], "0");
    EXPECT_EQ(north["Exif.GPSInfo.GPSTrack"], "35500/100"); // yaw -500, not an unsigned wrap
    EXPECT_EQ(north["Exif.Photo.DateTimeOriginal"], "2023:11:14 17:13:20");
    EXPECT_EQ(north["Exif.Image.Orientation"], "6");

    // The nodes carry the tagged files' sizes, and so does the archive.
    struct stat st;
    ASSERT_EQ(stat((card + "/south.jpg").c_str(), &st), 0);
    EXPECT_EQ(images->size, st.st_size);
    auto rows = chain::query(cam.db, "SELECT path, size, flightID FROM oldfiles ORDER BY id");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{card + "/south.jpg", std::to_string(st.st_size), "1"}));
    EXPECT_EQ(rows[1][0], card + "/north.tiff");
    freeImageList(images);

    if (oldTz) setenv("TZ", savedTz.c_str(), 1);
    else unsetenv("TZ");
    tzset();
}

TEST_F(Pairing, TiffConvertedToJpegKeepsItsExifAndIsArchivedAsJpeg) {
    chain::makeImage(card + "/IMG_0001.tiff");
    ASSERT_EQ(runShell("exiv2 -M'set Exif.Image.Make VornTest' " + shellQuote(card + "/IMG_0001.tiff")), 0);
    ImageNode* images = node(1, card + "/IMG_0001.tiff", {0, 100000000, 200000000, 0, 0, 9000, 50000, 0});

    EXPECT_EQ(updatePairedImages(&cam, images, 1, -1, 1, 6), 1);

    std::string jpeg = card + "/IMG_0001.JPG";
    EXPECT_STREQ(images->path, jpeg.c_str());
    auto tags = chain::exifTags(jpeg);
    EXPECT_EQ(tags["Exif.Image.Make"], "VornTest"); // carried over from the TIFF
    EXPECT_EQ(tags["Exif.GPSInfo.GPSLatitude"], "10/1 0/1 0/10000");
    EXPECT_EQ(tags["Exif.GPSInfo.GPSTrack"], "9000/100");
    EXPECT_FALSE(vt::fileExists(card + "/IMG_0001.exv"));
    EXPECT_EQ(chain::query(cam.db, "SELECT path FROM oldfiles"), (std::vector<std::vector<std::string>>{{jpeg}}));
    freeImageList(images);
}

TEST_F(Pairing, ThreeShotsFiveFilesLeaveTheSurplusFilesAlone) {
    for (int i = 0; i < 3; ++i) chain::addShot(cam.db, {1000000 + i * 2000, 100000000 + i * 1000, 200000000, 0, 0});
    for (const char* name : {"e.jpg", "A.jpg", "c.JPG", "b.jpg", "D.jpg"}) chain::makeImage(card + "/" + name);
    std::string surplusBefore = vt::readFile(card + "/e.jpg");

    ImageNode* images;
    FileNode* files;
    ASSERT_EQ(pairCard(&images, &files), 3);
    EXPECT_STREQ(images->next->next->path, (card + "/c.JPG").c_str());
    EXPECT_EQ(updatePairedImages(&cam, images, 3, fc[1], 0, 6), 3);
    freeImageList(images);
    freeFileList(files);

    EXPECT_EQ(chain::exifTags(card + "/b.jpg")["Exif.GPSInfo.GPSLatitude"], "10/1 0/1 3600/10000");
    EXPECT_EQ(vt::readFile(card + "/e.jpg"), surplusBefore);
    EXPECT_EQ(chain::exifTags(card + "/D.jpg").count("Exif.GPSInfo.GPSLatitude"), 0u);
    // The surplus files are still the card's new files for the next pass.
    FileNode* left = getListFiles(cam.db, card.c_str(), "jpg");
    ASSERT_EQ(countFileList(left), 2);
    EXPECT_STREQ(left->path, (card + "/D.jpg").c_str());
    freeFileList(left);
    EXPECT_EQ(chain::progressReports(chain::drainMessages(fc[0])),
              (std::vector<Progress>{{1, 3}, {2, 3}, {3, 3}, {3, 3}}));
}

TEST_F(Pairing, FiveShotsThreeFilesReportEachArchivedImageThenTheFinalCount) {
    for (int i = 0; i < 5; ++i) chain::addShot(cam.db, {1000000 + i * 2000, 100000000, 200000000 + i, 0, 0});
    for (const char* name : {"a.jpg", "b.jpg", "c.jpg"}) chain::makeImage(card + "/" + name);

    ImageNode* images;
    FileNode* files;
    ASSERT_EQ(pairCard(&images, &files), 3);
    EXPECT_EQ(images->next->next->next->path[0], '\0'); // surplus shots have no file
    testing::internal::CaptureStdout();
    EXPECT_EQ(updatePairedImages(&cam, images, 3, fc[1], 0, 6), 3);
    std::string log = testing::internal::GetCapturedStdout();
    freeImageList(images);
    freeFileList(files);

    EXPECT_EQ(chain::progressReports(chain::drainMessages(fc[0])),
              (std::vector<Progress>{{1, 3}, {2, 3}, {3, 3}, {3, 3}}));
    EXPECT_NE(log.find("vorn-camera updatePairedImages done processing[3 of 3]\n"), std::string::npos);
    EXPECT_NE(log.find("vorn-camera updatePairedImages finished 3 successfully\n"), std::string::npos);
    EXPECT_EQ(chain::query(cam.db, "SELECT COUNT(*) FROM oldfiles")[0][0], "3");
}

TEST_F(Pairing, AFailedArchiveInsertDoesNotAdvanceTheNumbering) {
    for (int i = 0; i < 3; ++i) chain::addShot(cam.db, {1000000 + i * 2000, 100000000, 200000000, 0, 0});
    for (const char* name : {"a.jpg", "b.jpg", "c.jpg"}) chain::makeImage(card + "/" + name);
    ImageNode* images;
    FileNode* files;
    ASSERT_EQ(pairCard(&images, &files), 3);
    // b.jpg becomes archived (in other letter case) between listing and tagging.
    chain::exec(cam.db, "INSERT INTO oldfiles (path, size, flightID) VALUES('" + dir.path() + "/CARD/B.JPG', 1, 7)");

    testing::internal::CaptureStdout();
    int archived = updatePairedImages(&cam, images, 3, fc[1], 0, 6);
    std::string log = testing::internal::GetCapturedStdout();
    freeImageList(images);
    freeFileList(files);

    EXPECT_EQ(archived, 2);
    EXPECT_NE(log.find("vorn-camera updatePairedImages update() failed, rc=19\n"), std::string::npos);
    size_t first = log.find("vorn-camera 2 of 3, exiv2");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(log.find("vorn-camera 2 of 3, exiv2", first + 1), std::string::npos); // c.jpg shows 2 again
    EXPECT_EQ(log.find("vorn-camera 3 of 3, exiv2"), std::string::npos);
    EXPECT_EQ(chain::progressReports(chain::drainMessages(fc[0])), (std::vector<Progress>{{1, 3}, {2, 3}, {3, 3}}));
}

TEST_F(Pairing, HostileFileNamesAreTaggedAndArchivedWithoutRunningAnything) {
    const std::vector<std::string> names = {"it's a $(touch pwned) test.jpg", "semi;colon `touch pwned2` \"q\".jpg",
                                            "-dash & | > out.jpg"};
    for (size_t i = 0; i < names.size(); ++i) {
        chain::makeImage(card + "/" + names[i]);
        chain::addShot(cam.db, {1000000, 300000000 + static_cast<int32_t>(i) * 10000000, 0, 0, 0});
    }
    ImageNode* images;
    FileNode* files;
    ASSERT_EQ(pairCard(&images, &files), 3);
    EXPECT_EQ(updatePairedImages(&cam, images, 3, -1, 0, 6), 3);
    freeImageList(images);
    freeFileList(files);

    // Sorted: "-dash...", "it's...", "semi..." get shots 1, 2, 3.
    EXPECT_EQ(chain::exifTags(card + "/" + names[2])["Exif.GPSInfo.GPSLatitude"], "30/1 0/1 0/10000");
    EXPECT_EQ(chain::exifTags(card + "/" + names[0])["Exif.GPSInfo.GPSLatitude"], "31/1 0/1 0/10000");
    EXPECT_EQ(chain::exifTags(card + "/" + names[1])["Exif.GPSInfo.GPSLatitude"], "32/1 0/1 0/10000");
    EXPECT_EQ(chain::query(cam.db, "SELECT COUNT(*) FROM oldfiles")[0][0], "3");
    for (const std::string& d : {dir.path(), card})
        for (const char* stray : {"pwned", "pwned2", "out", "q"}) EXPECT_FALSE(vt::fileExists(d + "/" + stray)) << d << "/" << stray;
}

TEST_F(Pairing, FlightRowGeodoneCopyAndEmptiedShots) {
    std::memcpy(cam.missionID, "MISSION-0123456789-ABCDEFGHIJKLM", 32); // full: no terminating zero
    cam.camType = CAMTYPE_NONE;
    cam.flightTime = 1700000000123;
    chain::exec(cam.db, "INSERT INTO oldfiles (path, size, flightID) VALUES('/old/x.jpg', 1, 4)");
    for (int i = 0; i < 2; ++i) chain::addShot(cam.db, {1000000, 100000000, 200000000, 0, 0});
    chain::makeImage(card + "/a.jpg");
    chain::makeImage(card + "/b.jpg");
    ImageNode* images;
    FileNode* files;
    ASSERT_EQ(pairCard(&images, &files), 2);
    EXPECT_EQ(updatePairedImages(&cam, images, 2, fc[1], 0, 6), 2);
    freeImageList(images);
    freeFileList(files);

    EXPECT_EQ(chain::query(cam.db, "SELECT flightID, missionID, camType, time FROM flights"),
              (std::vector<std::vector<std::string>>{{"5", "MISSION-0123456789-ABCDEFGHIJKLM", "1", "1700000000123"}}));
    EXPECT_EQ(chain::query(cam.db, "SELECT COUNT(*) FROM oldfiles WHERE flightID = 5")[0][0], "2");
    EXPECT_EQ(chain::query(cam.db, "SELECT COUNT(*) FROM image")[0][0], "0");
    chain::Db done = chain::openDb("geodone.db");
    EXPECT_EQ(chain::query(done.get(), "SELECT COUNT(*) FROM image")[0][0], "2");
    EXPECT_EQ(chain::query(done.get(), "SELECT COUNT(*) FROM oldfiles WHERE flightID = 5")[0][0], "2");
}

TEST_F(Pairing, WithoutAPipeNothingIsWrittenAndTheResultIsTheSame) {
    chain::addShot(cam.db, {1000000, 100000000, 200000000, 0, 0});
    chain::makeImage(card + "/a.jpg");
    ImageNode* images;
    FileNode* files;
    ASSERT_EQ(pairCard(&images, &files), 1);
    EXPECT_EQ(updatePairedImages(&cam, images, 1, -1, 0, 6), 1);
    freeImageList(images);
    freeFileList(files);
    EXPECT_TRUE(chain::drainMessages(fc[0]).empty());
}

TEST_F(Pairing, EmptyingTheShotsFailsResultIsZeroAndNoFinalReport) {
    chain::addShot(cam.db, {1000000, 100000000, 200000000, 0, 0});
    chain::makeImage(card + "/a.jpg");
    ImageNode* images;
    FileNode* files;
    ASSERT_EQ(pairCard(&images, &files), 1);
    chain::exec(cam.db, "CREATE TRIGGER keep BEFORE DELETE ON image BEGIN SELECT RAISE(ABORT, 'kept'); END");
    EXPECT_EQ(updatePairedImages(&cam, images, 1, fc[1], 0, 6), 0);
    freeImageList(images);
    freeFileList(files);
    EXPECT_EQ(chain::progressReports(chain::drainMessages(fc[0])), (std::vector<Progress>{{1, 1}}));
    EXPECT_EQ(chain::query(cam.db, "SELECT COUNT(*) FROM image")[0][0], "1");
}

TEST_F(Pairing, APassWhoseArchiveCannotBeCommittedKeepsItsShotsForTheNextPass) {
    for (int i = 0; i < 2; ++i) chain::addShot(cam.db, {1000000, 100000000 + i * 10000000, 200000000, 0, 0});
    chain::makeImage(card + "/a.jpg");
    chain::makeImage(card + "/b.jpg");
    chain::Db reader = chain::openDb("geodata.db"); // a reader holding the file: the commit is refused
    chain::exec(reader.get(), "BEGIN");
    ASSERT_EQ(chain::query(reader.get(), "SELECT COUNT(*) FROM image")[0][0], "2");

    ImageNode* images;
    FileNode* files;
    ASSERT_EQ(pairCard(&images, &files), 2);
    testing::internal::CaptureStdout();
    EXPECT_EQ(updatePairedImages(&cam, images, 2, fc[1], 0, 6), 0);
    std::string log = testing::internal::GetCapturedStdout();
    freeImageList(images);
    freeFileList(files);
    EXPECT_NE(log.find("vorn-camera updatePairedImages sqlite3_exec(END TRANSACTION) failed, rc=5\n"), std::string::npos);
    EXPECT_EQ(chain::progressReports(chain::drainMessages(fc[0])), (std::vector<Progress>{{1, 2}, {2, 2}})); // no final
    chain::exec(reader.get(), "COMMIT");
    EXPECT_EQ(chain::query(cam.db, "SELECT COUNT(*) FROM oldfiles")[0][0], "0");
    EXPECT_EQ(chain::query(cam.db, "SELECT COUNT(*) FROM flights")[0][0], "0");
    EXPECT_FALSE(vt::fileExists("geodone.db"));

    // The next pass pairs the same files with the same shots.
    ASSERT_EQ(pairCard(&images, &files), 2);
    EXPECT_EQ(updatePairedImages(&cam, images, 2, fc[1], 0, 6), 2);
    freeImageList(images);
    freeFileList(files);
    EXPECT_EQ(chain::exifTags(card + "/b.jpg")["Exif.GPSInfo.GPSLatitude"], "11/1 0/1 0/10000");
    EXPECT_EQ(chain::query(cam.db, "SELECT COUNT(*) FROM oldfiles WHERE flightID = 1")[0][0], "2");
}

TEST_F(Pairing, AFullDatabaseRollsThePassBackKeepsTheShotsAndWarnsTheGround) {
    for (int i = 0; i < 2; ++i) chain::addShot(cam.db, {1000000, 100000000 + i * 10000000, 200000000, 0, 0});
    chain::makeImage(card + "/a.jpg");
    chain::makeImage(card + "/b.jpg");
    // No page left for another archive row.
    std::string pages = chain::query(cam.db, "PRAGMA page_count")[0][0];
    chain::query(cam.db, "PRAGMA max_page_count = " + pages);
    int filler = 0;
    for (size_t length = 256; length > 0; length /= 2)
        for (int rc = SQLITE_OK; rc != SQLITE_FULL && filler < 1000; ++filler)
            rc = sqlite3_exec(cam.db, ("INSERT INTO oldfiles (path, size, flightID) VALUES('" + std::to_string(filler) +
                                       std::string(length, 'x') + "', 1, 0)").c_str(), nullptr, nullptr, nullptr);
    std::string archivedBefore = chain::query(cam.db, "SELECT COUNT(*) FROM oldfiles")[0][0];

    resetGroundWarnings();
    setGroundWarningPipe(fc[1]);
    ImageNode* images;
    FileNode* files;
    ASSERT_EQ(pairCard(&images, &files), 2);
    EXPECT_EQ(updatePairedImages(&cam, images, 2, fc[1], 0, 6), 0);
    setGroundWarningPipe(-1);
    freeImageList(images);
    freeFileList(files);

    auto sent = chain::drainMessages(fc[0]);
    ASSERT_EQ(sent.size(), 2u); // no progress: the warning alone, as USER_MESSAGE and STATUSTEXT
    mavlink_statustext_t text{};
    mavlink_msg_statustext_decode(&sent[1], &text);
    EXPECT_STREQ(text.text, "tagging pass rolled back: database or disk is full");
    EXPECT_EQ(chain::query(cam.db, "SELECT COUNT(*) FROM image")[0][0], "2");
    EXPECT_EQ(chain::query(cam.db, "SELECT COUNT(*) FROM oldfiles")[0][0], archivedBefore);
    EXPECT_EQ(chain::query(cam.db, "SELECT COUNT(*) FROM flights")[0][0], "0");
}
