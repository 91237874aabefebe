// The field page of the real daemon, spoken to over plain sockets: what it serves, that nothing
// outside its listings ever comes back, and that requests too big, too many or too slow are cut
// off while the page goes on answering.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <optional>

#include "support/chainFixtures.h"
#include "support/testSupport.h"

namespace {
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
const std::string secret = "secret-5c1e9a-not-for-the-page"; // in a file outside the page's folders

int msUntil(Clock::time_point t) {
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count());
}
std::string request(const std::string& path, const std::string& method = "GET", const std::string& extra = "") {
    return method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + extra + "\r\n";
}
int connectTo(int port, const char* from = "127.0.0.1") { // -1 when refused
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval limit{3, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in at{}, to{};
    at.sin_family = to.sin_family = AF_INET, to.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, from, &at.sin_addr), inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 &&
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0)
        return fd;
    close(fd);
    return -1;
}
// Reads fd into got until the server closes (or resets) it, or until the time; true when closed.
bool readUntil(int fd, std::string* got, Clock::time_point until) {
    for (int left; (left = msUntil(until)) > 0;) {
        pollfd p{fd, POLLIN, 0};
        char buf[65536];
        const ssize_t n = poll(&p, 1, left) > 0 ? recv(fd, buf, sizeof buf, 0) : 0;
        if (n > 0) got->append(buf, static_cast<size_t>(n));
        else if (p.revents != 0) return true;
    }
    return false;
}

