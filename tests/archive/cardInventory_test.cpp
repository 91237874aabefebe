#include "archive/cardInventory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <cstdlib>
#include <cstring>

#include "archive/chainFixtures.h"
#include "core/sandbox.h"
#include "support/testSupport.h"

using Rows = std::vector<std::vector<std::string>>;

namespace {

class Inventory : public ::testing::Test {
protected:
    void SetUp() override {
        vt::makeDirs(card);
        cam.db = db.get();
        chain::createSchema(cam.db);
    }
    void touch(const std::string& name, const std::string& content = "x") { vt::writeFile(card + "/" + name, content); }
    std::string at(const std::string& name) const { return card + "/" + name; }
    Rows unknownPaths() { return chain::query(cam.db, "SELECT path FROM unknownFiles ORDER BY path"); }

    vt::TempDir dir;
    chain::Db db = chain::openDb(dir / "geodata.db");
    std::string card = dir / "card";
    CameraContext cam;
};

std::vector<std::string> paths(const FileNode* list) {
    std::vector<std::string> out;
    for (; list; list = list->next) out.push_back(list->path);
    return out;
}

} // namespace

TEST_F(Inventory, ExtensionMatchIgnoresCaseAndNeedsADot) {
    for (const char* name : {"IMG_0001.jpg", "y.JPG", "jpg", "noext", "x.jpeg", "z.jpg.bak", ".jpg"}) touch(name);
    EXPECT_EQ(getUnknownFiles(cam.db, card.c_str(), "JPG"), 3);
    EXPECT_EQ(unknownPaths(), (Rows{{at(".jpg")}, {at("IMG_0001.jpg")}, {at("y.JPG")}}));
}

TEST_F(Inventory, UnknownFilesAreReplacedOnEveryCallAndNeverListedAsNew) {
    for (const char* name : {"a.jpg", "b.jpg", "c.jpg"}) touch(name);
    chain::exec(cam.db, "INSERT INTO unknownFiles (path) VALUES('/gone/stale.jpg')");
    EXPECT_EQ(getUnknownFiles(cam.db, card.c_str(), "jpg"), 3);
    EXPECT_EQ(getUnknownFiles(cam.db, card.c_str(), "jpg"), 3);
    EXPECT_EQ(unknownPaths(), (Rows{{at("a.jpg")}, {at("b.jpg")}, {at("c.jpg")}}));

    touch("d.jpg");
    FileNode* files = getListFiles(cam.db, card.c_str(), "jpg");
    EXPECT_EQ(paths(files), std::vector<std::string>{at("d.jpg")});
    freeFileList(files);
}

TEST_F(Inventory, ArchivedFilesInAnyLetterCaseAreNeitherUnknownNorNew) {
    touch("IMG_0001.JPG");
    touch("it's.jpg");
    touch("fresh.jpg");
    chain::exec(cam.db, "INSERT INTO oldfiles (path, size, flightID) VALUES('" + dir.path() + "/CARD/img_0001.jpg', 1, 1)");
    chain::exec(cam.db, "INSERT INTO oldfiles (path, size, flightID) VALUES('" + dir.path() + "/card/IT''S.JPG', 1, 1)");
    EXPECT_EQ(anOldFile(cam.db, at("it's.jpg").c_str()), 1);
    EXPECT_EQ(anOldFile(cam.db, at("fresh.jpg").c_str()), 0);
    EXPECT_EQ(anOldFile(cam.db, "x' OR '1'='1"), 0);

    FileNode* files = getListFiles(cam.db, card.c_str(), "jpg");
    EXPECT_EQ(paths(files), std::vector<std::string>{at("fresh.jpg")});
    freeFileList(files);
    EXPECT_EQ(getUnknownFiles(cam.db, card.c_str(), "jpg"), 1);
    EXPECT_EQ(anUnknownFile(cam.db, at("FRESH.jpg").c_str()), 1);
}

TEST_F(Inventory, NewFilesAreSortedByPathWithoutRegardToCase) {
    touch("b.JPG", "bb");
    touch("A.jpg", "a");
    touch("c.jpg", "ccc");
    utimbuf times{1600000000, 1600000000};
    ASSERT_EQ(utime(at("A.jpg").c_str(), &times), 0);

    FileNode* files = getListFiles(cam.db, card.c_str(), "jpg");
    EXPECT_EQ(paths(files), (std::vector<std::string>{at("A.jpg"), at("b.JPG"), at("c.jpg")}));
    ASSERT_EQ(countFileList(files), 3);
    EXPECT_EQ(files->mtime, 1600000000);
    EXPECT_EQ(files->next->next->size, 3);
    freeFileList(files);
}

TEST_F(Inventory, EmptyOrMissingCardsGiveNoFiles) {
    EXPECT_EQ(getListFiles(cam.db, card.c_str(), "jpg"), nullptr);
    testing::internal::CaptureStdout();
    EXPECT_EQ(getListFiles(cam.db, (dir / "absent").c_str(), "jpg"), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "vorn-camera getLastFile failed to open directory(" + dir.path() + "/absent)\n");
    EXPECT_EQ(getUnknownFiles(cam.db, (dir / "absent").c_str(), "jpg"), 0);
    EXPECT_EQ(countFileList(nullptr), 0);
}

