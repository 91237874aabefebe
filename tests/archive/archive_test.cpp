// The card inventory, the tagging pass and the flight's side files, on real SQLite, images and exiv2.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <numeric>
#include <set>

#include "archive/exifWriter.h"
#include "archive/filePairing.h"
#include "archive/flightExport.h"
#include "archive/pictureTimes.h"
#include "archive/timePairing.h"
#include "core/database.h"
#include "core/userMessage.h"
#include "support/chainFixtures.h"
#include "support/testSupport.h"

using Rows = std::vector<std::vector<std::string>>;
using Reports = std::vector<chain::Progress>;

class Archive : public ::testing::Test {
protected:
    void SetUp() override { vt::makeDirs(card), chain::createSchema(cam.db = db.get()); ASSERT_EQ(pipe(fc), 0); }
    ~Archive() override { close(fc[0]), close(fc[1]); }
    std::string at(const std::string& name) const { return card + "/" + name; }
    Rows rows(const std::string& statement) { return chain::query(cam.db, statement); }
    std::vector<std::string> newFiles(std::vector<std::string> names = {}) {  // in the order they are paired
        FileList files = getListFiles(cam.db, card.c_str(), "jpg").value();
        for (const FileRecord& f : files) names.push_back(f.path.substr(card.size() + 1));
        return names;
    }
    // A driver's pass: the shots in id order paired with the card's new files, tagged and archived.
    int pass(const char* ext = "jpg", int convert = 0, int orientation = 6) {
        ImageList images = getListImages(cam.db).value();
        FileList files = getListFiles(cam.db, card.c_str(), ext).value();
        return updatePairedImages(&cam, images, pairUpItemsPath(images, files), fc[1], convert, orientation);
    }

    vt::TempDir dir;
    chain::WorkDir work{dir.path()};
    chain::Db db = chain::openDb("geodata.db");
    std::string card = dir / "card";
    CameraContext cam;
    int fc[2] = {-1, -1};
};

// Files there before the flight (one archived in another case) and other types are not the flight's;
// any other name is, whatever its bytes, if its path fits, and is tagged as it is. A file exiv2 cannot
// tag and the files beyond the shots stay new for the next pass.
TEST_F(Archive, TheFlightsNewFilesAreFoundWhateverTheirNamesAndTaggedInNameOrder) {
    for (const char* name : {"before.jpg", "IT'S.JPG"}) vt::writeFile(at(name), "x");
    chain::exec(cam.db, "INSERT INTO oldfiles (path, flightID) VALUES('" + dir.path() + "/CARD/it''s.jpg', 4)");
    chain::exec(cam.db, "INSERT INTO unknownFiles (path) VALUES('/gone/stale.jpg')");
    EXPECT_EQ(takePreflight(&cam, "preflight_none", card.c_str(), "jpg", "", -1), 1);
    EXPECT_EQ(rows("SELECT path FROM unknownFiles"), (Rows{{at("before.jpg")}}));

    const std::vector<std::string> fresh = {"\"q\" `touch pwned2`;\n.jpg", "$(touch pwned) it's.v2.jpg",
        "-dash & | > out.jpg", ".jpg", "a.jpg", "B.JPG", std::string(251, 'm') + ".jpg", "\xff.jpg"};  // longest name
    for (const std::string& name : fresh) vt::writeFile(at(name), "");
    for (int i = 0; i < 2; ++i) chain::makeImage(at(fresh[i]));  // the third shot's file is no image
    for (const char* name : {"jpg", "noext", "x.jpeg", "z.jpg.bak"}) vt::writeFile(at(name), "");
    EXPECT_EQ(newFiles(), fresh);

    for (int i = 0; i < 3; ++i) chain::addShot(cam.db, {1000000 + i * 2000, 300000000 + i * 10000000, 0, 0, 0});
    EXPECT_EQ(pass(), 2);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(chain::exifTags(at(fresh[i]))["Exif.GPSInfo.GPSLatitude"], std::to_string(30 + i) + "/1 0/1 0/10000");
    for (const std::string& d : {dir.path(), card})
        for (const char* stray : {"pwned", "pwned2", "out"}) EXPECT_FALSE(vt::fileExists(d + "/" + stray)) << stray;
    EXPECT_EQ(chain::progressReports(chain::drainMessages(fc[0])), (Reports{{1, 3}, {2, 3}, {3, 3}}));
    EXPECT_EQ(chain::query(chain::openDb("geodone.db").get(), "SELECT COUNT(*) FROM oldfiles WHERE flightID = 5"),
              (Rows{{"2"}}));
    EXPECT_EQ(newFiles(), std::vector<std::string>(fresh.begin() + 2, fresh.end()));
}

