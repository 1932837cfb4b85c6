// A request-capture HTTP server for tests. Its own thread accepts and answers; the reply
// function runs on that thread. requests() and waitForRequests() may be called from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quillon::testing {

// A one-connection-at-a-time HTTP listener on 127.0.0.1 that records each raw request (head and
// body, exactly as received) and answers with the text the reply function gives. An empty reply
// holds the connection open without answering until the client goes away or the server stops.
// A request is recorded before its answer is written, so a client that has read an answer finds
// its request in requests() without waiting.
class CaptureServer {
  public:
    using Reply = std::function<std::string(const std::string& rawRequest)>;

    explicit CaptureServer(Reply reply);
    ~CaptureServer();
    CaptureServer(const CaptureServer&) = delete;
    CaptureServer& operator=(const CaptureServer&) = delete;

    std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
    std::vector<std::string> requests() const;
    // The bodies of the recorded requests (what follows the head).
    std::vector<std::string> bodies() const;
    // Blocks until `count` requests have been recorded; false if that has not happened within
    // `limit` (a bound against a hung test, not a way to time anything).
    bool waitForRequests(std::size_t count,
                         std::chrono::seconds limit = std::chrono::seconds(60)) const;

    // "HTTP/1.1 <status> X" with the headers, Content-Length and Connection: close.
    static std::string response(int status, const std::string& headers, const std::string& body);
    // A port on which nothing listens (bound once, then closed).
    static int unusedPort();

  private:
    void serve();
    void handle(int connection);

    Reply reply_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    mutable std::condition_variable recorded_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

}  // namespace quillon::testing
