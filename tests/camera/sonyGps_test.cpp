// The Sony GPS feed: conversion of positions, altitude and time into the record, and the
// non-blocking write of whole records to a real FIFO.
#include "camera/sonyGps.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "core/sandbox.h"
#include "support/testSupport.h"

namespace {

// Runs with VORN_ROOT pointing at a fresh directory holding /var/run.
class SonyGpsFeed : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("VORN_ROOT", root.path().c_str(), 1);
        sandboxInit();
        vt::makeDirs(root / "var/run");
    }
    void TearDown() override {
        unsetenv("VORN_ROOT");
        sandboxInit();
    }
    std::string fifoPath() const { return root / "var/run/vornSonyGPSMsg.fifo"; }

    vt::TempDir root;
};

// Sets the local time zone for one test.
class LocalZone {
public:
    explicit LocalZone(const char* tz) {
        const char* old = getenv("TZ");
        hadOld_ = old != nullptr;
        if (old) old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~LocalZone() {
        if (hadOld_) setenv("TZ", old_.c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }

private:
    bool hadOld_ = false;
    std::string old_;
};

} // namespace

TEST(SonyGeoRecordFill, ResetKeepsOnlyTheHeaderWords) {
    SonyGeoRecord rec;
    std::memset(&rec, 0x5A, sizeof rec);
    initialize_SonyGeo(&rec);
    EXPECT_EQ(rec.header1, 1);
    EXPECT_EQ(rec.header2, 1);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&rec);
    for (size_t i = 8; i < sizeof rec; ++i) ASSERT_EQ(bytes[i], 0) << "byte " << i;
}

TEST(SonyGeoRecordFill, PositionsBecomeDegreesMinutesSecondsWithOppositeReferenceSenses) {
    SonyGeoRecord rec;
    initialize_SonyGeo(&rec);
    SonyGeo_Put_Lat(&rec, 327531234);
    EXPECT_EQ(rec.latRef, 0);
    EXPECT_EQ(rec.latDeg, 32);
    EXPECT_EQ(rec.latMin, 45);
    EXPECT_EQ(rec.latSec, 1124423);
    EXPECT_EQ(rec.latSecDiv, 100000);

    SonyGeo_Put_Lat(&rec, -327531234); // south
    EXPECT_EQ(rec.latRef, 1);
    EXPECT_EQ(rec.latDeg, 32);
    EXPECT_EQ(rec.latMin, 45);

    SonyGeo_Put_Lon(&rec, -1170000000); // west
    EXPECT_EQ(rec.lonRef, 0);
    EXPECT_EQ(rec.lonDeg, 117);
    EXPECT_EQ(rec.lonMin, 0);
    EXPECT_EQ(rec.lonSec, 0);
    EXPECT_EQ(rec.lonSecDiv, 100000);

    SonyGeo_Put_Lon(&rec, 0);
    EXPECT_EQ(rec.lonRef, 1);
    EXPECT_EQ(rec.lonDeg, 0);

    // The most negative value has no 32-bit magnitude; it must still convert sensibly.
    SonyGeo_Put_Lon(&rec, INT32_MIN);
    EXPECT_EQ(rec.lonDeg, 214);
    EXPECT_EQ(rec.lonMin, 44);
}

TEST(SonyGeoRecordFill, AltitudeKeepsItsSign) {
    SonyGeoRecord rec;
    initialize_SonyGeo(&rec);
    SonyGeo_Put_Alt(&rec, -2500);
    EXPECT_EQ(rec.altPresent, 1);
    EXPECT_EQ(rec.altRef, 1);
    EXPECT_EQ(rec.alt, -2500);
    EXPECT_EQ(rec.altDiv, 1000);
    SonyGeo_Put_Alt(&rec, 154180);
    EXPECT_EQ(rec.altRef, 0);
    EXPECT_EQ(rec.alt, 154180);
}

