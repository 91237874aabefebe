#include "camera/geotag.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>

#include "archive/chainFixtures.h"
#include "core/clock.h"
#include "core/userMessage.h"
#include "support/testSupport.h"

namespace {

class Actuation : public ::testing::Test {
protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        ASSERT_EQ(pipe(fc), 0);
        setSleepHook([this](long ms) { sleeps.push_back(ms); });
    }
    void TearDown() override {
        setSleepHook({});
        for (int fd : fc)
            if (fd >= 0) close(fd);
    }
    std::vector<mavlink_command_long_t> commands() {
        std::vector<mavlink_command_long_t> out;
        for (const auto& msg : chain::drainMessages(fc[0])) {
            EXPECT_EQ(msg.msgid, 76u);
            EXPECT_EQ(msg.sysid, 100);
            EXPECT_EQ(msg.compid, 100);
            seqs.push_back(msg.seq);
            mavlink_command_long_t c{};
            mavlink_msg_command_long_decode(&msg, &c);
            out.push_back(c);
        }
        return out;
    }

    int fc[2] = {-1, -1};
    std::vector<long> sleeps;
    std::vector<uint8_t> seqs;
};

} // namespace

TEST_F(Actuation, PulseIsTwoServoCommands200msApartAndIdleIsOne) {
    EXPECT_EQ(momentary_pwm(7, 2000, fc[1], 5, 6), 1);
    auto sent = commands();
    ASSERT_EQ(sent.size(), 2u);
    for (const auto& c : sent) {
        EXPECT_EQ(c.command, 183);
        EXPECT_EQ(c.target_system, 5);
        EXPECT_EQ(c.target_component, 6);
        EXPECT_EQ(c.confirmation, 0);
        EXPECT_EQ(c.param1, 7.0f);
        for (float p : {c.param3, c.param4, c.param5, c.param6, c.param7}) EXPECT_EQ(p, 0.0f);
    }
    EXPECT_EQ(sent[0].param2, 2000.0f);
    EXPECT_EQ(sent[1].param2, 1000.0f);
    EXPECT_EQ(sleeps, std::vector<long>{200});

    EXPECT_EQ(momentary_pwm(7, 1000, fc[1], 5, 6), 1);
    sent = commands();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].param2, 1000.0f);
    EXPECT_EQ(sleeps.size(), 1u);

    EXPECT_EQ(set_relay(0, 1, fc[1], 5, 6), 1);
    sent = commands();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].command, 181);
    EXPECT_EQ(sent[0].param1, 0.0f);
    EXPECT_EQ(sent[0].param2, 1.0f);
    // One channel state for all of the camera code's messages: the sequence runs on.
    ASSERT_EQ(seqs.size(), 4u);
    for (size_t i = 1; i < seqs.size(); ++i) EXPECT_EQ(static_cast<uint8_t>(seqs[i - 1] + 1), seqs[i]);
}

TEST_F(Actuation, NothingIsSentWithoutAPipeAndAFailedPulseIsNotReturnedToIdle) {
    EXPECT_EQ(momentary_pwm(7, 2000, -1, 1, 1), 0);
    EXPECT_EQ(set_relay(0, 1, -1, 1, 1), 0);
    EXPECT_TRUE(sleeps.empty());

    close(fc[0]); // no reader: the write fails
    fc[0] = -1;
    EXPECT_EQ(momentary_pwm(7, 2000, fc[1], 1, 1), 0);
    EXPECT_EQ(set_relay(0, 1, fc[1], 1, 1), 0);
    EXPECT_TRUE(sleeps.empty()); // no wait, so no return-to-idle message either
}

