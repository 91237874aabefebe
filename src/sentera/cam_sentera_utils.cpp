#include "sentera/cam_sentera_utils.h"

#include <json-c/json.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/clock.h"
#include "core/logging.h"
#include "core/sandbox.h"

namespace {

struct CurlCleanup {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
using CurlHandle = std::unique_ptr<CURL, CurlCleanup>;

struct SlistFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, SlistFree>;

struct JsonPut {
    void operator()(json_object* obj) const { json_object_put(obj); }
};
using JsonObject = std::unique_ptr<json_object, JsonPut>;

// Appends a header line; the list stays owned (and complete) when appending fails.
void appendHeader(HeaderList& list, const char* header) {
    if (curl_slist* grown = curl_slist_append(list.get(), header)) {
        list.release();
        list.reset(grown);
    }
}

struct StateWord {
    const char* word;
    SenteraSessionState state;
};

// The camera has answered with both spellings over its firmware versions.
constexpr StateWord stateWords[] = {
    {"IDLE", SESSION_IDLE},         {"Idle", SESSION_IDLE},
    {"STARTING", SESSION_STARTING}, {"Starting", SESSION_STARTING},
    {"STARTED", SESSION_STARTED},   {"Ready", SESSION_STARTED},
    {"CLOSING", SESSION_CLOSING},   {"Stopping", SESSION_CLOSING},
};

const char* stateLine(SenteraSessionState state) {
    switch (state) {
    case SESSION_IDLE: return "vorn-camera cam_sentera_utils session IDLE";
    case SESSION_STARTING: return "vorn-camera cam_sentera_utils session STARTING";
    case SESSION_STARTED: return "vorn-camera cam_sentera_utils session STARTED";
    case SESSION_CLOSING: return "vorn-camera cam_sentera_utils session CLOSING";
    default: return "vorn-camera cam_sentera_utils checkSenteraSession failed";
    }
}

SenteraSessionState classifyState(const std::string& word) {
    for (const StateWord& s : stateWords)
        if (word == s.word) return s.state;
    return SESSION_FAILED;
}

// The text after the first occurrence of key up to the next double quote (or the end);
// none when the key is absent or nothing follows it.
std::optional<std::string> quotedValue(const char* text, const char* key) {
    const char* start = splitStr(text, key);
    if (!start) return std::nullopt;
    size_t len = std::strcspn(start, "\"");
    if (len == 0) return std::nullopt;
    return std::string(start, len);
}

} // namespace

FetchBuffer::~FetchBuffer() {
    std::free(data);
}

std::string senteraUrl(const char* path) {
    return "http://" + senteraHost() + ":" + std::to_string(senteraPort()) + path;
}

size_t WriteMemoryCallback(void* contents, size_t size, size_t nmemb, void* userp) {
    size_t n = size * nmemb;
    auto* fetch = static_cast<FetchBuffer*>(userp);
    auto* grown = static_cast<char*>(std::realloc(fetch->data, fetch->size + n + 1));
    if (!grown) {
        errPrintf("ERROR: Failed to expand buffer in WriteMemoryCallback");
        std::free(fetch->data);
        fetch->data = nullptr;
        fetch->size = 0;
        return static_cast<size_t>(-1); // makes libcurl abort with a write error
    }
    fetch->data = grown;
    std::memcpy(fetch->data + fetch->size, contents, n);
    fetch->size += n;
    fetch->data[fetch->size] = '\0';
    return n;
}

CURLcode curl_fetch_url(CURL* curl, const char* url, FetchBuffer* fetch) {
    std::free(fetch->data);
    fetch->size = 0;
    // A reply without a body still reads as empty text.
    fetch->data = static_cast<char*>(std::calloc(4, 1));
    if (!fetch->data) {
        errPrintf("ERROR: Failed to allocate buffer in curl_fetch_url");
        return CURLE_FAILED_INIT;
    }
    curl_easy_setopt(curl, CURLOPT_URL, url);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteMemoryCallback);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, fetch);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "libcurl-agent/1.0");
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, senteraRequestTimeout);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 1L);
    // The daemon has many threads: time-outs must not be signalled with SIGALRM.
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    return curl_easy_perform(curl);
}

const char* splitStr(const char* text, const char* needle) {
    const char* hit = std::strstr(text, needle);
    return hit ? hit + std::strlen(needle) : nullptr;
}

unsigned long findNumImages(const char* text) {
    // The camera lists a sensor's images in ascending order, numbered from 1 without gaps.
    const char* number = text;
    for (const char* p = splitStr(text, "IMG_"); p; p = splitStr(p, "IMG_")) number = p;
    return std::strtoul(number, nullptr, 10);
}

