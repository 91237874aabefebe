#include "core/database.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <thread>

#include "support/testSupport.h"

TEST(Database, AShotWaitsForAnotherProgramsLockInsteadOfBeingLost) {
    vt::TempDir dir;
    std::string file = dir / "geodata.db";
    sqlite3* db = openGeotagDatabase(file.c_str());
    ASSERT_NE(db, nullptr);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE image (lat INTEGER)", nullptr, nullptr, nullptr), SQLITE_OK);

    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the other program's work
        sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    });
    EXPECT_EQ(sqlite3_exec(db, "INSERT INTO image VALUES (1)", nullptr, nullptr, nullptr), SQLITE_OK);
    release.join();
    sqlite3_close(other);
    sqlite3_close(db);
}

TEST(Database, AnUnopenableFileGivesNoConnection) {
    vt::TempDir dir;
    EXPECT_EQ(openGeotagDatabase((dir / "missing/geodata.db").c_str()), nullptr);
}
