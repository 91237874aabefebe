// The card inventory, the tagging pass and the flight's side files, on real SQLite, images and exiv2.
#include <gtest/gtest.h>

#include "archive/chainFixtures.h"
#include "archive/exifWriter.h"
#include "archive/filePairing.h"
#include "archive/flightExport.h"
#include "core/userMessage.h"
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
        FileNode* files = getListFiles(cam.db, card.c_str(), "jpg");
        for (const FileNode* f = files; f; f = f->next) names.push_back(f->path + card.size() + 1);
        return freeFileList(files), names;
    }
    // A driver's pass: the shots in id order paired with the card's new files, tagged and archived.
    int pass(const char* ext = "jpg", int convert = 0, int orientation = 6) {
        ImageNode* images = getListImages(cam.db);
        FileNode* files = getListFiles(cam.db, card.c_str(), ext);
        int archived = updatePairedImages(&cam, images, pairUpItemsPath(images, files), fc[1], convert, orientation);
        return freeImageList(images), freeFileList(files), archived;
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
    EXPECT_EQ(getUnknownFiles(cam.db, card.c_str(), "jpg"), 1);
    EXPECT_EQ(rows("SELECT path FROM unknownFiles"), (Rows{{at("before.jpg")}}));

    std::string fits = std::string(250 - card.size(), 'm') + ".jpg", tooLong = "n" + fits;  // paths of 255, 256 bytes
    const std::vector<std::string> fresh = {"\"q\" `touch pwned2`;\n.jpg", "$(touch pwned) it's.v2.jpg",
                                            "-dash & | > out.jpg", ".jpg", "a.jpg", "B.JPG", fits, "\xff.jpg"};
    for (const std::string& name : fresh) vt::writeFile(at(name), "");
    for (int i = 0; i < 2; ++i) chain::makeImage(at(fresh[i]));  // the third shot's file is no image
    for (const char* name : {"jpg", "noext", "x.jpeg", "z.jpg.bak", tooLong.c_str()}) vt::writeFile(at(name), "");
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
                        "(9, 1700000000123, -336250000, 1510000000, -150, 275, 35999, 70000, -1500, 4096, 'x.jpg')");
    ImageNode* images = getListImages(cam.db);
    ASSERT_EQ(countImageList(images), 2);
    const ImageNode& n = *images->next;
    EXPECT_EQ(std::vector<int64_t>({images->id, n.id, n.geo.time, n.geo.lat, n.geo.lon, n.geo.pitch, n.geo.roll,
                                    n.geo.yaw, n.geo.heading, n.geo.alt, n.size, *images->path, n.path[0]}),
              std::vector<int64_t>({3, 9, 1700000000123, -336250000, 1510000000, -150, 275, 35999, 4464, -1500, 4096,
                                    0, 'x'}));
    freeImageList(images);
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
        std::vector<ImageNode> shots(c.shotMs.size());
        std::vector<FileNode> files(c.fileSeconds.size());
        for (size_t i = 0; i < shots.size(); ++i) shots[i].id = i + 1, shots[i].geo.time = c.shotMs[i];
        for (size_t i = 1; i < shots.size(); ++i) shots[i - 1].next = &shots[i];
        for (size_t i = 0; i < files.size(); ++i) files[i] = {c.fileSeconds[i], 0, {}, files.data() + i + 1};
        files.back().next = nullptr;
        EXPECT_EQ(firstIntervalMismatch(&shots[0], &files[0]), c.mismatch) << c.name;
    }
}

