// Router: signature checks, faults, the control endpoint and the routing tables. Threads: as
// in Router.h.
#include "sim/Router.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "interfaces/files/Sha256.h"
#include "interfaces/files/TreeHash.h"
#include "sim/Blob.h"
#include "sim/BlobPart.h"
#include "sim/Exchange.h"
#include "sim/FaultInjector.h"
#include "sim/HttpMessage.h"
#include "sim/IsoTime.h"
#include "sim/RateLimiter.h"
#include "sim/RequestLog.h"
#include "sim/RetrievalBudget.h"
#include "sim/SigV4Verifier.h"
#include "sim/SimConfig.h"
#include "sim/VaultStore.h"

namespace quillon::sim {

namespace {

using Names = std::vector<std::string>;

// The body length a request announces; none when it comes in chunks.
std::optional<uint64_t> declaredLength(const Exchange& exchange) {
    if (exchange.hasHeader("Transfer-Encoding")) {
        return std::nullopt;
    }
    std::string text = exchange.header("Content-Length");
    return text.empty() ? 0 : std::strtoull(text.c_str(), nullptr, 10);
}

}  // namespace

Router::Router(SimConfig config)
    : config_(std::move(config)),
      verifier_(config_.accessKey, config_.secretKey),
      vaults_(config_.accountId, clock_, config_.simulatedTime()),
      retrievals_(config_.simulatedTime()
                      ? std::make_unique<RetrievalBudget>(config_.freeTierBytesPerDay)
                      : nullptr),
      deletions_(config_.deleteRate ? std::make_unique<RateLimiter>(*config_.deleteRate) : nullptr),
      vaultApi_(vaults_),
      jobApi_(vaults_, jobs_, ids_, clock_, retrievals_.get(), config_.jobDelaySeconds),
      archiveApi_(vaults_, uploads_, ids_, clock_, config_.dataDir, deletions_.get()),
      server_([this](const HttpRequest& request, HttpResponse& response, const BodyReader& reader) {
          handle(request, response, reader);
      }) {}

Router::~Router() {
    stop();
}

int Router::bind() {
    return server_.bind(config_.port);
}

void Router::serve() {
    server_.serve();
}

void Router::stop() {
    server_.stop();
}

std::string Router::regionOfHost(const std::string& host) {
    std::string name =
        host.substr(0, host.rfind(':') == std::string::npos ? host.size() : host.rfind(':'));
    const std::string prefix = "glacier.";
    const std::string suffix = ".localhost";
    if (name.size() > prefix.size() + suffix.size() &&
        name.compare(0, prefix.size(), prefix) == 0 &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
        return name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    }
    return "us-east-1";
}

const std::vector<Router::Route>& Router::serviceRoutes() {
    static const std::vector<Route> routes = {
        {"GET",
         {"policies", "data-retrieval"},
         [](Router& r, Exchange& e, const Names&) { r.vaultApi_.policy(e); }},
        {"PUT",
         {"policies", "data-retrieval"},
         [](Router& r, Exchange& e, const Names&) { r.vaultApi_.setPolicy(e); }},
        {"GET", {"vaults"}, [](Router& r, Exchange& e, const Names&) { r.vaultApi_.list(e); }},
        {"PUT",
         {"vaults", "*"},
         [](Router& r, Exchange& e, const Names& n) { r.vaultApi_.create(e, n[0]); }},
        {"GET",
         {"vaults", "*"},
         [](Router& r, Exchange& e, const Names& n) { r.vaultApi_.describe(e, n[0]); }},
        {"DELETE",
         {"vaults", "*"},
         [](Router& r, Exchange& e, const Names& n) {
             r.vaultApi_.remove(e, n[0]);
             if (e.response().status == 204) {
                 r.jobs_.removeVault(e.region(), n[0]);
                 r.uploads_.removeVault(e.region(), n[0]);
             }
         }},
        {"GET",
         {"vaults", "*", "tags"},
         [](Router& r, Exchange& e, const Names& n) { r.vaultApi_.tags(e, n[0]); }},
        {"POST",
         {"vaults", "*", "tags"},
         [](Router& r, Exchange& e, const Names& n) { r.vaultApi_.changeTags(e, n[0]); }},
        {"POST",
         {"vaults", "*", "archives"},
         [](Router& r, Exchange& e, const Names& n) { r.archiveApi_.upload(e, n[0]); },
         true},
        {"DELETE",
         {"vaults", "*", "archives", "*"},
         [](Router& r, Exchange& e, const Names& n) { r.archiveApi_.remove(e, n[0], n[1]); }},
        {"POST",
         {"vaults", "*", "jobs"},
         [](Router& r, Exchange& e, const Names& n) { r.jobApi_.initiate(e, n[0]); }},
        {"GET",
         {"vaults", "*", "jobs"},
         [](Router& r, Exchange& e, const Names& n) { r.jobApi_.list(e, n[0]); }},
        {"GET",
         {"vaults", "*", "jobs", "*"},
         [](Router& r, Exchange& e, const Names& n) { r.jobApi_.describe(e, n[0], n[1]); }},
        {"GET",
         {"vaults", "*", "jobs", "*", "output"},
         [](Router& r, Exchange& e, const Names& n) { r.jobApi_.output(e, n[0], n[1]); }},
        {"POST",
         {"vaults", "*", "multipart-uploads"},
         [](Router& r, Exchange& e, const Names& n) { r.archiveApi_.initiate(e, n[0]); }},
        {"GET",
         {"vaults", "*", "multipart-uploads"},
         [](Router& r, Exchange& e, const Names& n) { r.archiveApi_.listUploads(e, n[0]); }},
        {"PUT",
         {"vaults", "*", "multipart-uploads", "*"},
         [](Router& r, Exchange& e, const Names& n) { r.archiveApi_.uploadPart(e, n[0], n[1]); },
         true},
        {"GET",
         {"vaults", "*", "multipart-uploads", "*"},
         [](Router& r, Exchange& e, const Names& n) { r.archiveApi_.listParts(e, n[0], n[1]); }},
        {"POST",
         {"vaults", "*", "multipart-uploads", "*"},
         [](Router& r, Exchange& e, const Names& n) { r.archiveApi_.complete(e, n[0], n[1]); }},
        {"DELETE",
         {"vaults", "*", "multipart-uploads", "*"},
         [](Router& r, Exchange& e, const Names& n) { r.archiveApi_.abort(e, n[0], n[1]); }},
    };
    return routes;
}

const std::vector<Router::Route>& Router::controlRoutes() {
    static const std::vector<Route> routes = {
        {"GET",
         {"log"},
         [](Router& r, Exchange& e, const Names&) { e.json(200, r.log_.toJson()); }},
        {"DELETE",
         {"log"},
         [](Router& r, Exchange& e, const Names&) {
             r.log_.clear();
             e.empty(204);
         }},
        {"GET",
         {"faults"},
         [](Router& r, Exchange& e, const Names&) { e.json(200, r.faults_.pending()); }},
        {"DELETE",
         {"faults"},
         [](Router& r, Exchange& e, const Names&) {
             r.faults_.clear();
             e.empty(204);
         }},
        {"POST",
         {"faults"},
         [](Router& r, Exchange& e, const Names&) {
             nlohmann::json document = nlohmann::json::parse(e.body(), nullptr, false);
             try {
                 for (const auto& item :
                      document.is_array() ? document : nlohmann::json::array({document})) {
                     r.faults_.arm(item);
                 }
                 e.empty(204);
             } catch (const std::exception& error) {
                 e.error(400, "InvalidFault", error.what());
             }
         }},
        {"POST", {"seed"}, [](Router& r, Exchange& e, const Names&) { r.seed(e); }},
        {"GET", {"clock"}, [](Router& r, Exchange& e, const Names&) { r.clock(e); }},
        {"POST", {"clock"}, [](Router& r, Exchange& e, const Names&) { r.clock(e); }},
    };
    return routes;
}

const Router::Route* Router::match(const std::vector<Route>& table, const Exchange& exchange,
                                   std::vector<std::string>& names) {
    const auto& s = exchange.segments();
    for (const auto& route : table) {
        if (route.method != exchange.method() || route.path.size() + 1 != s.size()) {
            continue;
        }
        names.clear();
        bool same = true;
        for (size_t i = 0; i < route.path.size() && same; ++i) {
            if (route.path[i] == "*") {
                names.push_back(s[i + 1]);
            } else {
                same = route.path[i] == s[i + 1];
            }
        }
        if (same) {
            return &route;
        }
    }
    return nullptr;
}

void Router::handle(const HttpRequest& request, HttpResponse& response, const BodyReader& reader) {
    std::string host = request.header("Host");
    Exchange exchange(request, response, reader,
                      config_.region.empty() ? regionOfHost(host) : config_.region);
    if (request.target.rfind("/_sim/", 0) == 0) {
        control(exchange);
        response.setHeader("Date", IsoTime::httpDate(clock_.now()));
        return;
    }

    LoggedRequest entry{request.method, request.target, host, exchange.region(), "", 0, ""};
    auto fault = faults_.take(request.method, request.target);
    if (fault) {
        entry.fault = fault->kindName;
        if (fault->delayMs > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(fault->delayMs));
        }
    }

