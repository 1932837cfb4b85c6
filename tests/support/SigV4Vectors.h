// The reference Signature Version 4 vectors of tests/reference/sigv4-vectors.json, read once
// per call into plain values, for the tests of the client's signer and of the simulator's
// verifier. No shared state: call from any thread.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace quillon::testing {

struct SigV4Vector {
    using Fields = std::vector<std::pair<std::string, std::string>>;

    std::string name;
    std::string method;
    std::string host;
    std::string path;
    Fields query;    // in the vector's own order, not encoded
    Fields headers;  // as the client sends them, before signing
    std::string body;
    std::string bodySha256;
    std::chrono::system_clock::time_point date;
    std::string region;
    std::string accessKey;
    std::string secretKey;
    std::string expectedDate;           // x-amz-date
    std::string expectedAuthorization;  // the whole Authorization value

    // The request target: the path, then the query encoded in the vector's order.
    std::string target() const;
};

std::vector<SigV4Vector> loadSigV4Vectors();

// "2012-05-25T00:24:53Z" as an instant.
std::chrono::system_clock::time_point parseISODate(const std::string& text);

}  // namespace quillon::testing
