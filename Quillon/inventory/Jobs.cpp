// Jobs: the list and initiate requests. Threads: as in Jobs.h.
#include "inventory/Jobs.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "accounts/AccountRegion.h"
#include "accounts/ApiRequest.h"
#include "accounts/PageWalk.h"
#include "foundation/BaseModel.h"
#include "foundation/Error.h"
#include "foundation/JSON.h"
#include "foundation/Support.h"
#include "interfaces/http/RequestOperation.h"
#include "interfaces/platform/UserDefaults.h"
#include "inventory/GlacierRetrievalTier.h"
#include "inventory/Job.h"
#include "vaults/Vault.h"

namespace quillon {

namespace {

// The job id of a successful start, or none.
std::optional<std::string> jobIdOf(const RequestOperation::Ptr& operation) {
    if (!operation) {
        return std::nullopt;
    }
    const HeaderMap& headers = operation->response().headers;
    auto found = headers.find("x-amz-job-id");
    if (found == headers.end()) {
        return std::nullopt;
    }
    return found->second;
}

}  // namespace

Jobs::Jobs(Vault& vault) : vault_(vault) {}

std::vector<Job::Ptr> Jobs::multiple(const JSON& json, const VaultPtr& vault) {
    std::vector<Job::Ptr> jobs;
    for (const JSON& element : json["JobList"].arrayValue()) {
        if (Job::Ptr job = Job::create(element, vault)) {
            jobs.push_back(std::move(job));
        }
    }
    return jobs;
}

ApiPath Jobs::apiBasePath() const {
    return vault_.apiBasePath().word("jobs");
}

std::string Jobs::lastInventoryRequestKey() const {
    return vault_.accountRegion()->storageKeyPrefix() + kLastInventoryRequestSuffix;
}

RequestOperation::Ptr Jobs::apiGet(int limit, const std::string& marker, PageCompletion done) {
    VaultPtr vault = vault_.shared_from_this();
    return vault_.accountRegion()->apiPerformJSONRequest(
        {.path = apiBasePath(), .parameters = ApiRequest::pageParameters(limit, marker)},
        AnswerShape::page("JobList"),
        [vault, done](const JSON& json, ErrorPtr error, RequestOperation::Ptr) {
            if (error) {
                done({}, "", error);
                return;
            }
            done(multiple(json, vault), json["Marker"].stringValue(), nullptr);
        });
}

void Jobs::apiGetAll(ListCompletion done) {
    VaultPtr vault = vault_.shared_from_this();
    PageWalk<Job::Ptr>::run(
        [vault](const std::string& marker, PageWalk<Job::Ptr>::Receive receive) {
            return vault->jobs().apiGet(0, marker, std::move(receive));
        },
        [done](std::vector<Job::Ptr> jobs, ErrorPtr error) { done(jobs, std::move(error)); },
        vault_.accountRegion()->noEndpointError());
}

RequestOperation::Ptr Jobs::apiInitiateInventoryRetrieval(
    const std::optional<std::string>& description, JobCompletion done) {
    JSON::Value body = JSON::Value::object();
    body["Type"] = "inventory-retrieval";
    if (description) {
        body["Description"] = *description;
    }
    return initiate(std::move(body), true, std::move(done));
}

RequestOperation::Ptr Jobs::apiInitiateArchiveRetrieval(
    const std::string& archiveId, const std::optional<std::string>& description,
    const std::optional<std::string>& byteRange, GlacierRetrievalTier tier, JobCompletion done) {
    JSON::Value body = JSON::Value::object();
    body["Type"] = "archive-retrieval";
    body["ArchiveId"] = archiveId;
    if (description) {
        body["Description"] = *description;
    }
    if (byteRange) {
        body["RetrievalByteRange"] = *byteRange;
    }
    // Without "Tier" the service applies its default, the standard tier.
    if (tier != GlacierRetrievalTier::standard) {
        body["Tier"] = quillon::description(tier);
    }
    return initiate(std::move(body), false, std::move(done));
}

RequestOperation::Ptr Jobs::initiate(JSON::Value body, bool inventory, JobCompletion done) {
    VaultPtr vault = vault_.shared_from_this();
    std::string defaultsKey = inventory ? lastInventoryRequestKey() : std::string();
    return vault_.accountRegion()->apiPerformRequest(
        {.method = "POST", .path = apiBasePath(), .parameters = JSON(std::move(body))},
        [vault, defaultsKey, done](ErrorPtr error, RequestOperation::Ptr operation) {
            if (error) {
                done(nullptr, error);
                return;
            }
            auto jobId = jobIdOf(operation);
            if (!jobId) {
                done(nullptr, BaseModel::invalidApiResponseError());
                return;
            }
            if (!defaultsKey.empty()) {
                UserDefaults::standard()->setDouble(defaultsKey, nowSecondsExact());
            }
            Job::Ptr job = Job::create(vault);
            job->id = *jobId;
            done(job, nullptr);
        });
}

}  // namespace quillon
