// ArchiveApi: archive and multipart upload handlers. Threads: as in ArchiveApi.h.
#include "sim/ArchiveApi.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "interfaces/files/Sha256.h"
#include "sim/Blob.h"
#include "sim/BlobPart.h"
#include "sim/BlobWriter.h"
#include "sim/Exchange.h"
#include "sim/IsoTime.h"
#include "sim/MultipartStore.h"
#include "sim/VaultApi.h"
#include "sim/VaultStore.h"

namespace quillon::sim {

namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::optional<uint64_t> parseNumber(const std::string& text) {
    if (text.empty() || text.size() > 19 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); })) {
        return std::nullopt;
    }
    return std::stoull(text);
}

// Reads the body into a new blob part; nothing after answering when that fails.
std::optional<BlobWriter::Result> receive(Exchange& exchange, const std::string& dataDir) {
    uint64_t expected = parseNumber(exchange.header("Content-Length")).value_or(0);
    BlobWriter writer(dataDir, expected);
    bool ok = exchange.readBody(
        [&writer](const char* data, size_t length) { return writer.write(data, length); });
    auto result = writer.finish();
    if (!ok || !result) {
        exchange.error(500, "ServiceUnavailableException", "The request body could not be stored",
                       "Server");
        return std::nullopt;
    }
    return result;
}

// Compares the body's hashes with the claimed ones; false after answering on a mismatch.
bool checkHashes(Exchange& exchange, const BlobWriter::Result& body) {
    std::string claimedContent = exchange.header("x-amz-content-sha256");
    if (!claimedContent.empty() && lower(claimedContent) != body.contentHash) {
        exchange.error(400, "InvalidParameterValueException",
                       "Checksum mismatch: the x-amz-content-sha256 header does not match the "
                       "body, computed " +
                           body.contentHash);
        return false;
    }
    std::string claimedTree = exchange.header("x-amz-sha256-tree-hash");
    if (lower(claimedTree) != body.treeHash) {
        exchange.error(
            400, "InvalidParameterValueException",
            "Checksum mismatch: expected hash " + claimedTree + ", computed " + body.treeHash);
        return false;
    }
    return true;
}

}  // namespace

bool ArchiveApi::checkDescription(Exchange& exchange) {
    std::string description = exchange.header("x-amz-archive-description");
    bool printable = std::all_of(description.begin(), description.end(),
                                 [](unsigned char c) { return c >= 0x20 && c <= 0x7e; });
    if (!printable || description.size() > kMaxDescription) {
        exchange.error(400, "InvalidParameterValueException",
                       "Invalid archive description: it must be printable ASCII of at most 1024 "
                       "characters");
        return false;
    }
    return true;
}

bool ArchiveApi::checkVault(Exchange& exchange, const std::string& vault) {
    if (vaults_.exists(exchange.region(), vault)) {
        return true;
    }
    VaultApi::vaultNotFound(exchange, vaults_.arn(exchange.region(), vault));
    return false;
}

void ArchiveApi::uploadNotFound(Exchange& exchange, const std::string& id) {
    exchange.error(404, "ResourceNotFoundException", "Multipart upload not found: " + id);
}

void ArchiveApi::created(Exchange& exchange, const std::string& vault,
                         std::shared_ptr<const ArchiveRecord> archive) {
    std::string id = archive->id;
    std::string treeHash = archive->blob->treeHash();
    if (!vaults_.addArchive(exchange.region(), vault, std::move(archive))) {
        VaultApi::vaultNotFound(exchange, vaults_.arn(exchange.region(), vault));
        return;
    }
    exchange.empty(201);
    exchange.setHeader("Location",
                       "/" + exchange.segments()[0] + "/vaults/" + vault + "/archives/" + id);
    exchange.setHeader("x-amz-Archive-Id", id);
    exchange.setHeader("x-amz-Sha256-Tree-Hash", treeHash);
}

void ArchiveApi::upload(Exchange& exchange, const std::string& vault) {
    if (!checkVault(exchange, vault) || !checkDescription(exchange)) {
        return;
    }
    if (exchange.header("x-amz-sha256-tree-hash").empty()) {
        exchange.error(400, "MissingParameterValueException",
                       "Required parameter x-amz-sha256-tree-hash is missing");
        return;
    }
    auto body = receive(exchange, dataDir_);
    if (!body || !checkHashes(exchange, *body)) {
        return;
    }
    auto archive = std::make_shared<ArchiveRecord>();
    archive->id = ids_.next(138);
    archive->description = exchange.header("x-amz-archive-description");
    archive->creationDate = IsoTime::format(clock_.now());
    archive->blob = std::make_shared<const Blob>(
        std::vector<std::shared_ptr<const BlobPart>>{body->part}, std::move(body->chunks));
    created(exchange, vault, std::move(archive));
}

