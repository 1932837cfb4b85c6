// Archives: the journal queries and the upload, delete and folder requests. Threads: as in
// Archives.h.
#include "transfers/Archives.h"

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
#include "accounts/Region.h"
#include "foundation/BaseModel.h"
#include "foundation/Error.h"
#include "foundation/FileHelpers.h"
#include "foundation/JSON.h"
#include "foundation/ModelError.h"
#include "interfaces/base/ConsoleLog.h"
#include "interfaces/base/Localization.h"
#include "interfaces/db/Database.h"
#include "interfaces/files/TreeHash.h"
#include "interfaces/http/GlacierManager.h"
#include "interfaces/http/RequestOperation.h"
#include "interfaces/http/URLRequest.h"
#include "inventory/Inventory.h"
#include "inventory/InventoryItem.h"
#include "inventory/InventoryManager.h"
#include "settings/Logger.h"
#include "transfers/Archive.h"
#include "vaults/Vault.h"

namespace quillon {

std::vector<ArchivePtr> Archives::listFromDB(Database& db, const std::string& sql, SqlArgs args) {
    args.push_back(vault_.accountRegion()->region()->id());
    args.push_back(vault_.name);
    std::vector<std::int64_t> ids;
    if (auto rows = db.executeQuery(sql, args)) {
        while (rows->next()) {
            ids.push_back(rows->longForColumn("id"));
        }
    }
    std::vector<ArchivePtr> archives;
    for (auto id : ids) {
        if (auto archive = getFromDB(db, id)) {
            archives.push_back(std::move(archive));
        }
    }
    return archives;
}

std::vector<ArchivePtr> Archives::journalFromDB(Database& db) {
    return listFromDB(db, "SELECT id FROM archives WHERE region = ? AND vault = ?", {});
}

std::vector<ArchivePtr> Archives::all() {
    std::vector<ArchivePtr> archives;
    vault_.db().inDatabase([&](Database& db) { archives = journalFromDB(db); });
    return archives;
}

std::vector<ArchivePtr> Archives::archivesAfter(double after) {
    std::vector<ArchivePtr> archives;
    vault_.db().inDatabase([&](Database& db) { archives = archivesAfterFromDB(db, after); });
    return archives;
}

std::vector<ArchivePtr> Archives::archivesAfterFromDB(Database& db, double after) {
    return listFromDB(db,
                      "SELECT id FROM archives WHERE created_at > ? AND region = ? AND vault = ?",
                      {sqlInt(static_cast<std::int64_t>(after))});
}

std::vector<ArchivePtr> Archives::unconfirmed(const std::string& description) {
    std::vector<ArchivePtr> archives;
    vault_.db().inDatabase([&](Database& db) {
        archives = listFromDB(db,
                              "SELECT id FROM archives WHERE action = 'unconfirmed' AND "
                              "description = ? AND region = ? AND vault = ?",
                              {description});
    });
    return archives;
}

ArchivePtr Archives::getFromDB(Database& db, std::int64_t rowID) {
    auto rows = db.executeQuery(
        "SELECT archive_id, description, created_at, size, tree_hash, action FROM archives WHERE "
        "id = ? AND region = ? AND vault = ? LIMIT 1",
        {sqlInt(rowID), vault_.accountRegion()->region()->id(), vault_.name});
    if (!rows || !rows->next()) {
        return nullptr;
    }
    auto archive = std::make_shared<Archive>(vault_.shared_from_this());
    archive->rowId = rowID;
    archive->archiveID = rows->stringForColumn("archive_id").value_or("");
    archive->archiveDescription = rows->stringForColumn("description").value_or("");
    archive->creationDate = rows->intForColumn("created_at");
    archive->size = rows->longForColumn("size");
    archive->treeHash = rows->stringForColumn("tree_hash").value_or("");
    archive->action = Archive::actionFromRawValue(rows->stringForColumn("action").value_or(""))
                          .value_or(Archive::Action::Add);
    return archive;
}

ArchivePtr Archives::get(std::int64_t rowID) {
    ArchivePtr archive;
    vault_.db().inDatabase([&](Database& db) { archive = getFromDB(db, rowID); });
    return archive;
}

void Archives::clear() {
    vault_.db().inDatabase([&](Database& db) {
        db.executeUpdate("DELETE FROM archives WHERE region = ? AND vault = ?",
                         {vault_.accountRegion()->region()->id(), vault_.name});
    });
}

}  // namespace quillon