// A pass whose rows cannot be written (a full disk) or committed (a reader holds the database) is
// rolled back whole: its shots stay, and the next pass pairs the same files again with the times
// the first read (tagging keeps them). A committed pass is final, even while its shots wait in
// image (their removal failed, or the power went): no pass pairs them again, no recovery calls
// them untagged.
TEST_F(Archive, APassThatCannotBeWrittenOrCommittedKeepsItsShotsForTheNext) {
    for (int i = 0; i < 3; ++i) chain::addShot(cam.db, {3000 * i, 100000000 + i * 10000000, 200000000, 0, 0});
    for (const char* name : {"a.jpg", "b.jpg"}) chain::makeImage(at(name));
    const std::string pictures = shellQuote(at("a.jpg")) + " " + shellQuote(at("b.jpg")); // 3 s apart, as the shots
    ASSERT_EQ(runShell("touch -d @5000 " + pictures + " && touch -d @5003 " + shellQuote(at("b.jpg"))), 0);
    rows("PRAGMA max_page_count = " + rows("PRAGMA page_count")[0][0]);
    for (std::string n : {"128", "32", "8", "2"})  // no page left for another archive row
        while (!sqlite3_exec(cam.db, ("INSERT INTO oldfiles (path) VALUES(randomblob(" + n + "))").c_str(), 0, 0, 0)) {}
    resetGroundWarnings(), setGroundWarningPipe(fc[1]);
    EXPECT_EQ(pass(), 0);
    auto sent = chain::drainMessages(fc[0]);
    ASSERT_EQ(sent.size(), 2u);  // no progress: the warning alone, as USER_MESSAGE and STATUSTEXT
    EXPECT_EQ(chain::statusTexts(sent), std::vector<std::string>{"tagging pass rolled back: database or disk is full"});

    rows("PRAGMA max_page_count = 1000000");
    chain::Db reader = chain::openDb("geodata.db");
    chain::exec(reader.get(), "BEGIN");
    ASSERT_EQ(chain::query(reader.get(), "SELECT COUNT(*) FROM image"), (Rows{{"3"}}));
    EXPECT_EQ(pass(), 0);
    EXPECT_EQ(chain::progressReports(chain::drainMessages(fc[0])), (Reports{{1, 2}, {2, 2}}));  // and no final one
    chain::exec(reader.get(), "COMMIT");

    EXPECT_EQ(pass(), 2);
    EXPECT_EQ(chain::progressReports(chain::drainMessages(fc[0])), (Reports{{1, 2}, {2, 2}, {2, 2}}));
    EXPECT_EQ(chain::commandLines("stat -c %Y " + pictures), (std::vector<std::string>{"5000", "5003"}));
    EXPECT_EQ(chain::exifTags(at("b.jpg"))["Exif.GPSInfo.GPSLatitude"], "11/1 0/1 0/10000");
    EXPECT_EQ(rows("SELECT COUNT(*) FROM oldfiles WHERE flightID = 1"), (Rows{{"2"}}));
    EXPECT_EQ(rows("SELECT id FROM image"), (Rows{{"3"}}));  // the shot without an image waits

    chain::exec(cam.db, "CREATE TRIGGER kept BEFORE DELETE ON image BEGIN SELECT RAISE(ABORT, 'kept'); END");
    chain::exec(cam.db, "INSERT INTO image (id, lat, path) VALUES(0, 0, '" + at("A.JPG") + "')"); // archived, first
    chain::makeImage(at("c.jpg"));
    EXPECT_EQ(pass(), 1);
    EXPECT_EQ(chain::exifTags(at("c.jpg"))["Exif.GPSInfo.GPSLatitude"], "12/1 0/1 0/10000");
    chain::exec(cam.db, "DROP TRIGGER kept");
    EXPECT_EQ(finishEarlierFlight(&cam, "preflight_none", card.c_str(), "jpg", "", fc[1]), 1);
    setGroundWarningPipe(-1);
    EXPECT_EQ(chain::progressReports(chain::drainMessages(fc[0])), (Reports{{1, 1}, {1, 1}}));  // and no warning
    EXPECT_EQ(rows("SELECT (SELECT COUNT(*) FROM untagged), COUNT(*) FROM image"), (Rows{{"0", "0"}}));
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
