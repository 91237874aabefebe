#include "archive/flightExport.h"

#include <gtest/gtest.h>

#include "archive/chainFixtures.h"
#include "support/testSupport.h"

// Names from the card and the ground's mission id may hold quotes, separators, line breaks,
// control characters and bytes that are not UTF-8: the files must still parse, with the texts
// intact, and geo.txt, whose fields are separated by blanks, leaves such names out.
TEST(FlightExport, HostileTextsComeOutEscapedAndEveryFileStillParses) {
    vt::TempDir dir;
    chain::WorkDir work{dir.path()};
    const GeoData at{1700000000123, -353632621, 1491652374, -120, 85, 18000, 704250, 0};
    const ExportedFlight flight{7, "m\"1,\nx\x01", CAMTYPE_SURVEY3};
    const std::vector<ExportedShot> shots = {
        {"IMG \"a\",\nb.jpg", true, at, true},
        {"IMG_0002.jpg", true, {at.time + 2500, -353628130, 1491652374, 0, 0, -9000, 705000, 0}, false},
        {"plain.jpg", true, at, true},
        {"\xff\xfe" "bad.jpg", true, at, true},
        {"RGB/IMG_00001.jpg", false, GeoData{}, false}, // an archived image without a shot
    };
    ASSERT_TRUE(exportFlight(flight, shots, dir / "card"));

    const std::vector<std::string> expected = {
        "IMG \"a\",\\nb.jpg|149.1652374|-35.3632621|704.25|180.0|True",
        "IMG_0002.jpg|149.1652374|-35.362813|705.0|-90.0|False",
        "plain.jpg|149.1652374|-35.3632621|704.25|180.0|True",
        "\xef\xbf\xbd\xef\xbf\xbd" "bad.jpg|149.1652374|-35.3632621|704.25|180.0|True",
        "RGB/IMG_00001.jpg|||||False",
        "csv:image|time|latitude|longitude|altitude|yaw|pitch|roll|tagged|flight|missionID|camType",
        "csv:IMG \"a\",\\nb.jpg|2023-11-14T22:13:20.123Z|-35.3632621|149.1652374|704.250|180.00|-1.20|0.85|true|7|"
        "m\"1,\\nx\x01|2",
        "csv:IMG_0002.jpg|2023-11-14T22:13:22.623Z|-35.3628130|149.1652374|705.000|-90.00|0.00|0.00|false|7|"
        "m\"1,\\nx\x01|2",
        "csv:plain.jpg|2023-11-14T22:13:20.123Z|-35.3632621|149.1652374|704.250|180.00|-1.20|0.85|true|7|m\"1,\\nx\x01|2",
        "csv:\xef\xbf\xbd\xef\xbf\xbd" "bad.jpg|2023-11-14T22:13:20.123Z|-35.3632621|149.1652374|704.250|180.00|-1.20|0.85|true|7|"
        "m\"1,\\nx\x01|2",
        "csv:RGB/IMG_00001.jpg||||||||false|7|m\"1,\\nx\x01|2",
        "props:7|m\"1,\\nx\x01|2",
    };
    EXPECT_EQ(chain::parsedSideFiles("flights/7"), expected);
    EXPECT_EQ(vt::readFile("flights/7/geo.txt"), "EPSG:4326\nplain.jpg 149.1652374 -35.3632621 704.250\n");
    for (const char* name : {"shots.geojson", "shots.csv", "geo.txt"}) {
        EXPECT_EQ(vt::readFile(dir / "card/vorn/flight-7/" + std::string(name)), vt::readFile("flights/7/" + std::string(name)))
            << name;
        EXPECT_FALSE(vt::fileExists("flights/7/" + std::string(name) + ".tmp")) << name;
    }
}