TEST(SonyGeoRecordFill, TimeIsLocalWithMillisecondsOfTheMinute) {
    SonyGeoRecord rec;
    initialize_SonyGeo(&rec);
    const int64_t t = 1571257859000LL; // 2019-10-16 20:30:59 UTC
    {
        LocalZone utc("UTC0");
        SonyGeo_Put_Time(&rec, t);
        EXPECT_EQ(rec.year, 2019);
        EXPECT_EQ(rec.month, 10);
        EXPECT_EQ(rec.day, 16);
        EXPECT_EQ(rec.hour, 20);
        EXPECT_EQ(rec.minute, 30);
        EXPECT_EQ(rec.msecOfMinute, 59000);
        SonyGeo_Put_Time(&rec, t + 999);
        EXPECT_EQ(rec.msecOfMinute, 59999);
    }
    {
        LocalZone west("XST5"); // five hours behind: the local clock still shows the 16th
        SonyGeo_Put_Time(&rec, t + 4 * 3600 * 1000LL);
        EXPECT_EQ(rec.day, 16);
        EXPECT_EQ(rec.hour, 19);
        EXPECT_EQ(rec.minute, 30);
    }
}

TEST_F(SonyGpsFeed, WholeRecordReachesAReaderAndEachCallOpensAfresh) {
    ASSERT_EQ(mkfifo(fifoPath().c_str(), 0700), 0);
    int reader = open(fifoPath().c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);

    SonyGeoRecord rec;
    initialize_SonyGeo(&rec);
    SonyGeo_Put_Lat(&rec, 327531234);
    SonyGeo_Put_Alt(&rec, -2500);
    ASSERT_EQ(send_sony_gps_message(&rec), 0);
    SonyGeo_Put_Alt(&rec, 1000);
    ASSERT_EQ(send_sony_gps_message(&rec), 0);

    SonyGeoRecord got[2];
    ASSERT_EQ(read(reader, got, sizeof got), static_cast<ssize_t>(sizeof got));
    EXPECT_EQ(got[0].latSec, 1124423);
    EXPECT_EQ(got[0].alt, -2500);
    EXPECT_EQ(got[1].alt, 1000);
    EXPECT_EQ(std::memcmp(&got[1], &rec, sizeof rec), 0);
    close(reader);
}

TEST_F(SonyGpsFeed, WithoutAReaderTheRecordIsDroppedAtOnce) {
    SonyGeoRecord rec;
    initialize_SonyGeo(&rec);
    SonyGeo_Put_Alt(&rec, 777);
    // The first call creates the FIFO itself.
    EXPECT_EQ(send_sony_gps_message(&rec), 1);
    struct stat st {};
    ASSERT_EQ(stat(fifoPath().c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(send_sony_gps_message(&rec), 1);

    // Nothing was kept for a reader that comes later.
    int reader = open(fifoPath().c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    uint8_t buf[sizeof rec];
    EXPECT_LE(read(reader, buf, sizeof buf), 0);
    close(reader);
}

TEST_F(SonyGpsFeed, AFullFifoIsAFailedWriteNeverAWait) {
    ASSERT_EQ(mkfifo(fifoPath().c_str(), 0700), 0);
    int reader = open(fifoPath().c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    SonyGeoRecord rec;
    initialize_SonyGeo(&rec);
    // Fill the FIFO until a whole record no longer fits: the feed reports failure, never blocks.
    int sent = 0;
    while (send_sony_gps_message(&rec) == 0) ASSERT_LT(++sent, 10000);
    EXPECT_GT(sent, 0);
    close(reader);
    EXPECT_EQ(send_sony_gps_message(&rec), 1);
}

TEST_F(SonyGpsFeed, MissingDirectoryIsReportedAsFailure) {
    vt::TempDir other;
    setenv("VORN_ROOT", other.path().c_str(), 1); // no var/run below it
    sandboxInit();
    SonyGeoRecord rec;
    initialize_SonyGeo(&rec);
    EXPECT_EQ(send_sony_gps_message(&rec), 1);
}
