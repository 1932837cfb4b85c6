// SigV4Vectors: reading the reference signing vectors. Threads: as in SigV4Vectors.h.
#include "support/SigV4Vectors.h"

#include <ctime>
#include <fstream>
#include <iomanip>
#include <nlohmann/json.hpp>
#include <sstream>

#include "interfaces/http/SigV4Signer.h"
#include "support/BuildPaths.h"

namespace quillon::testing {

namespace {

SigV4Vector::Fields fields(const nlohmann::ordered_json& object) {
    SigV4Vector::Fields list;
    for (const auto& [name, value] : object.items()) {
        list.emplace_back(name, value.get<std::string>());
    }
    return list;
}

}  // namespace

std::chrono::system_clock::time_point parseISODate(const std::string& text) {
    std::tm tm{};
    std::istringstream(text) >> std::get_time(&tm, "%Y-%m-%dT%H:%M:%SZ");
    return std::chrono::system_clock::from_time_t(timegm(&tm));
}

std::string SigV4Vector::target() const {
    std::string text;
    for (const auto& [name, value] : query) {
        text += (text.empty() ? "?" : "&") + SigV4Signer::uriEncode(name) + "=" +
                SigV4Signer::uriEncode(value);
    }
    return path + text;
}

std::vector<SigV4Vector> loadSigV4Vectors() {
    std::ifstream file(referenceFile("sigv4-vectors.json"));
    const auto document = nlohmann::ordered_json::parse(file);
    std::vector<SigV4Vector> vectors;
    for (const auto& item : document.at("vectors")) {
        SigV4Vector vector;
        vector.name = item.at("name");
        vector.method = item.at("method");
        vector.host = item.at("host");
        vector.path = item.at("path");
        vector.query = fields(item.at("query"));
        vector.headers = fields(item.at("headers"));
        vector.body = item.at("body");
        vector.bodySha256 = item.at("bodySha256");
        vector.date = parseISODate(item.at("date"));
        vector.region = item.at("region");
        vector.accessKey = item.at("accessKey");
        vector.secretKey = item.at("secretKey");
        vector.expectedDate = item.at("expected").at("x-amz-date");
        vector.expectedAuthorization = item.at("expected").at("authorization");
        vectors.push_back(std::move(vector));
    }
    return vectors;
}

}  // namespace quillon::testing
