// A Survey3 survey flight through the real daemon, the test playing the camera on the servo output.
// The camera misses one picture: the pictures are paired with the shots by time, each tagged with
// its own shot's position, the ground is told which shot was missed before tagging starts, and
// the missed shot is kept with its reason.
// Then the camera is switched off and on and will not show its card at the next preflight: the
// ground is warned, and at that flight's postflight its pictures take its own shots, never the
// earlier flight's unmatched one.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "e2e/flightSupport.h"
#include "support/chainFixtures.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kTriggerOutput = 7; // the daemon's default trigger channel
constexpr int kOldPhotos = 2;     // on the card before the flight
constexpr int kMissedShot = 3;    // the camera takes no picture on this trigger
constexpr const char* kPicture = "/DCIM/Photo/IMG_%04d.JPG";

// The camera on its servo input: 1500 µs toggles it between capture mode and USB storage,
// 2000 µs takes a picture in capture mode. Its disk takes 7 s to show (longer than one 5 s mount
// attempt, shorter than two) and 1 s to go; a pulse while it is switching turns it back, so a
// mount that pulses at every attempt never sees the disk.
class Survey3Camera {
public:
    Survey3Camera(const flight::Flight& f, std::string photo) : f_(f), photo_(std::move(photo)) {}

    // "say camera restarts" / "say camera listens" in the scenario; the daemon is then asked for its
    // version, so that the scenario can wait until the camera has done it.
    void onLine(const std::string& line) {
        if (line == "fcsim: camera restarts") restart();
        if (line == "fcsim: camera listens") deaf_ = false;
        if (line.rfind("fcsim: camera ", 0) == 0) vt::writeFile(f_.root("/var/run/vorn-camera.fifo"), "version\n");
        auto pulse = flight::servoCommand(line);
        if (!pulse || pulse->output != kTriggerOutput) return;
        if (pulse->pwm == 1500) toggle();
        if (pulse->pwm == 2000 && !storage_ && !switching_ && ++triggers_ != kMissedShot) shoot();
    }
    void onTick() {
        if (!switching_ || Clock::now() < switchAt_) return;
        switching_ = false;
        storage_ = !storage_;
        std::error_code ec;
        if (storage_) vt::writeFile(device(), "");
        else std::filesystem::remove(device(), ec);
    }
    int shots() const { return shots_; }

private:
    std::string device() const { return f_.root("/dev/sda1"); }
    void restart() { // powered off and on: capture mode, deaf to the toggle until it listens
        storage_ = switching_ = false, deaf_ = true;
        std::error_code ec;
        std::filesystem::remove(device(), ec);
        for (const auto& e : std::filesystem::directory_iterator(f_.mountDir(), ec))
            if (e.is_symlink()) std::filesystem::remove(e.path(), ec);
    }
    void toggle() {
        if (deaf_) return;
        if (switching_) {
            switching_ = false;
            return;
        }
        switching_ = true;
        switchAt_ = Clock::now() + (storage_ ? std::chrono::seconds(1) : std::chrono::seconds(7));
    }
    void shoot() {
        std::error_code ec; // a failed copy shows in the count checks
        std::filesystem::copy_file(photo_, f_.card(flight::numbered(kPicture, kOldPhotos + ++shots_)), ec);
    }

    const flight::Flight& f_;
    std::string photo_;
    bool storage_ = false, switching_ = false, deaf_ = false;
    Clock::time_point switchAt_;
    int shots_ = 0, triggers_ = 0;
};

} // namespace

