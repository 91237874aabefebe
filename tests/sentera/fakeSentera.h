// The Python stand-in camera (fake_sentera.py) as a child process, and the sandbox shared by
// the Sentera tests: one VORN_ROOT for the whole test program (the driver fixes its paths once),
// emptied before every test.
#pragma once

#include <sys/types.h>

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <string>
#include <vector>

#include "support/testSupport.h"

namespace st {

struct Request {
    std::string method;
    std::string path;
    std::string body;
    std::string header(const std::string& name) const; // "" when absent
    std::string headers;                                // the header object as JSON text
};

class FakeSentera {
public:
    FakeSentera();
    ~FakeSentera();
    FakeSentera(const FakeSentera&) = delete;
    FakeSentera& operator=(const FakeSentera&) = delete;

    int port() const { return port_; }
    // Replaces the reply table (JSON text, see fake_sentera.py).
    void routes(const std::string& json);
    // Sets the text replies of one route ("GET /api/v1/session"), used in turn, the last repeated.
    void reply(const std::string& route, const std::vector<std::string>& bodies);
    std::vector<Request> requests() const;
    // The requests with this method and path.
    std::vector<Request> requests(const std::string& method, const std::string& path) const;

private:
    void writeRoutes();

    vt::TempDir dir_;
    json_object* table_ = json_object_new_object();
    pid_t pid_ = -1;
    int port_ = 0;
};

// The sandbox root of this test program.
const std::string& sandboxRoot();

// Starts a fresh camera, points the daemon's camera address at it, empties the sandbox root
// and records every sleepMs wait instead of waiting.
class SenteraTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Points the camera address somewhere nobody listens.
    void unreachableCamera();
    std::string url(const std::string& path) const;
    std::string root(const std::string& rel) const { return sandboxRoot() + rel; }

    FakeSentera camera;
    std::vector<long> sleeps;
};

// How often needle occurs in text.
size_t count(const std::string& text, const std::string& needle);

// A port on 127.0.0.1 that nobody listens on.
int closedPort();

} // namespace st
