#include "support/fakeSentera.h"

#include <signal.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>

namespace vt {

namespace {

std::string jsonString(json_object* obj, const char* key) {
    json_object* value = nullptr;
    if (!json_object_object_get_ex(obj, key, &value)) return "";
    return json_object_get_string(value);
}

} // namespace

std::string Request::header(const std::string& name) const {
    json_object* obj = json_tokener_parse(headers.c_str());
    std::string value;
    json_object_object_foreach(obj, key, val) {
        if (strcasecmp(key, name.c_str()) == 0) value = json_object_get_string(val);
    }
    json_object_put(obj);
    return value;
}

FakeSentera::FakeSentera() {
    std::string script = std::string(VORN_SOURCE_DIR) + "/tests/sentera/fake_sentera.py";
    pid_ = fork();
    if (pid_ == 0) {
        execlp("python3", "python3", script.c_str(), dir_.path().c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    if (!waitUntil([&] { return fileExists(dir_ / "port"); }))
        throw std::runtime_error("fake Sentera camera did not start");
    port_ = std::atoi(readFile(dir_ / "port").c_str());
}

FakeSentera::~FakeSentera() {
    json_object_put(table_);
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}

void FakeSentera::routes(const std::string& json) {
    json_object_put(table_);
    table_ = json_tokener_parse(json.c_str());
    if (!table_) throw std::runtime_error("bad route table: " + json);
    writeRoutes();
}

void FakeSentera::reply(const std::string& route, const std::vector<std::string>& bodies) {
    json_object* list = json_object_new_array();
    for (const std::string& body : bodies) json_object_array_add(list, json_object_new_string(body.c_str()));
    json_object_object_add(table_, route.c_str(), list);
    writeRoutes();
}

void FakeSentera::writeRoutes() {
    // Written whole and renamed: the camera reads the table at every request.
    writeFile(dir_ / "routes.json.tmp", json_object_to_json_string_ext(table_, JSON_C_TO_STRING_PLAIN));
    std::filesystem::rename(dir_ / "routes.json.tmp", dir_ / "routes.json");
}

std::vector<Request> FakeSentera::requests() const {
    std::vector<Request> out;
    std::istringstream in(readFile(dir_ / "requests.log"));
    for (std::string line; std::getline(in, line);) {
        json_object* obj = json_tokener_parse(line.c_str());
        if (!obj) continue;
        json_object* headers = nullptr;
        json_object_object_get_ex(obj, "headers", &headers);
        out.push_back({jsonString(obj, "method"), jsonString(obj, "path"), jsonString(obj, "body"),
                       json_object_to_json_string(headers)});
        json_object_put(obj);
    }
    return out;
}

std::vector<Request> FakeSentera::requests(const std::string& method, const std::string& path) const {
    std::vector<Request> out;
    for (const Request& r : requests())
        if (r.method == method && r.path == path) out.push_back(r);
    return out;
}

} // namespace vt
