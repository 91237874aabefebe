#include "core/database.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

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

namespace {

// The entries of dir whose name starts with prefix.
std::vector<std::string> entriesStartingWith(const std::string& dir, const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.path().filename().string().rfind(prefix, 0) == 0) out.push_back(e.path().string());
    return out;
}

void makeDatabase(const std::string& path, const char* table) {
    sqlite3* db = openGeotagDatabase(path.c_str());
    ASSERT_NE(db, nullptr);
    ASSERT_EQ(sqlite3_exec(db, (std::string("CREATE TABLE ") + table + " (x)").c_str(), nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
}

std::string tablesOf(const std::string& path) {
    sqlite3* db = openGeotagDatabase(path.c_str());
    std::string names;
    sqlite3_exec(db, "SELECT name FROM sqlite_master WHERE type = 'table'",
                 [](void* out, int, char** row, char**) {
                     *static_cast<std::string*>(out) += row[0];
                     return 0;
                 },
                 &names, nullptr);
    sqlite3_close(db);
    return names;
}

} // namespace

TEST(Database, ADamagedDatabaseIsSetAsideAndNeverCopiedOverAGoodBackup) {
    const std::string garbage(8192, '\x5a');
    struct Case {
        const char* name;
        bool damaged, directory, goodBackup;
        const char* tablesAfter; // of geodata.db once set aside: the backup's, or none (a new file)
    } cases[] = {
        {"healthy", false, false, true, "flight"},
        {"garbage, good backup", true, false, true, "backup"},
        {"garbage, damaged backup", true, false, false, ""},
        {"directory, good backup", true, true, true, "backup"},
    };
    for (const auto& c : cases) {
        vt::TempDir dir;
        std::string file = dir / "geodata.db", backup = dir / "geodata.db.bak";
        if (c.goodBackup) makeDatabase(backup, "backup");
        else vt::writeFile(backup, garbage);
        std::string backupBytes = vt::readFile(backup);
        if (c.directory) vt::makeDirs(file);
        else if (c.damaged) vt::writeFile(file, garbage);
        else makeDatabase(file, "flight");

        setAsideDamagedDatabase(file.c_str());
        auto aside = entriesStartingWith(dir.path(), "geodata.db.damaged-");
        ASSERT_EQ(aside.size(), c.damaged ? 1u : 0u) << c.name;
        if (c.damaged && !c.directory) EXPECT_EQ(vt::readFile(aside[0]), garbage) << c.name;
        EXPECT_EQ(vt::readFile(backup), backupBytes) << c.name;
        EXPECT_EQ(vt::fileExists(file), *c.tablesAfter != '\0') << c.name;
        if (vt::fileExists(file)) EXPECT_EQ(tablesOf(file), c.tablesAfter) << c.name;
    }
}
