// The camera's HTTP client against the stand-in camera on 127.0.0.1.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <memory>
#include <string>
#include <vector>

#include "core/clock.h"
#include "senteraTest.h"
#include "sentera/cam_sentera_utils.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

struct CurlCleanup {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
using Curl = std::unique_ptr<CURL, CurlCleanup>;

const std::string sessionRoute = "GET /api/v1/session";
const std::string controlRoute = "PUT /api/v1/session";
const std::string listingRoute = "GET /sdcard?path=/snapshots/";

std::string sessionEntry(const std::string& name) {
    return "<div class=\"file_entry\"><a class=\"directory sd_entry\" href=\"sdcard?path=/snapshots//" + name +
           "\">" + name + "</a></div>\n";
}

std::string imageEntry(const std::string& name) {
    return "<div class=\"file_entry\"><a class=\"file sd_entry\" href=\"sdcard/snapshots/" + name + "\">" + name +
           "</a></div>\n";
}

class HttpClient : public st::SenteraTest {};

TEST(SenteraText, SplitStrAndImageCount) {
    const char* text = "a=1;b=2;b=3";
    EXPECT_STREQ(splitStr(text, "b="), "2;b=3");
    EXPECT_EQ(splitStr(text, "c="), nullptr);
    EXPECT_STREQ(splitStr(text, ""), text);

    std::string listing = "<html>" + imageEntry("IMG_00007.jpg") + imageEntry("IMG_00100.jpg") +
                          imageEntry("IMG_00042.jpg") + "</html>";
    EXPECT_EQ(findNumImages(listing.c_str()), 42u); // the last entry counts, not the largest
    EXPECT_EQ(findNumImages("<html><body>no images</body></html>"), 0u);
    EXPECT_EQ(findNumImages(""), 0u);
    EXPECT_EQ(findNumImages("17 files"), 17u);
    EXPECT_EQ(findNumImages("IMG_12345678.jpg"), 12345678u);
}

TEST(SenteraText, FindSessionCutsTheLastMatchInPlace) {
    std::string listing = "<html>" + sessionEntry("M7_0001") + sessionEntry("OTHER_0002") + sessionEntry("M7_0003") +
                          sessionEntry("M8_0004") + "</html>";
    std::string buffer = listing;
    char* name = findSession(buffer.data(), "M7");
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "M7_0003");
    // The name is cut out of the listing itself: its closing quote became the terminator.
    size_t at = static_cast<size_t>(name - buffer.data());
    ASSERT_LT(at, buffer.size());
    EXPECT_EQ(listing.substr(at, 8), "M7_0003\"");
    EXPECT_EQ(buffer[at + 7], '\0');

    std::string again = listing;
    EXPECT_EQ(findSession(again.data(), "M9"), nullptr);
    EXPECT_EQ(again, listing); // nothing cut without a match
}

TEST_F(HttpClient, FetchCollectsTheWholeBodyAndFollowsOneRedirect) {
    std::string big(300000, 'x');
    for (size_t i = 0; i < big.size(); i += 997) big[i] = static_cast<char>('a' + i % 26);
    camera.reply("GET /big", {big});
    camera.reply("GET /empty", {""});

    Curl curl(curl_easy_init());
    FetchBuffer fetch;
    EXPECT_EQ(curl_fetch_url(curl.get(), url("/big").c_str(), &fetch), CURLE_OK);
    ASSERT_NE(fetch.data, nullptr);
    EXPECT_EQ(fetch.size, big.size());
    EXPECT_EQ(std::string(fetch.data, fetch.size), big);
    EXPECT_EQ(fetch.data[fetch.size], '\0');

    // The same buffer is reused: the earlier reply is replaced, not appended to.
    EXPECT_EQ(curl_fetch_url(curl.get(), url("/empty").c_str(), &fetch), CURLE_OK);
    ASSERT_NE(fetch.data, nullptr);
    EXPECT_EQ(fetch.size, 0u);
    EXPECT_STREQ(fetch.data, "");

    // An error page is a reply like any other.
    EXPECT_EQ(curl_fetch_url(curl.get(), url("/nowhere").c_str(), &fetch), CURLE_OK);
    EXPECT_STREQ(fetch.data, "no such page");

    auto requests = camera.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].header("User-Agent"), "libcurl-agent/1.0");
}

TEST_F(HttpClient, RedirectsAreFollowedOnceOnly) {
    camera.routes(R"({"GET /one": {"status": 302, "location": "/target"},
                      "GET /two": {"status": 302, "location": "/one"},
                      "GET /target": "arrived"})");
    Curl curl(curl_easy_init());
    FetchBuffer fetch;
    EXPECT_EQ(curl_fetch_url(curl.get(), url("/one").c_str(), &fetch), CURLE_OK);
    EXPECT_STREQ(fetch.data, "arrived");
    EXPECT_EQ(curl_fetch_url(curl.get(), url("/two").c_str(), &fetch), CURLE_TOO_MANY_REDIRECTS);
}

