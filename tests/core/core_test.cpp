// Pipe framing, the command line, the clock, the geotag database at start, ground warnings, the shell.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

#include "core/clock.h"
#include "core/cmdLine.h"
#include "core/database.h"
#include "core/pipes.h"
#include "core/shell.h"
#include "core/userMessage.h"
#include "support/testSupport.h"

using namespace std::chrono;

TEST(Pipes, AFrameLongerThanTheBufferIsDiscardedWholeAndAShortOrMissingOneFails) {
    int fd[2];
    ASSERT_EQ(pipe(fd), 0);
    struct { char buf[16], guard[8]; } to{};
    for (uint16_t len : {16, 17, 0, 16}) ASSERT_EQ(pipeWrite(fd[1], len, "0123456789abcdefg"), 1);
    for (int ok : {1, 0, 1, 1}) EXPECT_EQ(pipeRead(fd[0], to.buf, sizeof to.buf), ok);
    EXPECT_EQ(std::string(to.buf, sizeof to), "0123456789abcdef" + std::string(8, '\0'));
    ASSERT_EQ(write(fd[1], "\x00\x0A" "abc", 5), 5); // the writer gone in the middle of a frame, then at its end
    close(fd[1]);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(pipeRead(fd[0], to.buf, sizeof to.buf), 0);
    close(fd[0]);
}

// The daemon's arguments as systemd makes them from the unit's ExecStart and the conffile with some
// lines changed: "${X}" is one argument, even when empty; "$X" splits into words.
std::vector<std::string> unitArguments(const std::map<std::string, std::string>& changed) {
    std::map<std::string, std::string> env;
    std::istringstream conf(vt::readFile(VORN_SOURCE_DIR "/packaging/vorn-camera.default"));
    for (std::string line; std::getline(conf, line);) {
        size_t eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
        std::string value = line.substr(eq + 1);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
        env[line.substr(0, eq)] = value;
    }
    for (const auto& [name, value] : changed) env[name] = value;
    const std::string unit = vt::readFile(VORN_SOURCE_DIR "/packaging/vorn-camera.service");
    const size_t exec = unit.find("\nExecStart=") + 11;
    std::istringstream words(unit.substr(exec, unit.find('\n', exec) - exec));
    std::vector<std::string> args;
    std::string word;
    for (words >> word; words >> word;) { // after the daemon's path
        if (word.rfind("${", 0) == 0) args.push_back(env[word.substr(2, word.size() - 3)]);
        else if (word[0] != '$') args.push_back(word);
        else for (std::istringstream split(env[word.substr(1)]); split >> word;) args.push_back(word);
    }
    return args;
}

TEST(CommandLine, PositionalsOptionsAndTheTriggerChannel) {
    // The arguments, then: result fcPort fcBaud modemPort modemBaud useModem wifiMode triggerChannel web.
    const std::pair<std::vector<std::string>, const char*> rows[] = {
        {{"/dev/ttyUSB0", "115200", "--modem", "/dev/ttyS1", "9600", "x"},
         "0 /dev/ttyUSB0 115200 /dev/ttyS1 9600 1 1 7 0.0.0.0:8080"},
        {{"--wifiCF", "--trigger", "9", "--unknown", "/dev/x", "--web", "off"},
         "0 /dev/x 1500000 /dev/ttyS0 57600 0 2 9 off"},
        {{"--trigger", "--modem"}, "0 /dev/ttymxc2 1500000 /dev/ttyS0 57600 0 1 0 0.0.0.0:8080"},
        {{"/dev/ttyUSB0", "fast", "--MODEM", "--trigger"}, "0 /dev/ttyUSB0 0 /dev/ttyS0 57600 0 1 7 0.0.0.0:8080"},
        {{"--web", "", "/dev/ttyUSB0", "--web", "10.0.0.1:80"}, "0 /dev/ttyUSB0 1500000 /dev/ttyS0 57600 0 1 7 10.0.0.1:80"},
        {{"--version", "/dev/ttyUSB0"}, "1 /dev/ttymxc2 1500000 /dev/ttyS0 57600 0 1 7 0.0.0.0:8080"}, // the defaults
        {unitArguments({{"FC_PORT", ""}, {"FC_BAUD", "115200"}, {"MODEM_PORT", ""}, {"MODEM_BAUD", "9600"},
                        {"VORN_OPTIONS", "--modem --trigger 9"}, {"WEB_PAGE", ""}}),
         "0 /dev/ttymxc2 115200 /dev/ttyS0 9600 1 1 9 0.0.0.0:8080"}, // the service with empty lines in its conffile
        {unitArguments({{"WEB_PAGE", "off"}}), "0 /dev/ttymxc2 1500000 /dev/ttyS0 57600 0 1 7 off"},
        {unitArguments({}), "0 /dev/ttymxc2 1500000 /dev/ttyS0 57600 0 1 7 0.0.0.0:8080"}, // and as shipped
    };
    for (auto [args, expected] : rows) {
        AppContext ctx;
        std::vector<char*> argv{const_cast<char*>("vorn-camera")};
        for (auto& a : args) argv.push_back(a.data());
        std::ostringstream got;
        got << parseCommandLine(&ctx, static_cast<int>(argv.size()), argv.data()) << " " << ctx.fcPort << " "
            << ctx.fcBaud << " " << ctx.modemPort << " " << ctx.modemBaud << " " << ctx.useModem << " "
            << ctx.wifiMode << " " << ctx.camera.triggerChannel << " " << ctx.webAddress;
        EXPECT_EQ(got.str(), expected);
    }
}