    std::vector<std::string> names;
    const Route* route = match(serviceRoutes(), exchange, names);
    std::string claimedHash = exchange.header("x-amz-content-sha256");
    bool streamBody = route && route->streamsBody && !claimedHash.empty();
    if (!admit(request, exchange, entry)) {
        // Answered.
    } else if (!exchange.hasHeader("x-amz-glacier-version")) {
        discardBody(exchange);
        exchange.error(400, "MissingParameterValueException",
                       "Required parameter missing: API version (x-amz-glacier-version)");
    } else if (fault && fault->kind == Fault::Kind::Respond) {
        exchange.drainBody();
        response.status = fault->status;
        if (fault->body) {
            response.setContent(*fault->body, fault->contentType);
        } else {
            nlohmann::ordered_json document = {
                {"code", fault->code}, {"message", fault->message}, {"type", fault->type}};
            response.setContent(document.dump(), fault->contentType);
        }
    } else if (!streamBody && !claimedHash.empty() && claimedHash != exchange.bodyHash()) {
        exchange.error(400, "InvalidParameterValueException",
                       "The value passed in as x-amz-content-sha256 does not match the computed "
                       "payload hash. Computed digest: " +
                           exchange.bodyHash() + " expected hash: " + claimedHash);
    } else {
        try {
            dispatch(exchange, route, names);
        } catch (const std::exception& failure) {
            response.headers.clear();
            exchange.error(500, "ServiceUnavailableException", failure.what(), "Server");
        }
        exchange.drainBody();
        if (fault) {
            applyAfter(*fault, response);
        }
    }
    response.setHeader("x-amzn-RequestId", ids_.next(52));
    if (response.header("Date").empty()) {
        response.setHeader("Date", IsoTime::httpDate(clock_.now()));
    }
    entry.status = response.status;
    log_.add(std::move(entry));
}

