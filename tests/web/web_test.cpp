// The field page of the real daemon, spoken to over plain sockets: what it serves, that nothing
// outside its listings ever comes back, and that requests too big, too many or too slow are cut
// off while the page goes on answering.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>

#include "support/chainFixtures.h"
#include "support/testSupport.h"

namespace {
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
const std::string secret = "secret-5c1e9a-not-for-the-page"; // in a file outside the page's folders
int msUntil(Clock::time_point t) { return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count()); }

// One connection's answer: status 0 when no whole status line and headers came.
struct Answer {
    int status = 0;
    std::string raw, head, body;
    bool closed = false; // the server closed (or reset) the connection before the deadline
    bool has(const std::string& header) const { return head.find("\r\n" + header) != std::string::npos; }
    bool whole() const { return has("Content-Length: " + std::to_string(body.size()) + "\r\n"); }
};
Answer parsed(std::string raw, bool closed) {
    Answer a;
    a.raw = std::move(raw), a.closed = closed;
    const size_t end = a.raw.find("\r\n\r\n");
    if (a.raw.compare(0, 7, "HTTP/1.") != 0 || end == std::string::npos) return a;
    a.status = std::atoi(a.raw.c_str() + 9), a.head = a.raw.substr(0, end + 2), a.body = a.raw.substr(end + 4);
    return a;
}
int connectTo(int port) { // -1 when refused
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval limit{3, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in to{};
    to.sin_family = AF_INET, to.sin_port = htons(static_cast<uint16_t>(port)), to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) return fd;
    close(fd);
    return -1;
}
// Reads on until the server closes the connection or the deadline passes.
bool readToClose(int fd, std::string* got, Clock::time_point deadline) {
    for (int left; (left = msUntil(deadline)) > 0;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, left) <= 0) continue;
        char buf[65536];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return true;
        got->append(buf, static_cast<size_t>(n));
    }
    return false;
}
std::string request(const std::string& path, const std::string& method = "GET", const std::string& extra = "") {
    return method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + extra + "\r\n";
}
using Json = std::unique_ptr<json_object, int (*)(json_object*)>;
Json json(const std::string& text) { return Json(json_tokener_parse(text.c_str()), json_object_put); }
json_object* at(json_object* o, const char* key) { return json_object_object_get(o, key); }
std::vector<std::string> each(json_object* list, const char* key) { // one field of every object of a list
    std::vector<std::string> out;
    for (size_t i = 0; list && i < json_object_array_length(list); ++i)
        out.push_back(json_object_get_string(at(json_object_array_get_idx(list, i), key)));
    return out;
}