TEST(StoreGeoData, RowsCarryTheCurrentGeoAndTheirOwnStoringTime) {
    vt::TempDir dir;
    chain::Db db = chain::openDb(dir / "geodata.db");
    chain::createSchema(db.get());
    int rc = 0;
    Stmt insert = prepareStmt(db.get(), sql::insertImage, &rc);
    ASSERT_TRUE(insert);
    CameraContext cam;
    cam.db = db.get();

    int64_t before = current_timestamp();
    EXPECT_EQ(storeGeoData(&cam, insert.get()), 0); // never-updated geo: zeros
    cam.geo = {123, -336250000, 1510000000, -150, 275, -500, 488000, 35999};
    EXPECT_EQ(storeGeoData(&cam, insert.get()), 0);
    EXPECT_EQ(storeGeoData(&cam, insert.get()), 0);
    int64_t after = current_timestamp();

    auto rows = chain::query(db.get(), "SELECT time, lat, lon, pitch, roll, yaw, heading, alt, size, path FROM image ORDER BY id");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(rows[0].begin() + 1, rows[0].end()),
              (std::vector<std::string>{"0", "0", "0", "0", "0", "0", "0", "0", ""}));
    std::vector<std::string> shot = {"-336250000", "1510000000", "-150", "275", "-500", "35999", "488000", "0", ""};
    EXPECT_EQ(std::vector<std::string>(rows[1].begin() + 1, rows[1].end()), shot);
    EXPECT_EQ(std::vector<std::string>(rows[2].begin() + 1, rows[2].end()), shot);
    for (const auto& row : rows) {
        int64_t t = std::stoll(row[0]);
        EXPECT_GE(t, before); // the storing time, not geo.time
        EXPECT_LE(t, after);
    }
    EXPECT_LE(std::stoll(rows[1][0]), std::stoll(rows[2][0]));
}

TEST(StoreGeoData, AFailedInsertIsReportedAndTheStatementStaysUsable) {
    vt::TempDir dir;
    chain::Db db = chain::openDb(dir / "geodata.db");
    chain::createSchema(db.get());
    int rc = 0;
    Stmt insert = prepareStmt(db.get(), sql::insertImage, &rc);
    CameraContext cam;
    chain::exec(db.get(), "CREATE TRIGGER refuse BEFORE INSERT ON image BEGIN SELECT RAISE(ABORT, 'full'); END");

    // A lost shot reaches the ground as USER_MESSAGE and STATUSTEXT, once a minute.
    int ground[2];
    ASSERT_EQ(pipe(ground), 0);
    resetGroundWarnings();
    setGroundWarningPipe(ground[1]);
    testing::internal::CaptureStdout();
    EXPECT_EQ(storeGeoData(&cam, insert.get()), 1);
    EXPECT_EQ(storeGeoData(&cam, nullptr), 1); // no database: no statement
    std::string out = testing::internal::GetCapturedStdout();
    setGroundWarningPipe(-1);
    for (const char* line : {"vorn-camera storeGeoData failed, rc=19\n",
                             "vorn-camera warning to the ground: shot not stored: constraint failed\n",
                             "vorn-camera storeGeoData failed, rc=21\n",
                             "vorn-camera warning (not sent to the ground): shot not stored: bad parameter or other "
                             "API misuse\n"})
        EXPECT_EQ(vt::countOf(out, line), 1u) << line << out;
    auto sent = chain::drainMessages(ground[0]);
    close(ground[0]);
    close(ground[1]);
    ASSERT_EQ(sent.size(), 2u);
    mavlink_data96_t user{};
    mavlink_msg_data96_decode(&sent[0], &user);
    EXPECT_EQ(user.type, USER_MESSAGE);
    EXPECT_EQ(user.data[0], warningLevel);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(user.data + 1), user.len - 1), "shot not stored: constraint failed");
    mavlink_statustext_t text{};
    mavlink_msg_statustext_decode(&sent[1], &text);
    EXPECT_EQ(text.severity, warningSeverity);
    EXPECT_STREQ(text.text, "shot not stored: constraint failed");

    chain::exec(db.get(), "DROP TRIGGER refuse");
    EXPECT_EQ(storeGeoData(&cam, insert.get()), 0);
    EXPECT_EQ(chain::query(db.get(), "SELECT COUNT(*) FROM image")[0][0], "1");
}