TEST(Survey3Flight, NewPicturesTaggedAndArchivedAMissedPictureReachesTheGround) {
    const std::vector<flight::Fix> shots = {{-35.3632621, 149.1652374, 704.25, 0.5},
                                            {-35.3628130, 149.1652374, 705.5, 1.25},
                                            {-35.3623640, 149.1656780, 706.125, 180.0},
                                            {-35.3619149, 149.1661187, 703.0, 271.75}};
    const std::vector<flight::Fix> second = {{-35.3610000, 149.1670000, 710.0, 90.0},
                                             {-35.3605510, 149.1670000, 711.0, 90.5}};
    flight::Flight f;
    vt::makeDirs(f.card("/DCIM/Photo"));
    for (int k = 1; k <= kOldPhotos; ++k) chain::makeImage(f.card(flight::numbered(kPicture, k)));
    chain::makeImage(f.work("photo.jpg"), "320x240", "khaki");
    std::string log = flight::makeDataflashLog(f.work("flight.bin"), 150 * 200, 3);

    std::ostringstream scenario;
    scenario << "wait log \"flight controller on\" 30\n"
             << "preflight camtype=2 mission=e2e-survey3\n"
             << flight::streamLog(f.work("flight.bin"))
             << "wait log \"vorn-camera preflfight_survey3 " << kOldPhotos << " unknown files in \" 120\n"
             << "wait log \"vorn-camera unmount_survey3 " << f.mountDir() << " is unmounted\" 60\n"
             << "arm\nheartbeat active\n";
    // Shots three seconds apart, far enough that a missed picture shows in the file times.
    for (const auto& shot : shots) scenario << shot.feedbackStep(3) << "wait rx COMMAND_LONG cmd=183 p1=7 p2=2000 30\n";
    scenario << "land\n"
             << "wait rx DATA96 type=4 count=" << shots.size() << " 120\n"
             << "disarm\n"
             << "wait log \"vorn-camera postflight_survey3 1 images, 0 files to process\" 90\n"
             << "mark\nsay camera restarts\nwait log \"received [version]\" 30\npreflight camtype=2 mission=second\n"
             << "wait log \"warning to the ground: card not mounted: preflight not done\" 90\n"
             << "mark\nsay camera listens\nwait log \"received [version]\" 30\narm\nheartbeat active\n";
    for (const auto& shot : second) scenario << shot.feedbackStep(3) << "wait rx COMMAND_LONG cmd=183 p1=7 p2=2000 30\n";
    scenario << "land\n"
             << "wait log \"vorn-camera postflight_survey3 2 images processed, 2 expected\" 120\n"
             << "stop 6\n";

    Survey3Camera camera(f, f.work("photo.jpg"));
    f.fly(scenario.str());
    ASSERT_EQ(f.finish(std::chrono::seconds(240), f.work("fcsim.out"), [&](const std::string& l) { camera.onLine(l); },
                       [&] { camera.onTick(); }), 0) << f.diagnostics();
    std::string out = f.out();

    // The relay powers the camera.
    EXPECT_FALSE(flight::linesWith(out, "RX COMMAND_LONG cmd=181 p1=0 p2=1 ").empty());
    // The toggle pulses: into storage and back before the first flight, into storage after it; three in vain
    // at the second preflight, one into storage after that flight. One picture per shot.
    EXPECT_EQ(flight::servoCommands(out, 1500), std::vector<flight::ServoPulse>(7, {kTriggerOutput, 1500}));
    EXPECT_EQ(flight::servoCommands(out, 2000),
              std::vector<flight::ServoPulse>(shots.size() + second.size(), {kTriggerOutput, 2000}));
    const int pictures = static_cast<int>(shots.size()) - 1;
    ASSERT_EQ(camera.shots(), pictures + static_cast<int>(second.size()));
    flight::expectWarning(out, "flight 1: shot 3 missed; paired by time");
    EXPECT_LT(out.find("text=\"flight 1: shot 3 missed"), out.find("RX DATA96 type=4 ")) << "told before tagging";

    EXPECT_EQ(flight::query(f.dir() + "/geodata.db", "SELECT id, reason FROM image JOIN unpaired ON shotID = id"),
              (std::vector<std::vector<std::string>>{{"3", "no picture for this shot"}}));
    flight::expectWarning(out, "card not mounted: preflight not done");
    for (size_t k = 0; k < second.size(); ++k)
        flight::expectTaggedWith(f.mountDir() + flight::numbered(kPicture, kOldPhotos + pictures + 1 + k), second[k]);
    EXPECT_EQ(flight::query(f.dir() + "/geodata.db", "SELECT missionID, COUNT(*) FROM flights JOIN oldfiles USING "
                                                     "(flightID) WHERE flightID = 2"),
              (std::vector<std::vector<std::string>>{{"second", "2"}}));
    flight::expectCardFlight(f, kPicture, kOldPhotos, {shots[0], shots[1], shots[3]}, {"1", "e2e-survey3", "2"}, log);
}