TEST_F(Archive, ShotsAreReadWithEveryColumn) {
    chain::exec(cam.db, "INSERT INTO image VALUES(3, 0, 0, 0, 0, 0, 0, 0, 0, 0, NULL),"
                        "(9, 1700000000123, -336250000, 1510000000, -150, 275, 35999, 70000, -1500, 5000000000, "
                        "'x.jpg')");
    ImageList images = getListImages(cam.db).value();
    ASSERT_EQ(images.size(), 2u);
    const ImageRecord& n = images[1];
    EXPECT_EQ(std::vector<int64_t>({images[0].id, n.id, n.geo.time, n.geo.lat, n.geo.lon, n.geo.pitch, n.geo.roll,
                                    n.geo.yaw, n.geo.heading, n.geo.alt, n.size}),
              std::vector<int64_t>({3, 9, 1700000000123, -336250000, 1510000000, -150, 275, 35999, 4464, -1500,
                                    5000000000}));
    EXPECT_EQ(images[0].path + "|" + n.path, "|x.jpg");
}

TEST(PairingIntervals, FirstShotWhereShotAndFileTimesPart) {
    struct Case { const char* name; std::vector<int64_t> shotMs; std::vector<int32_t> fileSeconds; int mismatch; };
    for (const Case& c : std::vector<Case>{
        {"missed picture at shot 3", {0, 3000, 6000, 9000, 12000}, {101, 104, 110, 113}, 3},
        {"extra picture after shot 2", {0, 3000, 6000, 9000}, {101, 104, 105, 107}, 3},
        {"written as late as a camera may", {0, 2500, 5500}, {101, 102, 105}, 0},
        {"written later than a camera may", {0, 2501, 5501}, {101, 102, 105}, 2},
             // Taken at 100.0, 103.9, 106.0 and 109.9 s, kept by a FAT card in steps of two seconds.
        {"two-second file times", {0, 3900, 6000, 9900}, {100, 102, 106, 108}, 0},
             {"files copied onto the card", {0, 2000, 4000, 6000}, {500, 500, 501, 501}, 0}}) {
        ImageList shots(c.shotMs.size());
        FileList files;
        for (size_t i = 0; i < shots.size(); ++i) shots[i].id = i + 1, shots[i].geo.time = c.shotMs[i];
        for (int32_t seconds : c.fileSeconds) files.push_back({seconds, 0, ""});
        EXPECT_EQ(firstIntervalMismatch(shots, files), c.mismatch) << c.name;
    }
}