int sessionControl(int start, const char* session) {
    CurlHandle curl(curl_easy_init());
    if (!curl) {
        errPrintf("ERROR: Failed to create curl handle in fetch_session");
        return 1;
    }
    HeaderList headers;
    appendHeader(headers, "Expect:"); // no 100-continue round trip
    appendHeader(headers, "Content-Type: application/json");

    JsonObject body(json_object_new_object());
    if (start) {
        logPrintf("vorn-camera cam_sentera_utils sessionControl start session %s\n", session);
        json_object_object_add(body.get(), "command", json_object_new_string("start"));
        json_object_object_add(body.get(), "session", json_object_new_string(session));
        json_object_object_add(body.get(), "time", json_object_new_int64(current_timestamp()));
        // The camera expects the text "false", not a JSON boolean.
        json_object_object_add(body.get(), "append", json_object_new_string("false"));
    } else {
        logPuts("vorn-camera cam_sentera_utils sessionControl stop session");
        json_object_object_add(body.get(), "command", json_object_new_string("stop"));
    }
    curl_easy_setopt(curl.get(), CURLOPT_CUSTOMREQUEST, "PUT");
    curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, json_object_to_json_string(body.get()));

    std::string url = senteraUrl(senteraSessionPath);
    FetchBuffer reply;
    CURLcode code = curl_fetch_url(curl.get(), url.c_str(), &reply);
    if (code == CURLE_OK && reply.data && reply.size > 0) {
        json_tokener_error err = json_tokener_success;
        JsonObject parsed(json_tokener_parse_verbose(reply.data, &err));
        if (err != json_tokener_success) {
            errPrintf("ERROR: Failed to parse json string");
            return 4;
        }
        return 0;
    }
    errPrintf("ERROR: Failed to fetch url (%s) - curl said: %s\n", url.c_str(), curl_easy_strerror(code));
    return 2;
}

SenteraSessionState checkSenteraSession(std::string* sessionName) {
    CurlHandle curl(curl_easy_init());
    if (!curl) {
        logPrintf("vorn-camera cam_sentera_utils checkSenteraSession failed to create curl handle in fetch_session");
        return SESSION_FAILED;
    }
    FetchBuffer reply;
    // A camera that does not answer leaves an empty reply, which reads as no state.
    curl_fetch_url(curl.get(), senteraUrl(senteraSessionPath).c_str(), &reply);
    if (!reply.data) return SESSION_FAILED;

    // The camera writes its reply without white space; nothing else is accepted.
    std::optional<std::string> word = quotedValue(reply.data, "{\"status\":\"");
    if (!word) return SESSION_FAILED;
    SenteraSessionState state = classifyState(*word);
    logPuts(stateLine(state));
    if (state == SESSION_STARTED) {
        if (std::optional<std::string> name = quotedValue(reply.data, "{\"name\":\"")) {
            *sessionName = *name;
            logPrintf("vorn-camera cam_sentera_utils got Sentera Session Status: %s\n", name->c_str());
        }
    }
    return state;
}

char* findSession(char* listing, const char* missionID) {
    static const char anchor[] =
        "<div class=\"file_entry\"><a class=\"directory sd_entry\" href=\"sdcard?path=/snapshots//";
    std::string key = anchor + std::string(missionID);
    // The camera lists sessions oldest first: the last match is the current session. A session is
    // the mission's own when the whole mission id is followed by "_" (or ends the name): mission
    // M7 is not M70.
    char* name = nullptr;
    for (char* hit = std::strstr(listing, key.c_str()); hit; hit = std::strstr(hit + 1, key.c_str())) {
        char after = hit[key.size()];
        if (after == '_' || after == '"') name = hit + sizeof anchor - 1;
    }
    if (!name) return nullptr;
    if (char* quote = std::strchr(name, '"')) *quote = '\0';
    return name;
}

std::optional<std::string> getCurrentSession(const char* missionID) {
    CurlHandle curl(curl_easy_init());
    if (!curl) {
        errPrintf("ERROR: Failed to create curl handle in fetch_session");
        return std::nullopt;
    }
    FetchBuffer reply;
    curl_fetch_url(curl.get(), senteraUrl(senteraListingPath).c_str(), &reply);
    if (!reply.data) return std::nullopt;
    const char* name = findSession(reply.data, missionID);
    if (!name) return std::nullopt;
    return std::string(name);
}

int getCurrentSessionImages(const char* session, const char* sensor) {
    if (!session) return 0;
    CurlHandle curl(curl_easy_init());
    if (!curl) {
        errPrintf("ERROR: Failed to create curl handle in fetch_session");
        return 0;
    }
    std::string url = senteraUrl(senteraListingPath) + session + sensor;
    FetchBuffer reply;
    curl_fetch_url(curl.get(), url.c_str(), &reply);
    if (!reply.data) return 0;
    // A number beyond int (or a negative one, which strtoul wraps) is no image count.
    unsigned long count = findNumImages(reply.data);
    return count > INT_MAX ? 0 : static_cast<int>(count);
}