bool Router::admit(const HttpRequest& request, Exchange& exchange, LoggedRequest& entry) {
    auto now = std::chrono::system_clock::now();  // signatures go by the real clock
    auto verdict = verifier_.checkHeaders(request, exchange.region(), now);
    std::string claimedHash = exchange.header("x-amz-content-sha256");
    if (verdict.verdict == SigV4Verifier::Verdict::Valid) {
        auto length = declaredLength(exchange);
        if (claimedHash.empty() && (!length || *length > kMaxUnhashedBody)) {
            entry.signature = "unchecked";
            exchange.error(400, "MissingParameterValueException",
                           "Required parameter x-amz-content-sha256 is missing for a body of "
                           "this size");
            return false;
        }
        verdict = verifier_.verify(request, claimedHash.empty() ? exchange.bodyHash() : claimedHash,
                                   exchange.region(), now);
    }
    entry.signature = SigV4Verifier::verdictName(verdict.verdict);
    if (refuse(exchange, verdict)) {
        discardBody(exchange);
        return false;
    }
    return true;
}

void Router::discardBody(Exchange& exchange) {
    auto length = declaredLength(exchange);
    if (length && *length <= kMaxDiscardedBody) {
        exchange.drainBody();
    }
}

bool Router::refuse(Exchange& exchange, const SigV4Verifier::Result& verdict) {
    switch (verdict.verdict) {
        case SigV4Verifier::Verdict::Valid:
            return false;
        case SigV4Verifier::Verdict::UnknownKey:
            exchange.error(403, "UnrecognizedClientException", verdict.message);
            break;
        case SigV4Verifier::Verdict::Missing:
            exchange.error(403, "MissingAuthenticationTokenException", verdict.message);
            break;
        case SigV4Verifier::Verdict::Malformed:
            exchange.error(400, "IncompleteSignatureException", verdict.message);
            break;
        case SigV4Verifier::Verdict::Expired:
            exchange.error(403, "RequestTimeTooSkewed", verdict.message);
            // The clock the signature was held against, so that a client that corrects its
            // skew from this answer signs its retry right.
            exchange.setHeader("Date", IsoTime::httpDate(std::chrono::system_clock::now()));
            break;
        case SigV4Verifier::Verdict::BadSignature:
            exchange.error(403, "InvalidSignatureException", verdict.message);
            break;
    }
    return true;
}

void Router::applyAfter(const Fault& fault, HttpResponse& response) {
    if (fault.kind == Fault::Kind::Drop) {
        // The line breaks before the answer is complete. Some bytes of it must get out: a
        // client silently sends the request again when a reused connection closes before
        // anything came back.
        response.delivery = HttpResponse::Delivery::HalfBody;
    } else if (fault.kind == Fault::Kind::Lose) {
        response.delivery = HttpResponse::Delivery::Nothing;
    } else if (fault.kind == Fault::Kind::WrongTreeHash) {
        std::string hash = response.header("x-amz-sha256-tree-hash");
        if (hash.empty()) {
            hash = Sha256::hex(Sha256::digest("quillon-sim"));
        }
        hash[0] = hash[0] == '0' ? '1' : '0';
        response.setHeader("x-amz-Sha256-Tree-Hash", hash);
    }
}