TEST(Clock, TimestampIsWallClockMillisecondsAndStoppingCutsOnlyLongWaits) {
    auto wallMs = [] { return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count(); };
    int64_t before = wallMs(), stamp = current_timestamp();
    EXPECT_TRUE(before <= stamp && stamp <= wallMs()) << stamp;
    std::atomic<int32_t> quit{1};
    setSleepQuitFlag(&quit);
    auto start = steady_clock::now();
    sleepMs(200); // a servo pulse is held to its end
    EXPECT_GE(steady_clock::now() - start, milliseconds(200));
    sleepMs(10000); // a retry wait is not
    EXPECT_LT(steady_clock::now() - start, seconds(5));
    setSleepQuitFlag(nullptr);
}

// The first column of every row the statements return, run on the database at path.
std::string sql(const std::string& path, const char* statements) {
    std::string out;
    sqlite3* db = openGeotagDatabase(path.c_str());
    auto collect = [](void* o, int, char** v, char**) { return *static_cast<std::string*>(o) += v[0], 0; };
    sqlite3_exec(db, statements, collect, &out, nullptr);
    return sqlite3_close(db), out;
}

TEST(Database, ADamagedFileIsSetAsideAndOnlyABackupThatPassesTheCheckTakesItsPlace) {
    // geodata.db as found ("freelist": opens, fails the quick check; "unmovable": damaged on a mount of its
    // own; "locked": held by another program past the busy wait), a good backup or not, its tables afterwards;
    // it waits 2 s for another writer's lock rather than lose a shot, and keeps a write-ahead log, so
    // that a reader never holds up a write.
    auto isAside = [](auto& e) { return e.path().string().find("geodata.db.damaged-") != std::string::npos; };
    const std::tuple<std::string, bool, const char*> rows[] = {{"healthy", true, "flight"}, {"garbage", true, "backup"},
        {"garbage", false, ""}, {"directory", true, "backup"}, {"freelist", true, "backup"}, {"unmovable", true, ""},
        {"locked", true, "flight"}};
    for (const auto& [found, goodBackup, tablesAfter] : rows) {
        vt::TempDir dir;
        std::string file = dir / "geodata.db", backup = dir / "geodata.db.bak", garbage(8192, 'Z');
        goodBackup ? (void)sql(backup, "CREATE TABLE backup (x)") : vt::writeFile(backup, garbage);
        if (found == "garbage" || found == "unmovable") vt::writeFile(file, garbage);
        else if (found == "directory") vt::makeDirs(file);
        else sql(file, "PRAGMA journal_mode = DELETE; CREATE TABLE flight (x)");
        if (found == "unmovable" && (vt::writeFile(dir / "g", garbage), mount((dir / "g").c_str(), file.c_str(),
                                                                                nullptr, MS_BIND, nullptr) != 0))
            continue; // a bind mount needs root
        std::string bytes = vt::readFile(file), backupBytes = vt::readFile(backup);
        if (found == "freelist") vt::writeFile(file, bytes.replace(39, 1, "\x05")); // claims five free pages
        sqlite3* holder = nullptr; // another program's connection, let go once the check waits for it
        if (found == "locked") sqlite3_open(file.c_str(), &holder), sqlite3_exec(holder, "BEGIN EXCLUSIVE", 0, 0, 0);
        vt::StdoutCapture log;
        std::thread release([&] { holder && log.waitFor("by another program: waiting"), sqlite3_close(holder); });
        const std::string opened = setAsideDamagedDatabase(file.c_str());
        release.join();
        EXPECT_EQ(opened, file + (found == "unmovable" ? ".new" : "")) << found;
        EXPECT_EQ(vt::fileExists(file), *tablesAfter != '\0' || found == "unmovable") << found; // no damaged copy in
        std::filesystem::directory_iterator files(dir.path());
        EXPECT_EQ(std::count_if(begin(files), end(files), isAside), found != "healthy" && found != "locked" &&
                                                                        found != "unmovable") << found;
        EXPECT_EQ(vt::readFile(backup), backupBytes) << found;
        EXPECT_EQ(sql(opened, "SELECT name FROM sqlite_master WHERE type = 'table'; PRAGMA busy_timeout; "
                              "PRAGMA journal_mode"), tablesAfter + std::string("2000wal")) << found;
        if (found == "unmovable") umount2(file.c_str(), MNT_DETACH);
    }
}

