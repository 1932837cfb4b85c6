// The simulator process and its archive helpers. Thread rules as in Simulator.h.
#include "support/Simulator.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "interfaces/http/GlacierRequestSerializer.h"
#include "interfaces/http/RequestOperation.h"
#include "interfaces/http/URLRequest.h"
#include "inventory/Job.h"
#include "support/BuildPaths.h"
#include "support/ModelState.h"

namespace quillon::testing {

Simulator::Simulator() : Simulator(Options{}) {}

Simulator::Simulator(Options options) : options_(std::move(options)) {
    std::vector<std::string> args = {"--port",       "0",
                                     "--access-key", options_.accessKey,
                                     "--secret-key", options_.secretKey,
                                     "--account-id", options_.accountId};
    auto add = [&](const char* option, const std::string& value) {
        args.push_back(option);
        args.push_back(value);
    };
    if (!options_.simulatedClock) {
        add("--job-delay", std::to_string(options_.jobDelay));
    }
    if (!options_.dataDir.empty()) {
        add("--data", options_.dataDir);
    }
    if (!options_.region.empty()) {
        add("--region", options_.region);
    }
    if (options_.deleteRate) {
        add("--delete-rate", std::to_string(*options_.deleteRate));
    }
    if (options_.freeTierBytesPerDay) {
        add("--free-tier-bytes-per-day", std::to_string(*options_.freeTierBytesPerDay));
    }
    process_ = std::make_unique<BackgroundProcess>(simulatorProgram(), args);
    const std::string& line = process_->firstLine();
    const std::string prefix = "listening on http://127.0.0.1:";
    if (line.compare(0, prefix.size(), prefix) == 0) {
        port_ = std::atoi(line.c_str() + prefix.size());
    }
    if (port_ <= 0) {
        throw std::runtime_error("quillon-sim did not start: '" + line + "'");
    }
}

SignedClient Simulator::client(const std::string& region) const {
    if (region.empty()) {
        return SignedClient(baseURL(), options_.region.empty() ? "us-east-1" : options_.region,
                            accessKey(), secretKey());
    }
    return SignedClient(regionURL(region), region, accessKey(), secretKey());
}

HttpAnswer Simulator::storeArchive(const std::string& vault, const std::string& bytes,
                                   std::vector<std::string> headers) const {
    headers.push_back("x-amz-sha256-tree-hash: " + TreeHash::treeHashOfBuffer(bytes));
    headers.push_back("x-amz-content-sha256: " + TreeHash::sha256Hex(bytes));
    return send("POST", "/-/vaults/" + vault + "/archives", bytes, headers);
}

std::string Simulator::control(const std::string& method, const std::string& path,
                               const std::string& body) const {
    HttpAnswer answer = SignedClient::plain(baseURL()).send(method, "_sim/" + path, body,
                                                            {"Content-Type: application/json"});
    if (!answer.transportError.empty() || answer.status >= 300) {
        throw std::runtime_error("control request failed: " + answer.transportError + answer.body);
    }
    return answer.body;
}

int Simulator::countRequests(const std::string& method, const std::string& targetPart,
                             bool okOnly) const {
    int count = 0;
    for (const auto& entry : requestLog()) {
        count += entry["method"] == method &&
                 entry["target"].get<std::string>().find(targetPart) != std::string::npos &&
                 (!okOnly || entry["status"].get<int>() < 300);
    }
    return count;
}

std::string patternBytes(std::size_t size) {
    std::string bytes(size, '\0');
    std::uint32_t state = 2463534242u;
    for (char& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<char>(state & 0xff);
    }
    return bytes;
}

std::string uploadArchive(const std::string& baseURL, const std::string& accessKey,
                          const std::string& secret, const std::string& vault,
                          const std::string& bytes) {
    GlacierRequestSerializer serializer;
    URLRequest request =
        serializer.requestWithMethod("POST", baseURL + "-/vaults/" + vault + "/archives");
    request.setBody(bytes);
    request.setValue(TreeHash::treeHashOfBuffer(bytes), "x-amz-sha256-tree-hash");
    auto parts = URLParts::parse(baseURL);
    URLRequest signedRequest = serializer.prepareGlacierRequest(
        request, parts ? std::optional(parts->hostName) : std::nullopt, accessKey, secret,
        std::chrono::system_clock::now());
    auto operation = RequestOperation::create(std::move(signedRequest), nullptr, nullptr);
    operation->start();
    auto id = operation->response().headers.find("x-amz-archive-id");
    if (operation->error() || id == operation->response().headers.end()) {
        return "";
    }
    return id->second;
}

bool waitUntilDone(const std::shared_ptr<Job>& job) {
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (awaitCompletion([&](auto done) { job->apiDescribe(done); }) != nullptr) {
            return false;
        }
        if (job->statusCode() == Job::StatusCode::Succeeded) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

}  // namespace quillon::testing