// What came back on one connection; status 0 when no whole status line and headers came.
struct Answer {
    int status = 0;
    std::string raw, head, body;
    bool closed = false; // by the server before the deadline
    bool has(const std::string& header) const { return head.find("\r\n" + header) != std::string::npos; }
    bool whole() const { return has("Content-Length: " + std::to_string(body.size()) + "\r\n"); }
};
// Sends bytes on fd (when connected) and reads the answer until the server closes it. Never the secret.
Answer exchange(int fd, const std::string& bytes, Clock::time_point deadline) {
    Answer a;
    if (fd < 0) return a;
    (void)!send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    a.closed = readUntil(fd, &a.raw, deadline);
    close(fd);
    EXPECT_EQ(a.raw.find(secret), std::string::npos);
    EXPECT_EQ(a.raw.find("SQLite format 3"), std::string::npos);
    const size_t end = a.raw.find("\r\n\r\n");
    if (a.raw.compare(0, 7, "HTTP/1.") == 0 && end != std::string::npos)
        a.status = std::atoi(a.raw.c_str() + 9), a.head = a.raw.substr(0, end + 2), a.body = a.raw.substr(end + 4);
    return a;
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
using Names = std::vector<std::string>;

// The daemon in a sandbox of its own, without its serial port: flight 1 with its files, flight 2
// whose geo.txt links to the secret, flight 3 without a folder; an old log, a link and a folder
// among the logs.
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
        for (int i = 0; i < 3000; ++i) logBytes += static_cast<char>(i * 7 % 256);
        vt::writeFile(logDir + "log4.bin", logBytes);
        const timespec old[2] = {{1600000000, 0}, {1600000000, 0}}; // older than the log the daemon starts
        ASSERT_EQ(utimensat(AT_FDCWD, (logDir + "log4.bin").c_str(), old, 0), 0);
        for (const std::string& link : {work / "flights/2/geo.txt", logDir + "outside.bin"})
            ASSERT_EQ(symlink((work / "secret.txt").c_str(), link.c_str()), 0) << link;
        stubs.add("nmcli"), stubs.add("systemctl");
        const std::map<std::string, std::string> env = {{"VORN_ROOT", work.path()},
                                                        {"PATH", stubs.dir() + ":/usr/bin:/bin"}};
        daemon = std::make_unique<vt::Process>(work.path(), "daemon", vt::daemonArgv({work / "no-such-tty"}), env);
        const std::string listening = "vorn-camera webServer listening on http://127.0.0.1:";
        ASSERT_TRUE(vt::waitUntil([&] {
            const std::string out = daemon->output();
            const size_t from = out.find(listening);
            return from != std::string::npos && out.find("/\n", from) != std::string::npos &&
                   (port = std::atoi(out.c_str() + from + listening.size())) > 0;
        }));
        ASSERT_TRUE(daemon->waitForOutput("try to create table 'pictureTime'"));
        ASSERT_TRUE(daemon->waitForOutput("logHandlerThread created log file " + logDir + "log5.bin"));
        chain::Db db = chain::openDb(work / "geodata.db"); // in WAL mode: written while the daemon runs
        sqlite3_busy_timeout(db.get(), 5000);
        chain::exec(db.get(), "INSERT INTO flights (flightID, missionID, camType, time) VALUES (1, 'M-1', 1, "
                              "1777629600000), (2, 'M-2', 1, 1777633200000), (3, 'M-3', 1, 1777636800000)");
    }
    void TearDown() override {
        if (HasFailure() && daemon) fprintf(stderr, "---- daemon output ----\n%s----\n", daemon->output().c_str());
    }
    Answer ask(const std::string& bytes, const char* from = "127.0.0.1") {
        return exchange(connectTo(port, from), bytes, Clock::now() + 5s);
    }
    // A status request is answered at once (well within the 5 s a slow client is given).
    void expectPrompt(const std::string& when) {
        const auto asked = Clock::now();
        EXPECT_EQ(ask(request("/api/status")).status, 200) << when;
        EXPECT_LT(Clock::now() - asked, 2s) << when;
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
        std::string name, bytes;
        int status;
        std::string header = "";              // a header line of the answer
        std::optional<std::string> body = {}; // the whole body
    };
    const std::string allow = "Allow: GET, HEAD\r\n";
    std::vector<Case> cases = {
        {"page", request("/"), 200, "Content-Type: text/html"},
        {"status", request("/api/status"), 200, "Content-Type: application/json"},
        {"status HEAD", request("/api/status", "HEAD"), 200, "Content-Type: application/json", ""},
        {"flights", request("/api/flights"), 200},
        {"flight 1", request("/api/flights/1"), 200},
        {"flight 2", request("/api/flights/2"), 200},
        {"logs", request("/api/logs"), 200},
        {"geo.txt", request("/flights/1/geo.txt"), 200,
         "Content-Disposition: attachment; filename=\"flight-1-geo.txt\"", vt::readFile(work / "flights/1/geo.txt")},
        {"shots.csv", request("/flights/1/shots.csv"), 200, "Content-Type: text/csv",
         vt::readFile(work / "flights/1/shots.csv")},
        {"a log", request("/logs/log4.bin"), 200, "Content-Type: application/octet-stream", logBytes},
        {"POST", request("/api/status", "POST", "Content-Length: 9\r\n") + "shutter=1", 405, allow},
        {"PUT", request("/api/status", "PUT", "Content-Length: 5\r\n") + "hello", 405, allow},
    };
    for (const char* method : {"DELETE", "OPTIONS", "TRACE", "PATCH"})
        cases.push_back({method, request("/api/status", method), 405, allow});
    // Up to files that exist, escaped or not; links out; a folder; flights not listed or not numbers.
    for (const char* path : {"/../geodata.db", "/flights/1/../../geodata.db", "/flights/1/%2e%2e/%2e%2e/geodata.db",
                             "/logs/..%2f..%2f..%2fgeodata.db", "/logs/%2e%2e%2f%2e%2e%2f%2e%2e%2fsecret.txt",
                             "/flights/1%2f..%2f2/geo.txt", "/logs/outside.bin", "/flights/2/geo.txt", "/logs/old",
                             "/api/flights/3", "/flights/3/geo.txt", "/flights/01x/geo.txt", "/api/flights/99999999999"})
        cases.push_back({path, request(path), 404});
    std::map<std::string, Answer> answers;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Answer a = answers[c.name] = ask(c.bytes);
        EXPECT_EQ(a.status, c.status) << a.raw.substr(0, 400);
        EXPECT_TRUE(a.closed);
        EXPECT_TRUE(c.header.empty() || a.has(c.header)) << "no " << c.header << " in\n" << a.head;
        EXPECT_TRUE(!c.body || a.body == *c.body) << a.body.size() << " bytes, not " << c.body->size();
        EXPECT_TRUE(c.status != 200 || c.body == "" || a.whole()) << "not whole";
    }
    Json status = json(answers["status"].body), flights = json(answers["flights"].body);
    Json one = json(answers["flight 1"].body), two = json(answers["flight 2"].body), logs = json(answers["logs"].body);
    ASSERT_TRUE(status && flights && one && two && logs) << "an answer is not JSON";
    EXPECT_STREQ(json_object_get_string(at(status.get(), "aircraft")), "not heard");
    // Newest first; flight 3 has no folder and so is not a flight.
    EXPECT_EQ(each(at(flights.get(), "flights"), "flight"), (Names{"2", "1"}));
    EXPECT_EQ(each(at(flights.get(), "flights"), "shots"), (Names{"0", "2"}));
    EXPECT_STREQ(json_object_get_string(at(one.get(), "mission")), "M-1");
    EXPECT_EQ(json_object_get_int(at(one.get(), "tagged")), 1);
    EXPECT_EQ(each(at(one.get(), "shotList"), "image"), (Names{"IMG_0001.JPG", "IMG_0002.JPG"}));
    EXPECT_EQ(each(at(one.get(), "files"), "name"), (Names{"shots.geojson", "shots.csv", "geo.txt"}));
    EXPECT_EQ(each(at(two.get(), "files"), "name"), Names{}); // its geo.txt is a link
    // The regular files of the folder, newest first: not the link, not the subfolder.
    EXPECT_EQ(each(at(logs.get(), "logs"), "name"), (Names{"log5.bin", "log4.bin"}));
    EXPECT_EQ(daemon->stop(), 0) << daemon->errors();
}

