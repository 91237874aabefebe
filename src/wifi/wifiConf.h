// WiFi switching through the hostapd and wpa_supplicant configuration files and systemctl.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

struct ConfPair {
    const char* key;
    const char* value; // an empty value leaves the key's line alone
};

// Reads at most n - 1 bytes, up to and including a newline; returns the number stored.
// The buffer is always NUL-terminated; at the end of the stream nothing is stored.
size_t freadln(FILE* stream, size_t n, char* buf);

// Rewrites every "key=value" line whose key matches a pair with a non-empty value (the last
// matching pair wins). The new text goes to path + ".tmp", which then replaces the file, so a
// crash never leaves a half-written configuration. A value holding a newline is refused.
void modifyConf(const std::string& path, const std::vector<ConfPair>& pairs);

void startAccessPointF(const char* ssid, const char* password);
void startClientModeF(const char* ssid, const char* password);
