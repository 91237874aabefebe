#include "logs/logStore.h"

#include <gtest/gtest.h>

#include "logTestSupport.h"

using logtest::LogDirTest;
using logtest::StdoutCapture;

namespace {

constexpr int32_t kGiB = 1073741824;

TEST(GrowStr, FormatReplacesTheHoldersTextAndReturnsIt) {
    GrowStr holder = std::string("abc");
    GrowStr result = formatStr(&holder, "%s%s", "x", "y");
    ASSERT_TRUE(holder && result);
    EXPECT_EQ(*holder, "xy");
    EXPECT_EQ(*result, "xy");

    EXPECT_EQ(*copyStr(&holder, "a longer text than before"), "a longer text than before");
    EXPECT_EQ(*holder, "a longer text than before");
    EXPECT_EQ(*copyStr(&holder, ""), "");

    GrowStr empty;
    EXPECT_EQ(*formatStr(&empty, "log%d.bin", 12), "log12.bin");
    EXPECT_EQ(*formatStr(nullptr, "%s/%s", "a", "b"), "a/b");
}

TEST(TimespecLessThan, SecondsFirstThenNanoseconds) {
    EXPECT_EQ(timespec_Less_Than(10, 999999999, 11, 0), 1);
    EXPECT_EQ(timespec_Less_Than(11, 0, 10, 999999999), 0);
    EXPECT_EQ(timespec_Less_Than(10, 5, 10, 6), 1);
    EXPECT_EQ(timespec_Less_Than(10, 6, 10, 5), 0);
    EXPECT_EQ(timespec_Less_Than(10, 5, 10, 5), 0);
    EXPECT_EQ(timespec_Less_Than(-1, 0, 0, 0), 1);
}

TEST_F(LogDirTest, MissingDirectoryIsCreatedByEveryOperation) {
    StdoutCapture out;
    EXPECT_EQ(removeOldLogs(kGiB), 1);
    EXPECT_TRUE(vt::fileExists(dir));
    ASSERT_EQ(rmdir(dir.c_str()), 0);

    EXPECT_EQ(removeEmptyLogs(), 1);
    EXPECT_TRUE(vt::fileExists(dir));
    ASSERT_EQ(rmdir(dir.c_str()), 0);
    // Nothing was looked at, so nothing was reported.
    EXPECT_EQ(out.text(), "");

    GrowStr path = getLogFilePath();
    ASSERT_TRUE(path);
    EXPECT_EQ(*path, dir + "log1.bin");
    EXPECT_EQ(sizeOf("log1.bin"), 0);
}

TEST_F(LogDirTest, NextNumberFollowsTheHighestAndGapsAreNotReused) {
    makeLogDir();
    makeFile("log1.bin", 10);
    makeFile("log2.bin", 10);
    makeFile("log10.bin", 10);
    EXPECT_EQ(*getLogFilePath(), dir + "log11.bin");

    for (auto name : {"log1.bin", "log2.bin", "log10.bin", "log11.bin"}) ASSERT_EQ(unlink((dir + name).c_str()), 0);
    makeFile("log3.bin", 10);
    EXPECT_EQ(*getLogFilePath(), dir + "log4.bin");
    EXPECT_EQ(*getLogFilePath(), dir + "log5.bin");
}

TEST_F(LogDirTest, NumberIsTakenAfterTheFirstLogAndBeforeBin) {
    makeLogDir();
    makeFile("mylog7.bin", 10);
    EXPECT_EQ(*getLogFilePath(), dir + "log8.bin");
    ASSERT_EQ(unlink((dir + "log8.bin").c_str()), 0);
    ASSERT_EQ(unlink((dir + "mylog7.bin").c_str()), 0);

    makeFile("log7a.bin", 10);
    EXPECT_EQ(*getLogFilePath(), dir + "log8.bin");
    ASSERT_EQ(unlink((dir + "log8.bin").c_str()), 0);
    ASSERT_EQ(unlink((dir + "log7a.bin").c_str()), 0);

    // A negative number is a log file, but never raises the number.
    makeFile("log-3.bin", 10);
    EXPECT_EQ(*getLogFilePath(), dir + "log1.bin");
    makeFile("log2.bin", 10);
    EXPECT_EQ(*getLogFilePath(), dir + "log3.bin");
}

TEST_F(LogDirTest, ForeignEntriesAreSkippedWithOneLineEach) {
    makeLogDir();
    makeFile("log4.bin", 10);
    for (auto name : {"README", "notes.txt", "log0.bin", "logx.bin", "log99999999999.bin"}) makeFile(name, 10);
    vt::makeDirs(dir + "log9.bin");
    StdoutCapture out;

    GrowStr path = getLogFilePath();
    ASSERT_TRUE(path);
    EXPECT_EQ(*path, dir + "log5.bin");
    for (auto name : {"README", "notes.txt", "log0.bin", "logx.bin", "log99999999999.bin", "log9.bin"})
        EXPECT_EQ(out.count("vorn-camera getLogFilePath skipping " + dir + name + ": not a log file\n"), 1u) << name;
    EXPECT_FALSE(out.has("Error"));
    EXPECT_TRUE(exists("README"));
}

TEST_F(LogDirTest, UnreadableDirectoryFailsTheWalk) {
    vt::makeDirs(root.path() + "/root/vorn");
    vt::writeFile(root.path() + "/root/vorn/dataflashlogs", "not a directory");
    StdoutCapture out;
    EXPECT_FALSE(getLogFilePath());
    EXPECT_TRUE(out.has("vorn-camera getLogFilePath Error : Failed to open log directory - Not a directory\n"));
}

TEST_F(LogDirTest, EmptyLogsAreRemovedAndTheirNumbersReused) {
    makeLogDir();
    makeFile("log1.bin", 0);
    makeFile("log2.bin", 0);
    makeFile("log3.bin", 500);
    StdoutCapture out;
    EXPECT_EQ(removeEmptyLogs(), 1);
    EXPECT_TRUE(out.has("vorn-camera removeOldLogs deleted 2 empty log files\n"));
    EXPECT_FALSE(exists("log1.bin"));
    EXPECT_FALSE(exists("log2.bin"));
    EXPECT_EQ(sizeOf("log3.bin"), 500);
    EXPECT_EQ(*getLogFilePath(), dir + "log4.bin");

    // An empty log at the top gives its number to the next file.
    EXPECT_EQ(removeEmptyLogs(), 1);
    EXPECT_EQ(*getLogFilePath(), dir + "log4.bin");
}

// The older of two files is deleted whichever name it has and whatever order the directory
// lists them in; here the two differ by nanoseconds only.
class OldestByNanoseconds : public LogDirTest, public ::testing::WithParamInterface<bool> {};

TEST_P(OldestByNanoseconds, LimitDeletesTheOldestFile) {
    makeLogDir();
    bool firstOlder = GetParam();
    makeFile("log1.bin", 600000000, 1700000000, firstOlder ? 100 : 200);
    makeFile("log2.bin", 500000000, 1700000000, firstOlder ? 200 : 100);
    std::string older = firstOlder ? "log1.bin" : "log2.bin";
    std::string newer = firstOlder ? "log2.bin" : "log1.bin";
    StdoutCapture out;

    EXPECT_EQ(removeOldLogs(kGiB), 1);
    EXPECT_TRUE(out.has("vorn-camera removeOldLogs found 1100000000 Bytes of log files\n"));
    EXPECT_TRUE(out.has("vorn-camera deleteOldestLog deleted oldest file : " + dir + older + " of size " +
                        (firstOlder ? "600000000" : "500000000") + "\n"));
    EXPECT_FALSE(exists(older));
    EXPECT_TRUE(exists(newer));
}

INSTANTIATE_TEST_SUITE_P(EitherFile, OldestByNanoseconds, ::testing::Bool());

TEST_F(LogDirTest, TotalEqualToTheLimitDeletesNothing) {
    makeLogDir();
    makeFile("log1.bin", kGiB - 1000, 1600000000);
    makeFile("log2.bin", 1000, 1700000000);
    StdoutCapture out;
    EXPECT_EQ(removeOldLogs(kGiB), 1);
    EXPECT_TRUE(exists("log1.bin"));
    EXPECT_TRUE(exists("log2.bin"));
    EXPECT_FALSE(out.has("deleteOldestLog"));

    makeFile("log3.bin", 1, 1800000000);
    EXPECT_EQ(removeOldLogs(kGiB), 1);
    EXPECT_FALSE(exists("log1.bin"));
    EXPECT_TRUE(exists("log3.bin"));
}

TEST_F(LogDirTest, TotalsBeyondTwoGigabytesStillTrim) {
    makeLogDir();
    makeFile("log1.bin", 1200000000, 1600000000);
    makeFile("log2.bin", 900000000, 1700000000);
    makeFile("log3.bin", 100000000, 1800000000);
    StdoutCapture out;
    EXPECT_EQ(removeOldLogs(kGiB), 1);
    EXPECT_TRUE(out.has("found 2200000000 Bytes"));
    EXPECT_FALSE(exists("log1.bin"));
    EXPECT_TRUE(exists("log2.bin"));
    EXPECT_TRUE(exists("log3.bin"));

    // A single file beyond 4 GiB (sparse) is counted and deleted whole, on 32-bit targets too.
    makeFile("log4.bin", 4500000000, 1500000000);
    EXPECT_EQ(removeOldLogs(kGiB), 1);
    EXPECT_TRUE(out.has("found 5500000000 Bytes"));
    EXPECT_TRUE(out.has("deleteOldestLog deleted oldest file : " + dir + "log4.bin of size 4500000000\n"));
    EXPECT_FALSE(exists("log4.bin"));
    EXPECT_TRUE(exists("log3.bin"));
}

TEST_F(LogDirTest, DeletingAnEmptyOldestFileIsASuccess) {
    makeLogDir();
    makeFile("log1.bin", 0, 1500000000);
    makeFile("log2.bin", 600000000, 1600000000);
    makeFile("log3.bin", 500000000, 1700000000);
    StdoutCapture out;
    EXPECT_EQ(removeOldLogs(kGiB), 1);
    EXPECT_FALSE(out.has("Failed to delete old log files"));
    EXPECT_TRUE(out.has("vorn-camera deleteOldestLog deleted oldest file : " + dir + "log1.bin of size 0\n"));
    EXPECT_FALSE(exists("log1.bin"));
    EXPECT_FALSE(exists("log2.bin"));
    EXPECT_TRUE(exists("log3.bin"));

    // Only an empty directory is a failure.
    ASSERT_EQ(unlink((dir + "log3.bin").c_str()), 0);
    EXPECT_EQ(deleteOldestLog(), -1);
    EXPECT_TRUE(out.has("vorn-camera deleteOldestLog Error : Failed to delete oldest log file - "));
}

TEST_F(LogDirTest, ForeignEntriesAreNeitherRemovedNorCountedNorTrimmed) {
    makeLogDir();
    makeFile("README", 0, 1400000000);
    vt::makeDirs(dir + "old-stuff/inner");
    timespec ancient[2] = {{1300000000, 0}, {1300000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (dir + "old-stuff").c_str(), ancient, 0), 0);
    makeFile("notes.txt", 700000000, 1450000000);
    makeFile("log1.bin", 0, 1500000000);
    makeFile("log2.bin", 600000000, 1600000000);
    makeFile("log3.bin", 500000000, 1700000000);
    StdoutCapture out;
    EXPECT_EQ(removeEmptyLogs(), 1);
    EXPECT_TRUE(exists("README"));
    EXPECT_FALSE(exists("log1.bin"));

    EXPECT_EQ(removeOldLogs(kGiB), 1);
    EXPECT_TRUE(out.has("found 1100000000 Bytes"));
    EXPECT_FALSE(exists("log2.bin"));
    EXPECT_TRUE(exists("log3.bin"));
    EXPECT_TRUE(exists("old-stuff/inner"));
    EXPECT_TRUE(exists("notes.txt"));
}

} // namespace
