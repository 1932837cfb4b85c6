// JobApi: job handlers and job output. Threads: as in JobApi.h.
#include "sim/JobApi.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "sim/Blob.h"
#include "sim/BlobPart.h"
#include "sim/Exchange.h"
#include "sim/InventoryWriter.h"
#include "sim/IsoTime.h"
#include "sim/JobStore.h"
#include "sim/VaultApi.h"

namespace quillon::sim {

namespace {

// A "bytes=first-last" header resolved against `size`: (offset, length); nothing when
// the header is absent; (size + 1, 0) when it is unusable.
std::optional<std::pair<uint64_t, uint64_t>> requestedRange(const std::string& header,
                                                            uint64_t size) {
    if (header.empty()) {
        return std::nullopt;
    }
    static const std::regex kPattern("bytes=(\\d*)-(\\d*)");
    std::smatch match;
    std::pair<uint64_t, uint64_t> bad{size + 1, 0};
    if (!std::regex_match(header, match, kPattern) ||
        (match[1].length() == 0 && match[2].length() == 0)) {
        return bad;
    }
    try {
        if (match[1].length() == 0) {
            uint64_t suffix = std::stoull(match[2]);
            if (suffix == 0 || size == 0) {
                return bad;
            }
            suffix = std::min(suffix, size);
            return std::make_pair(size - suffix, suffix);
        }
        uint64_t first = std::stoull(match[1]);
        uint64_t last = match[2].length() == 0 ? size - 1 : std::stoull(match[2]);
        if (first >= size || last < first) {
            return bad;
        }
        last = std::min(last, size - 1);
        return std::make_pair(first, last - first + 1);
    } catch (const std::exception&) {
        return bad;
    }
}

}  // namespace

std::chrono::seconds JobApi::tierDuration(const std::string& tier, const std::string& id) {
    using std::chrono::hours;
    using std::chrono::minutes;
    using std::chrono::seconds;
    seconds least = hours(3);
    seconds most = hours(5);
    if (tier == "Expedited") {
        least = minutes(1);
        most = minutes(5);
    } else if (tier == "Bulk") {
        least = hours(5);
        most = hours(12);
    }
    auto spread = static_cast<size_t>((most - least).count()) + 1;
    return least + seconds(static_cast<long>(std::hash<std::string>{}(id) % spread));
}

void JobApi::jobNotFound(Exchange& exchange, const std::string& id) const {
    exchange.error(404, "ResourceNotFoundException", "The job ID was not found: " + id);
}

std::shared_ptr<const Job> JobApi::liveJob(const Exchange& exchange, const std::string& vault,
                                           const std::string& id, TimePoint now) const {
    auto job = jobs_.get(exchange.region(), vault, id);
    return job && !job->expired(now) ? job : nullptr;
}

nlohmann::ordered_json JobApi::describeJson(const Job& job, TimePoint now) const {
    bool completed = job.completed(now);
    bool archive = job.action == "ArchiveRetrieval";
    nlohmann::ordered_json description;
    description["Action"] = job.action;
    description["ArchiveId"] = archive ? nlohmann::ordered_json(job.archive->id) : nullptr;
    description["ArchiveSHA256TreeHash"] =
        archive ? nlohmann::ordered_json(job.archive->blob->treeHash()) : nullptr;
    description["ArchiveSizeInBytes"] =
        archive ? nlohmann::ordered_json(job.archive->blob->size()) : nullptr;
    description["Completed"] = completed;
    description["CompletionDate"] =
        completed ? nlohmann::ordered_json(IsoTime::format(job.readyAt)) : nullptr;
    description["CreationDate"] = job.creationDate;
    description["InventoryRetrievalParameters"] =
        archive ? nlohmann::ordered_json(nullptr)
                : nlohmann::ordered_json{{"EndDate", nullptr},
                                         {"Format", "JSON"},
                                         {"Limit", nullptr},
                                         {"Marker", nullptr},
                                         {"StartDate", nullptr}};
    description["InventorySizeInBytes"] =
        !archive && completed ? nlohmann::ordered_json(InventoryWriter(job).size()) : nullptr;
    description["JobDescription"] = job.description.empty()
                                        ? nlohmann::ordered_json(nullptr)
                                        : nlohmann::ordered_json(job.description);
    description["JobId"] = job.id;
    description["RetrievalByteRange"] =
        archive ? nlohmann::ordered_json(std::to_string(job.rangeStart) + "-" +
                                         std::to_string(job.rangeStart + job.rangeLength - 1))
                : nullptr;
    std::optional<std::string> treeHash;
    if (archive) {
        treeHash = job.archive->blob->rangeTreeHash(job.rangeStart, job.rangeLength);
    }
    description["SHA256TreeHash"] = treeHash ? nlohmann::ordered_json(*treeHash) : nullptr;
    description["SNSTopic"] = nullptr;
    description["StatusCode"] = completed ? "Succeeded" : "InProgress";
    description["StatusMessage"] =
        completed ? nlohmann::ordered_json("Succeeded") : nlohmann::ordered_json(nullptr);
    description["Tier"] = job.tier;
    description["VaultARN"] = job.vaultArn;
    return description;
}

void JobApi::initiate(Exchange& exchange, const std::string& vault) {
    nlohmann::json request = nlohmann::json::parse(exchange.body(), nullptr, false);
    if (request.is_discarded() || !request.is_object()) {
        exchange.error(400, "SerializationException", "Could not parse the request body as JSON");
        return;
    }
    if (!vaults_.exists(exchange.region(), vault)) {
        VaultApi::vaultNotFound(exchange, vaults_.arn(exchange.region(), vault));
        return;
    }
    auto job = std::make_shared<Job>();
    job->id = ids_.next(92);
    job->vaultArn = vaults_.arn(exchange.region(), vault);
    TimePoint now = clock_.now();
    job->creationDate = IsoTime::format(now);
    job->description = request.value("Description", "");
    job->tier = request.value("Tier", "Standard");
    if (job->tier != "Standard" && job->tier != "Expedited" && job->tier != "Bulk") {
        exchange.error(400, "InvalidParameterValueException", "Invalid tier: " + job->tier);
        return;
    }
    std::string type = request.value("Type", "");
    if (type == "inventory-retrieval") {
        std::string format = request.value("/InventoryRetrievalParameters/Format"_json_pointer,
                                           request.value("Format", "JSON"));
        if (format != "JSON") {
            exchange.error(400, "InvalidParameterValueException",
                           "Only the JSON inventory format is available");
            return;
        }
        job->action = "InventoryRetrieval";
        auto inventory = vaults_.takeInventory(exchange.region(), vault);
        if (!inventory) {
            VaultApi::vaultNotFound(exchange, job->vaultArn);
            return;
        }
        if (!*inventory) {
            exchange.error(404, "ResourceNotFoundException",
                           "The vault has no inventory yet: " + job->vaultArn);
            return;
        }
        job->inventory = std::move(*inventory);
    } else if (type == "archive-retrieval") {
        job->action = "ArchiveRetrieval";
        std::string archiveId = request.value("ArchiveId", "");
        job->archive = vaults_.archive(exchange.region(), vault, archiveId);
        if (!job->archive) {
            exchange.error(404, "ResourceNotFoundException",
                           "Archive not found for ID: " + archiveId);
            return;
        }
        uint64_t size = job->archive->blob->size();
        job->rangeLength = size;
        std::string range = request.value("RetrievalByteRange", "");
        if (!range.empty()) {
            static const std::regex kPattern("(\\d+)-(\\d+)");
            std::smatch match;
            bool ok = std::regex_match(range, match, kPattern);
            uint64_t first = 0;
            uint64_t last = 0;
            if (ok) {
                try {
                    first = std::stoull(match[1]);
                    last = std::stoull(match[2]);
                } catch (const std::exception&) {
                    ok = false;
                }
            }
            ok = ok && first <= last && last < size && first % kMiB == 0 &&
                 ((last + 1) % kMiB == 0 || last + 1 == size);
            if (!ok) {
                exchange.error(400, "InvalidParameterValueException",
                               "The retrieval byte range must be megabyte aligned and inside "
                               "the archive: " +
                                   range);
                return;
            }
            job->rangeStart = first;
            job->rangeLength = last - first + 1;
        }
        if (budget_ && !budget_->admit(exchange.region(), vaults_.policy(exchange.region()),
                                       job->rangeLength, now)) {
            exchange.error(403, "PolicyEnforcedException",
                           "InitiateJob request denied by current data retrieval policy.");
            return;
        }
    } else {
        exchange.error(400, "InvalidParameterValueException", "Invalid job type: " + type);
        return;
    }
    if (delaySeconds_) {
        job->readyAt = now + std::chrono::milliseconds(static_cast<long>(*delaySeconds_ * 1000));
    } else {
        job->readyAt = now + tierDuration(job->archive ? job->tier : "Standard", job->id);
    }
    job->expiresAt = job->readyAt + kAvailability;
    jobs_.add(exchange.region(), vault, job);
    exchange.empty(202);
    exchange.setHeader("Location",
                       "/" + exchange.segments()[0] + "/vaults/" + vault + "/jobs/" + job->id);
    exchange.setHeader("x-amz-Job-Id", job->id);
}

void JobApi::list(Exchange& exchange, const std::string& vault) {
    if (!vaults_.exists(exchange.region(), vault)) {
        VaultApi::vaultNotFound(exchange, vaults_.arn(exchange.region(), vault));
        return;
    }
    size_t limit = 0;
    if (!VaultApi::pageLimit(exchange, kDefaultPage, limit)) {
        return;
    }
    std::string completed = exchange.query("completed");
    std::string status = exchange.query("statuscode");
    TimePoint now = clock_.now();
    auto all = jobs_.list(exchange.region(), vault);
    // The marker names the first job of the page, in start order; a job that has expired
    // since still marks its place.
    auto from = all.begin();
    if (exchange.hasQuery("marker")) {
        std::string marker = exchange.query("marker");
        from = std::find_if(all.begin(), all.end(),
                            [&](const auto& job) { return job->id == marker; });
        if (from == all.end()) {
            exchange.error(400, "InvalidParameterValueException", "Invalid marker: " + marker);
            return;
        }
    }
    std::vector<std::shared_ptr<const Job>> matching;
    for (auto it = from; it != all.end() && matching.size() <= limit; ++it) {
        const auto& job = *it;
        bool done = job->completed(now);
        if (job->expired(now) || (completed == "true" && !done) || (completed == "false" && done) ||
            (!status.empty() && status != (done ? "Succeeded" : "InProgress"))) {
            continue;
        }
        matching.push_back(job);
    }
    nlohmann::ordered_json document;
    document["JobList"] = nlohmann::ordered_json::array();
    size_t end = std::min(matching.size(), limit);
    for (size_t i = 0; i < end; ++i) {
        document["JobList"].push_back(describeJson(*matching[i], now));
    }
    document["Marker"] =
        end < matching.size() ? nlohmann::ordered_json(matching[end]->id) : nullptr;
    exchange.json(200, document);
}

void JobApi::describe(Exchange& exchange, const std::string& vault, const std::string& id) {
    TimePoint now = clock_.now();
    auto job = liveJob(exchange, vault, id, now);
    if (!job) {
        if (!vaults_.exists(exchange.region(), vault)) {
            VaultApi::vaultNotFound(exchange, vaults_.arn(exchange.region(), vault));
        } else {
            jobNotFound(exchange, id);
        }
        return;
    }
    exchange.json(200, describeJson(*job, now));
}

void JobApi::output(Exchange& exchange, const std::string& vault, const std::string& id) {
    TimePoint now = clock_.now();
    auto job = liveJob(exchange, vault, id, now);
    if (!job) {
        jobNotFound(exchange, id);
        return;
    }
    if (!job->completed(now)) {
        exchange.error(400, "InvalidParameterValueException",
                       "The job is not currently available for download: " + id);
        return;
    }
    bool archive = job->action == "ArchiveRetrieval";
    uint64_t total = archive ? job->rangeLength : InventoryWriter(*job).size();
    auto range = requestedRange(exchange.header("Range"), total);
    if (range && range->first > total) {
        exchange.error(416, "InvalidParameterValueException",
                       "The requested range is not satisfiable: " + exchange.header("Range"));
        exchange.setHeader("Content-Range", "bytes */" + std::to_string(total));
        return;
    }
    uint64_t offset = range ? range->first : 0;
    uint64_t length = range ? range->second : total;
    auto& response = exchange.response();
    response.status = range ? 206 : 200;
    exchange.setHeader("Accept-Ranges", "bytes");
    if (range) {
        exchange.setHeader("Content-Range", "bytes " + std::to_string(offset) + "-" +
                                                std::to_string(offset + length - 1) + "/" +
                                                std::to_string(total));
    }
    if (archive) {
        auto hash = job->archive->blob->rangeTreeHash(job->rangeStart + offset, length);
        if (hash && (offset + length == total || (offset + length) % kMiB == 0)) {
            exchange.setHeader("x-amz-Sha256-Tree-Hash", *hash);
        }
        exchange.setHeader("x-amz-Archive-Description", job->archive->description);
    }
    std::string type = archive ? "application/octet-stream" : "application/json";
    if (length == 0) {
        response.setContent("", type);
        return;
    }
    uint64_t base = archive ? job->rangeStart + offset : offset;
    response.setStream(length, type, [job, archive, base, length](const ByteSink& sink) {
        if (archive) {
            return job->archive->blob->read(base, length, sink);
        }
        return InventoryWriter(*job).writeRange(base, length, sink);
    });
}

}  // namespace quillon::sim
