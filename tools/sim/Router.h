// Router: the simulator itself, owning its stores and routing each request to its handler.
// Threads: bind() and serve() on one thread, stop() from any; handle() runs on many connection
//   threads at once, so every store it reaches locks itself.
#pragma once

#include <memory>
#include <string>

#include "sim/ArchiveApi.h"
#include "sim/Exchange.h"
#include "sim/FaultInjector.h"
#include "sim/HttpServer.h"
#include "sim/IdGenerator.h"
#include "sim/JobApi.h"
#include "sim/JobStore.h"
#include "sim/MultipartStore.h"
#include "sim/RequestLog.h"
#include "sim/SigV4Verifier.h"
#include "sim/SimConfig.h"
#include "sim/VaultApi.h"
#include "sim/VaultStore.h"

namespace quillon::sim {

// The HTTP server: checks signatures, applies armed faults, logs, and hands each service
// request to its handler. Everything under "/_sim/" is the unsigned control endpoint.
class Router {
  public:
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
    void handle(const HttpRequest& request, HttpResponse& response, const BodyReader& reader);
    // The service's refusal of a request whose signature did not pass; false when it passed.
    static bool refuse(Exchange& exchange, const SigV4Verifier::Result& verdict);
    void control(Exchange& exchange);
    void seed(Exchange& exchange);
    void dispatch(Exchange& exchange);
    bool isUpload(const Exchange& exchange) const;
    void applyAfter(const Fault& fault, HttpResponse& response);

    SimConfig config_;
    SigV4Verifier verifier_;
    IdGenerator ids_;
    VaultStore vaults_;
    JobStore jobs_;
    MultipartStore uploads_;
    VaultApi vaultApi_;
    JobApi jobApi_;
    ArchiveApi archiveApi_;
    FaultInjector faults_;
    RequestLog log_;
    HttpServer server_;  // last: its connections end before the state they use
};

}  // namespace quillon::sim
