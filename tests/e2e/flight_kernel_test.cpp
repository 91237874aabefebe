// A Kernel survey flight through the real daemon with no Kernel HID device: the daemon cannot switch
// the camera's mode, says so, and keeps trying to mount until the card shows up as a disk. The
// test plays the camera: a 2000 µs pulse on output 12 takes a TIFF picture.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "e2e/flightSupport.h"
#include "support/chainFixtures.h"

namespace {

constexpr int kTriggerOutput = 12; // the Kernel camera's servo output, whatever --trigger says
constexpr int kOldPhotos = 1;
constexpr const char* kPicture = "/dcim/MED-06-001/IMG_%04d.tiff";

// The camera and the crew around it. Without its HID channel the camera cannot be asked for
// transfer mode: once the daemon has asked in vain the crew plugs the card in, and again right
// after the survey's last picture. The marker file on the card takes the disk away.
class KernelCamera {
public:
    KernelCamera(const flight::Flight& f, std::string photo, int flightShots)
        : f_(f), photo_(std::move(photo)), flightShots_(flightShots) {}

    void onLine(const std::string& line) {
        if (line.find("LOG vorn-camera mount_kernel failed to write to usb") == 0) plugIn();
        auto pulse = flight::servoCommand(line);
        if (!pulse || pulse->output != kTriggerOutput || pulse->pwm != 2000 || diskShown()) return;
        std::error_code ec; // a failed copy shows in the count checks
        std::filesystem::copy_file(photo_, f_.card(flight::numbered(kPicture, kOldPhotos + ++shots_)), ec);
        if (shots_ == flightShots_) plugIn();
    }
    void onTick() {
        if (!vt::fileExists(f_.card("/dcim/tmtf.txt"))) return;
        // Leaving transfer mode: the disk and whatever was mounted from it are gone.
        std::error_code ec;
        std::filesystem::remove(f_.card("/dcim/tmtf.txt"), ec);
        std::filesystem::remove(disk(), ec);
        for (const auto& e : std::filesystem::directory_iterator(f_.mountDir(), ec))
            if (e.is_symlink()) std::filesystem::remove(e.path(), ec);
        ++marks_;
    }
    int shots() const { return shots_; }
    int marks() const { return marks_; }

private:
    std::string disk() const { return f_.root("/dev/sda"); }
    bool diskShown() const { return vt::fileExists(disk()); }
    void plugIn() { vt::writeFile(disk(), ""); }

    const flight::Flight& f_;
    std::string photo_;
    int flightShots_;
    int shots_ = 0, marks_ = 0;
};

} // namespace

TEST(KernelFlight, WithoutHidTheCardIsMountedWhenItAppearsAndThePicturesAreTagged) {
    const std::vector<flight::Fix> shots = {{-35.3600001, 149.1600002, 650.5, 45.0},
                                            {-35.3595510, 149.1600002, 651.25, 45.5},
                                            {-35.3591020, 149.1604409, 652.0, 300.25}};
    flight::Flight f;
    vt::makeDirs(f.card("/dcim/MED-06-001"));
    chain::makeImage(f.card(flight::numbered(kPicture, 1)));
    chain::makeImage(f.work("photo.tiff"), "320x240", "olive");
    std::string log = flight::makeDataflashLog(f.work("flight.bin"), 120 * 200, 12);

    std::ostringstream scenario;
    scenario << "wait log \"flight controller on\" 30\n"
             << "preflight camtype=3 mission=e2e-kernel\n"
             << flight::streamLog(f.work("flight.bin"))
             << "wait log \"vorn-camera preflight_kernel " << kOldPhotos << " unknown files\" 120\n"
             << "wait log \"vorn-camera unmount_kernel " << f.mountDir() << " is unmounted\" 120\n"
             << "arm\nheartbeat active\n";
    for (const auto& shot : shots) scenario << shot.feedbackStep() << "wait rx COMMAND_LONG cmd=183 p1=12 p2=2000 30\n";
    scenario << "land\n"
             << "wait rx DATA96 type=4 count=" << shots.size() + 1 << " 120\n"
             << "disarm\n"
             << "wait log \"vorn-camera postflight_kernel 0 images, 0 files to process\" 90\n"
             << "stop 6\n";

    KernelCamera camera(f, f.work("photo.tiff"), static_cast<int>(shots.size()));
    f.fly(scenario.str());
    ASSERT_EQ(f.finish(std::chrono::seconds(240), f.work("fcsim.out"), [&](const std::string& l) { camera.onLine(l); },
                       [&] { camera.onTick(); }), 0) << f.diagnostics();
    std::string out = f.out();

    // The missing HID device is reported at start and at the mount attempt that found no disk.
    EXPECT_FALSE(flight::linesWith(out, "LOG vorn-camera kernel failed to open usb").empty());
    EXPECT_FALSE(flight::linesWith(out, "LOG vorn-camera initialize_kernel failed to set capture photo mode").empty());
    EXPECT_FALSE(flight::linesWith(out, "LOG vorn-camera mount_kernel failed to write to usb, err=").empty());
    // The card left transfer mode once, through the marker file, before the flight.
    EXPECT_EQ(camera.marks(), 1);
    EXPECT_EQ(flight::servoCommands(out, 2000), std::vector<flight::ServoPulse>(shots.size(), {kTriggerOutput, 2000}));
    EXPECT_TRUE(flight::servoCommands(out, 1500).empty());
    ASSERT_EQ(camera.shots(), static_cast<int>(shots.size()));

    flight::expectCardFlight(f, kPicture, kOldPhotos, shots, {"1", "e2e-kernel", "3"}, log);
}