TEST_F(HttpClient, SilentCameraIsCutOffByTheTimeout) {
    // The camera accepts the connection and never answers: the request ends after the
    // transfer time-out instead of blocking the camera thread.
    camera.routes(R"({"GET /api/v1/session": {"hang": 30}})");
    Curl curl(curl_easy_init());
    FetchBuffer fetch;
    EXPECT_EQ(curl_fetch_url(curl.get(), url("/api/v1/session").c_str(), &fetch), CURLE_OPERATION_TIMEDOUT);
    EXPECT_STREQ(fetch.data, "");
}

TEST_F(HttpClient, StartCommandBody) {
    camera.reply(controlRoute, {"{\"status\":\"ok\"}"});
    CaptureStdout();
    int64_t before = current_timestamp();
    EXPECT_EQ(sessionControl(1, "MISSION-7"), 0);
    int64_t after = current_timestamp();
    EXPECT_EQ(GetCapturedStdout(), "vorn-camera cam_sentera_utils sessionControl start session MISSION-7\n");

    auto puts = camera.requests("PUT", "/api/v1/session");
    ASSERT_EQ(puts.size(), 1u);
    EXPECT_EQ(puts[0].header("Content-Type"), "application/json");
    EXPECT_EQ(puts[0].header("Expect"), "");
    EXPECT_EQ(puts[0].header("User-Agent"), "libcurl-agent/1.0");

    json_object* body = json_tokener_parse(puts[0].body.c_str());
    ASSERT_NE(body, nullptr) << puts[0].body;
    std::vector<std::string> keys;
    json_object_object_foreach(body, key, val) {
        (void)val;
        keys.push_back(key);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"command", "session", "time", "append"}));
    json_object* v = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(body, "command", &v));
    EXPECT_STREQ(json_object_get_string(v), "start");
    ASSERT_TRUE(json_object_object_get_ex(body, "session", &v));
    EXPECT_STREQ(json_object_get_string(v), "MISSION-7");
    ASSERT_TRUE(json_object_object_get_ex(body, "time", &v));
    EXPECT_TRUE(json_object_is_type(v, json_type_int));
    EXPECT_GE(json_object_get_int64(v), before);
    EXPECT_LE(json_object_get_int64(v), after);
    ASSERT_TRUE(json_object_object_get_ex(body, "append", &v));
    EXPECT_TRUE(json_object_is_type(v, json_type_string));
    EXPECT_STREQ(json_object_get_string(v), "false");
    json_object_put(body);
}

TEST_F(HttpClient, StopCommandBody) {
    camera.reply(controlRoute, {"{}"});
    CaptureStdout();
    EXPECT_EQ(sessionControl(0, nullptr), 0);
    EXPECT_EQ(GetCapturedStdout(), "vorn-camera cam_sentera_utils sessionControl stop session\n");
    auto puts = camera.requests("PUT", "/api/v1/session");
    ASSERT_EQ(puts.size(), 1u);
    json_object* body = json_tokener_parse(puts[0].body.c_str());
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(json_object_object_length(body), 1);
    json_object* v = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(body, "command", &v));
    EXPECT_STREQ(json_object_get_string(v), "stop");
    json_object_put(body);
}

TEST_F(HttpClient, SessionCommandFailures) {
    std::string endpoint = url("/api/v1/session");

    camera.reply(controlRoute, {""});
    CaptureStderr();
    EXPECT_EQ(sessionControl(0, nullptr), 2);
    EXPECT_EQ(GetCapturedStderr(), "ERROR: Failed to fetch url (" + endpoint + ") - curl said: No error\n");

    camera.reply(controlRoute, {"<html>busy</html>"});
    CaptureStderr();
    EXPECT_EQ(sessionControl(1, "M1"), 4);
    EXPECT_EQ(GetCapturedStderr(), "ERROR: Failed to parse json string");

    // Any JSON text will do, the reply's content is not used.
    camera.reply(controlRoute, {"\"ok\""});
    EXPECT_EQ(sessionControl(1, "M1"), 0);

    unreachableCamera();
    CaptureStderr();
    EXPECT_EQ(sessionControl(1, "M1"), 2);
    std::string err = GetCapturedStderr();
    EXPECT_NE(err.find("ERROR: Failed to fetch url (http://127.0.0.1:"), std::string::npos) << err;
    EXPECT_NE(err.find("/api/v1/session) - curl said: Couldn't connect to server\n"), std::string::npos) << err;
}

struct StateCase {
    std::string reply;
    SenteraSessionState state;
    std::string log;
};