void ArchiveApi::remove(Exchange& exchange, const std::string& vault, const std::string& id) {
    if (deletions_ && !deletions_->admit()) {
        exchange.error(400, "ThrottlingException", "Rate exceeded");
        return;
    }
    switch (vaults_.removeArchive(exchange.region(), vault, id)) {
        case VaultStore::Outcome::Done:
            exchange.empty(204);
            return;
        case VaultStore::Outcome::NoVault:
            VaultApi::vaultNotFound(exchange, vaults_.arn(exchange.region(), vault));
            return;
        default:
            exchange.error(404, "ResourceNotFoundException", "Archive not found for ID: " + id);
    }
}

void ArchiveApi::initiate(Exchange& exchange, const std::string& vault) {
    if (!checkVault(exchange, vault) || !checkDescription(exchange)) {
        return;
    }
    auto partSize = parseNumber(exchange.header("x-amz-part-size"));
    bool valid = false;
    for (uint64_t size = kMiB; partSize && size <= 4096 * kMiB; size *= 2) {
        valid = valid || *partSize == size;
    }
    if (!valid) {
        exchange.error(400, "InvalidParameterValueException",
                       "Invalid part size: " + exchange.header("x-amz-part-size") +
                           ". The part size must be a megabyte multiplied by a power of 2, up "
                           "to 4 GiB.");
        return;
    }
    MultipartUpload upload;
    upload.id = ids_.next(92);
    upload.description = exchange.header("x-amz-archive-description");
    upload.creationDate = IsoTime::format(clock_.now());
    upload.partSize = *partSize;
    std::string id = upload.id;
    uploads_.add(exchange.region(), vault, std::move(upload));
    exchange.empty(201);
    exchange.setHeader(
        "Location", "/" + exchange.segments()[0] + "/vaults/" + vault + "/multipart-uploads/" + id);
    exchange.setHeader("x-amz-Multipart-Upload-Id", id);
}

void ArchiveApi::uploadPart(Exchange& exchange, const std::string& vault, const std::string& id) {
    auto upload = uploads_.get(exchange.region(), vault, id);
    if (!upload) {
        uploadNotFound(exchange, id);
        return;
    }
    static const std::regex kPattern("bytes (\\d+)-(\\d+)/(\\*|\\d+)");
    std::string contentRange = exchange.header("Content-Range");
    std::smatch match;
    std::optional<uint64_t> first;
    std::optional<uint64_t> last;
    if (std::regex_match(contentRange, match, kPattern)) {
        first = parseNumber(match[1]);
        last = parseNumber(match[2]);
    }
    if (!first || !last || *last < *first || *first % upload->partSize != 0 ||
        *last - *first + 1 > upload->partSize) {
        exchange.error(400, "InvalidParameterValueException",
                       "Content-Range: " + contentRange + " is incompatible with the part size " +
                           std::to_string(upload->partSize));
        return;
    }
    if (exchange.header("x-amz-sha256-tree-hash").empty()) {
        exchange.error(400, "MissingParameterValueException",
                       "Required parameter x-amz-sha256-tree-hash is missing");
        return;
    }
    auto body = receive(exchange, dataDir_);
    if (!body) {
        return;
    }
    if (body->size != *last - *first + 1) {
        exchange.error(400, "InvalidParameterValueException",
                       "The body length " + std::to_string(body->size) +
                           " does not match Content-Range " + contentRange);
        return;
    }
    if (!checkHashes(exchange, *body)) {
        return;
    }
    UploadedPart part{*first, body->treeHash, body->part, std::move(body->chunks)};
    if (!uploads_.putPart(exchange.region(), vault, id, std::move(part))) {
        uploadNotFound(exchange, id);
        return;
    }
    exchange.empty(204);
    exchange.setHeader("x-amz-Sha256-Tree-Hash", body->treeHash);
}

void ArchiveApi::listUploads(Exchange& exchange, const std::string& vault) {
    if (!checkVault(exchange, vault)) {
        return;
    }
    size_t limit = 0;
    if (!VaultApi::pageLimit(exchange, kDefaultPage, limit)) {
        return;
    }
    auto uploads = uploads_.list(exchange.region(), vault);
    size_t start = 0;
    if (exchange.hasQuery("marker")) {
        std::string marker = exchange.query("marker");
        while (start < uploads.size() && uploads[start].id != marker) {
            ++start;
        }
        if (start == uploads.size()) {
            exchange.error(400, "InvalidParameterValueException", "Invalid marker: " + marker);
            return;
        }
    }
    size_t end = std::min(uploads.size(), start + limit);
    nlohmann::ordered_json document;
    document["Marker"] = end < uploads.size() ? nlohmann::ordered_json(uploads[end].id) : nullptr;
    document["UploadsList"] = nlohmann::ordered_json::array();
    for (size_t i = start; i < end; ++i) {
        nlohmann::ordered_json item;
        item["ArchiveDescription"] = uploads[i].description;
        item["CreationDate"] = uploads[i].creationDate;
        item["MultipartUploadId"] = uploads[i].id;
        item["PartSizeInBytes"] = uploads[i].partSize;
        item["VaultARN"] = vaults_.arn(exchange.region(), vault);
        document["UploadsList"].push_back(std::move(item));
    }
    exchange.json(200, document);
}