TEST_F(Inventory, OverlongPathsAreSkippedWithALogLine) {
    std::string longName = std::string(255 - card.size(), 'n') + ".jpg"; // card + "/" + name > 255 bytes
    touch(longName);
    touch("short.jpg");
    testing::internal::CaptureStdout();
    FileNode* files = getListFiles(cam.db, card.c_str(), "jpg");
    int unknown = getUnknownFiles(cam.db, card.c_str(), "jpg");
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(paths(files), std::vector<std::string>{at("short.jpg")});
    freeFileList(files);
    EXPECT_EQ(unknown, 1);
    EXPECT_NE(log.find("vorn-camera getListFiles skipping " + at(longName) + ": path longer than 255 bytes\n"),
              std::string::npos);
    EXPECT_NE(log.find("vorn-camera getUnknownFiles skipping " + at(longName)), std::string::npos);
}

TEST_F(Inventory, ShotListFollowsIdOrderAndReadsEveryColumn) {
    EXPECT_EQ(getListImages(cam.db), nullptr);
    chain::exec(cam.db, "INSERT INTO image (id, time, lat, lon, pitch, roll, yaw, heading, alt, size, path) VALUES"
                        "(9, 1700000000123, -336250000, 1510000000, -150, 275, 35999, 70000, -1500, 4096, 'x/IMG.JPG'),"
                        "(3, 5, 1, 2, 3, 4, 5, 6, 7, 0, NULL)");
    ImageNode* images = getListImages(cam.db);
    ASSERT_EQ(countImageList(images), 2);
    EXPECT_EQ(images->id, 3);
    EXPECT_STREQ(images->path, "");
    const ImageNode* n = images->next;
    EXPECT_EQ(n->id, 9);
    EXPECT_EQ(n->geo.time, 1700000000123);
    EXPECT_EQ(n->geo.lat, -336250000);
    EXPECT_EQ(n->geo.lon, 1510000000);
    EXPECT_EQ(n->geo.pitch, -150);
    EXPECT_EQ(n->geo.roll, 275);
    EXPECT_EQ(n->geo.yaw, 35999);
    EXPECT_EQ(n->geo.heading, 4464); // low 16 bits
    EXPECT_EQ(n->geo.alt, -1500);
    EXPECT_EQ(n->size, 4096);
    EXPECT_STREQ(n->path, "x/IMG.JPG");
    freeImageList(images);
}

TEST(DevicePresence, FindsTheFirstDeviceBelowTheRootAndKeepsIt) {
    vt::TempDir root;
    vt::makeDirs(root / "dev");
    vt::writeFile(root / "dev/sdc1", "");
    setenv("VORN_ROOT", root.path().c_str(), 1);
    sandboxInit();
    std::string pattern = sandboxPath("/dev/sd%c1");

    char device[256] = {};
    EXPECT_EQ(isDevicePresent(device, sizeof device, pattern.c_str()), 1);
    EXPECT_EQ(std::string(device), root / "dev/sdc1");
    EXPECT_EQ(isDevicePresent(device, sizeof device, pattern.c_str()), 1);

    std::remove((root / "dev/sdc1").c_str());
    vt::writeFile(root / "dev/sdd1", ""); // another letter is not searched while one is kept
    EXPECT_EQ(isDevicePresent(device, sizeof device, pattern.c_str()), 0);
    EXPECT_EQ(std::string(device), root / "dev/sdc1");

    char fresh[256] = {};
    std::remove((root / "dev/sdd1").c_str());
    EXPECT_EQ(isDevicePresent(fresh, sizeof fresh, pattern.c_str()), 0);
    EXPECT_EQ(fresh[0], '\0');
    EXPECT_EQ(exists(root.path().c_str()), 1);

    unsetenv("VORN_ROOT");
    sandboxInit();
}

TEST_F(Inventory, StoreFlightImagesArchivesExistingPathsAndNumbersFlights) {
    touch("kept.jpg", "12345");
    chain::exec(cam.db, "INSERT INTO image (time, path, size) VALUES(1, '" + at("kept.jpg") + "', 5), (2, '', 0),"
                        "(3, '" + at("gone.jpg") + "', 9)");
    std::memcpy(cam.missionID, "first", 6);
    cam.camType = CAMTYPE_NONE;
    EXPECT_EQ(storeFlightImages(&cam), 1); // empty oldfiles: flight 1
    EXPECT_EQ(chain::query(cam.db, "SELECT path, size, flightID FROM oldfiles"), (Rows{{at("kept.jpg"), "5", "1"}}));
    // Only the archived shot is done; the one without an image and the one whose image is gone stay.
    EXPECT_EQ(chain::query(cam.db, "SELECT time FROM image ORDER BY time"), (Rows{{"2"}, {"3"}}));

    // Two flights that archive nothing share the next number; the later row stays.
    EXPECT_EQ(storeFlightImages(&cam), 0);
    std::memcpy(cam.missionID, "third", 6);
    cam.flightTime = 77;
    EXPECT_EQ(storeFlightImages(&cam), 0);
    EXPECT_EQ(chain::query(cam.db, "SELECT flightID, missionID, camType, time FROM flights ORDER BY flightID"),
              (Rows{{"1", "first", "1", "0"}, {"2", "third", "1", "77"}}));
}
