#include "wifi/wifiConf.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "wifi/wifiTestSupport.h"

namespace {

std::string freadlnPieces(const std::string& content, size_t n) {
    vt::TempDir dir;
    vt::writeFile(dir / "f", content);
    FILE* f = fopen((dir / "f").c_str(), "r");
    std::string out;
    char buf[64];
    size_t len;
    while ((len = freadln(f, n, buf)) > 0) {
        EXPECT_EQ(buf[len], '\0');
        EXPECT_LE(len, n - 1);
        out += "[" + std::string(buf, len) + "]";
    }
    EXPECT_STREQ(buf, "");
    fclose(f);
    return out;
}

class ModifyConf : public ::testing::Test {
protected:
    vt::TempDir dir;
    std::string path = dir / "hostapd.conf";

    std::string rewrite(const std::string& before, const std::vector<ConfPair>& pairs) {
        vt::writeFile(path, before);
        modifyConf(path, pairs);
        EXPECT_FALSE(vt::fileExists(path + ".tmp"));
        return vt::readFile(path);
    }
};

} // namespace

TEST(Freadln, StopsAfterNewlineOrWhenFullAndStoresNothingAtTheEnd) {
    EXPECT_EQ(freadlnPieces("abcdefg\nxy", 5), "[abcd][efg\n][xy]");
    EXPECT_EQ(freadlnPieces("\n\nz\n", 128), "[\n][\n][z\n]");
    EXPECT_EQ(freadlnPieces("", 128), "");
}

TEST_F(ModifyConf, RewritesOnlyExactKeysAndKeepsEverythingElse) {
    std::string longComment = "# " + std::string(130, 'c') + " key=value " + std::string(40, 'd') + "\n";
    // The second 127-byte piece of this line starts with "ssid=": still one comment line.
    std::string trap = "#" + std::string(126, 'x') + "ssid=trap\n";
    std::string before = "# hostapd\ninterface=wlan0\n\tssid=old\nssid =spaced\n#ssid=commented\n"
                         "  wpa_passphrase=old pass\n" + longComment + trap + "channel=6";
    std::string after = rewrite(before, {{"ssid", "Field AP"}, {"wpa_passphrase", "s3cr3t=x"}});
    EXPECT_EQ(after, "# hostapd\ninterface=wlan0\n\tssid=Field AP\nssid =spaced\n#ssid=commented\n"
                     "  wpa_passphrase=s3cr3t=x\n" + longComment + trap + "channel=6");
}

TEST_F(ModifyConf, LastLineGainsANewlineOnlyWhenChanged) {
    EXPECT_EQ(rewrite("channel=6\nssid=old", {{"ssid", "new"}}), "channel=6\nssid=new\n");
    EXPECT_EQ(rewrite("ssid=old\nchannel=6", {{"ssid", "new"}}), "ssid=new\nchannel=6");
}

TEST_F(ModifyConf, LongKeyLineIsReplacedWhole) {
    EXPECT_EQ(rewrite("ssid=" + std::string(300, 'o') + "\nchannel=1\n", {{"ssid", "n"}}),
              "ssid=n\nchannel=1\n");
}

TEST_F(ModifyConf, EmptyValueLeavesItsLineAndTheLastMatchingPairWins) {
    EXPECT_EQ(rewrite("ssid=a\nwpa_passphrase=p\n", {{"ssid", "x"}, {"wpa_passphrase", ""}, {"ssid", "y"}}),
              "ssid=y\nwpa_passphrase=p\n");
}

TEST_F(ModifyConf, LogsTheChangeAndKeepsTheFileMode) {
    vt::writeFile(path, "ssid=old\n");
    chmod(path.c_str(), 0600);
    StdoutCapture out;
    modifyConf(path, {{"ssid", "new"}, {"wpa_passphrase", ""}});
    out.release();
    EXPECT_EQ(out.text(), "vorn-camera modifyConf change file " + path + "\n"
                          "                      ssid=new\n"
                          "                      wpa_passphrase=\n"
                          "vorn-camera modifyConf changed line to: ssid=new\n");
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(vt::readFile(path), "ssid=new\n");
}

TEST_F(ModifyConf, ValueWithNewlineIsRefusedAndTheFileStaysAsItWas) {
    vt::writeFile(path, "ssid=old\nwpa_passphrase=p\n");
    StdoutCapture out;
    modifyConf(path, {{"ssid", "x\nwpa_passphrase=injected"}, {"wpa_passphrase", "q"}});
    out.release();
    EXPECT_EQ(vt::readFile(path), "ssid=old\nwpa_passphrase=p\n");
    EXPECT_FALSE(vt::fileExists(path + ".tmp"));
    EXPECT_EQ(out.text(), "vorn-camera modifyConf refused to change " + path +
                              ": the value for ssid holds a newline\n");
}

TEST_F(ModifyConf, MissingFileIsLoggedAndNotCreated) {
    StdoutCapture out;
    modifyConf(path, {{"ssid", "x"}});
    out.release();
    EXPECT_FALSE(vt::fileExists(path));
    EXPECT_FALSE(vt::fileExists(path + ".tmp"));
    EXPECT_NE(out.text().find("vorn-camera modifyConf failed to open " + path + " for reading\n"),
              std::string::npos);
}
