// A Sony flight through the real daemon: the test plays the Sony camera API process on the two
// FIFOs. It must receive the camera requests of the flight in order (still shots, a movie
// recording started and stopped, zoom from the RC switch) and, while positions stream, GPS
// records that place the aircraft where the simulator flies it. Nothing is archived: the
// pictures stay with the Sony side.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <ctime>
#include <sstream>

#include "e2e/flightSupport.h"

namespace {

using Record = std::array<int32_t, 45>;

// A FIFO opened for reading, with a write end of our own so that the daemon's opening and closing
// never shows an end of file. The flight's bytes fit in the pipe: they are read once it is over.
class Fifo {
public:
    explicit Fifo(const std::string& path) {
        EXPECT_EQ(mkfifo(path.c_str(), 0700), 0) << path;
        reader_ = open(path.c_str(), O_RDONLY | O_NONBLOCK);
        writer_ = open(path.c_str(), O_WRONLY | O_NONBLOCK);
    }
    ~Fifo() {
        close(reader_);
        close(writer_);
    }
    // What arrived, as whole records of type T.
    template <class T>
    std::vector<T> drain() const {
        std::string bytes;
        char buf[4096];
        for (ssize_t n; (n = read(reader_, buf, sizeof buf)) > 0;) bytes.append(buf, static_cast<size_t>(n));
        EXPECT_EQ(bytes.size() % sizeof(T), 0u) << "records arrive whole";
        std::vector<T> out(bytes.size() / sizeof(T));
        std::memcpy(out.data(), bytes.data(), out.size() * sizeof(T));
        return out;
    }

private:
    int reader_ = -1, writer_ = -1;
};

// The local time a record carries, as seconds since the epoch.
time_t recordTime(const Record& w) {
    std::tm t{};
    t.tm_year = w[39] - 1900;
    t.tm_mon = w[40] - 1;
    t.tm_mday = w[41];
    t.tm_hour = w[42];
    t.tm_min = w[43];
    t.tm_sec = w[44] / 1000;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

} // namespace

TEST(SonyFlight, TheSonyProcessGetsTheRequestsInOrderAndTheAircraftsPositions) {
    flight::Flight f;
    std::string log = flight::makeDataflashLog(f.work("flight.bin"), 80 * 200, 4);
    Fifo commandFifo(f.root("/var/run/vornSonyMsg.fifo")), gpsFifo(f.root("/var/run/vornSonyGPSMsg.fifo"));
    time_t start = std::time(nullptr);

    std::ostringstream scenario;
    scenario << "wait log \"flight controller on\" 30\n"
             << "preflight camtype=4 mission=e2e-sony\n"
             << flight::streamLog(f.work("flight.bin"))
             << "position on 5\narm\nheartbeat active\n"
             << "feedback\nwait log \"vorn-camera trigger_sony Still trigger\" 30\n"
             << "feedback\nwait log \"vorn-camera trigger_sony Still trigger\" 30\n"
             << "cameramode movie\n"
             << "feedback\nwait log \"vorn-camera trigger_sony Start Recording\" 30\n"
             << "feedback\nwait log \"vorn-camera trigger_sony Stop Recording\" 30\n"
             << "cameramode still\n"
             << "rc chan6=2000\nrc chan6=1500\n"
             << "position off\nland\n"
             << "wait log \"vorn-camera cameraThread postflightCamera(4)\" 30\n"
             << "disarm\n"
             << "wait log \"vorn-camera cameraThread postflightCamera(4)\" 30\n"
             << "stop 6\n";
    f.fly(scenario.str());
    ASSERT_EQ(f.finish(std::chrono::seconds(180)), 0) << f.diagnostics();
    flight::expectCleanEnd(f);

    // Still mode when first used, two stills, movie mode, a recording started and stopped, still
    // mode again, zoom in and stop.
    time_t end = std::time(nullptr);
    EXPECT_EQ(commandFifo.drain<int32_t>(), (std::vector<int32_t>{4, 0, 0, 5, 6, 7, 4, 1, 3}));

    auto records = gpsFifo.drain<Record>();
    ASSERT_GE(records.size(), 5u) << f.diagnostics();
    // The simulator starts at -35.3632621, 149.1652374, 704 m and flies its first leg north at
    // 15 m/s, the flight ending long before the leg's 300 m: south 35° 21', the seconds falling
    // from 47.74356" towards 38.04186"; east 149° 9' 54.85464"; 704 m; the time of the flight.
    int32_t lastLatSec = 4774356;
    for (const Record& w : records) {
        Record fixed = w;
        fixed[5] = fixed[10] = 0;
        std::fill(fixed.begin() + 39, fixed.end(), 0);
        EXPECT_EQ(fixed, (Record{1, 1, 1, 35, 21, 0, 100000, 1, 149, 9, 0, 100000, 1, 0, 704000, 1000}));
        EXPECT_NEAR(w[10], 5485464, 1); // to 1e-5" as the daemon truncates
        EXPECT_LE(w[5], lastLatSec) << "the aircraft flies north";
        EXPECT_GE(w[5], 3804186);
        lastLatSec = w[5];
        EXPECT_GE(recordTime(w), start - 2);
        EXPECT_LE(recordTime(w), end + 2);
    }

    // Nothing of a Sony flight is archived or tagged here.
    std::string db = f.dir() + "/geodata.db";
    EXPECT_EQ(flight::query(db, "SELECT (SELECT COUNT(*) FROM image), (SELECT COUNT(*) FROM oldfiles), "
                                "(SELECT COUNT(*) FROM flights)"),
              (std::vector<std::vector<std::string>>{{"0", "0", "0"}}));
    std::string out = f.out();
    EXPECT_TRUE(flight::linesWith(out, "RX DATA96 type=4 ").empty());
    EXPECT_TRUE(flight::servoCommands(out, 2000).empty()) << "no servo shot for a Sony camera";
    flight::expectDataflashLog(f, log);
}