// Shots and pictures paired by their times: each case's camera misses shots and adds pictures; the
// pairs, misses (-) and ambiguous shots (?) expected, and never a picture given to another shot.
TEST(TimePairing, MissesAndExtrasFoundWhateverTheCameraClockAndNothingGuessed) {
    struct Case {
        const char* name;
        int shots;
        int64_t varyMs; // shots 4.5 s apart, give or take this much, and a 20 s turn before every fifth
                        // (0: evenly spaced, no turn)
        std::set<int> missed, dense; // pictures the camera missed; shots 1 s after the one before
        std::vector<std::pair<int, int64_t>> extras; // a picture this long after that shot
        int64_t clockMs, resolutionMs;
        const char* expected; // per shot: its picture's index, - or ?
    };
    const int64_t offClock = (3 * 60 + 17) * 60000 + 412;
    for (const Case& c : std::vector<Case>{
             {"every picture", 6, 300, {}, {}, {}, 250, 1000, "0 1 2 3 4 5"},
             {"miss at the start", 6, 300, {0}, {}, {}, 250, 1000, "- 0 1 2 3 4"},
             {"miss in the middle", 6, 300, {3}, {}, {}, 250, 1000, "0 1 2 - 3 4"},
             {"miss at the end", 6, 300, {5}, {}, {}, 250, 1000, "0 1 2 3 4 -"},
             {"miss at the end of evenly spaced shots", 6, 0, {5}, {}, {}, 250, 1000, "? ? ? ? ? ?"},
             {"two misses in a row", 7, 300, {2, 3}, {}, {}, 250, 1000, "0 1 - - 2 3 4"},
             {"extra at the start", 5, 300, {}, {}, {{0, -60000}}, 250, 1000, "1 2 3 4 5"},
             {"extra in the middle", 5, 300, {}, {}, {{2, 2200}}, 250, 1000, "0 1 2 4 5"},
             {"a miss and an extra", 6, 300, {1}, {}, {{3, 2200}}, 250, 1000, "0 - 1 2 4 5"},
             {"camera clock 3 h 17 min off", 6, 300, {2}, {}, {}, offClock, 1000, "0 1 - 2 3 4"},
             {"two-second file times", 6, 300, {4}, {}, {}, -600, 2000, "0 1 2 3 - 4"},
             {"one-second shots, two-second times, a miss", 12, 300, {6}, {4, 5, 6, 7, 8}, {}, 250, 2000,
              "0 1 2 3 4 5 ? ? ? 8 9 10"}}) {
        std::vector<int64_t> shotMs, fileMs;
        std::vector<int> truth; // the shot each picture belongs to, -1 for an extra
        for (int64_t k = 0, at = 0; k < c.shots; ++k) {
            const int64_t vary = c.varyMs ? (k * k * 7919 + 13 * k) % (2 * c.varyMs + 1) - c.varyMs : 0;
            at += k == 0 ? 0 : c.dense.count(k) ? 1000 : 4500 + vary + (c.varyMs && k % 5 == 0 ? 20000 : 0);
            shotMs.push_back(1700000000000 + at);
            if (!c.missed.count(k)) fileMs.push_back(shotMs.back() + c.clockMs + (k * 137) % 300), truth.push_back(k);
        }
        for (auto [shot, after] : c.extras) fileMs.push_back(shotMs[shot] + c.clockMs + after), truth.push_back(-1);
        std::vector<size_t> order(fileMs.size());
        std::iota(order.begin(), order.end(), 0);
        std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return fileMs[a] < fileMs[b]; });
        std::vector<int64_t> times;
        std::vector<int> owner;
        for (size_t k : order) times.push_back(fileMs[k] - fileMs[k] % c.resolutionMs), owner.push_back(truth[k]);
        TimePairing p = pairByTime(shotMs, times, c.resolutionMs, 500);
        std::string got;
        for (int k = 0; k < c.shots; ++k) {
            got += (k ? " " : "") + (p.shots[k] == Fate::Paired ? std::to_string(p.fileOfShot[k])
                                                                 : p.shots[k] == Fate::Unmatched ? "-" : "?");
            if (p.shots[k] == Fate::Paired) {
                EXPECT_EQ(owner[p.fileOfShot[k]], k) << c.name << ": shot " << k;
            }
        }
        EXPECT_EQ(got, c.expected) << c.name;
        for (size_t j = 0; j < times.size(); ++j)
            EXPECT_EQ(p.files[j] == Fate::Unmatched, owner[j] < 0) << c.name << ": picture " << j;
    }
}

