#include "senteraTest.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "core/clock.h"
#include "core/sandbox.h"

namespace st {

namespace {

class SandboxEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        setenv("VORN_ROOT", dir.path().c_str(), 1);
        sandboxInit();
    }
    vt::TempDir dir;
};

SandboxEnvironment* const sandbox =
    static_cast<SandboxEnvironment*>(::testing::AddGlobalTestEnvironment(new SandboxEnvironment));

} // namespace

const std::string& sandboxRoot() {
    return sandbox->dir.path();
}

int closedPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd); // nobody listens there now
    return ntohs(addr.sin_port);
}

void SenteraTest::SetUp() {
    setenv("VORN_SENTERA_ADDR", ("127.0.0.1:" + std::to_string(camera.port())).c_str(), 1);
    sandboxInit();
    for (const auto& entry : std::filesystem::directory_iterator(sandboxRoot()))
        std::filesystem::remove_all(entry.path());
    setSleepHook([this](long ms) { sleeps.push_back(ms); });
}

void SenteraTest::TearDown() {
    setSleepHook({});
}

void SenteraTest::unreachableCamera() {
    setenv("VORN_SENTERA_ADDR", ("127.0.0.1:" + std::to_string(closedPort())).c_str(), 1);
    sandboxInit();
}

std::string SenteraTest::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(camera.port()) + path;
}

} // namespace st
