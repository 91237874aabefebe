// Client of a Sentera camera's HTTP interface: recording sessions, the session state, the
// current session's directory in the camera's card listing and the image count of one sensor.
// Every request uses its own easy handle; nothing here is retried or keeps state.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <optional>
#include <string>

// Reply body of one request, always followed by a zero byte. Owns data.
struct FetchBuffer {
    char* data = nullptr;
    size_t size = 0; // body bytes, without the terminating zero

    FetchBuffer() = default;
    FetchBuffer(const FetchBuffer&) = delete;
    FetchBuffer& operator=(const FetchBuffer&) = delete;
    ~FetchBuffer();
};

enum SenteraSessionState {
    SESSION_FAILED = 0,
    SESSION_IDLE = 1,
    SESSION_STARTING = 2,
    SESSION_STARTED = 3,
    SESSION_CLOSING = 4,
};

// Camera endpoints, relative to http://HOST:PORT.
inline constexpr const char* senteraListingPath = "/sdcard?path=/snapshots/";
inline constexpr const char* senteraSessionPath = "/api/v1/session";

// Seconds one request may take as a whole, connecting included.
inline constexpr long senteraRequestTimeout = 5;

// http://HOST:PORT followed by the path, from the configured camera address.
std::string senteraUrl(const char* path);

// libcurl write callback: appends the chunk to the FetchBuffer given as userp.
size_t WriteMemoryCallback(void* contents, size_t size, size_t nmemb, void* userp);

// Performs one transfer into fetch (replacing its contents); options the caller set before
// (method, headers, body) stay in effect. Returns libcurl's result code.
CURLcode curl_fetch_url(CURL* curl, const char* url, FetchBuffer* fetch);

// The position just past the first occurrence of needle in text, or none.
const char* splitStr(const char* text, const char* needle);

// The number after the last "IMG_" of a listing (the start of the text when there is none).
unsigned long findNumImages(const char* text);

// Starts (start != 0) the session named session, or stops the running one.
// 0 success, 1 no handle, 2 transfer failed or empty reply, 4 reply is not JSON.
int sessionControl(int start, const char* session);

// Reads the session state; for a running session the session name is stored in *sessionName.
SenteraSessionState checkSenteraSession(std::string* sessionName);

// Finds the last session directory of the listing named missionID, or missionID followed by "_"
// and more (M7_0002, never M70_0001), and returns its name, cut out of the listing in place (its
// closing quote becomes a zero byte).
char* findSession(char* listing, const char* missionID);

// The current session directory name of the mission, or none.
std::optional<std::string> getCurrentSession(const char* missionID);

// The image count of one sensor folder ("/RGB/") of the session; 0 when it cannot be read.
int getCurrentSessionImages(const char* session, const char* sensor);