// As many pictures as shots, but the camera missed the third shot and took a picture of its own
// between: the pass pairs by time, leaves the extra picture as it was, lists it in the flight's
// files untagged, and the ground hears it before any tagging.
TEST_F(Archive, AMissAndAnExtraInOneFlightArePairedByTimeThroughThePass) {
    for (auto [name, seconds] : std::vector<std::pair<std::string, int>>{{"p1.jpg", 100}, {"p2.jpg", 105}, {"p3.jpg", 107}}) {
        chain::makeImage(at(name));
        runShell("touch -d @" + std::to_string(seconds) + " " + shellQuote(at(name)));
    }
    const std::string extra = vt::readFile(at("p3.jpg"));
    for (int k : {0, 5, 15}) chain::addShot(cam.db, {100000 + k * 1000, (30 + k) * 10000000, 0, 0, 0});
    resetGroundWarnings(), setGroundWarningPipe(fc[1]);
    EXPECT_EQ(pairAndTagFlight(&cam, "postflight_none", card.c_str(), "jpg", "", fc[1]), 0);
    setGroundWarningPipe(-1);
    EXPECT_EQ(chain::statusTexts(chain::drainMessages(fc[0])),
              std::vector<std::string>{"flight 1: shot 3 missed; 1 extra; paired by time"});
    for (auto [name, degrees] : std::vector<std::pair<std::string, int>>{{"p1.jpg", 30}, {"p2.jpg", 35}})
        EXPECT_EQ(chain::exifTags(at(name))["Exif.GPSInfo.GPSLatitude"], std::to_string(degrees) + "/1 0/1 0/10000");
    EXPECT_TRUE(vt::readFile(at("p3.jpg")) == extra);
    EXPECT_EQ(rows("SELECT id, reason FROM image JOIN unpaired ON shotID = id"), (Rows{{"3", "no picture for this shot"}}));
    EXPECT_EQ(chain::parsedSideFiles("flights/1")[0], "p3.jpg|||||False");
}