// The daemon in a sandbox of its own, without its serial port: flight 1 with its files, flight 2
// whose geo.txt links to the secret, flight 3 with no folder; a log, a link and a folder among the logs.
class FieldPage : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* d : {"flights/1", "flights/2", "root/vorn/dataflashlogs/old"}) vt::makeDirs(work / d);
        vt::writeFile(work / "secret.txt", secret + "\n");
        vt::writeFile(work / "flights/1/geo.txt", "EPSG:4326\nIMG_0001.JPG 8.1234567 47.1234567 120.500\n");
        vt::writeFile(work / "flights/1/shots.geojson", "{\"type\":\"FeatureCollection\",\"features\":[]}\n");
        vt::writeFile(work / "flights/1/shots.csv",
                      "image,time,latitude,longitude,altitude,yaw,pitch,roll,tagged,flight,missionID,camType\r\n"
                      "IMG_0001.JPG,2026-05-01T10:00:00.000Z,47.1234567,8.1234567,120.500,90.00,0.00,0.00,true,1,M-1,1\r\n"
                      "IMG_0002.JPG,2026-05-01T10:00:02.000Z,47.1234667,8.1234667,120.600,90.00,0.00,0.00,false,1,M-1,1\r\n");
        ASSERT_EQ(symlink((work / "secret.txt").c_str(), (work / "flights/2/geo.txt").c_str()), 0);
        for (int i = 0; i < 3000; ++i) logBytes += static_cast<char>(i * 7 % 256);
        vt::writeFile(logDir + "log4.bin", logBytes);
        ASSERT_EQ(symlink((work / "secret.txt").c_str(), (logDir + "outside.bin").c_str()), 0);
        stubs.add("nmcli"), stubs.add("systemctl");
        daemon = std::make_unique<vt::Process>(work.path(), "daemon", vt::daemonArgv({work / "no-such-tty"}),
            std::map<std::string, std::string>{{"VORN_ROOT", work.path()}, {"PATH", stubs.dir() + ":/usr/bin:/bin"}});
        const std::string listening = "vorn-camera webServer listening on http://127.0.0.1:";
        ASSERT_TRUE(vt::waitUntil([&] {
            const std::string out = daemon->output();
            const size_t from = out.find(listening), end = out.find("/\n", from);
            return from != std::string::npos && end != std::string::npos &&
                   (port = std::atoi(out.c_str() + from + listening.size())) > 0;
        }));
        ASSERT_TRUE(daemon->waitForOutput("try to create table 'pictureTime'"));
        ASSERT_TRUE(daemon->waitForOutput("logHandlerThread created log file"));
        chain::Db db = chain::openDb(work / "geodata.db"); // WAL: written while the daemon runs
        sqlite3_busy_timeout(db.get(), 5000);
        chain::exec(db.get(), "INSERT INTO flights (flightID, missionID, camType, time) VALUES "
                              "(1, 'M-1', 1, 1777629600000), (2, 'M-2', 1, 1777633200000), (3, 'M-3', 1, 1777636800000)");
    }
    void TearDown() override {
        if (HasFailure() && daemon) fprintf(stderr, "---- daemon output ----\n%s----\n", daemon->output().c_str());
    }
    // Sends raw bytes on a fresh connection; what came back until it closed. Never the secret.
    Answer ask(const std::string& bytes, std::chrono::milliseconds deadline = 5s) {
        int fd = connectTo(port);
        if (fd < 0) return Answer{};
        (void)!send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        std::string got;
        const bool closed = readToClose(fd, &got, Clock::now() + deadline);
        close(fd);
        EXPECT_EQ(got.find(secret), std::string::npos) << bytes.substr(0, 80);
        EXPECT_EQ(got.find("SQLite format 3"), std::string::npos) << bytes.substr(0, 80);
        return parsed(got, closed);
    }
    // The daemon still runs and answers, and stops cleanly on SIGTERM.
    void expectServesOnAndStops() {
        EXPECT_TRUE(daemon->running());
        EXPECT_EQ(ask(request("/api/status")).status, 200);
        EXPECT_EQ(daemon->stop(), 0) << daemon->errors();
    }
    vt::TempDir work;
    vt::StubPath stubs;
    const std::string logDir = work / "root/vorn/dataflashlogs/";
    std::string logBytes;
    std::unique_ptr<vt::Process> daemon;
    int port = 0;
};

