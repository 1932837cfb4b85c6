#include "transfers/MultipartUploads.h"

#include "accounts/AccountRegion.h"
#include "foundation/BaseModel.h"
#include "vaults/Vault.h"

namespace quillon {

namespace {

std::optional<JSON> pageParameters(std::int64_t limit, const std::string& marker) {
    if (limit == 0 && marker.empty()) {
        return std::nullopt;
    }
    JSON::Value parameters = JSON::Value::object();
    if (!marker.empty()) {
        parameters["marker"] = marker;
    }
    if (limit != 0) {
        parameters["limit"] = std::to_string(limit);
    }
    return JSON(parameters);
}

}  // namespace

std::string MultipartUploads::apiBasePath() const {
    return vault_.apiBasePath() + "/multipart-uploads";
}

RequestOperation::Ptr MultipartUploads::apiInitiate(const std::optional<std::string>& description,
                                                    std::int64_t partSize, InitiateDone done) {
    AccountRegion::Headers headers{{"x-amz-part-size", std::to_string(partSize)}};
    if (description) {
        headers.emplace_back("x-amz-archive-description", *description);
    }
    auto vault = vault_.shared_from_this();
    return vault_.accountRegion()->apiPerformRequest(
        "POST", apiBasePath(), std::nullopt, headers, "", true,
        [vault, done](ErrorPtr error, RequestOperation::Ptr op) {
            if (error) {
                done(nullptr, error);
                return;
            }
            const auto& headers = op->response().headers;
            auto it = headers.find("x-amz-multipart-upload-id");
            if (it == headers.end()) {
                done(nullptr, BaseModel::invalidApiResponseError());
                return;
            }
            done(std::make_shared<MultipartUpload>(vault, it->second), nullptr);
        });
}

RequestOperation::Ptr MultipartUploads::apiGet(std::int64_t limit, const std::string& marker,
                                               PageDone done) {
    auto vault = vault_.shared_from_this();
    return vault_.accountRegion()->apiPerformJSONRequest(
        "GET", apiBasePath(), pageParameters(limit, marker), {}, "", true,
        [vault, done](const JSON& json, ErrorPtr error, RequestOperation::Ptr) {
            if (error) {
                done({}, "", error);
                return;
            }
            done(MultipartUpload::multiple(json, vault), json["Marker"].string().value_or(""),
                 nullptr);
        });
}

void MultipartUploads::apiGetAll(AllDone done) {
    getAllFrom("", std::make_shared<std::vector<MultipartUploadPtr>>(), 0, std::move(done));
}

void MultipartUploads::getAllFrom(std::string marker,
                                  std::shared_ptr<std::vector<MultipartUploadPtr>> list, int page,
                                  AllDone done) {
    if (page >= kMaxPages) {
        done({}, BaseModel::invalidApiResponseError());
        return;
    }
    auto vault = vault_.shared_from_this();
    apiGet(0, marker,
           [this, vault, list, page, done](std::vector<MultipartUploadPtr> uploads,
                                           const std::string& next, ErrorPtr error) {
               if (error) {
                   done({}, error);
                   return;
               }
               list->insert(list->end(), uploads.begin(), uploads.end());
               if (next.empty()) {
                   done(*list, nullptr);
                   return;
               }
               getAllFrom(next, list, page + 1, done);
           });
}

}  // namespace quillon
