// Exchange: one service request and its response. Threads: as in Exchange.h.
#include "sim/Exchange.h"

#include <cstddef>
#include <sstream>
#include <string>
#include <utility>

#include "interfaces/files/Sha256.h"
#include "interfaces/http/SigV4Signer.h"
#include "sim/BlobPart.h"
#include "sim/HttpMessage.h"

namespace quillon::sim {

Exchange::Exchange(const HttpRequest& request, HttpResponse& response, BodyReader reader,
                   std::string region)
    : request_(request),
      response_(response),
      reader_(std::move(reader)),
      region_(std::move(region)) {
    const std::string& target = request.target;
    size_t question = target.find('?');
    std::string path = target.substr(0, question);
    std::istringstream stream(path);
    std::string segment;
    while (std::getline(stream, segment, '/')) {
        if (!segment.empty()) {
            segments_.push_back(SigV4Signer::percentDecode(segment));
        }
    }
    if (question != std::string::npos) {
        std::istringstream items(target.substr(question + 1));
        std::string item;
        while (std::getline(items, item, '&')) {
            if (item.empty()) {
                continue;
            }
            size_t equals = item.find('=');
            query_.emplace(SigV4Signer::percentDecode(item.substr(0, equals)),
                           equals == std::string::npos
                               ? ""
                               : SigV4Signer::percentDecode(item.substr(equals + 1)));
        }
    }
}

std::string Exchange::query(const std::string& name) const {
    auto it = query_.find(name);
    return it == query_.end() ? "" : it->second;
}

std::string Exchange::header(const std::string& name) const {
    return request_.header(name);
}

bool Exchange::readBody(const ByteSink& sink) {
    if (bodyRead_) {
        if (bodyBuffered_) {
            bodyBuffered_ = false;
            std::string buffered = std::move(body_);
            body_.clear();
            return buffered.empty() || sink(buffered.data(), buffered.size());
        }
        return true;
    }
    bodyRead_ = true;
    return !reader_ || reader_(sink);
}

const std::string& Exchange::body() {
    if (!bodyRead_) {
        readBody([this](const char* data, size_t length) {
            body_.append(data, length);
            return true;
        });
        bodyBuffered_ = true;
        bodyHash_ = Sha256::hex(Sha256::digest(body_.data(), body_.size()));
    }
    return body_;
}

std::string Exchange::bodyHash() {
    if (!bodyRead_) {
        body();
    }
    return bodyHash_;
}

void Exchange::drainBody() {
    if (!bodyRead_) {
        readBody([](const char*, size_t) { return true; });
    }
}

void Exchange::error(int status, const std::string& code, const std::string& message,
                     const std::string& type) {
    nlohmann::ordered_json document = {{"code", code}, {"message", message}, {"type", type}};
    json(status, document);
}

void Exchange::json(int status, const nlohmann::ordered_json& document) {
    response_.status = status;
    response_.setContent(document.dump(), "application/json");
}

void Exchange::empty(int status) {
    response_.status = status;
    response_.body.clear();
}

void Exchange::setHeader(const std::string& name, const std::string& value) {
    response_.setHeader(name, value);
}

}  // namespace quillon::sim
