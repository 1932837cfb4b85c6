// The HTTP/1.1 layer of the simulator, on Boost.Beast (Debian's libboost-dev).
//
// Why Beast rather than libmicrohttpd: signatures are checked over the request target and the
// header values exactly as the client sent them, and Beast hands both over untouched, while
// libmicrohttpd decodes the path and the query arguments before the application sees them.
// Beast's synchronous calls also fit the handlers, which pull a request body piece by piece
// (an upload goes straight to its file) and answer from the thread that read the request, and
// it leaves the socket to us, which the faults need: closing a connection without an answer,
// or after half a body. Beast parses and writes the messages; this file only runs the loop of
// one connection per thread.
#include "sim/HttpServer.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "sim/BlobPart.h"
#include "sim/HttpMessage.h"

namespace quillon::sim {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

constexpr int kIdleMilliseconds = 60000;  // a kept-alive connection idle this long is closed
// After answering a request whose body it left unread, the server stops writing and drops what
// the client still sends, up to this much or until the client pauses this long, before it
// closes: a close with unread bytes resets the connection, and the client would lose the
// answer while it is still sending.
constexpr uint64_t kLingerBytes = uint64_t{1} << 30;
constexpr int kLingerPauseMilliseconds = 5000;
constexpr std::uint32_t kHeaderLimit = 256 * 1024;
constexpr size_t kPiece = size_t{256} * 1024;

// Waits until the peer sends something (or closes); false after the idle time.
bool waitReadable(int fd) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, kIdleMilliseconds) > 0;
}

bool hasNoBody(int status) {
    return status < 200 || status == 204 || status == 304;
}

template <class Message>
void copyHead(const HttpResponse& response, bool keepAlive, Message& message) {
    message.result(static_cast<unsigned>(response.status));
    for (const auto& [name, value] : response.headers) {
        message.insert(name, value);
    }
    message.keep_alive(keepAlive);
}

// Writes the answer as its delivery says; true when all of it left and the connection may
// carry another request.
bool send(tcp::socket& socket, HttpResponse& response, unsigned version, bool keepAlive) {
    beast::error_code failure;
    bool noBody = hasNoBody(response.status);
    if (response.delivery == HttpResponse::Delivery::Whole && !response.streamLength) {
        http::response<http::string_body> message;
        message.version(version);
        copyHead(response, keepAlive, message);
        if (!noBody) {
            message.body() = std::move(response.body);
            message.content_length(message.body().size());
        }
        http::write(socket, message, failure);
        return !failure;
    }

    uint64_t length = noBody ? 0 : response.contentLength();
    uint64_t budget = length;
    if (response.delivery == HttpResponse::Delivery::HalfBody) {
        budget = length / 2;
        if (length == 0) {
            // Announce one byte that never comes, so that even an empty answer is cut short.
            response.status = noBody ? 200 : response.status;
            noBody = false;
            length = 1;
        }
    }
    http::response<http::empty_body> head;
    head.version(version);
    copyHead(response, keepAlive, head);
    if (!noBody) {
        head.content_length(length);
    }
    http::response_serializer<http::empty_body> serializer(head);
    http::write_header(socket, serializer, failure);
    if (failure) {
        return false;
    }
    auto sink = [&](const char* data, size_t size) {
        size_t take = static_cast<size_t>(std::min<uint64_t>(size, budget));
        if (take > 0) {
            asio::write(socket, asio::buffer(data, take), failure);
            if (failure) {
                return false;
            }
            budget -= take;
        }
        return take == size;
    };
    bool complete = response.streamLength ? response.writer(sink)
                                          : sink(response.body.data(), response.body.size());
    return complete && budget == 0 && response.delivery == HttpResponse::Delivery::Whole;
}

// Drops what the client still sends after the answer, in one piece buffer, within the bounds.
void linger(tcp::socket& socket, std::string& piece) {
    int fd = socket.native_handle();
    ::shutdown(fd, SHUT_WR);
    uint64_t dropped = 0;
    pollfd entry{fd, POLLIN, 0};
    while (dropped<kLingerBytes&& ::poll(&entry, 1, kLingerPauseMilliseconds)> 0) {
        ssize_t got = ::recv(fd, piece.data(), piece.size(), 0);
        if (got <= 0) {
            return;
        }
        dropped += static_cast<uint64_t>(got);
    }
}

