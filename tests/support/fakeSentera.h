// The stand-in Sentera camera: an HTTP server on 127.0.0.1 in a thread of the test, answering from a table.
#pragma once
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vt {
struct Request { std::string method, path, headers, body; }; // headers: the header lines as received

class FakeSentera {
public:
    FakeSentera() {
        sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof addr;
        bind(listen_, reinterpret_cast<sockaddr*>(&addr), len), listen(listen_, 16);
        getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len), port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeSentera() { shutdown(listen_, SHUT_RDWR); thread_.join(); close(listen_); } // shutdown ends the accept
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    // A route's replies ("GET /path?query") in turn, the last one repeated: bodies, or whole responses beginning
    // "HTTP/". Without replies the camera takes the request and never answers; other routes get 404.
    void reply(const std::string& route, const std::vector<std::string>& replies) {
        std::scoped_lock lock(mutex_);
        routes_[route] = {replies, 0};
    }
    void clear() { std::scoped_lock lock(mutex_); routes_.clear(); requests_.clear(); } // every reply and request
    std::vector<Request> requests() const { std::scoped_lock lock(mutex_); return requests_; }
private:
    // A request per connection, answered in HTTP/1.0: the body ends with the connection.
    void serve() {
        for (int fd; (fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
            std::string in;
            auto more = [&] { char b[8192]; auto n = read(fd, b, sizeof b); return n > 0 && in.append(b, n).size(); };
            while (in.find("\r\n\r\n") == std::string::npos && more()) {}
            if (in.find("\r\n\r\n") == std::string::npos) { close(fd); continue; } // closed before a request
            size_t head = in.find("\r\n\r\n") + 4, line = in.find("\r\n"), sp = in.find(' '), cl = in.find("Length: ");
            while (cl < head && in.size() < head + std::stoul(in.substr(cl + 8)) && more()) {} // Content-Length
            std::scoped_lock lock(mutex_);
            requests_.push_back({in.substr(0, sp), in.substr(sp + 1, in.find(' ', sp + 1) - sp - 1),
                                 in.substr(line + 2, head - line - 4), in.substr(head)});
            auto route = routes_.find(requests_.back().method + " " + requests_.back().path);
            std::string reply = "HTTP/1.0 404 -\r\n\r\nno such page";
            if (route != routes_.end()) {
                auto& [replies, used] = route->second;
                if (replies.empty()) continue; // never answered: the connection stays open
                reply = replies[std::min(used++, replies.size() - 1)];
            }
            if (reply.rfind("HTTP/", 0) != 0) reply = "HTTP/1.0 200 -\r\n\r\n" + reply;
            send(fd, reply.data(), reply.size(), MSG_NOSIGNAL); // a blocking send takes it all
            close(fd);
        }
    }
    int listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), port_ = 0;
    std::map<std::string, std::pair<std::vector<std::string>, size_t>> routes_; // the replies, how many used
    std::vector<Request> requests_;
    mutable std::mutex mutex_;
    std::thread thread_;
};
} // namespace vt
