#include "inventory/Jobs.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <set>

#include "accounts/AccountRegion.h"
#include "foundation/BaseModel.h"
#include "foundation/Support.h"
#include "interfaces/platform/UserDefaults.h"
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

// Requests the pages one after another, each from the completion of the one before.
class Jobs::ListWalk : public std::enable_shared_from_this<ListWalk> {
  public:
    ListWalk(VaultPtr vault, ListCompletion done)
        : vault_(std::move(vault)), done_(std::move(done)) {}

    void fetch(const std::string& marker) {
        auto self = shared_from_this();
        auto answered = std::make_shared<std::atomic<bool>>(false);
        auto operation =
            vault_->jobs().apiGet(0, marker,
                                  [self, answered](const std::vector<Job::Ptr>& page,
                                                   const std::string& next, ErrorPtr error) {
                                      answered->store(true);
                                      self->receive(page, next, std::move(error));
                                  });
        if (!operation && !answered->load()) {
            done_({},
                  BaseModel::genericError("The region " + vault_->accountRegion()->region()->id() +
                                          " has no usable endpoint."));
        }
    }

  private:
    void receive(const std::vector<Job::Ptr>& page, const std::string& next, ErrorPtr error) {
        if (error) {
            done_({}, error);
            return;
        }
        jobs_.insert(jobs_.end(), page.begin(), page.end());
        if (next.empty()) {
            done_(jobs_, nullptr);
            return;
        }
        // A marker seen before would walk the same pages for ever.
        if (!markers_.insert(next).second || ++pages_ >= kMaxPages) {
            done_({}, BaseModel::invalidApiResponseError());
            return;
        }
        fetch(next);
    }

    VaultPtr vault_;
    ListCompletion done_;
    std::vector<Job::Ptr> jobs_;
    std::set<std::string> markers_;
    int pages_ = 0;
};

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

std::string Jobs::apiBasePath() const {
    return vault_.apiBasePath() + "/jobs";
}

std::string Jobs::lastInventoryRequestKey() const {
    return vault_.accountRegion()->storageKeyPrefix() + kLastInventoryRequestSuffix;
}

RequestOperation::Ptr Jobs::apiGet(int limit, const std::string& marker, PageCompletion done) {
    JSON::Value parameters = JSON::Value::object();
    if (!marker.empty()) {
        parameters["marker"] = marker;
    }
    if (limit != 0) {
        parameters["limit"] = std::to_string(limit);
    }
    VaultPtr vault = vault_.shared_from_this();
    return vault_.accountRegion()->apiPerformJSONRequest(
        "GET", apiBasePath(), JSON(parameters), {}, "", true,
        [vault, done](const JSON& json, ErrorPtr error, RequestOperation::Ptr) {
            if (error) {
                done({}, "", error);
                return;
            }
            done(multiple(json, vault), json["Marker"].stringValue(), nullptr);
        });
}

void Jobs::apiGetAll(ListCompletion done) {
    std::make_shared<ListWalk>(vault_.shared_from_this(), std::move(done))->fetch("");
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
        "POST", apiBasePath(), JSON(std::move(body)), {}, "", true,
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
