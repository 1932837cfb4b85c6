// Router: the simulator itself, owning its stores and routing each request to its handler.
// Threads: bind() and serve() on one thread, stop() from any; handle() runs on many connection
//   threads at once, so every store it reaches locks itself.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim/ArchiveApi.h"
#include "sim/Exchange.h"
#include "sim/FaultInjector.h"
#include "sim/HttpMessage.h"
#include "sim/HttpServer.h"
#include "sim/IdGenerator.h"
#include "sim/JobApi.h"
#include "sim/JobStore.h"
#include "sim/MultipartStore.h"
#include "sim/RateLimiter.h"
#include "sim/RequestLog.h"
#include "sim/RetrievalBudget.h"
#include "sim/SigV4Verifier.h"
#include "sim/SimClock.h"
#include "sim/SimConfig.h"
#include "sim/VaultApi.h"
#include "sim/VaultStore.h"

namespace quillon::sim {

// The HTTP server: checks signatures, applies armed faults, logs, and hands each service
// request to its handler. Everything under "/_sim/" is the unsigned control endpoint.
// Every answer carries the service's clock in its Date header.
class Router {
  public:
    // A body larger than this without a claimed payload hash is refused unread: the
    // signature over it could only be checked after holding all of it.
    static constexpr uint64_t kMaxUnhashedBody = uint64_t{64} * 1048576;
    // The body of a refused request is read and dropped, to keep the connection, up to this
    // size; a larger one is left unread and the connection closes after the answer.
    static constexpr uint64_t kMaxDiscardedBody = 1048576;
    static constexpr long kMaxSeedCount = 1000000;  // archives a seed request adds

    explicit Router(SimConfig config);
    ~Router();
    Router(const Router&) = delete;
    Router& operator=(const Router&) = delete;

    // The bound port on 127.0.0.1, or -1 when binding failed.
    int bind();
    void serve();
    void stop();

    // "glacier.<id>.localhost[:port]" names region <id>; any other host is us-east-1.
    static std::string regionOfHost(const std::string& host);

  private:
    // One row of a routing table: the method, the path segments after the first one ("*"
    // takes any one segment and passes it on), the handler, and whether the handler streams
    // the body itself (uploads).
    using Handler = void (*)(Router& router, Exchange& exchange,
                             const std::vector<std::string>& names);
    struct Route {
        std::string_view method;
        std::vector<std::string_view> path;
        Handler handler;
        bool streamsBody = false;
    };
    static const std::vector<Route>& serviceRoutes();
    static const std::vector<Route>& controlRoutes();
    // The route for the exchange's method and its path segments after the first; the names
    // that its "*" segments took go to `names`.
    static const Route* match(const std::vector<Route>& table, const Exchange& exchange,
                              std::vector<std::string>& names);

    void handle(const HttpRequest& request, HttpResponse& response, const BodyReader& reader);
    // Checks the signature, reading the body only when nothing else can refuse the request;
    // false after answering a refusal.
    bool admit(const HttpRequest& request, Exchange& exchange, LoggedRequest& entry);
    // The service's refusal of a request whose signature did not pass; false when it passed.
    bool refuse(Exchange& exchange, const SigV4Verifier::Result& verdict);
    // Drops a small body so the connection can carry the next request; leaves a large one.
    static void discardBody(Exchange& exchange);
    void control(Exchange& exchange);
    void seed(Exchange& exchange);
    void clock(Exchange& exchange);
    void dispatch(Exchange& exchange, const Route* route, const std::vector<std::string>& names);
    void applyAfter(const Fault& fault, HttpResponse& response);

    SimConfig config_;
    SimClock clock_;
    SigV4Verifier verifier_;
    IdGenerator ids_;
    VaultStore vaults_;
    JobStore jobs_;
    MultipartStore uploads_;
    std::unique_ptr<RetrievalBudget> retrievals_;  // null with a fixed job delay
    std::unique_ptr<RateLimiter> deletions_;       // null without a deletion rate
    VaultApi vaultApi_;
    JobApi jobApi_;
    ArchiveApi archiveApi_;
    FaultInjector faults_;
    RequestLog log_;
    HttpServer server_;  // last: its connections end before the state they use
};

}  // namespace quillon::sim