// The start-up backup and the pass's copy, cut at 64 KiB or out of room, leave the previous copy byte for
// byte (the start-up one warned); the next complete copy replaces it whole, leaving no temporary file.
TEST(Database, ACopyCutShortOrWithoutRoomLeavesThePreviousCopyAsItWas) {
    vt::TempDir dir;
    vt::SmallDisk disk(dir / "disk", "2m");
    if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root): copies out of room not tested";
    const std::string file = dir / "disk/geodata.db", filler = dir / "disk/filler";
    sql(file, "CREATE TABLE shots (x); WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
              "WHERE i < 300) INSERT INTO shots SELECT randomblob(1000) FROM n");
    auto copyAt = [&](const std::string& copy) { // as the start does, or as the pass does
        copy == "geodata.db.bak" ? backupDatabase(file.c_str()) : (void)copyDatabaseFile(file, dir / "disk/geodone.db");
    };
    for (const std::string copy : {"geodata.db.bak", "geodone.db"}) {
        const std::string path = dir / ("disk/" + copy), earlier = "an earlier complete copy";
        vt::writeFile(path, earlier);
        vt::StdoutCapture log;
        EXPECT_EQ(vt::killedWhenWriting(64 * 1024, [&] { copyAt(copy); }), SIGXFSZ) << copy;
        EXPECT_EQ(vt::readFile(path), earlier) << copy << " cut short";
        vt::writeFile(filler, std::string(1600 * 1024, 'f')); // leaves less room than a copy takes
        copyAt(copy);
        EXPECT_EQ(vt::readFile(path), earlier) << copy << " without room";
        EXPECT_EQ(log.count("backup not written: database or disk is full"), size_t(copy == "geodata.db.bak")) << copy;
        std::remove(filler.c_str()), copyAt(copy);
        EXPECT_EQ(sql(path, "SELECT COUNT(*) FROM shots"), "300") << copy;
        EXPECT_FALSE(vt::fileExists(path + ".tmp")) << copy;
    }
}

TEST(GroundWarnings, EachTextReachesTheGroundAsUserMessageAndStatusTextAtMostOnceAMinute) {
    vt::StdoutCapture log;
    int fd[2];
    ASSERT_EQ(pipe(fd), 0);
    resetGroundWarnings();
    setGroundWarningPipe(fd[1]);
    warnGround(GroundWarning::ShotNotStored, "%s", std::string(120, 'w').c_str());
    warnGround(GroundWarning::ShotNotStored, "%s", std::string(120, 'w').c_str());
    warnGround(GroundWarning::ShotNotStored, "another outcome");
    setGroundWarningPipe(-1);
    close(fd[1]);
    // Each as it crossed the pipe: DATA96 (type, length, level, text) and STATUSTEXT (severity, text).
    std::string arrived;
    for (mavlink_message_t m{}; msgRead(fd[0], &m); m = {})
        arrived += std::to_string(m.msgid) + " " + std::string(reinterpret_cast<char*>(m.payload), m.len) + "\n";
    EXPECT_EQ(arrived, "172 \x08\x60\x01" + std::string(95, 'w') + "\n253 \x04" + std::string(50, 'w') +
                           "\n172 \x08\x10\x01" "another outcome\n253 \x04" "another outcome\n");
    EXPECT_EQ(log.count("vorn-camera warning (not sent to the ground): "), 1u);
    close(fd[0]);
}

TEST(Shell, HostileTextArrivesLiterally) {
    vt::TempDir dir;
    const std::string out = dir / "it's \"out\" $x", pwned = dir / "pwned";
    const std::string texts[] = {"it's", "'", "''x''", "$(touch " + pwned + ")", "`touch " + pwned + "`",
                                 "a\\'b \\\"", "; exit 3 #", "a\nb", "*", "", "!ls ~ $HOME"};
    for (const std::string& text : texts) {
        EXPECT_EQ(runShell("printf '%s' " + shellQuote(text) + " > " + shellQuote(out)), 0) << text;
        EXPECT_EQ(vt::readFile(out), text);
    }
    EXPECT_FALSE(vt::fileExists(pwned));
}