// Two flights, the first with a shot whose picture the camera missed, while each write of the chain
// fails in turn: another program holding the write lock, a trigger that raises, no page left, a
// refused commit. No transaction is ever left open, the failure is logged and, where the crew must
// act, warned; a committed pass is final even while its rows wait in image. Once the fault is gone
// (a preflight not recorded is taken again, as the warning asks) every picture carries its own
// shot's position under its own flight and mission, and the missed shot is kept in untagged under
// its own flight. A reader holding a read transaction costs nothing.
TEST_F(Archive, EachWriteOfTheChainFailingInTurnLosesNoShotAndPairsNoneWithAnotherFlightsPicture) {
    auto fillUp = [](sqlite3* db) { // no page left for another archive row
        chain::exec(db, "PRAGMA max_page_count = 1");
        for (std::string n : {"128", "32", "8", "2"})
            while (!sqlite3_exec(db, ("INSERT INTO oldfiles (path) VALUES(randomblob(" + n + "))").c_str(), 0, 0, 0)) {}
    };
    struct Case { const char* name; std::string steps, install, remove, logged, warned; };
    const Case cases[] = {
        {"nothing fails", "", "", "", "", ""},
        {"a reader during the pass", "postflight 1", "BEGIN; SELECT COUNT(*) FROM image", "", "", ""},
        {"writer at the file list", "preflight 1", "BEGIN IMMEDIATE", "", "getUnknownFiles sqlite3_exec(BEGIN "
            "IMMEDIATE TRANSACTION) failed, rc=5", "preflight not recorded: database is locked"},
        {"writer at the pass", "postflight 1", "BEGIN IMMEDIATE", "", "pictureTimes sqlite3_exec(BEGIN "
            "IMMEDIATE TRANSACTION) failed, rc=5", "tagging pass rolled back: database is locked"},
        {"no page left", "postflight 1", "", "", "updatePairedImages update() failed, rc=13",
            "tagging pass rolled back: database or disk is full"},
        {"flights row", "postflight 1", "CREATE TRIGGER fault BEFORE INSERT ON flights BEGIN SELECT RAISE(ABORT, "
            "'no'); END", "DROP TRIGGER fault", "updatePairedImages stmt(INSERT OR REPLACE INTO flights",
            "tagging pass rolled back: constraint failed"},
        {"commit", "postflight 1", "PRAGMA foreign_keys = ON; CREATE TABLE parent (id INTEGER PRIMARY KEY); CREATE "
            "TABLE child (p REFERENCES parent DEFERRABLE INITIALLY DEFERRED); CREATE TRIGGER fault AFTER INSERT ON "
            "flights BEGIN INSERT INTO child VALUES (1); END", "DROP TRIGGER fault; PRAGMA foreign_keys = OFF",
            "updatePairedImages sqlite3_exec(END TRANSACTION) failed, rc=19",
            "tagging pass rolled back: constraint failed"},
        {"removal of archived shots", "postflight 1, preflight 2", "CREATE TRIGGER fault BEFORE DELETE ON image "
            "WHEN OLD.path <> '' BEGIN SELECT RAISE(ABORT, 'kept'); END", "DROP TRIGGER fault",
            "storeFlightImages sqlite3_exec(DELETE FROM image WHERE path IN (SELECT path FROM oldfiles)) failed", ""},
        {"move to untagged", "preflight 2", "CREATE TRIGGER fault BEFORE INSERT ON untagged BEGIN SELECT RAISE("
            "ABORT, 'no'); END", "DROP TRIGGER fault", "could not move shots to table untagged",
            "preflight not recorded: earlier shots kept"},
        {"card not mounted", "preflight 2", "", "", "preflight_none card not mounted: the earlier shots and the "
            "card's file list stay", "card not mounted: preflight not done"}};
    const std::string cardless = "card not mounted";
    for (const Case& c : cases) {
        bool noCard = false;
        vt::TempDir caseDir;
        chain::WorkDir caseWork{caseDir.path()};
        card = caseDir / "card", vt::makeDirs(card);
        chain::Db own(openGeotagDatabase("geodata.db")), other = chain::openDb("geodata.db");
        chain::createSchema(cam.db = own.get());
        chain::makeImage(at("old.jpg"));
        const std::string old = vt::readFile(at("old.jpg"));
        resetGroundWarnings(), setGroundWarningPipe(fc[1]);
        vt::StdoutCapture log;
        auto step = [&](const std::string& name, const std::function<int()>& run) {
            const bool faulty = c.steps.find(name) != std::string::npos, sqlFault = c.name != cardless;
            sqlite3* on = c.install.rfind("BEGIN", 0) == 0 ? other.get() : cam.db;
            if (faulty && c.name == std::string("no page left")) fillUp(cam.db);
            else if (faulty && sqlFault) chain::exec(on, c.install);
            noCard = faulty && !sqlFault;
            int result = run();
            if (faulty && sqlFault) chain::exec(on, c.install.rfind("BEGIN", 0) == 0 ? "ROLLBACK" : c.remove.empty() ?
                                                "PRAGMA max_page_count = 1000000" : c.remove);
            EXPECT_TRUE(sqlite3_get_autocommit(cam.db)) << c.name << ": open after " << name;
            return result;
        };
        auto fly = [&](int n, const char* mission, std::vector<std::string> pictures, int shots) {
            std::snprintf(cam.missionID, sizeof cam.missionID, "%s", mission);
            auto preflight = [&] {
                return takePreflight(&cam, "preflight_none", noCard ? nullptr : card.c_str(), "jpg", "", fc[1]);
            };
            // Taken again when warned, as the warning asks, unless the card will not come.
            if (step("preflight " + std::to_string(n), preflight) < 0 && !noCard) preflight();
            for (int k = 0; k < shots; ++k)
                chain::addShot(cam.db, {n * 100000 + (k + k / 3) * 3000, (n * 10 + k) * 10000000, 0, 0, 0}); // a turn
            for (size_t k = 0; k < pictures.size(); ++k) {
                chain::makeImage(at(pictures[k]));
                runShell("touch -d @" + std::to_string(n * 100 + k * 3) + " " + shellQuote(at(pictures[k])));
            }
            step("postflight " + std::to_string(n),
                 [&] { return pairAndTagFlight(&cam, "postflight_none", card.c_str(), "jpg", "", fc[1]); });
        };
        fly(1, "one", {"a.jpg", "b.jpg", "c.jpg"}, 4);
        fly(2, "two", {"d.jpg", "e.jpg"}, 2);
        fly(3, "three", {}, 0);
        setGroundWarningPipe(-1);

        EXPECT_TRUE(c.logged.empty() || log.has("vorn-camera " + c.logged)) << c.name;
        std::vector<std::string> warned = chain::statusTexts(chain::drainMessages(fc[0])), expected = {
            "1 shots not tagged: kept in table untagged", "flight 1: shot 4 missed; paired by time"};
        if (!c.warned.empty()) expected.push_back(c.warned);
        std::sort(warned.begin(), warned.end()), std::sort(expected.begin(), expected.end());
        EXPECT_EQ(warned, expected) << c.name;
        const std::pair<const char*, int> latitudes[] = {{"a", 10}, {"b", 11}, {"c", 12}, {"d", 20}, {"e", 21}};
        for (const auto& [name, degrees] : latitudes)
            EXPECT_EQ(chain::exifTags(at(name + std::string(".jpg")))["Exif.GPSInfo.GPSLatitude"],
                      std::to_string(degrees) + "/1 0/1 0/10000") << c.name << ": " << name;
        EXPECT_TRUE(vt::readFile(at("old.jpg")) == old) << c.name;
        EXPECT_EQ(rows("SELECT flightID, missionID, (SELECT GROUP_CONCAT(SUBSTR(path, -5)) FROM oldfiles o WHERE "
                       "o.flightID = f.flightID) FROM flights f ORDER BY flightID"),
                  (Rows{{"1", "one", "a.jpg,b.jpg,c.jpg"}, {"2", "two", "d.jpg,e.jpg"}})) << c.name;
        EXPECT_EQ(rows("SELECT shotID, flightID, reason, (SELECT COUNT(*) FROM image) FROM untagged"),
                  (Rows{{"4", "1", "no picture for this shot", "0"}})) << c.name;
    }
}

