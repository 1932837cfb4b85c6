// Router: signature checks, faults, the control endpoint and dispatch. Threads: as in Router.h.
#include "sim/Router.h"

#include <chrono>
#include <thread>

#include "interfaces/files/Sha256.h"
#include "interfaces/files/TreeHash.h"
#include "sim/IsoTime.h"

namespace quillon::sim {

Router::Router(SimConfig config)
    : config_(std::move(config)),
      verifier_(config_.accessKey, config_.secretKey),
      vaults_(config_.accountId),
      vaultApi_(vaults_),
      jobApi_(vaults_, jobs_, ids_, config_.jobDelaySeconds),
      archiveApi_(vaults_, uploads_, ids_, config_.dataDir),
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

bool Router::isUpload(const Exchange& exchange) const {
    const auto& s = exchange.segments();
    if (s.size() == 4 && s[1] == "vaults" && s[3] == "archives") {
        return exchange.method() == "POST";
    }
    return exchange.method() == "PUT" && s.size() == 5 && s[1] == "vaults" &&
           s[3] == "multipart-uploads";
}

void Router::handle(const HttpRequest& request, HttpResponse& response, const BodyReader& reader) {
    std::string host = request.header("Host");
    Exchange exchange(request, response, reader, regionOfHost(host));
    if (request.target.rfind("/_sim/", 0) == 0) {
        control(exchange);
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

    std::string claimedHash = exchange.header("x-amz-content-sha256");
    bool streamBody = isUpload(exchange) && !claimedHash.empty();
    std::string payloadHash =
        streamBody || !claimedHash.empty() ? claimedHash : exchange.bodyHash();
    auto verdict =
        verifier_.verify(request, payloadHash, exchange.region(), std::chrono::system_clock::now());
    entry.signature = SigV4Verifier::verdictName(verdict.verdict);

    if (refuse(exchange, verdict)) {
        exchange.drainBody();
    } else if (!exchange.hasHeader("x-amz-glacier-version")) {
        exchange.drainBody();
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
            dispatch(exchange);
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
    entry.status = response.status;
    log_.add(std::move(entry));
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

void Router::dispatch(Exchange& exchange) {
    const auto& s = exchange.segments();
    const std::string& method = exchange.method();
    if (s.empty() || (s[0] != "-" && s[0] != config_.accountId)) {
        exchange.error(
            403, "AccessDeniedException",
            "Access to the account " + (s.empty() ? std::string() : s[0]) + " is not allowed");
        return;
    }
    if (s.size() == 3 && s[1] == "policies" && s[2] == "data-retrieval") {
        if (method == "GET") {
            return vaultApi_.policy(exchange);
        }
        if (method == "PUT") {
            return vaultApi_.setPolicy(exchange);
        }
    } else if (s.size() == 2 && s[1] == "vaults" && method == "GET") {
        return vaultApi_.list(exchange);
    } else if (s.size() >= 3 && s[1] == "vaults") {
        const std::string& vault = s[2];
        if (s.size() == 3) {
            if (method == "PUT") {
                return vaultApi_.create(exchange, vault);
            }
            if (method == "GET") {
                return vaultApi_.describe(exchange, vault);
            }
            if (method == "DELETE") {
                vaultApi_.remove(exchange, vault);
                if (exchange.response().status == 204) {
                    jobs_.removeVault(exchange.region(), vault);
                    uploads_.removeVault(exchange.region(), vault);
                }
                return;
            }
        } else if (s.size() == 4 && s[3] == "tags") {
            if (method == "GET") {
                return vaultApi_.tags(exchange, vault);
            }
            if (method == "POST") {
                return vaultApi_.changeTags(exchange, vault);
            }
        } else if (s[3] == "archives") {
            if (s.size() == 4 && method == "POST") {
                return archiveApi_.upload(exchange, vault);
            }
            if (s.size() == 5 && method == "DELETE") {
                return archiveApi_.remove(exchange, vault, s[4]);
            }
        } else if (s[3] == "jobs") {
            if (s.size() == 4 && method == "POST") {
                return jobApi_.initiate(exchange, vault);
            }
            if (s.size() == 4 && method == "GET") {
                return jobApi_.list(exchange, vault);
            }
            if (s.size() == 5 && method == "GET") {
                return jobApi_.describe(exchange, vault, s[4]);
            }
            if (s.size() == 6 && s[5] == "output" && method == "GET") {
                return jobApi_.output(exchange, vault, s[4]);
            }
        } else if (s[3] == "multipart-uploads") {
            if (s.size() == 4 && method == "POST") {
                return archiveApi_.initiate(exchange, vault);
            }
            if (s.size() == 4 && method == "GET") {
                return archiveApi_.listUploads(exchange, vault);
            }
            if (s.size() == 5) {
                const std::string& id = s[4];
                if (method == "PUT") {
                    return archiveApi_.uploadPart(exchange, vault, id);
                }
                if (method == "GET") {
                    return archiveApi_.listParts(exchange, vault, id);
                }
                if (method == "POST") {
                    return archiveApi_.complete(exchange, vault, id);
                }
                if (method == "DELETE") {
                    return archiveApi_.abort(exchange, vault, id);
                }
            }
        }
    }
    exchange.error(400, "UnknownOperationException",
                   "No operation matches " + method + " " + exchange.target());
}

void Router::control(Exchange& exchange) {
    const auto& s = exchange.segments();
    const std::string& method = exchange.method();
    std::string what = s.size() >= 2 ? s[1] : "";
    if (what == "log" && method == "GET") {
        exchange.json(200, log_.toJson());
    } else if (what == "log" && method == "DELETE") {
        log_.clear();
        exchange.empty(204);
    } else if (what == "faults" && method == "GET") {
        exchange.json(200, faults_.pending());
    } else if (what == "faults" && method == "DELETE") {
        faults_.clear();
        exchange.empty(204);
    } else if (what == "faults" && method == "POST") {
        nlohmann::json document = nlohmann::json::parse(exchange.body(), nullptr, false);
        try {
            if (document.is_array()) {
                for (const auto& item : document) {
                    faults_.arm(item);
                }
            } else {
                faults_.arm(document);
            }
            exchange.empty(204);
        } catch (const std::exception& error) {
            exchange.error(400, "InvalidFault", error.what());
        }
    } else if (what == "seed" && method == "POST") {
        seed(exchange);
    } else {
        exchange.error(404, "NotFound", "Unknown control request");
    }
    exchange.drainBody();
}

void Router::seed(Exchange& exchange) {
    nlohmann::json document = nlohmann::json::parse(exchange.body(), nullptr, false);
    if (!document.is_object() || !document.contains("vault") || !document["vault"].is_string()) {
        exchange.error(400, "InvalidSeed", "expected {region, vault, count, size, prefix}");
        return;
    }
    std::string region = document.value("region", "us-east-1");
    std::string vault = document["vault"];
    long count = document.value("count", 1L);
    long size = document.value("size", 1L);
    std::string prefix = document.value("prefix", "seed-");
    if (count < 0 || size < 0 || size > 64L * 1048576L) {
        exchange.error(400, "InvalidSeed", "count and size must be sensible");
        return;
    }
    vaults_.create(region, vault);
    // Every seeded archive shares one body.
    std::string bytes(static_cast<size_t>(size), 'q');
    auto chunks = TreeHash::chunkHashesOfBuffer(bytes);
    auto blob = std::make_shared<const Blob>(
        std::vector<std::shared_ptr<const BlobPart>>{BlobPart::inMemory(std::move(bytes))},
        std::move(chunks));
    std::string date = IsoTime::now();
    nlohmann::json ids = nlohmann::json::array();
    for (long i = 0; i < count; ++i) {
        auto record = std::make_shared<ArchiveRecord>();
        record->id = ids_.next(138);
        record->description = prefix + std::to_string(i);
        record->creationDate = date;
        record->blob = blob;
        if (count <= 1000) {
            ids.push_back(record->id);
        }
        vaults_.addArchive(region, vault, std::move(record));
    }
    exchange.json(200, {{"vault", vault},
                        {"region", region},
                        {"count", count},
                        {"treeHash", blob->treeHash()},
                        {"archiveIds", ids}});
}

}  // namespace quillon::sim