TEST_F(FieldPage, ServesItsListingsAndFilesAndNothingOutsideThem) {
    struct Case {
        const char* name;
        std::string bytes;
        int status;
        std::string header = "";               // a header line the answer holds
        std::optional<std::string> body = {};  // the body exactly
    };
    const std::string allow = "Allow: GET, HEAD\r\n";
    const Case cases[] = {
        {"page", request("/"), 200, "Content-Type: text/html"},
        {"status", request("/api/status"), 200, "Content-Type: application/json"},
        {"status HEAD", request("/api/status", "HEAD"), 200, "Content-Type: application/json", ""},
        {"flights", request("/api/flights"), 200},
        {"flight 1", request("/api/flights/1"), 200},
        {"flight 2", request("/api/flights/2"), 200},
        {"flight 3 without its folder", request("/api/flights/3"), 404},
        {"logs", request("/api/logs"), 200},
        {"geo.txt", request("/flights/1/geo.txt"), 200, "Content-Disposition: attachment; filename=\"flight-1-geo.txt\"",
         vt::readFile(work / "flights/1/geo.txt")},
        {"shots.csv", request("/flights/1/shots.csv"), 200, "Content-Type: text/csv", vt::readFile(work / "flights/1/shots.csv")},
        {"a log", request("/logs/log4.bin"), 200, "Content-Type: application/octet-stream", logBytes},
        {"up from the root", request("/../geodata.db"), 404},
        {"up from a flight", request("/flights/1/../../geodata.db"), 404},
        {"up from a flight, escaped", request("/flights/1/%2e%2e/%2e%2e/geodata.db"), 404},
        {"up from the logs, escaped slash", request("/logs/..%2fgeodata.db"), 404},
        {"up from the logs, all escaped", request("/logs/%2e%2e%2fsecret.txt"), 404},
        {"flight number with escaped slashes", request("/flights/1%2f..%2f2/geo.txt"), 404},
        {"log linked outside", request("/logs/outside.bin"), 404},
        {"folder among the logs", request("/logs/old"), 404},
        {"flight file linked outside", request("/flights/2/geo.txt"), 404},
        {"file of a flight without its folder", request("/flights/3/geo.txt"), 404},
        {"flight number not a number", request("/flights/01x/geo.txt"), 404},
        {"flight number too long", request("/api/flights/99999999999"), 404},
        {"POST", request("/api/status", "POST", "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 9\r\n") + "shutter=1", 405, allow},
        {"PUT", request("/api/status", "PUT", "Content-Length: 5\r\n") + "hello", 405, allow},
        {"DELETE", request("/api/status", "DELETE"), 405, allow},
        {"OPTIONS", request("/api/status", "OPTIONS"), 405, allow},
        {"TRACE", request("/api/status", "TRACE"), 405, allow},
        {"PATCH", request("/api/status", "PATCH"), 405, allow},
    };
    std::map<std::string, Answer> answers;
    for (const Case& c : cases) {
        const Answer a = answers[c.name] = ask(c.bytes);
        EXPECT_EQ(a.status, c.status) << c.name << "\n" << a.raw.substr(0, 400);
        EXPECT_TRUE(a.closed) << c.name;
        EXPECT_TRUE(c.header.empty() || a.has(c.header)) << c.name << " lacks " << c.header << "\n" << a.head;
        EXPECT_TRUE(!c.body || a.body == *c.body) << c.name << ": " << a.body.size() << " bytes, not " << c.body->size();
        EXPECT_TRUE(c.status != 200 || c.body == "" || a.whole()) << c.name << ": not whole";
    }
    Json status = json(answers["status"].body), flights = json(answers["flights"].body), logs = json(answers["logs"].body);
    Json one = json(answers["flight 1"].body), two = json(answers["flight 2"].body);
    ASSERT_TRUE(status && flights && logs && one && two) << "an answer is not JSON";
    EXPECT_STREQ(json_object_get_string(at(status.get(), "aircraft")), "not heard");
    // Newest first; flight 3 has no folder and so is not a flight.
    EXPECT_EQ(each(at(flights.get(), "flights"), "flight"), (std::vector<std::string>{"2", "1"}));
    EXPECT_STREQ(json_object_get_string(at(one.get(), "mission")), "M-1");
    EXPECT_EQ(json_object_get_int(at(one.get(), "shots")), 2);
    EXPECT_EQ(json_object_get_int(at(one.get(), "tagged")), 1);
    EXPECT_EQ(each(at(one.get(), "shotList"), "image"), (std::vector<std::string>{"IMG_0001.JPG", "IMG_0002.JPG"}));
    EXPECT_EQ(each(at(one.get(), "files"), "name"), (std::vector<std::string>{"shots.geojson", "shots.csv", "geo.txt"}));
    EXPECT_EQ(each(at(two.get(), "files"), "name"), std::vector<std::string>{}); // its geo.txt is a link
    // The logs listed are the regular files of the folder: not the link, not the subfolder.
    std::set<std::string> regular;
    for (const auto& e : std::filesystem::directory_iterator(logDir))
        if (e.is_regular_file() && !e.is_symlink()) regular.insert(e.path().filename());
    const std::vector<std::string> listed = each(at(logs.get(), "logs"), "name");
    EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()), regular);
    EXPECT_EQ(regular.count("log4.bin"), 1u);
    EXPECT_EQ(listed.size(), regular.size());
    expectServesOnAndStops();
}

