#include "support/Simulator.h"

#include <curl/curl.h>

#include <memory>
#include <stdexcept>
#include <vector>

#include "support/CurlHandles.h"

namespace quillon::testing {

namespace {

size_t appendBody(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

}  // namespace

Simulator::Simulator() : Simulator(Options{}) {}

Simulator::Simulator(Options options) : options_(std::move(options)) {
    std::vector<std::string> args = {"--port",       "0",
                                     "--access-key", options_.accessKey,
                                     "--secret-key", options_.secretKey,
                                     "--account-id", options_.accountId,
                                     "--job-delay",  std::to_string(options_.jobDelay)};
    if (!options_.dataDir.empty()) {
        args.push_back("--data");
        args.push_back(options_.dataDir);
    }
    process_ = std::make_unique<BackgroundProcess>(QUILLON_SIM_PATH, args);
    const std::string& line = process_->firstLine();
    const std::string prefix = "listening on http://127.0.0.1:";
    if (line.compare(0, prefix.size(), prefix) == 0) {
        port_ = std::atoi(line.c_str() + prefix.size());
    }
    if (port_ <= 0) {
        throw std::runtime_error("quillon-sim did not start: '" + line + "'");
    }
}

Simulator::~Simulator() = default;

std::string Simulator::baseURL() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/";
}

std::string Simulator::regionURL(const std::string& regionId) const {
    return "http://glacier." + regionId + ".localhost:" + std::to_string(port_) + "/";
}

std::pair<long, std::string> Simulator::control(const std::string& method, const std::string& path,
                                                const std::string& body) const {
    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl) {
        throw std::runtime_error("cannot create a curl handle");
    }
    std::string url = baseURL() + "_sim/" + path;
    std::string answer;
    std::unique_ptr<curl_slist, SlistDeleter> headers(
        curl_slist_append(nullptr, "Content-Type: application/json"));
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_CUSTOMREQUEST, method.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, appendBody);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, 30L);
    curl_easy_setopt(curl.get(), CURLOPT_NOPROXY, "*");
    if (method == "POST" || method == "PUT") {
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    }
    CURLcode result = curl_easy_perform(curl.get());
    if (result != CURLE_OK) {
        throw std::runtime_error("control request failed: " +
                                 std::string(curl_easy_strerror(result)));
    }
    long status = 0;
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
    if (status >= 300) {
        throw std::runtime_error("control request refused: " + answer);
    }
    return {status, answer};
}

nlohmann::json Simulator::requestLog() const {
    return nlohmann::json::parse(control("GET", "log", "").second);
}

void Simulator::clearRequestLog() const {
    control("DELETE", "log", "");
}

void Simulator::injectFault(const nlohmann::json& fault) const {
    control("POST", "faults", fault.dump());
}

void Simulator::clearFaults() const {
    control("DELETE", "faults", "");
}

nlohmann::json Simulator::seed(const nlohmann::json& request) const {
    return nlohmann::json::parse(control("POST", "seed", request.dump()).second);
}

}  // namespace quillon::testing
