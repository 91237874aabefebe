#include "web/webServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "core/clock.h"
#include "core/handles.h"
#include "core/logging.h"
#include "core/stop.h"
#include "web/fieldData.h"
#include "web/fieldPage.h"

namespace {

constexpr unsigned kConnections = 32;          // at once, from every client together
constexpr unsigned kConnectionsPerClient = 12; // from one address
constexpr unsigned kIdleSeconds = 10;          // an answer the client stops reading this long is dropped
constexpr int64_t kRequestMs = 5000;           // a request must arrive whole within this
constexpr size_t kRequestBytes = 16 * 1024;    // request line and headers must fit in this
constexpr int kNiceness = 10;                  // below the serial bridge and the camera
constexpr int kDatabaseBusyMs = 200;
constexpr int64_t kCutLogEveryMs = 60000;

const char* const pagePolicy = "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                               "connect-src 'self'; img-src 'self' data:; base-uri 'none'; form-action 'none'";

// A connection: when it began waiting for its next request, and whether one is being answered.
struct Client {
    int fd;
    int64_t waitingSince;
    bool answering;
    bool cut;
};

struct Server {
    AppContext* ctx;
    std::map<MHD_Connection*, Client> clients;
    long cuts = 0; // slow clients cut off since the last line about them
    int64_t lastCutLog = 0;
};

struct Reply {
    unsigned status = MHD_HTTP_NOT_FOUND;
    const char* type = "text/plain; charset=utf-8";
    std::string body = "not found\n";
    FdPtr file;            // served instead of body when open
    uint64_t fileSize = 0;
    std::string download;  // file name offered to save as
};

Reply textReply(unsigned status, const char* type, std::string body) {
    Reply r;
    r.status = status, r.type = type, r.body = std::move(body);
    return r;
}

// The JSON, or failStatus when there is none.
Reply jsonReply(std::optional<std::string> json, unsigned failStatus) {
    if (json) return textReply(MHD_HTTP_OK, "application/json", std::move(*json));
    return textReply(failStatus, "text/plain; charset=utf-8",
                     failStatus == MHD_HTTP_NOT_FOUND ? "not found\n" : "database unreadable\n");
}

// The file at path as a download; not found unless it is a regular file.
Reply fileReply(const std::optional<std::string>& path, const char* type, std::string download) {
    Reply r;
    if (!path) return r;
    FdPtr fd(open(path->c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info;
    if (!fd || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return r;
    r.status = MHD_HTTP_OK, r.type = type, r.body.clear();
    r.file = std::move(fd), r.fileSize = static_cast<uint64_t>(info.st_size), r.download = std::move(download);
    return r;
}

// A flight number as a request names it: 1 to 9 digits.
std::optional<int> flightNumberIn(const std::string& s) {
    if (s.empty() || s.size() > 9) return std::nullopt;
    for (char c : s)
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
    return std::stoi(s);
}

// A read-only connection of the server's own, opened for one request.
struct DbClose {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using Db = std::unique_ptr<sqlite3, DbClose>;

Db openReadOnly(const AppContext* ctx) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(ctx->databaseFile.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        logPrintf("vorn-camera webServer cannot open %s: %s\n", ctx->databaseFile.c_str(), db ? sqlite3_errmsg(db) : "no memory");
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, kDatabaseBusyMs);
    return Db(db);
}

const char* typeOfFlightFile(const std::string& name) {
    if (name == "shots.geojson") return "application/geo+json";
    if (name == "shots.csv") return "text/csv; charset=utf-8";
    return "text/plain; charset=utf-8";
}

bool startsWith(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

// The flights' list, a flight and a flight's files: what the database lists.
Reply routeFlights(const AppContext* ctx, const std::string& url) {
    const std::string api = "/api/flights", files = "/flights/";
    const bool isApi = startsWith(url, api), isFile = startsWith(url, files);
    if (!isApi && !isFile) return Reply();
    Db db = openReadOnly(ctx);
    if (!db) return textReply(MHD_HTTP_SERVICE_UNAVAILABLE, "text/plain; charset=utf-8", "database unreadable\n");
    if (url == api) return jsonReply(flightsJson(db.get()), MHD_HTTP_SERVICE_UNAVAILABLE);
    if (isApi) {
        if (url[api.size()] != '/') return Reply();
        std::optional<int> n = flightNumberIn(url.substr(api.size() + 1));
        return n ? jsonReply(flightJson(db.get(), *n), MHD_HTTP_NOT_FOUND) : Reply();
    }
    const size_t slash = url.find('/', files.size());
    std::optional<int> n = flightNumberIn(url.substr(files.size(), slash - files.size()));
    if (slash == std::string::npos || !n) return Reply();
    const std::string name = url.substr(slash + 1);
    return fileReply(flightFilePath(db.get(), *n, name), typeOfFlightFile(name),
                     "flight-" + std::to_string(*n) + "-" + name);
}

// What a GET of url answers. Names in a request are looked up in the daemon's own listings,
// never opened as paths.
Reply route(const AppContext* ctx, const std::string& url) {
    if (url == "/") {
        Reply r = textReply(MHD_HTTP_OK, "text/html; charset=utf-8", "");
        r.body.assign(fieldPageHtml, fieldPageHtml_size);
        return r;
    }
    if (url == "/api/status") return textReply(MHD_HTTP_OK, "application/json", statusJson());
    if (url == "/api/logs") return textReply(MHD_HTTP_OK, "application/json", logsJson());
    const std::string logs = "/logs/";
    if (startsWith(url, logs)) {
        const std::string name = url.substr(logs.size());
        return fileReply(logFilePath(name), "application/octet-stream", name);
    }
    return routeFlights(ctx, url);
}

// Offered as the name to save under only when it is plain; else the browser takes the link's.
std::string disposition(const std::string& name) {
    for (char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_') return "attachment";
    return "attachment; filename=\"" + name + "\"";
}

MHD_Result queue(MHD_Connection* connection, Reply& r) {
    MHD_Response* response =
        r.file ? MHD_create_response_from_fd64(r.fileSize, r.file.get())
               : MHD_create_response_from_buffer(r.body.size(), r.body.data(), MHD_RESPMEM_MUST_COPY);
    if (!response) return MHD_NO;
    if (r.file) r.file.release(); // the response closes it
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, r.type);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(response, "Content-Security-Policy", pagePolicy);
    if (r.status == MHD_HTTP_METHOD_NOT_ALLOWED) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    if (!r.download.empty())
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_DISPOSITION, disposition(r.download).c_str());
    MHD_Result queued = MHD_queue_response(connection, r.status, response);
    MHD_destroy_response(response);
    return queued;
}

// Called once the request's headers are in, then once per piece of its body, then once more. A
// GET is answered at that last call, so the connection can stay open for the next request; any
// other method at once, and the connection is closed after the answer.
MHD_Result answer(void* cls, MHD_Connection* connection, const char* url, const char* method, const char*,
                  const char*, size_t* bodySize, void** request) {
    auto* server = static_cast<Server*>(cls);
    if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 && std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
        Reply r = textReply(MHD_HTTP_METHOD_NOT_ALLOWED, "text/plain; charset=utf-8", "only GET and HEAD\n");
        return queue(connection, r);
    }
    if (*request == nullptr || *bodySize != 0) { // a body sent with a GET is read and ignored
        *request = server, *bodySize = 0;
        return MHD_YES;
    }
    if (auto c = server->clients.find(connection); c != server->clients.end()) c->second.answering = true;
    Reply r = route(server->ctx, url);
    return queue(connection, r);
}

void onConnection(void* cls, MHD_Connection* connection, void**, MHD_ConnectionNotificationCode code) {
    auto* server = static_cast<Server*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
        server->clients.erase(connection);
        return;
    }
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info) server->clients[connection] = {info->connect_fd, current_timestamp(), false, false};
}

void onCompleted(void* cls, MHD_Connection* connection, void**, MHD_RequestTerminationCode) {
    auto* server = static_cast<Server*>(cls);
    if (auto c = server->clients.find(connection); c != server->clients.end())
        c->second.answering = false, c->second.waitingSince = current_timestamp();
}

// A client that takes longer than kRequestMs to send a request (one byte a second keeps a
// connection from ever going idle) has its connection shut down; the server then closes it.
void cutSlowClients(Server* server) {
    const int64_t now = current_timestamp();
    for (auto& [connection, c] : server->clients) {
        if (c.answering || c.cut || now - c.waitingSince < kRequestMs) continue;
        shutdown(c.fd, SHUT_RDWR);
        c.cut = true, ++server->cuts;
    }
    if (server->cuts > 0 && now - server->lastCutLog >= kCutLogEveryMs) {
        logPrintf("vorn-camera webServer %ld connections closed: no whole request within %lld s\n", server->cuts,
                  static_cast<long long>(kRequestMs / 1000));
        server->cuts = 0, server->lastCutLog = now;
    }
}

void logLibrary(void*, const char* fmt, va_list args) {
    char line[512];
    std::vsnprintf(line, sizeof line, fmt, args);
    line[std::strcspn(line, "\n")] = '\0';
    logPrintf("vorn-camera webServer %s\n", line);
}

// "A.B.C.D:PORT" as an IPv4 socket address.
std::optional<sockaddr_in> parsedAddress(const char* text) {
    const char* colon = std::strrchr(text, ':');
    if (!colon || colon[1] == '\0' || std::strlen(colon + 1) > 5) return std::nullopt;
    for (const char* p = colon + 1; *p; ++p)
        if (!std::isdigit(static_cast<unsigned char>(*p))) return std::nullopt;
    const int port = std::atoi(colon + 1);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const std::string host(text, colon);
    if (port > 65535 || inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) return std::nullopt;
    return addr;
}

MHD_Daemon* startDaemon(Server* server, sockaddr_in* addr) {
    return MHD_start_daemon(
        MHD_USE_EPOLL | MHD_USE_ERROR_LOG, ntohs(addr->sin_port), nullptr, nullptr, &answer, server,
        MHD_OPTION_EXTERNAL_LOGGER, &logLibrary, nullptr, MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(addr), MHD_OPTION_CONNECTION_LIMIT, kConnections,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, kConnectionsPerClient, MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, kRequestBytes, MHD_OPTION_NOTIFY_CONNECTION, &onConnection, server,
        MHD_OPTION_NOTIFY_COMPLETED, &onCompleted, server, MHD_OPTION_END);
}

// Waits for the server's sockets (or the stop) and serves what is ready, until the daemon stops.
void serve(AppContext* ctx, MHD_Daemon* daemon, Server* server) {
    const MHD_DaemonInfo* epoll = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_EPOLL_FD);
    while (!ctx->quit) {
        MHD_UNSIGNED_LONG_LONG due = 0;
        int waitMs = 1000; // also how often slow clients are looked for
        if (MHD_get_timeout(daemon, &due) == MHD_YES && due < static_cast<MHD_UNSIGNED_LONG_LONG>(waitMs))
            waitMs = static_cast<int>(due);
        waitReadable(ctx, epoll->epoll_fd, waitMs);
        MHD_run(daemon);
        cutSlowClients(server);
    }
}

} // namespace

void webServerThread(AppContext* ctx) {
    if (std::strcmp(ctx->webAddress, "off") == 0) {
        logPuts("vorn-camera webServer off");
        return;
    }
    std::optional<sockaddr_in> addr = parsedAddress(ctx->webAddress);
    if (!addr) {
        logPrintf("vorn-camera webServer bad address %s (ADDR:PORT or off): the page is off\n", ctx->webAddress);
        return;
    }
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), kNiceness) != 0)
        logPuts("vorn-camera webServer could not lower its priority");
    Server server{ctx, {}};
    MHD_Daemon* daemon = startDaemon(&server, &*addr);
    if (!daemon) {
        logPrintf("vorn-camera webServer cannot listen on %s: the page is off\n", ctx->webAddress);
        return;
    }
    const MHD_DaemonInfo* bound = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_BIND_PORT);
    char host[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &addr->sin_addr, host, sizeof host);
    logPrintf("vorn-camera webServer listening on http://%s:%u/\n", host, bound ? bound->port : 0u);
    serve(ctx, daemon, &server);
    MHD_stop_daemon(daemon);
    logPuts("vorn-camera webServer exit");
}