// A Kernel camera's TIFF becomes a JPEG carrying the TIFF's EXIF block, archived by its new name.
TEST_F(Archive, TiffIsConvertedToAJpegKeepingItsExif) {
    setenv("TZ", "EST5", 1), tzset();  // the date is written in local time
    chain::makeImage(at("IMG_0001.tiff"));
    ASSERT_EQ(runShell("exiv2 -M'set Exif.Image.Make VornTest' " + shellQuote(at("IMG_0001.tiff"))), 0);
    chain::addShot(cam.db, {1700000000123, -336250000, -1224194000, -500, -1500});
    EXPECT_EQ(pass("tiff", 1, 3), 1);
    auto tags = chain::exifTags(at("IMG_0001.JPG"));
    for (const auto& [key, value] : std::map<std::string, std::string>{
             {"Image.Make", "VornTest"}, {"Image.Orientation", "3"}, {"Photo.DateTimeOriginal", "2023:11:14 17:13:20"},
             {"GPSInfo.GPSLatitude", "33/1 37/1 300000/10000"}, {"GPSInfo.GPSLatitudeRef", "S"},
             {"GPSInfo.GPSLongitude", "122/1 25/1 98400/10000"}, {"GPSInfo.GPSLongitudeRef", "W"},
             {"GPSInfo.GPSAltitude", "1500/1000"}, {"GPSInfo.GPSAltitudeRef", "1"}, {"GPSInfo.GPSTrack", "35500/100"}})
        EXPECT_EQ(tags["Exif." + key], value) << key;
    EXPECT_FALSE(vt::fileExists(at("IMG_0001.exv")));
    EXPECT_EQ(rows("SELECT path FROM oldfiles"), (Rows{{at("IMG_0001.JPG")}}));
}

// A JPEG and a TIFF tagged as they are carry the tags photogrammetry reads, as an independent reader
// (exiftool) sees them: the GPS block's version and datum, the shot's UTC date and time, the track's
// and image direction's references, the attitude in the Camera XMP namespace, and the position.
TEST_F(Archive, PhotogrammetryTagsReadBackByAnIndependentReader) {
    // The camera's own time of a picture, for pairing by time: none without DateTimeOriginal.
    const std::string own = dir / "own.jpg";
    chain::makeImage(own);
    EXPECT_FALSE(exifTakenMs(own));
    runShell("exiv2 -M'set Exif.Photo.DateTimeOriginal 2023:11:14 22:13:20' -M'set Exif.Photo.SubSecTimeOriginal 12' " +
             shellQuote(own));
    EXPECT_EQ(exifTakenMs(own), std::make_pair(int64_t{1700000000120}, int64_t{10}));
    for (const std::string ext : {"jpg", "tiff"}) {
        chain::makeImage(at("IMG_0001." + ext));
        chain::exec(cam.db, "INSERT INTO image (time, lat, lon, pitch, roll, yaw, heading, alt, size, path) "
                            "VALUES(1700000000123, -336250000, -1224194000, -1525, 250, -500, 0, 704250, 0, '')");
        ASSERT_EQ(pass(ext.c_str()), 1) << ext;
        EXPECT_EQ(chain::commandLines("exiftool -n -T -GPSVersionID -GPSMapDatum -GPSDateStamp -GPSTimeStamp "
                                      "-GPSTrackRef -GPSTrack -GPSImgDirectionRef -GPSImgDirection -XMP-Camera:Yaw "
                                      "-XMP-Camera:Pitch -XMP-Camera:Roll -GPSLatitude -GPSLongitude -GPSAltitude " +
                                      shellQuote(at("IMG_0001." + ext))),
                  std::vector<std::string>{"2 3 0 0\tWGS-84\t2023:11:14\t22:13:20.123\tT\t355\tT\t355\t-5.00\t-15.25\t"
                                           "2.50\t-33.625\t-122.4194\t704.25"}) << ext;
    }
}

