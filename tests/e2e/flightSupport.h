// Helpers of the end-to-end flights: one sandboxed flight of the real daemon behind vorn-fcsim and
// the checks a survey crew makes after landing.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/testSupport.h"

namespace flight {

// One flight in its own sandbox: the daemon's working directory (geodata.db), the sandbox root
// and the camera's card. Stub host commands: "mount DEV DIR" links the card's entries into DIR
// when DEV exists (a network share "//..." always does), "umount DIR" removes those links.
class Flight {
public:
    Flight();
    ~Flight(); // leaves no daemon behind to read from a later flight's pseudo-terminal
    std::string dir() const { return work_ / "flight"; }
    std::string root(const std::string& rel = "") const { return work_ / ("root" + rel); }
    std::string card(const std::string& rel = "") const { return work_ / ("card" + rel); }
    std::string mountDir() const { return root("/media/usbdrive"); }
    std::string work(const std::string& rel) const { return work_ / rel; }
    std::string log() const { return vt::readFile(work("daemon.log")); } // the daemon's log file
    const vt::StubPath& stubs() const { return stubs_; }

    // Starts the simulator on the scenario with the daemon behind it (its arguments after the
    // daemon path; {fc} and {modem} stand for the lines).
    void fly(const std::string& scenario, const std::vector<std::string>& simOptions = {},
             const std::vector<std::string>& daemonArgs = {"{fc}", "1500000"},
             const std::vector<std::string>& daemonEnv = {});
    // A power cut: every process of the flight but the simulator ends at once (SIGKILL).
    void cutPower() const;
    // The simulator's exit status once it ended, -1 when it did not end within the deadline.
    // Meanwhile onLine sees every line appended to the file follow and onTick runs every few ms
    // (a camera following the simulator's output, a power cut following the daemon's log).
    int finish(std::chrono::seconds deadline, const std::string& follow = "",
               const std::function<void(const std::string&)>& onLine = {}, const std::function<void()>& onTick = {});
    vt::Process& sim() { return *sim_; }
    std::string out() const { return sim_ ? sim_->output() : ""; } // the simulator's standard output
    // What to print when a flight failed: the simulator's error output and the daemon's log.
    std::string diagnostics() const;

private:
    vt::TempDir work_;
    vt::StubPath stubs_;
    std::unique_ptr<vt::Process> sim_;
};

// A DO_SET_SERVO the daemon sent, as the simulator printed it.
struct ServoPulse {
    int output;
    int pwm;
    bool operator==(const ServoPulse& o) const { return output == o.output && pwm == o.pwm; }
};
std::optional<ServoPulse> servoCommand(const std::string& line);
std::vector<ServoPulse> servoCommands(const std::string& output, int pwm);

// Random bytes (a dataflash log is blocks of 200 of them), written to path.
std::string makeDataflashLog(const std::string& path, size_t bytes, unsigned seed);
// Scenario lines streaming the log file at path once the first preflight has opened the next log
// file; the first "wait rx" of the scenario. The file it opened must then hold the data.
std::string streamLog(const std::string& path);
void expectDataflashLog(const Flight& f, const std::string& data);

// Where a shot was taken, as the flight controller reported it.
struct Fix {
    double lat, lon, alt, yaw; // degrees, degrees, metres above mean sea level, degrees
    std::string feedbackStep() const;
};
// The image's GPS tags, read back with exiv2, must show the fix (or none at all).
void expectTaggedWith(const std::string& image, const Fix& fix);
void expectUntagged(const std::string& image);

// The progress report of archived of pairs images as the simulator prints it, and the reports of a
// tagging pass of n images at the ground: one per image, the last one twice (the final report).
std::string progressLine(int archived, int pairs);
void expectProgress(const std::string& output, int images);
// The warning sent to the ground once as STATUSTEXT and once as USER_MESSAGE.
void expectWarning(const std::string& output, const std::string& text);

// The crew's view of a card camera's flight 1: a clean stop, the pictures from before it (numbers
// 1 to oldPhotos) untagged and known, the next ones tagged with the shots and archived under the
// flight's row (flight, mission, camera type), the progress reports at the ground and the log.
void expectCardFlight(const Flight& f, const char* pictureName, int oldPhotos, const std::vector<Fix>& shots,
                      const std::vector<std::string>& flightRow, const std::string& log);

// The daemon stopped with status 0 within the scenario's final "stop", and no process of the
// flight is left (every process the daemon started carries the sandbox root in its environment).
void expectCleanEnd(const Flight& f);

// Rows of a query on a database file, every column as text; the lines of text that contain needle.
std::vector<std::vector<std::string>> query(const std::string& db, const std::string& statement);
std::vector<std::string> linesWith(const std::string& text, const std::string& needle);

} // namespace flight
