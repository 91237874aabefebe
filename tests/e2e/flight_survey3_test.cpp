// A Survey3 survey flight through the real daemon, the test playing the camera on the servo output.
// The camera misses one picture: the pictures are tagged by position (the one after the gap with
// the missed shot's), the ground is warned where the times part, and the unmatched shot is kept.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "archive/chainFixtures.h"
#include "e2e/flightSupport.h"

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

    void onLine(const std::string& line) {
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
    void toggle() {
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
    bool storage_ = false, switching_ = false;
    Clock::time_point switchAt_;
    int shots_ = 0, triggers_ = 0;
};

} // namespace

TEST(Survey3Flight, NewPicturesTaggedAndArchivedAMissedPictureReachesTheGround) {
    const std::vector<flight::Fix> shots = {{-35.3632621, 149.1652374, 704.25, 0.5},
                                            {-35.3628130, 149.1652374, 705.5, 1.25},
                                            {-35.3623640, 149.1656780, 706.125, 180.0},
                                            {-35.3619149, 149.1661187, 703.0, 271.75}};
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
    // Shots far enough apart that a missed picture shows in the file times.
    for (const auto& shot : shots)
        scenario << shot.feedbackStep() << "wait rx COMMAND_LONG cmd=183 p1=7 p2=2000 30\nsleep 3.1\n";
    scenario << "land\n"
             << "wait rx DATA96 type=4 count=" << shots.size() << " 120\n"
             << "disarm\n"
             << "wait log \"vorn-camera postflight_survey3 1 images, 0 files to process\" 90\n"
             << "stop 6\n";

    Survey3Camera camera(f, f.work("photo.jpg"));
    f.fly(scenario.str());
    ASSERT_EQ(f.finish(std::chrono::seconds(240), f.work("fcsim.out"), [&](const std::string& l) { camera.onLine(l); },
                       [&] { camera.onTick(); }), 0) << f.diagnostics();
    std::string out = f.out();

    // The relay powers the camera; the toggle pulses: into storage and back before the flight,
    // into storage after it. One picture per shot.
    EXPECT_FALSE(flight::linesWith(out, "RX COMMAND_LONG cmd=181 p1=0 p2=1 ").empty());
    EXPECT_EQ(flight::servoCommands(out, 1500), std::vector<flight::ServoPulse>(3, {kTriggerOutput, 1500}));
    EXPECT_EQ(flight::servoCommands(out, 2000), std::vector<flight::ServoPulse>(shots.size(), {kTriggerOutput, 2000}));
    const int pictures = static_cast<int>(shots.size()) - 1;
    ASSERT_EQ(camera.shots(), pictures);
    flight::expectWarning(out, "4 shots, 3 images: positions may be shifted");
    flight::expectWarning(out, "shot 3: image times part from shot times");

    EXPECT_EQ(flight::query(f.dir() + "/geodata.db", "SELECT COUNT(*) FROM image")[0][0], "1"); // the last shot
    flight::expectCardFlight(f, kPicture, kOldPhotos, {shots.begin(), shots.begin() + pictures},
                             {"1", "e2e-survey3", "2"}, log);
}
