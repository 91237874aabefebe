#include "core/sandbox.h"

#include <cstdlib>

#ifndef VORN_SENTERA_ADDRESS
#define VORN_SENTERA_ADDRESS "192.168.143.141"
#endif

namespace {

std::string g_root;
std::string g_senteraHost;
int g_senteraPort = 8080;

void setSenteraAddress(const std::string& addr) {
    auto colon = addr.rfind(':');
    g_senteraHost = addr.substr(0, colon);
    g_senteraPort = 8080;
    if (colon != std::string::npos) {
        int port = std::atoi(addr.c_str() + colon + 1);
        if (port > 0 && port < 65536) g_senteraPort = port;
    }
}

} // namespace

void sandboxInit() {
    const char* root = std::getenv("VORN_ROOT");
    g_root = root ? root : "";
    while (g_root.size() > 1 && g_root.back() == '/') g_root.pop_back();
    const char* addr = std::getenv("VORN_SENTERA_ADDR");
    setSenteraAddress(addr && *addr ? addr : VORN_SENTERA_ADDRESS);
}

bool sandboxActive() {
    return !g_root.empty();
}

std::string sandboxPath(const std::string& path) {
    return g_root + path;
}

const std::string& senteraHost() {
    return g_senteraHost;
}

int senteraPort() {
    return g_senteraPort;
}