// Card names and the mission id may hold quotes, separators, line breaks, control characters, bad UTF-8:
// the files still parse, texts intact; blank-separated geo.txt leaves such names out, other UTF-8 ones in.
TEST_F(Archive, HostileTextsComeOutEscapedAndEveryFileStillParses) {
    const GeoData geo{1700000000123, -353632621, 1491652374, -120, 85, 18000, 704250, 0};
    const std::string plain = "\xc2\xb0\xf0\x9f\x98\x80" + std::string(240, 'n') + ".jpg";
    const std::string json = "|149.1652374|-35.3632621|704.25|180.0|True";
    ASSERT_TRUE(exportFlight({7, "m\"1,\nx\x1f", CAMTYPE_SURVEY3},
                             {{"IMG \"a\",\nb.jpg", true, geo, true}, {"\"\xff\xfe" "bad.jpg", true, geo, true},
                              {plain, true, geo, true}, {"RGB/IMG_00001.jpg", false, GeoData{}, false}}, {}));
    const std::string flight = "|7|m\"1,\\nx\x1f|2", bad = "\"\xef\xbf\xbd\xef\xbf\xbd" "bad.jpg";
    const std::string csv = "|2023-11-14T22:13:20.123Z|-35.3632621|149.1652374|704.250|180.00|-1.20|0.85|true" + flight;
    EXPECT_EQ(chain::parsedSideFiles("flights/7"), std::vector<std::string>({
        "IMG \"a\",\\nb.jpg" + json, bad + json, plain + json, "RGB/IMG_00001.jpg|||||False",
        "csv:image|time|latitude|longitude|altitude|yaw|pitch|roll|tagged|flight|missionID|camType",
        "csv:IMG \"a\",\\nb.jpg" + csv, "csv:" + bad + csv, "csv:" + plain + csv,
        "csv:RGB/IMG_00001.jpg||||||||false" + flight, "props:" + flight.substr(1)}));
    EXPECT_EQ(vt::readFile("flights/7/geo.txt"), "EPSG:4326\n" + plain + " 149.1652374 -35.3632621 704.250\n");
    // A retry writes the flight's files again from those it reads back: nothing changes.
    const std::string written = vt::readFile("flights/7/shots.csv");
    ASSERT_TRUE(exportFlight({7, "m\"1,\nx\x1f", CAMTYPE_SURVEY3}, exportedShots(7), {}));
    EXPECT_EQ(vt::readFile("flights/7/shots.csv"), written);
}

// A picture is replaced only by its complete tagged version. No room on the card for it, a tagging
// cut short (the writer killed half way through the tagged copy, as by a power cut) and a tagged
// version that came out smaller leave the picture as it was, with honest counts and the warning.
class PictureFaults : public Archive, public ::testing::WithParamInterface<std::string> {
protected:
    // "original": byte for byte as made; "tagged": decodes whole with its shot's latitude.
    std::string state(const std::string& name, int shot) {
        if (vt::readFile(at(name)) == made[name]) return "original";
        std::string latitude = chain::exifTags(at(name))["Exif.GPSInfo.GPSLatitude"];
        bool decodes = !runShell("identify -regard-warnings " + shellQuote(at(name)) + " >/dev/null 2>&1");
        return decodes && latitude == std::to_string(40 + shot) + "/1 0/1 0/10000" ? "tagged" : "damaged";
    }
    std::string states() { return state("a.jpg", 0) + " " + state("b.jpg", 1) + " " + state("c.jpg", 2); }
    std::map<std::string, std::string> made;
};