namespace quillon {

namespace {

std::string headerText(const RequestOperation::Ptr& op, const std::string& field) {
    auto it = op->response().headers.find(field);
    return it == op->response().headers.end() ? std::string() : it->second;
}

// The latest inventory's item for an archive id, when the vault has an inventory.
std::shared_ptr<InventoryItem> latestInventoryItem(Vault& vault, const std::string& archiveID) {
    InventoryPtr inventory = vault.inventoryManager().latest();
    return inventory ? inventory->getByArchiveID(archiveID) : nullptr;
}

bool latestInventoryHasName(Vault& vault, const std::string& name) {
    InventoryPtr inventory = vault.inventoryManager().latest();
    return inventory && inventory->getByName(name) != nullptr;
}

}  // namespace

void Archives::logTreeHashMismatch(const std::string& received, const std::string& computed) {
    NSLog("x-amz-sha256-tree-hash from response does not match computed tree hash", {});
    NSLog("x-amz-sha256-tree-hash: %@", {received});
    NSLog("computed tree hash: %@", {computed});
}

ErrorPtr Archives::treeHashMismatchError(const std::string& what, const std::string& received,
                                         const std::string& computed) {
    return std::make_shared<const Error>(
        ModelError::kDomain, 1,
        UserInfo{{kLocalizedDescriptionKey,
                  "The service computed the tree hash " +
                      (received.empty() ? std::string("(none)") : received) + " for " + what +
                      ", not " + computed +
                      " as computed here: the data changed on its way. Send it again."}});
}

RequestOperation::Ptr Archives::apiUpload(const std::string& path,
                                          const std::optional<std::string>& description,
                                          RequestOperation::ProgressBlock progress,
                                          UploadDone done) {
    ErrorPtr error;
    auto size = FileHelpers::fileSize(path, &error);
    std::optional<TreeHash::FileDigests> digests;
    if (size && FileHelpers::regularFileExists(path)) {
        digests = TreeHash::hashFile(path, TreeHash::Options{}, &error);
    } else if (!error) {
        error = FileHelpers::makeError(EISDIR, "Cannot read file", path);
    }
    if (!digests) {
        done("", "", error ? error : BaseModel::genericError("Cannot read file " + path));
        return nullptr;
    }
    const std::uint64_t length = static_cast<std::uint64_t>(*size);
    return send(
        [path, length](URLRequest& request) {
            request.setBodyFileWindow({path, 0, length});
        },
        *size, TreeHash::treeHash(digests->chunks), digests->sha256, description,
        std::move(progress), std::move(done));
}

RequestOperation::Ptr Archives::apiUploadBody(const SharedBody& body, const std::string& treeHash,
                                              const std::string& sha256,
                                              const std::optional<std::string>& description,
                                              RequestOperation::ProgressBlock progress,
                                              UploadDone done) {
    return send([body](URLRequest& request) { request.setBodyShared(body); },
                static_cast<std::int64_t>(body.length), treeHash, sha256, description,
                std::move(progress), std::move(done));
}

RequestOperation::Ptr Archives::send(const std::function<void(URLRequest&)>& setBody,
                                     std::int64_t size, const std::string& treeHash,
                                     const std::string& sha256,
                                     const std::optional<std::string>& description,
                                     RequestOperation::ProgressBlock progress, UploadDone done) {
    auto& accountRegion = *vault_.accountRegion();
    ApiRequest upload{.method = "POST",
                      .path = vault_.apiBasePath().word("archives"),
                      .headers = {{"x-amz-sha256-tree-hash", treeHash},
                                  {"x-amz-content-sha256", sha256},
                                  {"Content-Length", std::to_string(size)}}};
    if (description) {
        upload.headers.emplace_back("x-amz-archive-description", *description);
    }
    AccountRegion::PreparedRequest prepared = accountRegion.apiPrepareRequest(upload);
    if (!prepared.request) {
        if (prepared.error) {
            done("", "", prepared.error);
        }
        return nullptr;
    }
    URLRequest signedRequest = std::move(*prepared.request);
    setBody(signedRequest);
    auto& manager = accountRegion.account()->glacierManager();
    auto vault = vault_.shared_from_this();
    RegionPtr region = accountRegion.region();
    std::string descriptionText = description.value_or("");
    // The service stored the archive once its answer names it: the archive id is used even when
    // the connection broke after the answer's head, so that a rerun does not store it again.
    auto stored = [=](const RequestOperation::Ptr& op) {
        std::string receivedHash = headerText(op, "x-amz-sha256-tree-hash");
        std::string archiveID = headerText(op, "x-amz-archive-id");
        if (receivedHash != treeHash) {
            logTreeHashMismatch(receivedHash, treeHash);
            done(archiveID, receivedHash,
                 treeHashMismatchError("the archive", receivedHash, treeHash));
            return;
        }
        auto archive = std::make_shared<Archive>(vault);
        archive->archiveID = archiveID;
        archive->archiveDescription = descriptionText;
        archive->size = size;
        archive->treeHash = treeHash;
        archive->appendAddedThen([done, archiveID, treeHash](ErrorPtr unrecorded) {
            done(archiveID, treeHash, std::move(unrecorded));
        });
    };
    auto operation = manager.HTTPRequestOperationWithRequest(
        std::move(signedRequest),
        [stored](const RequestOperation::Ptr& op, const JSON&) { stored(op); },
        [stored, done, region](const RequestOperation::Ptr& op, const Error& failure) {
            if (op->response().statusCode == 201 && !headerText(op, "x-amz-archive-id").empty()) {
                NSLog("The answer naming archive %@ was cut short; the archive is stored",
                      {headerText(op, "x-amz-archive-id")});
                stored(op);
                return;
            }
            done("", "", translateError(failure, region).share());
        });
    accountRegion.allowResigning(operation);
    if (progress) {
        operation->setUploadProgressBlock(std::move(progress));
    }
    manager.operationQueue().addOperation(operation);
    return operation;
}

RequestOperation::Ptr Archives::apiDelete(const std::string& archiveID, DeleteDone done) {
    auto vault = vault_.shared_from_this();
    return vault_.accountRegion()->apiPerformRequest(
        {.method = "DELETE", .path = vault_.apiBasePath().word("archives").id(archiveID)},
        [vault, archiveID, done](ErrorPtr error, RequestOperation::Ptr) {
            if (error) {
                done(nullptr, error);
                return;
            }
            auto archive = std::make_shared<Archive>(vault);
            archive->action = Archive::Action::Delete;
            archive->archiveID = archiveID;
            std::shared_ptr<InventoryItem> item = latestInventoryItem(*vault, archiveID);
            if (item) {
                archive->archiveDescription = item->archiveDescription;
            }
            archive->appendThen([vault, archive, item, done](bool) {
                vault->log().info("Archive deleted: " + archive->archiveID + " (" +
                                  archive->archiveDescription + ")");
                done(item, nullptr);
            });
        });
}

RequestOperation::Ptr Archives::apiCreateFolder(const std::string& name, bool silent,
                                                bool skipValidation, bool skipEncodeArchiveDesc,
                                                Completion done) {
    std::string folder = name + "/";
    if (!skipValidation && latestInventoryHasName(vault_, folder)) {
        if (!silent) {
            done(BaseModel::genericError(
                Localization::string("modelerror.folder_with_same_name_already_exists")));
        }
        return nullptr;
    }
    std::optional<std::string> description = folder;
    if (!skipEncodeArchiveDesc) {
        description = Archive::encodeArchiveDescription(folder);
        if (!description) {
            if (!silent) {
                done(BaseModel::genericError(Archive::unencodableNameMessage()));
            }
            return nullptr;
        }
    }
    auto temporary = FileHelpers::createTemporaryFile("tmp");
    if (!temporary || FileHelpers::writeFile(*temporary, "0")) {
        if (temporary) {
            FileHelpers::deleteFile(*temporary);
        }
        done(
            BaseModel::genericError(Localization::string("modelerror.could_not_create_temp_file")));
        return nullptr;
    }
    std::string path = *temporary;
    auto operation =
        apiUpload(path, description, nullptr,
                  [path, done](const std::string&, const std::string&, ErrorPtr error) {
                      FileHelpers::deleteFile(path);
                      done(error);
                  });
    if (!operation) {
        FileHelpers::deleteFile(path);
    }
    return operation;
}

}  // namespace quillon