TEST_F(FieldPage, CutsOffTooBigTooManyAndTooSlowClientsAndServesTheOthers) {
    const std::string filler(20000, 'a');
    for (const auto& [name, bytes] : {std::pair<std::string, std::string>{"20 KB request line", request("/" + filler)},
                                      {"20 KB header", request("/api/status", "GET", "X-Filler: " + filler + "\r\n")}}) {
        SCOPED_TRACE(name);
        const Answer a = ask(bytes);
        EXPECT_TRUE(a.closed);
        EXPECT_TRUE(a.status == 0 || a.status == 400 || a.status == 414 || a.status == 431) << a.status;
        expectPrompt("after the " + name);
    }

    // 100 clients at once (32 connections at once, 12 from one address): each is answered whole
    // or cut off. The answers wait in their sockets while the others are read.
    std::vector<int> fds;
    for (int i = 0; i < 100; ++i) fds.push_back(connectTo(port));
    for (int fd : fds)
        if (fd >= 0) (void)!send(fd, request("/api/status").data(), request("/api/status").size(), MSG_NOSIGNAL);
    int answered = 0;
    const auto deadline = Clock::now() + 15s;
    for (size_t i = 0; i < fds.size(); ++i) {
        if (fds[i] < 0) continue; // refused
        SCOPED_TRACE("client " + std::to_string(i) + " of 100 at once");
        const Answer a = exchange(fds[i], "", deadline);
        EXPECT_TRUE(a.closed) << "neither answered nor cut off";
        Json body = json(a.body);
        EXPECT_TRUE(a.status == 0 || (a.status == 200 && a.whole() && body && at(body.get(), "version"))) << a.raw;
        answered += a.status == 200;
    }
    EXPECT_GE(answered, 12);
    expectPrompt("after 100 clients at once");

    // Twelve connections held from one address: a thirteenth is closed at once, another address is
    // served, and so is each of the twelve.
    std::vector<int> held;
    for (int i = 0; i < 12; ++i) held.push_back(connectTo(port));
    EXPECT_EQ(ask(request("/api/status")).status, 0) << "a 13th connection from one address";
    EXPECT_EQ(ask(request("/api/status"), "127.0.0.2").status, 200) << "another address";
    for (int fd : held)
        EXPECT_EQ(exchange(fd, request("/api/status"), Clock::now() + 5s).status, 200) << "one of 12 held";

    // One byte a second: cut off about 5 s after connecting, long before its request is whole,
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
        expectPrompt("while a slow client has sent " + std::to_string(sent) + " bytes");
        cut = cut || readUntil(fd, &reply, connected + sent * 1s);
    }
    const auto took = Clock::now() - connected;
    close(fd);
    SCOPED_TRACE("slow client, " + std::to_string(sent) + " bytes sent");
    EXPECT_TRUE(cut);
    EXPECT_LT(sent, slow.size() / 2);
    EXPECT_GE(took, 4500ms);
    EXPECT_LE(took, 7500ms);
    EXPECT_EQ(reply.find(" 200 "), std::string::npos) << reply;

    EXPECT_TRUE(daemon->running());
    expectPrompt("after all");
    EXPECT_EQ(daemon->stop(), 0) << daemon->errors();
}

} // namespace
