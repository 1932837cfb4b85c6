#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>

#include "interfaces/files/TreeHash.h"
#include "interfaces/http/GlacierRequestSerializer.h"
#include "interfaces/http/RequestOperation.h"
#include "interfaces/http/URLRequest.h"
#include "inventory/Job.h"
#include "support/ModelState.h"
#include "support/Simulator.h"

namespace quillon::testing {

inline Simulator::Options simulatorWithJobDelay(double seconds) {
    Simulator::Options options;
    options.jobDelay = seconds;
    return options;
}

// Bytes that differ from chunk to chunk, so that a misplaced range shows.
inline std::string patternBytes(std::size_t size) {
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

// Stores an archive on the simulator by a signed request of its own; the archive id, or "" when
// the upload failed.
inline std::string uploadArchive(const std::string& baseURL, const std::string& accessKey,
                                 const std::string& secret, const std::string& vault,
                                 const std::string& bytes) {
    GlacierRequestSerializer serializer;
    URLRequest request =
        serializer.requestWithMethod("POST", baseURL + "-/vaults/" + vault + "/archives");
    request.setBody(bytes);
    request.setValue(TreeHash::treeHashOfBuffer(bytes), "x-amz-sha256-tree-hash");
    auto parts = URLParts::parse(baseURL);
    std::optional<std::string> host;
    if (parts) {
        host = parts->hostName;
    }
    URLRequest signedRequest = serializer.prepareGlacierRequest(request, host, accessKey, secret,
                                                                std::chrono::system_clock::now());
    auto operation = RequestOperation::create(std::move(signedRequest), nullptr, nullptr);
    operation->start();
    auto id = operation->response().headers.find("x-amz-archive-id");
    if (operation->error() || id == operation->response().headers.end()) {
        return "";
    }
    return id->second;
}

// Describes the job until the service says it has succeeded; a bounded number of looks.
inline bool waitUntilDone(const Job::Ptr& job) {
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
