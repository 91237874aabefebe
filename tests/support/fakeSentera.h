// The Python stand-in for the Sentera camera (tests/sentera/fake_sentera.py) as a child
// process answering HTTP on 127.0.0.1 from a reply table, and the requests it received.
#pragma once

#include <sys/types.h>

#include <json-c/json.h>

#include <string>
#include <vector>

#include "support/testSupport.h"

namespace vt {

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
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    // Replaces the reply table (JSON text, see fake_sentera.py).
    void routes(const std::string& json);
    // Sets the text replies of one route ("GET /api/v1/session"), used in turn, the last repeated.
    void reply(const std::string& route, const std::vector<std::string>& bodies);
    std::vector<Request> requests() const;
    // The requests with this method and path.
    std::vector<Request> requests(const std::string& method, const std::string& path) const;

private:
    void writeRoutes();

    TempDir dir_;
    json_object* table_ = json_object_new_object();
    pid_t pid_ = -1;
    int port_ = 0;
};

} // namespace vt
