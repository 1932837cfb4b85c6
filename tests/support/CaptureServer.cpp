// The request-capture test server. See the header for its thread rules.
#include "support/CaptureServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace quillon::testing {

namespace {

int listenOnLoopback(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};  // port 0: the system picks one
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    // A socket that could not be made (-1) is closed harmlessly below.
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    port = ntohs(address.sin_port);
    return fd;
}

bool readable(int fd, int milliseconds) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, milliseconds) > 0;
}

// The declared body length of a request head, or 0.
std::size_t contentLength(const std::string& head) {
    const char* field = strcasestr(head.c_str(), "\r\nContent-Length:");
    return field ? std::strtoull(field + 17, nullptr, 10) : 0;
}

}  // namespace

CaptureServer::CaptureServer(Reply reply) : reply_(std::move(reply)) {
    listener_ = listenOnLoopback(port_);
    thread_ = std::thread([this] { serve(); });
}

CaptureServer::~CaptureServer() {
    stopping_ = true;
    thread_.join();
    ::close(listener_);
}

std::vector<std::string> CaptureServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<std::string> CaptureServer::bodies() const {
    std::vector<std::string> bodies;
    for (const std::string& raw : requests()) {
        auto headEnd = raw.find("\r\n\r\n");
        bodies.push_back(headEnd == std::string::npos ? std::string() : raw.substr(headEnd + 4));
    }
    return bodies;
}

bool CaptureServer::waitForRequests(std::size_t count, std::chrono::seconds limit) const {
    std::unique_lock lock(mutex_);
    return recorded_.wait_for(lock, limit, [&] { return requests_.size() >= count; });
}

std::string CaptureServer::response(int status, const std::string& headers,
                                    const std::string& body) {
    return "HTTP/1.1 " + std::to_string(status) + " X\r\n" + headers +
           "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
           body;
}

int CaptureServer::unusedPort() {
    int port = 0;
    ::close(listenOnLoopback(port));
    return port;
}

void CaptureServer::serve() {
    while (!stopping_) {
        const int connection = readable(listener_, 50) ? ::accept(listener_, nullptr, nullptr) : -1;
        if (connection >= 0) {
            handle(connection);
            ::close(connection);
        }
    }
}

void CaptureServer::handle(int connection) {
    std::string raw;
    char buffer[65536];
    std::size_t needed = std::string::npos;
    // Reads until the head and the declared body are in, the peer stops sending for two
    // seconds, or the server stops.
    while (!stopping_ && (needed == std::string::npos || raw.size() < needed)) {
        const ssize_t got =
            readable(connection, 2000) ? ::recv(connection, buffer, sizeof buffer, 0) : 0;
        if (got <= 0) {
            break;
        }
        raw.append(buffer, static_cast<std::size_t>(got));
        auto headEnd = raw.find("\r\n\r\n");
        if (needed == std::string::npos && headEnd != std::string::npos) {
            needed = headEnd + 4 + contentLength(raw.substr(0, headEnd + 2));
        }
    }
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(raw);
    }
    recorded_.notify_all();
    std::string answer = reply_(raw);
    // No answer: hold the connection until the client goes away or the server stops.
    while (answer.empty() && !stopping_) {
        if (readable(connection, 50) && ::recv(connection, buffer, sizeof buffer, 0) <= 0) {
            return;
        }
    }
    std::size_t sent = 0;
    while (sent < answer.size()) {
        ssize_t wrote =
            ::send(connection, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
        if (wrote <= 0) {
            return;
        }
        sent += static_cast<std::size_t>(wrote);
    }
}

}  // namespace quillon::testing