void ArchiveApi::listParts(Exchange& exchange, const std::string& vault, const std::string& id) {
    auto upload = uploads_.get(exchange.region(), vault, id);
    if (!upload) {
        uploadNotFound(exchange, id);
        return;
    }
    size_t limit = 0;
    if (!VaultApi::pageLimit(exchange, kDefaultPage, limit)) {
        return;
    }
    auto it = upload->parts.begin();
    if (exchange.hasQuery("marker")) {
        auto start = parseNumber(exchange.query("marker"));
        it = start ? upload->parts.find(*start) : upload->parts.end();
        if (it == upload->parts.end()) {
            exchange.error(400, "InvalidParameterValueException",
                           "Invalid marker: " + exchange.query("marker"));
            return;
        }
    }
    nlohmann::ordered_json document;
    document["ArchiveDescription"] = upload->description;
    document["CreationDate"] = upload->creationDate;
    document["MultipartUploadId"] = upload->id;
    document["PartSizeInBytes"] = upload->partSize;
    document["Parts"] = nlohmann::ordered_json::array();
    for (size_t n = 0; it != upload->parts.end() && n < limit; ++it, ++n) {
        const UploadedPart& part = it->second;
        document["Parts"].push_back(
            {{"RangeInBytes", std::to_string(part.start) + "-" +
                                  std::to_string(part.start + part.bytes->size() - 1)},
             {"SHA256TreeHash", part.treeHash}});
    }
    document["Marker"] = it == upload->parts.end()
                             ? nlohmann::ordered_json(nullptr)
                             : nlohmann::ordered_json(std::to_string(it->first));
    document["VaultARN"] = vaults_.arn(exchange.region(), vault);
    exchange.json(200, document);
}

void ArchiveApi::complete(Exchange& exchange, const std::string& vault, const std::string& id) {
    auto upload = uploads_.get(exchange.region(), vault, id);
    if (!upload) {
        uploadNotFound(exchange, id);
        return;
    }
    auto size = parseNumber(exchange.header("x-amz-archive-size"));
    std::string claimedTree = lower(exchange.header("x-amz-sha256-tree-hash"));
    if (!size || claimedTree.empty()) {
        exchange.error(400, "MissingParameterValueException",
                       "Required parameters x-amz-archive-size and x-amz-sha256-tree-hash");
        return;
    }
    std::vector<std::shared_ptr<const BlobPart>> parts;
    std::vector<Sha256Digest> chunks;
    uint64_t expected = 0;
    bool contiguous = true;
    size_t index = 0;
    for (const auto& [start, part] : upload->parts) {
        bool last = ++index == upload->parts.size();
        contiguous =
            contiguous && start == expected && (last || part.bytes->size() == upload->partSize);
        expected = start + part.bytes->size();
        parts.push_back(part.bytes);
        chunks.insert(chunks.end(), part.chunks.begin(), part.chunks.end());
    }
    if (!contiguous || expected != *size || upload->parts.empty()) {
        exchange.error(
            400, "InvalidParameterValueException",
            "The uploaded parts do not form an archive of " + std::to_string(*size) + " bytes");
        return;
    }
    auto blob = std::make_shared<const Blob>(std::move(parts), std::move(chunks));
    if (blob->treeHash() != claimedTree) {
        exchange.error(
            400, "InvalidParameterValueException",
            "Checksum mismatch: expected hash " + claimedTree + ", computed " + blob->treeHash());
        return;
    }
    if (!uploads_.remove(exchange.region(), vault, id)) {
        uploadNotFound(exchange, id);
        return;
    }
    auto archive = std::make_shared<ArchiveRecord>();
    archive->id = ids_.next(138);
    archive->description = upload->description;
    archive->creationDate = IsoTime::format(clock_.now());
    archive->blob = std::move(blob);
    created(exchange, vault, std::move(archive));
}

void ArchiveApi::abort(Exchange& exchange, const std::string& vault, const std::string& id) {
    if (!uploads_.remove(exchange.region(), vault, id)) {
        uploadNotFound(exchange, id);
        return;
    }
    exchange.empty(204);
}

}  // namespace quillon::sim
