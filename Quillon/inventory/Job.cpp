// Job: the job's fields, describe and output requests. Threads: as in Job.h.
#include "inventory/Job.h"

#include <cstddef>
#include <functional>
#include <ios>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>

#include "accounts/AWSErrorTranslation.h"
#include "accounts/Account.h"
#include "accounts/AccountRegion.h"
#include "accounts/ApiRequest.h"
#include "accounts/Region.h"
#include "foundation/Error.h"
#include "foundation/JSON.h"
#include "foundation/Support.h"
#include "interfaces/http/GlacierManager.h"
#include "interfaces/http/RequestOperation.h"
#include "vaults/Vault.h"

namespace quillon {

std::string Job::rawValue(StatusCode code) {
    switch (code) {
        case StatusCode::InProgress:
            return "InProgress";
        case StatusCode::Succeeded:
            return "Succeeded";
        case StatusCode::Failed:
            return "Failed";
        case StatusCode::Unknown:
            break;
    }
    return "";
}

std::optional<Job::StatusCode> Job::statusCodeFromRawValue(std::string_view text) {
    for (StatusCode code :
         {StatusCode::Unknown, StatusCode::InProgress, StatusCode::Succeeded, StatusCode::Failed}) {
        if (rawValue(code) == text) {
            return code;
        }
    }
    return std::nullopt;
}

Job::Job(Token, VaultPtr vault) : vault_(std::move(vault)) {}

Job::Ptr Job::create(VaultPtr vault) {
    return std::make_shared<Job>(Token{}, std::move(vault));
}

Job::Ptr Job::create(const JSON& json, VaultPtr vault) {
    auto jobId = json["JobId"].string();
    if (!jobId) {
        return nullptr;
    }
    auto job = create(std::move(vault));
    job->id = *jobId;
    job->data = json;
    return job;
}

Job::StatusCode Job::statusCode() const {
    auto text = data["StatusCode"].string();
    if (!text) {
        return StatusCode::Unknown;
    }
    return statusCodeFromRawValue(*text).value_or(StatusCode::Unknown);
}

std::optional<double> Job::creationDate() const {
    auto text = data["CreationDate"].string();
    if (!text) {
        return std::nullopt;
    }
    return awsDateFromString(*text);
}

std::string Job::description() const {
    return "Job " + id;
}

ApiPath Job::apiBasePath() const {
    return vault_->apiBasePath().word("jobs").id(id);
}

RequestOperation::Ptr Job::apiDescribe(std::function<void(ErrorPtr)> done) {
    auto self = shared_from_this();
    return vault_->accountRegion()->apiPerformJSONRequest(
        {.path = apiBasePath()}, AnswerShape::object().string("/JobId"),
        [self, done](const JSON& json, ErrorPtr error, RequestOperation::Ptr) {
            if (error) {
                done(error);
                return;
            }
            if (json["JobId"].isString()) {
                self->data = json;
            }
            done(nullptr);
        });
}

RequestOperation::Ptr Job::apiDownload(RequestOperation::OutputStream output,
                                       std::optional<ByteRange> range,
                                       RequestOperation::ProgressBlock progress,
                                       DownloadCompletion done, std::function<bool()> restart) {
    const AccountRegionPtr& accountRegion = vault_->accountRegion();
    RegionPtr region = accountRegion->region();
    ApiRequest download{.path = apiBasePath().word("output")};
    if (range) {
        download.headers.emplace_back(
            "Range", "bytes=" + std::to_string(range->from) + "-" + std::to_string(range->to));
    }
    AccountRegion::PreparedRequest prepared = accountRegion->apiPrepareRequest(download);
    if (!prepared.request) {
        if (prepared.error) {
            done("", prepared.error, nullptr);
        }
        return nullptr;
    }
    GlacierManager& manager = accountRegion->account()->glacierManager();
    auto operation = manager.HTTPRequestOperationWithRequest(
        std::move(*prepared.request),
        [done](const RequestOperation::Ptr& op, const JSON&) {
            const HeaderMap& headers = op->response().headers;
            auto hash = headers.find("x-amz-sha256-tree-hash");
            done(hash == headers.end() ? std::string() : hash->second, nullptr, op);
        },
        [done, region](const RequestOperation::Ptr& op, const Error& error) {
            done("", translateError(error, region).share(), op);
        });
    if (progress) {
        operation->setDownloadProgressBlock(std::move(progress));
    }
    operation->setOutputStream(std::move(output));
    if (restart) {
        operation->setOutputRestart(std::move(restart));
    }
    accountRegion->allowResigning(operation);
    manager.operationQueue().addOperation(operation);
    return operation;
}

RequestOperation::Ptr Job::apiDownload(std::ostream& stream, std::optional<ByteRange> range,
                                       RequestOperation::ProgressBlock progress,
                                       DownloadCompletion done) {
    return apiDownload(
        [&stream](const char* bytes, std::size_t length) {
            stream.write(bytes, static_cast<std::streamsize>(length));
            return static_cast<bool>(stream);
        },
        range, std::move(progress), std::move(done));
}

}  // namespace quillon
