// MultipartUpload: part uploads, part listing, completion and abort. Threads: as in
// MultipartUpload.h.
#include "transfers/MultipartUpload.h"

#include <cerrno>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "accounts/AWSErrorTranslation.h"
#include "accounts/AccountRegion.h"
#include "accounts/ApiRequest.h"
#include "accounts/PageWalk.h"
#include "accounts/Region.h"
#include "foundation/BaseModel.h"
#include "foundation/Error.h"
#include "foundation/FileHelpers.h"
#include "foundation/JSON.h"
#include "foundation/ModelError.h"
#include "interfaces/http/GlacierManager.h"
#include "interfaces/http/RequestOperation.h"
#include "interfaces/http/URLRequest.h"
#include "transfers/Archive.h"
#include "transfers/Archives.h"
#include "vaults/Vault.h"

namespace quillon {

MultipartUpload::MultipartUpload(std::shared_ptr<Vault> vault, std::string id, JSON data)
    : id(std::move(id)), data(std::move(data)), vault(std::move(vault)) {}

MultipartUploadPtr MultipartUpload::create(const JSON& json, const std::shared_ptr<Vault>& vault) {
    auto id = json["MultipartUploadId"].string();
    if (!id) {
        return nullptr;
    }
    return std::make_shared<MultipartUpload>(vault, *id, json);
}

std::vector<MultipartUploadPtr> MultipartUpload::multiple(const JSON& json,
                                                          const std::shared_ptr<Vault>& vault) {
    std::vector<MultipartUploadPtr> uploads;
    for (const JSON& element : json["UploadsList"].arrayValue()) {
        if (auto upload = create(element, vault)) {
            uploads.push_back(std::move(upload));
        }
    }
    return uploads;
}

ApiPath MultipartUpload::apiBasePath() const {
    return vault->apiBasePath().word("multipart-uploads").id(id);
}

RequestOperation::Ptr MultipartUpload::apiUpload(const std::string& path, std::int64_t from,
                                                 std::int64_t to, const std::string& partTreeHash,
                                                 const std::string& partContentHash,
                                                 RequestOperation::ProgressBlock progress,
                                                 Completion done) {
    ErrorPtr error;
    auto size = FileHelpers::fileSize(path, &error);
    if (!size || !FileHelpers::regularFileExists(path)) {
        throw ModelError::fileNotReadable(
            error ? error : FileHelpers::makeError(EISDIR, "Cannot read file", path));
    }
    if (from < 0 || to < from || to >= *size) {
        throw ModelError::fileNotReadable(FileHelpers::makeError(
            ERANGE,
            "Cannot read bytes " + std::to_string(from) + "-" + std::to_string(to) + " of file",
            path));
    }
    const FileWindowBody window{path, static_cast<std::uint64_t>(from),
                                static_cast<std::uint64_t>(to - from + 1)};
    return sendPart([window](URLRequest& request) { request.setBodyFileWindow(window); }, from, to,
                    partTreeHash, partContentHash, std::move(progress), std::move(done));
}

RequestOperation::Ptr MultipartUpload::apiUploadBody(const SharedBody& body, std::int64_t from,
                                                     const std::string& partTreeHash,
                                                     const std::string& partContentHash,
                                                     RequestOperation::ProgressBlock progress,
                                                     Completion done) {
    const std::int64_t to = from + static_cast<std::int64_t>(body.length) - 1;
    return sendPart([body](URLRequest& request) { request.setBodyShared(body); }, from, to,
                    partTreeHash, partContentHash, std::move(progress), std::move(done));
}

RequestOperation::Ptr MultipartUpload::sendPart(const std::function<void(URLRequest&)>& setBody,
                                                std::int64_t from, std::int64_t to,
                                                const std::string& partTreeHash,
                                                const std::string& partContentHash,
                                                RequestOperation::ProgressBlock progress,
                                                Completion done) {
    std::int64_t length = to - from + 1;
    auto& accountRegion = *vault->accountRegion();
    AccountRegion::PreparedRequest prepared = accountRegion.apiPrepareRequest(
        {.method = "PUT",
         .path = apiBasePath(),
         .headers = {{"x-amz-sha256-tree-hash", partTreeHash},
                     {"x-amz-content-sha256", partContentHash},
                     {"Content-Length", std::to_string(length)},
                     {"Content-Range",
                      "bytes " + std::to_string(from) + "-" + std::to_string(to) + "/*"}}});
    if (!prepared.request) {
        if (prepared.error) {
            done(prepared.error);
        }
        return nullptr;
    }
    URLRequest signedRequest = std::move(*prepared.request);
    setBody(signedRequest);
    auto& manager = accountRegion.account()->glacierManager();
    RegionPtr region = accountRegion.region();
    auto operation = manager.HTTPRequestOperationWithRequest(
        std::move(signedRequest),
        [partTreeHash, done, from](const RequestOperation::Ptr& op, const JSON&) {
            auto it = op->response().headers.find("x-amz-sha256-tree-hash");
            std::string received = it == op->response().headers.end() ? "" : it->second;
            if (received != partTreeHash) {
                Archives::logTreeHashMismatch(received, partTreeHash);
                done(Archives::treeHashMismatchError("the part at byte " + std::to_string(from),
                                                     received, partTreeHash));
                return;
            }
            done(nullptr);
        },
        [region, done](const RequestOperation::Ptr&, const Error& failure) {
            done(translateError(failure, region).share());
        });
    accountRegion.allowResigning(operation);
    if (progress) {
        operation->setUploadProgressBlock(std::move(progress));
    }
    manager.operationQueue().addOperation(operation);
    return operation;
}

RequestOperation::Ptr MultipartUpload::apiGetParts(std::int64_t limit, const std::string& marker,
                                                   PartsPageDone done) {
    return vault->accountRegion()->apiPerformJSONRequest(
        {.path = apiBasePath(), .parameters = ApiRequest::pageParameters(limit, marker)},
        AnswerShape::page("Parts"),
        [done](const JSON& json, ErrorPtr error, RequestOperation::Ptr) {
            if (error) {
                done({}, 0, "", error);
                return;
            }
            Parts parts;
            for (const JSON& part : json["Parts"].arrayValue()) {
                auto range = part["RangeInBytes"].string();
                if (range) {
                    parts[*range] = part["SHA256TreeHash"].stringValue();
                }
            }
            done(std::move(parts), json["PartSizeInBytes"].int64Value(),
                 json["Marker"].string().value_or(""), nullptr);
        });
}

void MultipartUpload::apiGetAllParts(PartsDone done) {
    using Part = std::pair<std::string, std::string>;
    auto self = shared_from_this();
    // Every page names the part size; the last page's is reported.
    auto partSize = std::make_shared<std::int64_t>(0);
    PageWalk<Part>::run(
        [self, partSize](const std::string& marker, PageWalk<Part>::Receive receive) {
            return self->apiGetParts(
                0, marker,
                [partSize, receive](Parts parts, std::int64_t size, const std::string& next,
                                    ErrorPtr error) {
                    *partSize = size;
                    receive({parts.begin(), parts.end()}, next, std::move(error));
                });
        },
        [partSize, done](std::vector<Part> parts, ErrorPtr error) {
            if (error) {
                done({}, 0, std::move(error));
                return;
            }
            // In list order, so that a later page's entry for a range replaces an earlier one.
            Parts all;
            for (auto& [range, hash] : parts) {
                all[range] = std::move(hash);
            }
            done(std::move(all), *partSize, nullptr);
        },
        vault->accountRegion()->noEndpointError());
}

RequestOperation::Ptr MultipartUpload::apiComplete(const std::string& treeHash, std::int64_t size,
                                                   const std::string& archiveDescription,
                                                   CompleteDone done) {
    AccountRegion::Headers headers{{"x-amz-archive-size", std::to_string(size)},
                                   {"x-amz-sha256-tree-hash", treeHash}};
    auto target = vault;
    return vault->accountRegion()->apiPerformRequest(
        {.method = "POST", .path = apiBasePath(), .headers = headers},
        [target, treeHash, size, archiveDescription, done](ErrorPtr error,
                                                           RequestOperation::Ptr op) {
            // An answer whose head names the archive counts even when the connection broke
            // after it: the archive exists.
            auto it =
                op ? op->response().headers.find("x-amz-archive-id") : HeaderMap::const_iterator();
            const bool named = op && it != op->response().headers.end();
            if (error && !(named && op->response().statusCode == 201)) {
                done(std::nullopt, error);
                return;
            }
            if (!named) {
                done(std::nullopt, BaseModel::invalidApiResponseError());
                return;
            }
            auto archive = std::make_shared<Archive>(target);
            archive->archiveID = it->second;
            archive->archiveDescription = archiveDescription;
            archive->size = size;
            archive->treeHash = treeHash;
            archive->appendAddedThen([archive, done](ErrorPtr unrecorded) {
                done(archive->archiveID, std::move(unrecorded));
            });
        });
}

RequestOperation::Ptr MultipartUpload::apiDelete(Completion done) {
    return vault->accountRegion()->apiPerformRequest(
        {.method = "DELETE", .path = apiBasePath()},
        [done](ErrorPtr error, RequestOperation::Ptr) { done(error); });
}

}  // namespace quillon