TEST_F(FieldPage, CutsOffTooBigTooManyAndTooSlowClientsAndServesTheOthers) {
    const std::pair<const char*, std::string> tooBig[] = {
        {"20 KB request line", request("/" + std::string(20000, 'a'))},
        {"20 KB header", request("/api/status", "GET", "X-Filler: " + std::string(20000, 'a') + "\r\n")},
    };
    for (const auto& [name, bytes] : tooBig) {
        const Answer a = ask(bytes);
        EXPECT_TRUE(a.closed) << name;
        EXPECT_TRUE(a.status == 0 || a.status == 400 || a.status == 414 || a.status == 431) << name << ": " << a.status;
        EXPECT_EQ(ask(request("/api/status")).status, 200) << "after the " << name;
    }

    // 100 clients at once: each answered whole or cut off (32 connections at once, 12 from one address).
    constexpr int kClients = 100;
    std::vector<int> fds;
    std::vector<std::string> got(kClients);
    std::vector<bool> closed(kClients, false);
    for (int i = 0; i < kClients; ++i) fds.push_back(connectTo(port));
    for (int fd : fds)
        if (fd >= 0) (void)!send(fd, request("/api/status").data(), request("/api/status").size(), MSG_NOSIGNAL);
    for (const auto deadline = Clock::now() + 15s; msUntil(deadline) > 0;) {
        std::vector<pollfd> open;
        for (int i = 0; i < kClients; ++i)
            if (fds[i] >= 0 && !closed[i]) open.push_back({fds[i], POLLIN, 0});
        if (open.empty() || poll(open.data(), open.size(), std::min(msUntil(deadline), 100)) < 0) break;
        for (int i = 0; i < kClients; ++i) {
            char buf[4096];
            ssize_t n = fds[i] < 0 || closed[i] ? 0 : recv(fds[i], buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) got[i].append(buf, static_cast<size_t>(n));
            else if (fds[i] >= 0 && !closed[i] && (n == 0 || errno != EAGAIN)) closed[i] = true;
        }
    }
    int answered = 0;
    for (int i = 0; i < kClients; ++i) {
        if (fds[i] < 0) continue; // refused
        close(fds[i]);
        const Answer a = parsed(got[i], closed[i]);
        EXPECT_TRUE(a.closed) << "client " << i << " neither answered nor cut off";
        EXPECT_EQ(got[i].find(secret), std::string::npos);
        if (a.status == 0) continue; // cut off
        EXPECT_EQ(a.status, 200) << "client " << i;
        Json body = json(a.body);
        EXPECT_TRUE(a.whole() && body && at(body.get(), "version")) << "client " << i << ": " << a.raw;
        answered += a.status == 200;
    }
    EXPECT_GE(answered, 12);
    auto asked = Clock::now();
    EXPECT_EQ(ask(request("/api/status")).status, 200) << "after 100 clients at once";
    EXPECT_LT(Clock::now() - asked, 1s) << "after 100 clients at once";

    // One byte a second: cut off about 5 s after connecting, long before the request is whole,
    // while a client asking meanwhile is answered at once.
    const std::string slow = request("/api/status", "GET", "User-Agent: one byte a second, a minute for all\r\n");
    const int fd = connectTo(port);
    ASSERT_GE(fd, 0);
    const auto connected = Clock::now();
    size_t sent = 0;
    bool cut = false;
    std::string reply;
    while (!cut && sent < slow.size() && Clock::now() - connected < 15s) {
        cut = send(fd, &slow[sent], 1, MSG_NOSIGNAL) != 1;
        sent += !cut;
        asked = Clock::now();
        EXPECT_EQ(ask(request("/api/status")).status, 200) << "while a slow client has sent " << sent << " bytes";
        EXPECT_LT(Clock::now() - asked, 1s) << "while a slow client has sent " << sent << " bytes";
        for (const auto next = connected + sent * 1s; !cut && msUntil(next) > 0;) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, msUntil(next)) <= 0) continue;
            char buf[512];
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) cut = true;
            else reply.append(buf, static_cast<size_t>(n));
        }
    }
    const auto took = Clock::now() - connected;
    close(fd);
    EXPECT_TRUE(cut) << "slow client not cut off after " << sent << " bytes";
    EXPECT_LT(sent, slow.size() / 2) << "slow client";
    EXPECT_GE(took, 4500ms) << "slow client";
    EXPECT_LE(took, 7500ms) << "slow client";
    EXPECT_EQ(reply.find("200 OK"), std::string::npos) << "slow client: " << reply;
    expectServesOnAndStops();
}

} // namespace
