#include "wifi/wifiConf.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/clock.h"
#include "core/handles.h"
#include "core/logging.h"
#include "core/sandbox.h"
#include "core/shell.h"

namespace {

const char hostapdConf[] = "/etc/hostapd/hostapd.conf";
const char wpaSupplicantConf[] = "/etc/wpa_supplicant/wpa_supplicant.conf";

// One whole line, however long, read in 128-byte pieces; false at the end of the stream.
// Whole lines are matched so that the tail of a long line is never taken for a key.
bool readConfLine(FILE* in, std::string& line) {
    line.clear();
    char piece[128];
    size_t n;
    while ((n = freadln(in, sizeof piece, piece)) > 0) {
        line.append(piece, n);
        if (piece[n - 1] == '\n') break;
    }
    return !line.empty();
}

// The key is the text before the first "=", leading blanks skipped; blanks before the "="
// belong to the key, so "ssid =" never matches "ssid".
void rewriteLine(std::string& line, const std::vector<ConfPair>& pairs) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) return;
    size_t start = line.find_first_not_of(" \t");
    std::string key = line.substr(start, eq - start);
    const char* value = nullptr;
    for (const ConfPair& p : pairs)
        if (*p.value && key == p.key) value = p.value;
    if (!value) return;
    line.erase(eq + 1);
    line += value;
    line += '\n';
    logPrintf("vorn-camera modifyConf changed line to: %s", line.c_str());
}

bool holdsNewline(const std::string& path, const std::vector<ConfPair>& pairs) {
    for (const ConfPair& p : pairs) {
        if (std::strchr(p.value, '\n')) {
            logPrintf("vorn-camera modifyConf refused to change %s: the value for %s holds a newline\n",
                      path.c_str(), p.key);
            return true;
        }
    }
    return false;
}

// The temporary file gets the mode of the file it replaces: it may hold a passphrase.
FilePtr openTemporary(const std::string& tmpPath, mode_t mode) {
    int fd = open(tmpPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    if (fchmod(fd, mode & 07777) != 0) {
        close(fd);
        return nullptr;
    }
    FILE* f = fdopen(fd, "w");
    if (!f) close(fd);
    return FilePtr(f);
}

// Flushes the new text to the disk before it may replace the old file.
bool finishTemporary(FilePtr out) {
    bool ok = fflush(out.get()) == 0 && fsync(fileno(out.get())) == 0 && !ferror(out.get());
    return fclose(out.release()) == 0 && ok;
}

} // namespace

size_t freadln(FILE* stream, size_t n, char* buf) {
    if (n == 0) return 0;
    size_t len = 0;
    while (len + 1 < n) {
        int c = getc(stream);
        if (c == EOF) break;
        buf[len++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    buf[len] = '\0';
    return len;
}

void modifyConf(const std::string& path, const std::vector<ConfPair>& pairs) {
    std::string tmpPath = path + ".tmp";
    // A newline would end the line early and let the value inject a key of its own.
    if (holdsNewline(path, pairs)) return;
    logPrintf("vorn-camera modifyConf change file %s\n", path.c_str());
    for (const ConfPair& p : pairs) logPrintf("                      %s=%s\n", p.key, p.value);

    FilePtr in(fopen(path.c_str(), "re"));
    struct stat st {};
    if (!in || fstat(fileno(in.get()), &st) != 0) {
        logPrintf("vorn-camera modifyConf failed to open %s for reading\n", path.c_str());
        return;
    }
    FilePtr out = openTemporary(tmpPath, st.st_mode);
    if (!out) {
        in.reset();
        logPrintf("vorn-camera modifyConf failed to open %s for writing\n", tmpPath.c_str());
        return;
    }
    std::string line;
    while (readConfLine(in.get(), line)) {
        rewriteLine(line, pairs);
        fwrite(line.data(), 1, line.size(), out.get());
    }
    // Never replace the file with a text that was cut short.
    if (ferror(in.get())) {
        logPrintf("vorn-camera modifyConf failed to read %s, file left unchanged\n", path.c_str());
        out.reset();
        unlink(tmpPath.c_str());
        return;
    }
    if (!finishTemporary(std::move(out))) {
        logPrintf("vorn-camera modifyConf failed to write %s, %s left unchanged\n", tmpPath.c_str(),
                  path.c_str());
        unlink(tmpPath.c_str());
        return;
    }
    if (rename(tmpPath.c_str(), path.c_str()) != 0) {
        logPrintf("vorn-camera modifyConf failed to replace %s: %s\n", path.c_str(), strerror(errno));
        unlink(tmpPath.c_str());
    }
}

void startAccessPointF(const char* ssid, const char* password) {
    if (*ssid || *password)
        modifyConf(sandboxPath(hostapdConf), {{"ssid", ssid}, {"wpa_passphrase", password}});
    runShell("systemctl stop wpa_supplicant");
    sleepMs(2000);
    runShell("systemctl start hostapd");
}

void startClientModeF(const char* ssid, const char* password) {
    if (*ssid || *password)
        modifyConf(sandboxPath(wpaSupplicantConf), {{"ssid", ssid}, {"psk", password}});
    runShell("systemctl stop hostapd");
    sleepMs(2000);
    runShell("systemctl start wpa_supplicant");
}
