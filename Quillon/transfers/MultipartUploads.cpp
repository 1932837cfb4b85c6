// MultipartUploads: the initiate and list requests. Threads: as in MultipartUploads.h.
#include "transfers/MultipartUploads.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "accounts/AccountRegion.h"
#include "accounts/ApiRequest.h"
#include "accounts/PageWalk.h"
#include "foundation/BaseModel.h"
#include "foundation/Error.h"
#include "foundation/JSON.h"
#include "interfaces/http/RequestOperation.h"
#include "transfers/MultipartUpload.h"
#include "vaults/Vault.h"

namespace quillon {

ApiPath MultipartUploads::apiBasePath() const {
    return vault_.apiBasePath().word("multipart-uploads");
}

RequestOperation::Ptr MultipartUploads::apiInitiate(const std::optional<std::string>& description,
                                                    std::int64_t partSize, InitiateDone done) {
    AccountRegion::Headers headers{{"x-amz-part-size", std::to_string(partSize)}};
    if (description) {
        headers.emplace_back("x-amz-archive-description", *description);
    }
    auto vault = vault_.shared_from_this();
    return vault_.accountRegion()->apiPerformRequest(
        {.method = "POST", .path = apiBasePath(), .headers = headers},
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
        {.path = apiBasePath(), .parameters = ApiRequest::pageParameters(limit, marker)},
        AnswerShape::page("UploadsList"),
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
    auto vault = vault_.shared_from_this();
    PageWalk<MultipartUploadPtr>::run(
        [vault](const std::string& marker, PageWalk<MultipartUploadPtr>::Receive receive) {
            return vault->multipartUploads().apiGet(0, marker, std::move(receive));
        },
        std::move(done), vault_.accountRegion()->noEndpointError());
}

}  // namespace quillon
