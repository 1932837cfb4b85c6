#include "transfers/MultipartUpload.h"

#include <cerrno>

#include "accounts/AWSErrorTranslation.h"
#include "accounts/AccountRegion.h"
#include "foundation/BaseModel.h"
#include "foundation/ModelError.h"
#include "interfaces/files/FileHelpers.h"
#include "interfaces/http/GlacierManager.h"
#include "transfers/Archive.h"
#include "transfers/Archives.h"
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

std::string trimmedSlashes(const std::string& path) {
    auto first = path.find_first_not_of('/');
    if (first == std::string::npos) {
        return "";
    }
    return path.substr(first, path.find_last_not_of('/') - first + 1);
}

}  // namespace

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

std::string MultipartUpload::apiBasePath() const {
    return vault->apiBasePath() + "/multipart-uploads/" + id;
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
    std::int64_t length = to - from + 1;
    auto& accountRegion = *vault->accountRegion();
    auto baseURL = accountRegion.region()->baseURL();
    if (!baseURL) {
        return nullptr;
    }
    std::string url = appendingURLPath(*baseURL, trimmedSlashes(apiBasePath()));
    auto& manager = accountRegion.account()->glacierManager();
    URLRequest request = manager.requestSerializer().requestWithMethod("PUT", url);
    request.setValue(partTreeHash, "x-amz-sha256-tree-hash");
    request.setValue(partContentHash, "x-amz-content-sha256");
    request.setValue(std::to_string(length), "Content-Length");
    request.setValue("bytes " + std::to_string(from) + "-" + std::to_string(to) + "/*",
                     "Content-Range");
    request.setBodyFileWindow(
        {path, static_cast<std::uint64_t>(from), static_cast<std::uint64_t>(length)});
    URLRequest signedRequest;
    try {
        signedRequest = accountRegion.apiSignRequest(request);
    } catch (const ModelError& signError) {
        done(signError.toErrorPtr());
        return nullptr;
    }
    RegionPtr region = accountRegion.region();
    auto operation = manager.HTTPRequestOperationWithRequest(
        std::move(signedRequest),
        [partTreeHash, done](const RequestOperation::Ptr& op, const JSON&) {
            auto it = op->response().headers.find("x-amz-sha256-tree-hash");
            std::string received = it == op->response().headers.end() ? "" : it->second;
            if (received != partTreeHash) {
                Archives::logTreeHashMismatch(received, partTreeHash);
                done(std::make_shared<const Error>(ModelError::kDomain, 1));
                return;
            }
            done(nullptr);
        },
        [region, done](const RequestOperation::Ptr&, const Error& failure) {
            done(translateError(failure, region).share());
        });
    if (progress) {
        operation->setUploadProgressBlock(std::move(progress));
    }
    manager.operationQueue().addOperation(operation);
    return operation;
}

RequestOperation::Ptr MultipartUpload::apiGetParts(std::int64_t limit, const std::string& marker,
                                                   PartsPageDone done) {
    return vault->accountRegion()->apiPerformJSONRequest(
        "GET", apiBasePath(), pageParameters(limit, marker), {}, "", true,
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
    getAllPartsFrom("", std::make_shared<Parts>(), 0, std::move(done));
}

void MultipartUpload::getAllPartsFrom(std::string marker, std::shared_ptr<Parts> parts, int page,
                                      PartsDone done) {
    if (page >= kMaxPages) {
        done({}, 0, BaseModel::invalidApiResponseError());
        return;
    }
    auto self = shared_from_this();
    apiGetParts(0, marker,
                [self, parts, page, done](Parts pageParts, std::int64_t partSize,
                                          const std::string& next, ErrorPtr error) {
                    if (error) {
                        done({}, 0, error);
                        return;
                    }
                    for (auto& [range, hash] : pageParts) {
                        (*parts)[range] = hash;
                    }
                    if (next.empty()) {
                        done(*parts, partSize, nullptr);
                        return;
                    }
                    self->getAllPartsFrom(next, parts, page + 1, done);
                });
}

RequestOperation::Ptr MultipartUpload::apiComplete(const std::string& treeHash, std::int64_t size,
                                                   const std::string& archiveDescription,
                                                   CompleteDone done) {
    AccountRegion::Headers headers{{"x-amz-archive-size", std::to_string(size)},
                                   {"x-amz-sha256-tree-hash", treeHash}};
    auto target = vault;
    return vault->accountRegion()->apiPerformRequest(
        "POST", apiBasePath(), std::nullopt, headers, "", true,
        [target, treeHash, size, archiveDescription, done](ErrorPtr error,
                                                           RequestOperation::Ptr op) {
            if (error) {
                done(std::nullopt, error);
                return;
            }
            auto it = op->response().headers.find("x-amz-archive-id");
            if (it == op->response().headers.end()) {
                done(std::nullopt, BaseModel::invalidApiResponseError());
                return;
            }
            auto archive = std::make_shared<Archive>(target);
            archive->archiveID = it->second;
            archive->archiveDescription = archiveDescription;
            archive->size = size;
            archive->treeHash = treeHash;
            archive->appendAdded();
            done(archive->archiveID, nullptr);
        });
}

RequestOperation::Ptr MultipartUpload::apiDelete(Completion done) {
    return vault->accountRegion()->apiPerformRequest(
        "DELETE", apiBasePath(), std::nullopt, {}, "", true,
        [done](ErrorPtr error, RequestOperation::Ptr) { done(error); });
}

}  // namespace quillon
