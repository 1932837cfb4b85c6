#include "sim/Router.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <chrono>
#include <limits>
#include <thread>

#include "sim/IsoTime.h"
#include "sim/TreeHasher.h"

namespace quillon::sim {

namespace {

constexpr size_t kThreads = 16;

void applyDrop(httplib::Response& response) {
    // Announce the whole body, send half of it, then let the connection fail.
    std::string body = std::move(response.body);
    response.body.clear();
    if (response.content_provider_) {
        auto inner = std::move(response.content_provider_);
        size_t length = response.content_length_;
        std::string type = response.get_header_value("Content-Type");
        response.headers.erase("Content-Type");
        auto budget = std::make_shared<size_t>(length / 2);
        response.set_content_provider(
            length, type, [inner, budget](size_t offset, size_t want, httplib::DataSink& sink) {
                httplib::DataSink limited;
                limited.is_writable = sink.is_writable;
                limited.write = [&](const char* data, size_t size) {
                    size_t take = std::min(size, *budget);
                    if (take > 0 && !sink.write(data, take)) {
                        return false;
                    }
                    *budget -= take;
                    return take == size;
                };
                inner(offset, want, limited);
                return false;
            });
        return;
    }
    size_t length = std::max<size_t>(body.size(), 1);
    auto shared = std::make_shared<std::string>(std::move(body));
    std::string type = response.get_header_value("Content-Type");
    response.headers.erase("Content-Type");
    if (response.status == 204) {
        response.status = 200;
    }
    response.set_content_provider(length, type.empty() ? "application/octet-stream" : type,
                                  [shared](size_t, size_t, httplib::DataSink& sink) {
                                      if (shared->size() > 1) {
                                          sink.write(shared->data(), shared->size() / 2);
                                      }
                                      return false;
                                  });
}

}  // namespace

Router::Router(SimConfig config)
    : config_(std::move(config)),
      verifier_(config_.accessKey, config_.secretKey),
      vaults_(config_.accountId),
      vaultApi_(vaults_),
      jobApi_(vaults_, jobs_, ids_, config_.jobDelaySeconds),
      archiveApi_(vaults_, uploads_, ids_, config_.dataDir) {
    server_.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
    server_.set_keep_alive_max_count(100000);
    server_.set_keep_alive_timeout(30);
    // Small answers must leave at once rather than wait for the client's delayed ACK.
    server_.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    });
    server_.set_read_timeout(60, 0);
    server_.set_write_timeout(60, 0);
    server_.set_payload_max_length(std::numeric_limits<size_t>::max());
    auto plain = [this](const httplib::Request& request, httplib::Response& response) {
        handle(request, response, nullptr);
    };
    auto streamed = [this](const httplib::Request& request, httplib::Response& response,
                           const httplib::ContentReader& reader) {
        handle(request, response, &reader);
    };
    server_.Get(".*", plain);
    server_.Delete(".*", plain);
    server_.Post(".*", streamed);
    server_.Put(".*", streamed);
}

Router::~Router() {
    stop();
}

int Router::bind() {
    if (config_.port == 0) {
        return server_.bind_to_any_port("127.0.0.1");
    }
    return server_.bind_to_port("127.0.0.1", config_.port) ? config_.port : -1;
}

void Router::serve() {
    server_.listen_after_bind();
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

void Router::handle(const httplib::Request& request, httplib::Response& response,
                    const httplib::ContentReader* reader) {
    // The server would slice the response again for a Range request; ranges are ours.
    const_cast<httplib::Request&>(request).ranges.clear();
    std::string host = request.get_header_value("Host");
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
    auto verdict = verifier_.verify(request.method, request.target, request.headers, payloadHash,
                                    exchange.region());
    entry.signature = SigV4Verifier::verdictName(verdict.verdict);

    if (verdict.verdict != SigV4Verifier::Verdict::Valid) {
        exchange.drainBody();
        switch (verdict.verdict) {
            case SigV4Verifier::Verdict::UnknownKey:
                exchange.error(403, "UnrecognizedClientException", verdict.message);
                break;
            case SigV4Verifier::Verdict::Missing:
                exchange.error(403, "MissingAuthenticationTokenException", verdict.message);
                break;
            case SigV4Verifier::Verdict::Malformed:
                exchange.error(400, "IncompleteSignatureException", verdict.message);
                break;
            default:
                exchange.error(403, "InvalidSignatureException", verdict.message);
        }
    } else if (fault && fault->kind == Fault::Kind::Respond) {
        exchange.drainBody();
        response.status = fault->status;
        if (fault->body) {
            response.set_content(*fault->body, fault->contentType);
        } else {
            nlohmann::ordered_json document = {
                {"code", fault->code}, {"message", fault->message}, {"type", fault->type}};
            response.set_content(document.dump(), fault->contentType);
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
    response.set_header("x-amzn-RequestId", ids_.next(52));
    entry.status = response.status;
    log_.add(std::move(entry));
}

void Router::applyAfter(const Fault& fault, httplib::Response& response) {
    if (fault.kind == Fault::Kind::Drop) {
        applyDrop(response);
    } else if (fault.kind == Fault::Kind::WrongTreeHash) {
        std::string hash = response.get_header_value("x-amz-sha256-tree-hash");
        if (hash.empty()) {
            hash = Sha256::hex(Sha256::of("quillon-sim"));
        }
        hash[0] = hash[0] == '0' ? '1' : '0';
        response.headers.erase("x-amz-sha256-tree-hash");
        response.set_header("x-amz-Sha256-Tree-Hash", hash);
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
    TreeHasher tree;
    tree.update(bytes.data(), bytes.size());
    auto blob = std::make_shared<const Blob>(
        std::vector<std::shared_ptr<const BlobPart>>{BlobPart::inMemory(std::move(bytes))},
        tree.finish());
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