void Router::dispatch(Exchange& exchange, const Route* route,
                      const std::vector<std::string>& names) {
    const auto& s = exchange.segments();
    if (s.empty() || (s[0] != "-" && s[0] != config_.accountId)) {
        exchange.error(
            403, "AccessDeniedException",
            "Access to the account " + (s.empty() ? std::string() : s[0]) + " is not allowed");
        return;
    }
    if (!route) {
        exchange.error(400, "UnknownOperationException",
                       "No operation matches " + exchange.method() + " " + exchange.target());
        return;
    }
    route->handler(*this, exchange, names);
}

void Router::control(Exchange& exchange) {
    std::vector<std::string> names;
    if (const Route* route = match(controlRoutes(), exchange, names)) {
        try {
            route->handler(*this, exchange, names);
        } catch (const std::exception& error) {
            exchange.error(400, "InvalidRequest", error.what());
        }
    } else {
        exchange.error(404, "NotFound", "Unknown control request");
    }
    exchange.drainBody();
}

void Router::clock(Exchange& exchange) {
    if (exchange.method() == "POST") {
        nlohmann::json document = nlohmann::json::parse(exchange.body(), nullptr, false);
        constexpr double kMaxAdvance = 10.0 * 366 * 86400;
        if (!document.is_object() || !document.contains("advanceSeconds") ||
            !document["advanceSeconds"].is_number() || document["advanceSeconds"] < 0 ||
            document["advanceSeconds"] > kMaxAdvance) {
            exchange.error(400, "InvalidClock",
                           "expected {\"advanceSeconds\": N}, N from 0 to ten years");
            return;
        }
        clock_.advance(std::chrono::milliseconds(
            static_cast<long>(document["advanceSeconds"].get<double>() * 1000)));
    }
    exchange.json(200, {{"now", IsoTime::format(clock_.now())}});
}

void Router::seed(Exchange& exchange) {
    nlohmann::json document = nlohmann::json::parse(exchange.body(), nullptr, false);
    if (!document.is_object() || !document.contains("vault") || !document["vault"].is_string()) {
        exchange.error(400, "InvalidSeed", "expected {region, vault, count, size, prefix}");
        return;
    }
    std::string region =
        document.value("region", config_.region.empty() ? "us-east-1" : config_.region);
    std::string vault = document["vault"];
    std::string prefix = document.value("prefix", "seed-");
    auto number = [&](const char* key) -> std::optional<long> {
        if (!document.contains(key)) {
            return 1;
        }
        const auto& value = document[key];
        return value.is_number_integer() ? std::optional<long>(value.get<long>()) : std::nullopt;
    };
    auto count = number("count");
    auto size = number("size");
    if (!count || *count < 0 || *count > kMaxSeedCount) {
        exchange.error(400, "InvalidSeed",
                       "count must be a whole number of archives from 0 to " +
                           std::to_string(kMaxSeedCount) + " a request, not " +
                           document.value("count", nlohmann::json()).dump());
        return;
    }
    if (!size || *size < 0 || *size > 64L * 1048576L) {
        exchange.error(400, "InvalidSeed", "size must be a whole number from 0 to 67108864 bytes");
        return;
    }
    vaults_.create(region, vault);
    // Every seeded archive shares one body.
    std::string bytes(static_cast<size_t>(*size), 'q');
    auto chunks = TreeHash::chunkHashesOfBuffer(bytes);
    auto blob = std::make_shared<const Blob>(
        std::vector<std::shared_ptr<const BlobPart>>{BlobPart::inMemory(std::move(bytes))},
        std::move(chunks));
    std::string date = IsoTime::format(clock_.now());
    nlohmann::json ids = nlohmann::json::array();
    for (long i = 0; i < *count; ++i) {
        auto record = std::make_shared<ArchiveRecord>();
        record->id = ids_.next(138);
        record->description = prefix + std::to_string(i);
        record->creationDate = date;
        record->blob = blob;
        if (*count <= 1000) {
            ids.push_back(record->id);
        }
        vaults_.addArchive(region, vault, std::move(record));
    }
    exchange.json(200, {{"vault", vault},
                        {"region", region},
                        {"count", *count},
                        {"treeHash", blob->treeHash()},
                        {"archiveIds", ids}});
}

}  // namespace quillon::sim