TEST_F(HttpClient, SessionStates) {
    const StateCase cases[] = {
        {R"({"status":"IDLE"})", SESSION_IDLE, "vorn-camera cam_sentera_utils session IDLE\n"},
        {R"({"status":"Idle","x":1})", SESSION_IDLE, "vorn-camera cam_sentera_utils session IDLE\n"},
        {R"({"status":"STARTING"})", SESSION_STARTING, "vorn-camera cam_sentera_utils session STARTING\n"},
        {R"({"status":"Starting"})", SESSION_STARTING, "vorn-camera cam_sentera_utils session STARTING\n"},
        {R"({"status":"STARTED"})", SESSION_STARTED, "vorn-camera cam_sentera_utils session STARTED\n"},
        {R"({"status":"CLOSING"})", SESSION_CLOSING, "vorn-camera cam_sentera_utils session CLOSING\n"},
        {R"({"status":"Stopping"})", SESSION_CLOSING, "vorn-camera cam_sentera_utils session CLOSING\n"},
        {R"({"status":"stopped"})", SESSION_FAILED, "vorn-camera cam_sentera_utils checkSenteraSession failed\n"},
        {R"({"status":"ready"})", SESSION_FAILED, "vorn-camera cam_sentera_utils checkSenteraSession failed\n"},
        {R"({ "status" : "Ready" })", SESSION_FAILED, ""},
        {R"({"status": "Ready"})", SESSION_FAILED, ""},
        {R"({"status":""})", SESSION_FAILED, ""},
        {R"({"state":"Ready"})", SESSION_FAILED, ""},
        {"", SESSION_FAILED, ""},
        {"garbage", SESSION_FAILED, ""},
    };
    for (const StateCase& c : cases) {
        camera.reply(sessionRoute, {c.reply});
        std::string name = "unchanged";
        CaptureStdout();
        EXPECT_EQ(checkSenteraSession(&name), c.state) << c.reply;
        EXPECT_EQ(GetCapturedStdout(), c.log) << c.reply;
        EXPECT_EQ(name, "unchanged") << c.reply;
    }
}

TEST_F(HttpClient, RunningSessionDeliversItsName) {
    camera.reply(sessionRoute, {R"({"status":"Ready","sessions":[{"name":"M7_0003","images":12},{"name":"M7_0004"}]})"});
    std::string name;
    CaptureStdout();
    EXPECT_EQ(checkSenteraSession(&name), SESSION_STARTED);
    EXPECT_EQ(GetCapturedStdout(), "vorn-camera cam_sentera_utils session STARTED\n"
                                   "vorn-camera cam_sentera_utils got Sentera Session Status: M7_0003\n");
    EXPECT_EQ(name, "M7_0003");

    // Only a running session's name is taken.
    camera.reply(sessionRoute, {R"({"status":"Starting","sessions":[{"name":"M7_0005"}]})"});
    name = "unchanged";
    EXPECT_EQ(checkSenteraSession(&name), SESSION_STARTING);
    EXPECT_EQ(name, "unchanged");

    camera.reply(sessionRoute, {R"({"status":"Ready","sessions":[{ "name": "M7_0006"}]})"});
    EXPECT_EQ(checkSenteraSession(&name), SESSION_STARTED);
    EXPECT_EQ(name, "unchanged");
}

TEST_F(HttpClient, CurrentSessionAndItsImages) {
    std::string listing = "<html><body>" + sessionEntry("M7_2026-12-06_0001") + sessionEntry("M70_x") +
                          sessionEntry("M7_2026-12-06_0002") + sessionEntry("Q_0003") + "</body></html>";
    camera.reply(listingRoute, {listing});
    camera.reply(listingRoute + "M7_2026-12-06_0002/RGB/",
                 {"<html>" + imageEntry("IMG_00001.jpg") + imageEntry("IMG_00042.jpg") + "</html>"});

    std::optional<std::string> session = getCurrentSession("M7_");
    ASSERT_TRUE(session.has_value());
    EXPECT_EQ(*session, "M7_2026-12-06_0002");
    EXPECT_EQ(getCurrentSessionImages(session->c_str(), "/RGB/"), 42);
    // A folder the camera does not have gives its error page, which has no image.
    EXPECT_EQ(getCurrentSessionImages(session->c_str(), "/NIR/"), 0);

    auto requests = camera.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].path, "/sdcard?path=/snapshots/");
    EXPECT_EQ(requests[1].path, "/sdcard?path=/snapshots/M7_2026-12-06_0002/RGB/");
    EXPECT_EQ(requests[2].path, "/sdcard?path=/snapshots/M7_2026-12-06_0002/NIR/");
}

TEST_F(HttpClient, NoMatchingSessionMeansNoImageRequest) {
    camera.reply(listingRoute, {"<html>" + sessionEntry("OTHER_0001") + "</html>"});
    std::optional<std::string> session = getCurrentSession("M7");
    EXPECT_FALSE(session.has_value());
    EXPECT_EQ(getCurrentSessionImages(session ? session->c_str() : nullptr, "/RGB/"), 0);
    EXPECT_EQ(camera.requests().size(), 1u);

    unreachableCamera();
    EXPECT_FALSE(getCurrentSession("M7").has_value());
    EXPECT_EQ(getCurrentSessionImages("OTHER_0001", "/RGB/"), 0);
}

TEST_F(HttpClient, ImageCountsBeyondAnIntAreNoCount) {
    camera.reply(listingRoute + "S/RGB/", {imageEntry("IMG_99999999999.jpg")});
    camera.reply(listingRoute + "S/NIR/", {imageEntry("IMG_-1.jpg")});
    EXPECT_EQ(getCurrentSessionImages("S", "/RGB/"), 0);
    EXPECT_EQ(getCurrentSessionImages("S", "/NIR/"), 0);
}

} // namespace