// Serves the requests of one connection until it closes, fails or may not be kept.
void serveConnection(tcp::socket& socket, const HttpServer::Handler& handler) {
    beast::error_code failure;
    socket.set_option(tcp::no_delay(true), failure);
    // Beast reads no more than the buffer's free room (at least 512 bytes) at a time: without
    // room reserved up front, a large body arrives in a couple of million small reads.
    beast::flat_buffer buffer;
    buffer.reserve(size_t{64} * 1024);
    std::string piece(kPiece, '\0');
    for (;;) {
        if (buffer.size() == 0 && !waitReadable(socket.native_handle())) {
            return;
        }
        http::request_parser<http::buffer_body> parser;
        parser.header_limit(kHeaderLimit);
        parser.body_limit(std::numeric_limits<std::uint64_t>::max());
        http::read_header(socket, buffer, parser, failure);
        if (failure) {
            return;
        }
        auto& message = parser.get();
        HttpRequest request;
        request.method = std::string(message.method_string());
        request.target = std::string(message.target());
        for (const auto& field : message) {
            request.headers.emplace(std::string(field.name_string()), std::string(field.value()));
        }
        bool expectContinue = beast::iequals(message[http::field::expect], "100-continue");
        bool bodyDone = parser.is_done();
        // A body of declared length skips the parser: it is read straight into the piece, in
        // reads as large as the piece, starting with what the header's read took in.
        auto readDeclared = [&](const ByteSink& sink) {
            uint64_t left = *parser.content_length_remaining();
            while (left > 0 && buffer.size() > 0) {
                const auto held = buffer.data();
                const size_t take = static_cast<size_t>(std::min<uint64_t>(left, held.size()));
                if (!sink(static_cast<const char*>(held.data()), take)) {
                    return false;
                }
                buffer.consume(take);
                left -= take;
            }
            while (left > 0) {
                const size_t got = socket.read_some(
                    asio::buffer(piece.data(),
                                 static_cast<size_t>(std::min<uint64_t>(left, piece.size()))),
                    failure);
                if (failure) {
                    return false;
                }
                left -= got;
                if (!sink(piece.data(), got)) {
                    return false;
                }
            }
            bodyDone = true;
            return true;
        };
        BodyReader reader = [&](const ByteSink& sink) {
            if (expectContinue && !bodyDone) {
                expectContinue = false;
                static constexpr char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
                asio::write(socket, asio::buffer(kContinue, sizeof kContinue - 1), failure);
                if (failure) {
                    return false;
                }
            }
            if (bodyDone) {
                return true;
            }
            if (!parser.chunked() && parser.content_length_remaining()) {
                return readDeclared(sink);
            }
            while (!parser.is_done()) {
                message.body().data = piece.data();
                message.body().size = piece.size();
                http::read(socket, buffer, parser, failure);
                if (failure == http::error::need_buffer) {
                    failure = {};
                }
                if (failure) {
                    return false;
                }
                size_t got = piece.size() - message.body().size;
                if (got > 0 && !sink(piece.data(), got)) {
                    return false;
                }
            }
            bodyDone = true;
            return true;
        };
        HttpResponse response;
        try {
            handler(request, response, reader);
        } catch (const std::exception&) {
            return;
        }
        if (response.delivery == HttpResponse::Delivery::Nothing) {
            return;
        }
        bool keepAlive =
            message.keep_alive() && bodyDone && response.delivery == HttpResponse::Delivery::Whole;
        bool sent = send(socket, response, message.version(), keepAlive);
        if (sent && !bodyDone && response.delivery == HttpResponse::Delivery::Whole) {
            linger(socket, piece);
        }
        if (!sent || !keepAlive) {
            return;
        }
    }
}

}  // namespace

struct HttpServer::State {
    explicit State(Handler h) : handler(std::move(h)) {}

    Handler handler;
    asio::io_context io;
    tcp::acceptor acceptor{io};
    std::atomic<bool> stopping{false};
    std::mutex mutex;
    std::condition_variable changed;
    std::set<int> open;  // the sockets of the connections being served

    void release(int fd) {
        std::lock_guard lock(mutex);
        open.erase(fd);
        changed.notify_all();
    }
};

HttpServer::HttpServer(Handler handler) : state_(std::make_shared<State>(std::move(handler))) {}

HttpServer::~HttpServer() {
    stop();
    std::unique_lock lock(state_->mutex);
    state_->changed.wait(lock, [this] { return state_->open.empty(); });
}

int HttpServer::bind(int port) {
    beast::error_code failure;
    tcp::endpoint endpoint(asio::ip::make_address_v4("127.0.0.1"),
                           static_cast<unsigned short>(port));
    auto& acceptor = state_->acceptor;
    acceptor.open(endpoint.protocol(), failure);
    if (!failure) {
        acceptor.set_option(asio::socket_base::reuse_address(true), failure);
    }
    if (!failure) {
        acceptor.bind(endpoint, failure);
    }
    if (!failure) {
        acceptor.listen(asio::socket_base::max_listen_connections, failure);
    }
    if (failure) {
        return -1;
    }
    return acceptor.local_endpoint().port();
}

void HttpServer::serve() {
    auto state = state_;
    while (!state->stopping) {
        {
            std::unique_lock lock(state->mutex);
            state->changed.wait(
                lock, [&] { return state->open.size() < kMaxConnections || state->stopping; });
        }
        tcp::socket socket(state->io);
        beast::error_code failure;
        state->acceptor.accept(socket, failure);
        if (failure) {
            // A failure that repeats (out of descriptors) must not spin: wait a moment, or
            // until stop().
            std::unique_lock lock(state->mutex);
            state->changed.wait_for(lock, std::chrono::milliseconds(10),
                                    [&] { return state->stopping.load(); });
            continue;
        }
        int fd = socket.native_handle();
        {
            std::lock_guard lock(state->mutex);
            if (state->stopping) {
                break;
            }
            state->open.insert(fd);
        }
        try {
            std::thread([state, fd, socket = std::move(socket)]() mutable {
                serveConnection(socket, state->handler);
                // Out of the set before the descriptor closes, so stop() never touches
                // a number the system has handed out again.
                state->release(fd);
                beast::error_code ignored;
                socket.close(ignored);
            }).detach();
        } catch (const std::system_error&) {
            state->release(fd);
        }
    }
}

void HttpServer::stop() {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
    // shutdown() wakes a thread blocked in accept() or in a read; closing would not.
    if (state_->acceptor.is_open()) {
        ::shutdown(state_->acceptor.native_handle(), SHUT_RDWR);
    }
    for (int fd : state_->open) {
        ::shutdown(fd, SHUT_RDWR);
    }
    state_->changed.notify_all();
}

}  // namespace quillon::sim
