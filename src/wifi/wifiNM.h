// WiFi switching through NetworkManager (nmcli).
#pragma once

#include <cstddef>
#include <vector>

// Splits the line in place at runs of the delimiter; the tokens point into the line.
// Returns the token count (an empty line gives one empty token).
int split(char* line, char delimiter, std::vector<char*>& tokens);

// Reads "nmcli device status": copies the WiFi device's connection name (cut to nameSize)
// into name and returns 1 when that device is connected, else 0.
int getWifiStatusNM(char* name, size_t nameSize);

// Sets the SSID and/or passphrase of the hotspot connection; empty texts are left alone.
void changeWifiConfNM(const char* ssid, const char* password);

void startAccessPointNM(const char* ssid, const char* password);
void startClientModeNM(const char* ssid, const char* password);
