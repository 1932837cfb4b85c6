// The simulator's HTTP/1.1 server on 127.0.0.1.
//
// Threads: bind() and serve() run on one thread; stop() may come from any thread, and
// serve() then returns. Each accepted connection is served by a thread of its own (at most
// kMaxConnections at once; later ones wait to be accepted), which calls the handler for each
// request in turn and keeps the connection open while the client asks for that. The handler
// is therefore called from several threads at once. The destructor stops the server and waits
// until no connection is being served; a connection's thread may still be closing its socket
// then, which is safe since the state it uses is shared with it.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

#include "sim/HttpMessage.h"

namespace quillon::sim {

class HttpServer {
  public:
    static constexpr size_t kMaxConnections = 256;

    // Answers one request: reads the body through the reader (or leaves it, and the
    // connection is then closed after the answer) and fills in the response.
    using Handler =
        std::function<void(const HttpRequest& request, HttpResponse& response, const BodyReader&)>;

    explicit HttpServer(Handler handler);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Listens on 127.0.0.1:port (0: a free port); the bound port, or -1 when that failed.
    int bind(int port);
    // Accepts connections until stop().
    void serve();
    // Stops accepting and ends the open connections.
    void stop();

  private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace quillon::sim