TEST_P(PictureFaults, ThePictureStaysAsItWasOrBecomesItsWholeTaggedVersion) {
    const std::string fault = GetParam();
    vt::SmallDisk disk(card, "4m");
    if (fault == "cardFull" && !disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    if (fault != "cardFull") disk.unmount();
    chain::makeImage(at("a.jpg")), chain::makeImage(at("c.jpg"));
    chain::makeImage(at("b.jpg"), "900x700", "gray +noise Random"); // about 1 MB: no room for it on the full card
    if (fault == "shrinksInTagging") { // a camera that pads its EXIF block, which tagging rewrites without
        ASSERT_EQ(runShell("exiv2 -M'set Exif.Image.Make Padded' " + shellQuote(at("b.jpg"))), 0);
        std::string b = vt::readFile(at("b.jpg"));
        size_t app1 = b.find("\xff\xe1"), length = (uint8_t(b[app1 + 2]) << 8 | uint8_t(b[app1 + 3])) + 30000;
        b.insert(app1 + length + 2 - 30000, 30000, '\0').replace(app1 + 2, 2, {char(length >> 8), char(length)});
        vt::writeFile(at("b.jpg"), b);
    }
    for (const char* name : {"a.jpg", "b.jpg", "c.jpg"}) made[name] = vt::readFile(at(name));
    for (int i = 0; i < 3; ++i) chain::addShot(cam.db, {1000000 + i * 2000, 400000000 + i * 10000000, 0, 0, 0});
    resetGroundWarnings(), setGroundWarningPipe(fc[1]);
    if (fault == "cardFull") { // room for the small pictures' tagged versions, not for the large one's
        size_t room = taggingRoomMargin + made["b.jpg"].size() / 2;
        vt::writeFile(at("filler"), std::string(std::filesystem::space(card).available - room, 'f'));
    } else if (fault == "cutShort") { // the first pass killed half way through b's tagged version
        const off_t limit = made["b.jpg"].size() / 2;
        auto cutPass = [&] { chain::Db own = chain::openDb("geodata.db"); cam.db = own.get(), pass(); }; // its own
        EXPECT_EQ(vt::killedWhenWriting(limit, cutPass), SIGXFSZ);
        EXPECT_EQ(states(), "tagged original original");
        ASSERT_EQ(vt::readFile(at(taggingTempName)).size(), static_cast<size_t>(limit)); // cut inside the write
    }
    const bool cut = fault == "cutShort";
    EXPECT_EQ(pass(), cut ? 3 : 2);
    EXPECT_EQ(states(), cut ? "tagged tagged tagged" : "tagged original tagged");
    std::vector<std::string> warned = {"flight 1: 2 of 3 images tagged, 1 kept for retry"};
    if (fault == "cardFull") warned.insert(warned.begin(), "card full: 2 of 3 images tagged");
    EXPECT_EQ(chain::statusTexts(chain::drainMessages(fc[0])), cut ? std::vector<std::string>() : warned);
    setGroundWarningPipe(-1);
    EXPECT_FALSE(vt::fileExists(at(taggingTempName)));
    EXPECT_EQ(rows("SELECT COUNT(*) FROM oldfiles"), (Rows{{cut ? "3" : "2"}}));
    // The flight's files go to the card only while the card the pass used is still there.
    CardTarget target = cardAt(card);
    disk.unmount();
    EXPECT_TRUE(exportFlight({1, "m", CAMTYPE_SURVEY3}, {}, target));
    EXPECT_EQ(vt::fileExists(at("vorn")), fault != "cardFull"); // the same directory all along unless unmounted
}

INSTANTIATE_TEST_SUITE_P(Archive, PictureFaults, ::testing::Values("cardFull", "cutShort", "shrinksInTagging"),
                         [](const auto& info) { return info.param; });
