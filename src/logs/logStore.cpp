#include "logs/logStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/handles.h"
#include "core/logging.h"
#include "core/sandbox.h"

namespace {

// Why an operation failed, with errno as it was at that moment.
struct Failure {
    GrowStr reason;
    int err = 0;
};

__attribute__((format(printf, 2, 3))) bool failWith(Failure* f, const char* fmt, ...) {
    f->err = errno;
    va_list args;
    va_start(args, fmt);
    formatStrV(&f->reason, fmt, args);
    va_end(args);
    return false;
}

const char* reasonText(const Failure& f) {
    return f.reason ? f.reason->c_str() : "";
}

bool isDirectory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Creates the directory (and missing parents) when it is missing; true when it was there already.
bool ensureDirectory(const std::string& dir) {
    if (isDirectory(dir)) return true;
    for (size_t slash = dir.find('/', 1); slash != std::string::npos; slash = dir.find('/', slash + 1))
        mkdir(dir.substr(0, slash).c_str(), 0777);
    mkdir(dir.c_str(), 0777);
    return false;
}

bool isDotEntry(const char* name) {
    return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

// Stats the entry at path (named name); true, with its status and number, for a log file: a
// regular file named with digits after the first "log" and before ".bin", not 0. False for
// anything else in the directory.
bool statLogFile(const std::string& path, const char* name, struct stat* st, int* num) {
    if (stat(path.c_str(), st) != 0 || !S_ISREG(st->st_mode)) return false;
    const char* start = std::strstr(name, "log");
    if (!start) return false;
    start += 3;
    const char* end = std::strstr(start, ".bin");
    if (!end) return false;
    std::string text(start, end);
    errno = 0;
    long value = std::strtol(text.c_str(), nullptr, 10);
    if (value == 0 || errno == ERANGE || value > INT_MAX || value < INT_MIN) return false;
    *num = static_cast<int>(value);
    return true;
}

// The highest number among the log files of the directory (0 when there is none).
bool highestLogNumber(const std::string& dir, int* highest, Failure* f) {
    DirPtr d(opendir(dir.c_str()));
    if (!d) return failWith(f, "Failed to open log directory");
    *highest = 0;
    while (dirent* e = readdir(d.get())) {
        if (isDotEntry(e->d_name)) continue;
        struct stat st {};
        int num = 0;
        if (!statLogFile(dir + e->d_name, e->d_name, &st, &num)) {
            // A stray file must not stop every later download.
            logPrintf("vorn-camera getLogFilePath skipping %s%s: not a log file\n", dir.c_str(), e->d_name);
            continue;
        }
        if (num > *highest) *highest = num;
    }
    return true;
}

// Makes a new directory entry survive a power loss along with the blocks later synced into it.
void syncDirectory(const std::string& dir) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

bool createLogFile(const std::string& dir, GrowStr* path, Failure* f) {
    int highest = 0;
    if (!highestLogNumber(dir, &highest, f)) return false;
    long long next = static_cast<long long>(highest) + 1;
    if (next > INT_MAX) return failWith(f, "logNum less than 1");
    if (!formatStr(path, "%slog%d.bin", dir.c_str(), static_cast<int>(next)))
        return failWith(f, "Failed to format log file");
    int fd = open((*path)->c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return failWith(f, "%s %s", "Failed to open log file", (*path)->c_str());
    close(fd);
    syncDirectory(dir);
    return true;
}

// Calls visit(path, status) for every log file of the directory. Foreign entries are left
// alone: a crew's notes are not ours to delete or count, and an old subdirectory must not make
// every later trim fail. False (with the reason in f) when the walk or visit fails.
template <class Visit>
bool forEachLogFile(const std::string& dir, Failure* f, Visit visit) {
    DirPtr d(opendir(dir.c_str()));
    if (!d) return failWith(f, "Failed to open log directory");
    GrowStr path;
    while (dirent* e = readdir(d.get())) {
        if (isDotEntry(e->d_name)) continue;
        if (!formatStr(&path, "%s%s", dir.c_str(), e->d_name)) return failWith(f, "Failed to format temp log file");
        struct stat st {};
        int num = 0;
        if (!statLogFile(*path, e->d_name, &st, &num)) continue;
        if (!visit(*path, st)) return false;
    }
    return true;
}

// Removes the log files of 0 bytes, counting them.
bool removeEmptyFiles(const std::string& dir, int* count, Failure* f) {
    return forEachLogFile(dir, f, [&](const std::string& path, const struct stat& st) {
        if (st.st_size != 0) return true;
        ++*count;
        if (std::remove(path.c_str()) == 0) return true;
        return failWith(f, "%s %s", "Failed to delete oldest log file", path.c_str());
    });
}

bool totalLogBytes(const std::string& dir, int64_t* total, Failure* f) {
    *total = 0;
    return forEachLogFile(dir, f, [&](const std::string&, const struct stat& st) {
        *total += st.st_size;
        return true;
    });
}

bool deleteOldestFile(const std::string& dir, GrowStr* oldest, int64_t* size, Failure* f) {
    timespec oldestTime{};
    bool walked = forEachLogFile(dir, f, [&](const std::string& path, const struct stat& st) {
        // On equal times the entry listed first stays the candidate.
        if (!*oldest || timespec_Less_Than(st.st_mtim.tv_sec, st.st_mtim.tv_nsec, oldestTime.tv_sec,
                                           oldestTime.tv_nsec)) {
            *oldest = path;
            oldestTime = st.st_mtim;
            *size = st.st_size;
        }
        return true;
    });
    if (!walked) return false;
    if (!*oldest) return failWith(f, "Failed to delete oldest log file");
    if (std::remove((*oldest)->c_str()) != 0)
        return failWith(f, "%s %s", "Failed to delete oldest log file", (*oldest)->c_str());
    return true;
}

} // namespace

GrowStr formatStrV(GrowStr* holder, const char* fmt, va_list args) {
    GrowStr local;
    GrowStr* target = holder ? holder : &local;
    if (!fmt) fmt = "%s";
    va_list measure;
    va_copy(measure, args);
    int size = vsnprintf(nullptr, 0, fmt, measure) + 1;
    va_end(measure);
    if (size <= 0) {
        int err = errno;
        target->reset();
        logPrintf("vorn-camera copyStr Error : Failed to get finalStrSiz - %s\n", strerror(err));
        return std::nullopt;
    }
    std::string text(static_cast<size_t>(size - 1), '\0');
    if (vsnprintf(text.data(), static_cast<size_t>(size), fmt, args) != size - 1) {
        int err = errno;
        target->reset();
        logPrintf("vorn-camera copyStr Error : Failed to copy string - %s\n", strerror(err));
        return std::nullopt;
    }
    *target = std::move(text);
    return *target;
}

GrowStr formatStr(GrowStr* holder, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    GrowStr result = formatStrV(holder, fmt, args);
    va_end(args);
    return result;
}

GrowStr copyStr(GrowStr* holder, const char* text) {
    return formatStr(holder, "%s", text);
}

int timespec_Less_Than(time_t aSec, long aNsec, time_t bSec, long bNsec) {
    if (aSec == bSec) return aNsec < bNsec ? 1 : 0;
    return aSec < bSec ? 1 : 0;
}

std::string logDirectory() {
    return sandboxPath("/root/vorn/dataflashlogs/");
}

GrowStr getLogFilePath() {
    const std::string dir = logDirectory();
    ensureDirectory(dir);
    Failure f;
    GrowStr path;
    if (!createLogFile(dir, &path, &f)) {
        logPrintf("vorn-camera getLogFilePath Error : %s - %s\n", reasonText(f), strerror(f.err));
        return std::nullopt;
    }
    return path;
}

int removeEmptyLogs() {
    const std::string dir = logDirectory();
    if (!ensureDirectory(dir)) return 1;
    Failure f;
    int count = 0;
    if (!removeEmptyFiles(dir, &count, &f)) {
        logPrintf("vorn-camera removeOldLogs Error : %s - %s\n", reasonText(f), strerror(f.err));
        return 0;
    }
    logPrintf("vorn-camera removeOldLogs deleted %d empty log files\n", count);
    return 1;
}

int removeOldLogs(int32_t limit) {
    const std::string dir = logDirectory();
    if (!ensureDirectory(dir)) return 1;
    Failure f;
    // 64 bits: one long flight on top of a full directory must not wrap the sum.
    int64_t total = 0;
    if (!totalLogBytes(dir, &total, &f)) {
        logPrintf("vorn-camera removeOldLogs Error : %s - %s\n", reasonText(f), strerror(f.err));
        return 0;
    }
    logPrintf("vorn-camera removeOldLogs found %lld Bytes of log files\n", static_cast<long long>(total));
    while (total > limit) {
        int64_t size = deleteOldestLog();
        if (size < 0) {
            failWith(&f, "Failed to delete old log files");
            logPrintf("vorn-camera removeOldLogs Error : %s - %s\n", reasonText(f), strerror(f.err));
            return 0;
        }
        total -= size;
    }
    return 1;
}

int64_t deleteOldestLog() {
    Failure f;
    GrowStr oldest;
    int64_t size = 0;
    if (!deleteOldestFile(logDirectory(), &oldest, &size, &f)) {
        logPrintf("vorn-camera deleteOldestLog Error : %s - %s\n", reasonText(f), strerror(f.err));
        return -1;
    }
    logPrintf("vorn-camera deleteOldestLog deleted oldest file : %s of size %lld\n", oldest->c_str(),
              static_cast<long long>(size));
    return size;
}
